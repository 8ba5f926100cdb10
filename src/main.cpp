#include "cli.h"

#ifdef _WIN32
// The runtime's start-up expands wildcards in the arguments, as cmd.exe
// leaves that to the program.
extern "C" {
int _dowildcard = -1;
}
#endif

int main(int argc, char** argv) { return skelvane::runcommand(argc, argv); }

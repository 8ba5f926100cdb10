#include "cli.h"

int main(int argc, char** argv) { return skelvane::runcommand(argc, argv); }

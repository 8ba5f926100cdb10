// The command line: options first, then the documents in the order given.
//
// The option pass runs testoption() on every argument before any document
// is touched, so an option applies wherever it stands and a request for
// help or version anywhere stops the run. The file pass then hands every
// argument that does not begin with '-' to dofile() and stops at the first
// document that fails.
//
// Exit status: 1 when a document failed or standard output could not be
// written, otherwise 0 (also for help, version and the usage hint).
#ifndef SKELVANE_CLI_H
#define SKELVANE_CLI_H

namespace skelvane {

// 0 to go on; -1 when a text was printed and the run ends.
int testoption(const char* argument);
int showhelp();
int showversion();
int noargs();

// The whole run; returns the exit status.
int runcommand(int argc, char** argv);

}  // namespace skelvane

#endif

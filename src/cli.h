// The command line: options first, then the documents in the order given.
//
// The option pass looks at every argument before any document is touched,
// so an option applies wherever it stands and a request for help or
// version anywhere stops the run. The file pass then hands every argument
// that does not begin with '-' (and every one after "--") to dofile().
// A run stops at the first document that fails; --check, --diff and
// --watch go through them all.
//
// Exit status:
//   0  done: every document rewritten (or up to date); also help, version
//      and the usage hint
//   1  a document failed, or standard output could not be written; with
//      --check or --diff: a run would change a document
//   2  the command line was refused before any document was touched; with
//      --check or --diff: a document could not be checked, a run would
//      fail on it, or the report could not be written
#ifndef SKELVANE_CLI_H
#define SKELVANE_CLI_H

namespace skelvane {

// The whole run; returns the exit status.
int runcommand(int argc, char** argv);

}  // namespace skelvane

#endif

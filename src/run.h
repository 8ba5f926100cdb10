// One run of the program: the options it was given, and what it learns
// along the way that later documents reuse. Every part that needs either
// gets the run it works for; a fresh object is a fresh run.
#ifndef SKELVANE_RUN_H
#define SKELVANE_RUN_H

#include "lineends.h"
#include "pattern.h"

#include <set>
#include <string>
#include <utility>

namespace skelvane {

// The switches and values of the command line, fixed by the option pass
// before any document is touched.
struct runsettings {
    bool verbose = false;    // -v, --verbose: the progress lines
    bool check = false;      // --check: write nothing; report what a run would change
    bool diff = false;       // --diff: --check, showing each change as a unified diff
    bool ifchanged = false;  // --if-changed: leave a document alone when its text stays the same
    bool strict = false;     // --strict: every warning about a document fails it
    bool tostdout = false;   // --stdout: write each new text to standard output instead
    std::string root;        // --root=DIR: patterns must lie inside DIR (resolved, empty: anywhere)
    lineendstyle eol = lineendstyle::asis;  // --eol

    // --diff is a check that shows its changes.
    bool checking() const { return check || diff; }
    // Standard output carries the new texts or the report; the progress and
    // error lines then go to standard error.
    bool stdoutbusy() const { return tostdout || checking(); }
};

struct run {
    explicit run(runsettings given) : settings(std::move(given)) {}

    const runsettings settings;
    keptpatterns patterns;                     // pattern texts and checks, shared by documents
    std::set<std::string> lookeddirectories;  // already looked at for what killed runs left
};

}  // namespace skelvane

#endif

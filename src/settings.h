// The run's switches and values from the command line, fixed by the
// option pass before any document is touched and only read afterwards.
#ifndef SKELVANE_SETTINGS_H
#define SKELVANE_SETTINGS_H

#include "lineends.h"

#include <string>

namespace skelvane {

struct runsettings {
    bool verbose = false;    // -v, --verbose: the progress lines
    bool check = false;      // --check: write nothing; report what a run would change
    bool diff = false;       // --diff: --check, showing each change as a unified diff
    bool ifchanged = false;  // --if-changed: leave a document alone when its text stays the same
    bool strict = false;     // --strict: every warning about a document fails it
    bool tostdout = false;   // --stdout: write each new text to standard output instead
    bool nullnames = false;  // --null: names in the --files-from list end with a NUL byte
    bool watch = false;      // --watch: keep documents in sync as their files change
    std::string root;        // --root=DIR: patterns must lie inside DIR (resolved, empty: anywhere)
    lineendstyle eol = lineendstyle::asis;  // --eol

    // --diff is a check that shows its changes.
    bool checking() const { return check || diff; }
    // Standard output carries the new texts or the report; the progress and
    // error lines then go to standard error.
    bool stdoutbusy() const { return tostdout || checking(); }
    // A failed document ends the run, unless every document is to be tried.
    bool keepgoing() const { return checking() || watch; }
};

}  // namespace skelvane

#endif

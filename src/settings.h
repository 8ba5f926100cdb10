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
    std::string rootname;    // DIR as given, which --relative names from the site root begin with
    bool relative = false;       // --relative: pattern names are taken from the document's directory
    bool relativelinks = false;  // --links=relative: root-absolute URLs in inserted text, relative to the page
    bool markcurrent = false;    // --mark-current: the link to the page itself gets aria-current="page"
    bool indent = false;         // --indent: inserted lines get the start directive's indentation
    // The site root that links lead from (resolved: --root, or the current
    // directory); known when links are edited.
    std::string siteroot;
    lineendstyle eol = lineendstyle::asis;  // --eol

    // Inserted text is scanned for tags.
    bool editslinks() const { return relativelinks || markcurrent; }
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

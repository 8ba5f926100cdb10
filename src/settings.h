// The run's switches from the command line's long options. They are set
// during the option pass, before any document is touched, and only read
// afterwards.
#ifndef SKELVANE_SETTINGS_H
#define SKELVANE_SETTINGS_H

#include <string>

namespace skelvane {

// --eol: keep writes pattern text with the document's own line ends; lf
// and crlf give the whole output document one style.
enum class eolmode { asis, keep, lf, crlf };

struct runsettings {
    bool check = false;      // --check: write nothing; report what a run would change
    bool diff = false;       // --diff: --check, showing each change as a unified diff
    bool ifchanged = false;  // --if-changed: leave a document alone when its text stays the same
    bool strict = false;     // --strict: every warning about a document fails it
    bool tostdout = false;   // --stdout: write each new text to standard output instead
    std::string root;        // --root=DIR: patterns must lie inside DIR (resolved, empty: anywhere)
    eolmode eol = eolmode::asis;
};

extern runsettings settings;

}  // namespace skelvane

#endif

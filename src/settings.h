// The run's switches from the command line's long options. They are set
// during the option pass, before any document is touched, and only read
// afterwards.
#ifndef SKELVANE_SETTINGS_H
#define SKELVANE_SETTINGS_H

#include <string>

namespace skelvane {

struct runsettings {
    bool check = false;      // --check: write nothing; report what a run would change
    bool ifchanged = false;  // --if-changed: leave a document alone when its text stays the same
    bool strict = false;     // --strict: every warning about a document fails it
    bool tostdout = false;   // --stdout: write each new text to standard output instead
    std::string root;        // --root=DIR: patterns must lie inside DIR (resolved, empty: anywhere)
};

extern runsettings settings;

}  // namespace skelvane

#endif

#include "cli.h"

#include "messages.h"
#include "osfile.h"
#include "rewrite.h"
#include "settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace skelvane {

namespace {

constexpr const char* helptext[] = {
    "skelvane, HTML pattern includer",
    "Usage: skelvane [OPTION] <files>",
    "",
    "  -v, --verbose   : Verbose output",
    "  -h, --help      : Display this help and exit",
    "      --version   : Display version info and exit",
    "      --check     : Report documents a run would change; write nothing",
    "      --diff      : Like --check, and show each change as a unified diff",
    "      --if-changed: Leave documents whose text would not change untouched",
    "      --strict    : Fail a document on anything that draws a warning",
    "      --stdout    : Write the new texts to standard output instead",
    "      --root=DIR  : Include only pattern files that lie inside DIR",
    "      --eol=STYLE : Line ends: keep (the document's), lf or crlf",
    "",
};

constexpr const char* rootoption = "--root=";
constexpr const char* eoloption = "--eol=";
const char* eolvalue = nullptr;  // as given, checked after the option pass
bool rootgiven = false;

// The value of --eol, or false for one that is not known.
bool seteol(const char* value) {
    const std::pair<const char*, eolmode> modes[] = {
        {"keep", eolmode::keep}, {"lf", eolmode::lf}, {"crlf", eolmode::crlf}};
    for (const auto& [name, mode] : modes)
        if (std::strcmp(value, name) == 0) {
            settings.eol = mode;
            return true;
        }
    return false;
}

struct longswitch {
    const char* name;
    bool runsettings::*field;
};

constexpr longswitch longswitches[] = {
    {"--check", &runsettings::check},
    {"--diff", &runsettings::diff},
    {"--if-changed", &runsettings::ifchanged},
    {"--strict", &runsettings::strict},
    {"--stdout", &runsettings::tostdout},
};

constexpr const char* versiontext = "skelvane, HTML pattern includer, v. 1.0";

constexpr const char* usagetext[] = {
    "Missing file arguments",
    "Try skelvane --help' for more information.",
};

// The values of --eol and --root, checked before any document is touched.
bool checkvalues() {
    if (settings.diff) settings.check = true;
    if (eolvalue != nullptr && !seteol(eolvalue)) {
        reportproblem(std::string(eoloption) + eolvalue, "expected keep, lf or crlf");
        return false;
    }
    if (!rootgiven) return true;
    // Pattern paths are compared with the directory's resolved path.
    std::string resolved;
    int error = settings.root.empty() ? ENOENT : resolvepath(settings.root, resolved);
    if (error != 0) {
        reportproblem(std::string(rootoption) + settings.root, describe(error));
        return false;
    }
    settings.root = resolved;
    return true;
}

// Scripts read stdout: losing it (a full disk, a closed pipe) must show in
// the exit status.
bool stdoutfailed() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return false;
    reportproblem("standard output", errno != 0 ? std::strerror(errno) : "write error");
    return true;
}

}  // namespace

int showhelp() {
    for (const char* line : helptext) std::puts(line);
    return -1;
}

int showversion() {
    std::puts(versiontext);
    return -1;
}

int noargs() {
    for (const char* line : usagetext) std::puts(line);
    return 0;
}

int testoption(const char* argument) {
    if (std::strcmp(argument, "--help") == 0) return showhelp();
    if (std::strcmp(argument, "--version") == 0) return showversion();
    if (std::strcmp(argument, "--verbose") == 0) verbose = 1;
    for (const longswitch& option : longswitches)
        if (std::strcmp(argument, option.name) == 0) settings.*option.field = true;
    if (std::strncmp(argument, rootoption, std::strlen(rootoption)) == 0) {
        settings.root = argument + std::strlen(rootoption);
        rootgiven = true;
    }
    if (std::strncmp(argument, eoloption, std::strlen(eoloption)) == 0) eolvalue = argument + std::strlen(eoloption);
    if (argument[0] != '-') return 0;
    // Any other long option is accepted and ignored.
    if (argument[1] == '-') return 0;
    for (const char* letter = argument + 1; *letter != '\0'; ++letter) {
        if (*letter == 'h') return showhelp();
        if (*letter == 'v') verbose = 1;
    }
    return 0;
}

int runcommand(int argc, char** argv) {
    prepareprocess();
    int status = 0;
    if (argc < 2) {
        noargs();
    } else {
        bool stopped = false;
        for (int i = 1; i < argc && !stopped; ++i) stopped = testoption(argv[i]) != 0;
        if (!stopped && !checkvalues()) {
            stopped = true;
            status = 2;
        }
        for (int i = 1; i < argc && !stopped; ++i) {
            if (argv[i][0] == '-') continue;
            int result = dofile(argv[i]);
            if (settings.check) {
                // A check goes through every document: 1 when one would
                // change, 2 when one could not be checked.
                if (result != 0) status = std::max(status, result < 0 ? 2 : 1);
            } else if (result != 0) {
                status = 1;
                stopped = true;
            }
        }
    }
    if (stdoutfailed()) status = std::max(status, 1);
    return status;
}

}  // namespace skelvane

#include "cli.h"

#include "messages.h"
#include "osfile.h"
#include "rewrite.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace skelvane {

namespace {

constexpr const char* helptext[] = {
    "skelvane, HTML pattern includer",
    "Usage: skelvane [OPTION] <files>",
    "",
    "  -v, --verbose   : Verbose output",
    "  -h, --help      : Display this help and exit",
    "      --version   : Display version info and exit",
    "",
};

constexpr const char* versiontext = "skelvane, HTML pattern includer, v. 1.0";

constexpr const char* usagetext[] = {
    "Missing file arguments",
    "Try skelvane --help' for more information.",
};

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
        for (int i = 1; i < argc && !stopped; ++i) {
            if (argv[i][0] == '-') continue;
            if (dofile(argv[i]) != 0) {
                status = 1;
                stopped = true;
            }
        }
    }
    if (stdoutfailed()) status = 1;
    return status;
}

}  // namespace skelvane

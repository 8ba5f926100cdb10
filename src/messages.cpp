#include "messages.h"

#include "osfile.h"
#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace skelvane {

int verbose = 0;
runsettings settings;

namespace {

int outputfailure = 0;  // the first error standard output gave

void tostderr(std::string_view prefix, std::string_view subject, std::string_view reason) {
    // An empty name would leave a message that names nothing.
    std::string text(prefix);
    text.append(subject.empty() ? "\"\"" : subject).append(": ").append(reason);
    complain(text);
}

// Standard output carries the new texts with --stdout and the report with
// --check and --diff; the progress and error lines then go to standard error.
std::FILE* progressstream() { return settings.tostdout || settings.check ? stderr : stdout; }
std::FILE* errorlinestream() { return settings.tostdout || settings.check ? stderr : stdout; }

}  // namespace

void showopening(const char* path) {
    if (verbose == 1) std::fprintf(progressstream(), "Opening file %s\n", path);
}

void showincluding(std::string_view name) {
    if (verbose == 1)
        std::fprintf(progressstream(), "Including %.*s\n", static_cast<int>(name.size()), name.data());
}

void showunchanged(std::string_view path) {
    if (verbose == 1)
        std::fprintf(progressstream(), "Unchanged %.*s\n", static_cast<int>(path.size()), path.data());
}

int faildocument(std::string_view path, std::string_view reason) {
    std::fputs("File error.\n", errorlinestream());
    reportproblem(path, reason);
    return -1;
}

void reportproblem(std::string_view subject, std::string_view reason) {
    tostderr("", subject, reason);
}

void warn(std::string_view subject, std::string_view reason) {
    tostderr("warning: ", subject, reason);
}

int standardoutputerror() {
    if (outputfailure != 0) return outputfailure;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        outputfailure = errno != 0 ? errno : EIO;
    else if (filesink* sink = standardoutputifused())
        outputfailure = sink->error();
    return outputfailure;
}

void complain(std::string_view text) {
    // Flushing stdout first keeps the two streams in order when they share
    // one log file.
    standardoutputerror();
    std::string line = "skelvane: ";
    line.append(text).append("\n");
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string fileline(std::string_view name, long line) {
    return std::string(name) + ":" + std::to_string(line);
}

}  // namespace skelvane

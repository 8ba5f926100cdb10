#include "messages.h"

#include "osfile.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace skelvane {

namespace {

int outputfailure = 0;  // the first error standard output gave

void tostderr(std::string_view prefix, std::string_view subject, std::string_view reason) {
    // An empty name would leave a message that names nothing.
    std::string text(prefix);
    text.append(subject.empty() ? "\"\"" : subject).append(": ").append(reason);
    complain(text);
}

std::FILE* progressstream(const runsettings& settings) { return settings.stdoutbusy() ? stderr : stdout; }

void showline(const runsettings& settings, const char* format, std::string_view text) {
    if (settings.verbose)
        std::fprintf(progressstream(settings), format, static_cast<int>(text.size()), text.data());
}

}  // namespace

void showopening(const runsettings& settings, const char* path) {
    if (settings.verbose) std::fprintf(progressstream(settings), "Opening file %s\n", path);
}

void showincluding(const runsettings& settings, std::string_view name) {
    showline(settings, "Including %.*s\n", name);
}

void showunchanged(const runsettings& settings, std::string_view path) {
    showline(settings, "Unchanged %.*s\n", path);
}

int faildocument(const runsettings& settings, std::string_view path, std::string_view reason) {
    std::fputs("File error.\n", progressstream(settings));
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

#include "messages.h"

#include "osfile.h"
#include "spool.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace skelvane {

// Says a message now, or holds it (see heldoutput).
void say(std::FILE* stream, std::string_view text);

namespace {

int outputfailure = 0;  // the first error standard output gave
int errorfailure = 0;   // the first error standard error gave

// Writes to stdout, whose errors standardoutputerror() finds when it
// flushes, or to stderr, whose first error is kept here.
void put(std::FILE* stream, std::string_view text) {
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    if (stream != stderr) return;
    // The Windows runtime buffers stderr when it is a file; a watch would
    // hold its warnings back for as long as it runs.
    if ((!written || std::fflush(stderr) != 0) && errorfailure == 0) errorfailure = errno != 0 ? errno : EIO;
}

void writenow(std::FILE* stream, std::string_view text) {
    // Flushing stdout first keeps the two streams in order when they share
    // one log file.
    if (stream == stderr) standardoutputerror();
    put(stream, text);
}

// The batch's output while it holds what the run says, if any.
heldoutput* holder = nullptr;

// Says held records as they are replayed, which may cut them anywhere.
class recordreader : public bytesink {
protected:
    void overflow(std::string_view bytes) override {
        while (!bytes.empty()) {
            if (header_.size() < 5) {
                std::size_t take = std::min(5 - header_.size(), bytes.size());
                header_.append(bytes.substr(0, take));
                bytes.remove_prefix(take);
                if (header_.size() < 5) continue;
                left_ = 0;
                for (std::size_t i = 1; i < 5; ++i) left_ = left_ << 8 | static_cast<unsigned char>(header_[i]);
                if (header_[0] == 'e') standardoutputerror();
            }
            std::size_t take = std::min<std::size_t>(left_, bytes.size());
            put(header_[0] == 'e' ? stderr : stdout, bytes.substr(0, take));
            bytes.remove_prefix(take);
            left_ -= take;
            if (left_ == 0) header_.clear();
        }
    }

private:
    std::string header_;
    std::uint32_t left_ = 0;
};

bool control(unsigned char c) { return c < ' ' || c == 0x7f; }

void tostderr(std::string_view prefix, std::string_view subject, std::string_view reason) {
    // An empty name would leave a message that names nothing.
    std::string text(prefix);
    text.append(subject.empty() ? "\"\"" : quotename(subject)).append(": ").append(reason);
    complain(text);
}

std::FILE* progressstream(const runsettings& settings) { return settings.stdoutbusy() ? stderr : stdout; }

// A name that holds a control byte is quoted, so that no name can forge a
// line or act on the terminal that shows it.
void showline(const runsettings& settings, std::string_view what, std::string_view name) {
    if (!settings.verbose) return;
    std::string line(what);
    line.append(quotename(name)).append("\n");
    say(progressstream(settings), line);
}

}  // namespace

void showopening(const runsettings& settings, const char* path) { showline(settings, "Opening file ", path); }

void showincluding(const runsettings& settings, std::string_view name) { showline(settings, "Including ", name); }

void showunchanged(const runsettings& settings, std::string_view path) { showline(settings, "Unchanged ", path); }

void showupdated(std::string_view path) {
    std::string line("Updated ");
    line.append(quotename(path)).append("\n");
    say(stdout, line);
}

void faildocument(const runsettings& settings, const failure& why) {
    say(progressstream(settings), "File error.\n");
    reportproblem(why.subject, why.reason);
}

void reportproblem(std::string_view subject, std::string_view reason) {
    tostderr("", subject, reason);
}

void reportonstdout(std::string_view subject, std::string_view reason) {
    std::string line = "skelvane: ";
    line.append(subject).append(": ").append(reason).append("\n");
    say(stdout, line);
    (void)standardoutputerror();
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

int standarderrorerror() { return errorfailure; }

void complain(std::string_view text) {
    std::string line = "skelvane: ";
    // A name inside a reason (a pattern's, say) reaches the terminal
    // escaped, too.
    for (unsigned char c : text) {
        if (control(c) && c != '\t') {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            line += octal;
        } else {
            line += static_cast<char>(c);
        }
    }
    line.append("\n");
    say(stderr, line);
}

std::string quotename(std::string_view name, bool blanks) {
    bool quoted = false;
    for (unsigned char c : name) quoted = quoted || control(c) || (blanks && (c == ' ' || c == '"' || c == '\\'));
    if (!quoted) return std::string(name);
    std::string text = "\"";
    for (unsigned char c : name) {
        const char* escape = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : nullptr;
        if (escape != nullptr) {
            text += escape;
        } else if (c < ' ' || c >= 0x7f) {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            text += octal;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

void say(std::FILE* stream, std::string_view text) {
    if (holder != nullptr)
        holder->keep(stream, text);
    else
        writenow(stream, text);
}

heldoutput::~heldoutput() { stopholding(); }

std::uint64_t heldoutput::hold() {
    holder = this;
    return records_.size();
}

void heldoutput::stopholding() {
    if (holder == this) holder = nullptr;
}

void heldoutput::sayupto(std::uint64_t mark) {
    if (mark > said_) {
        recordreader reader;
        records_.replay(reader, said_, mark);
        said_ = mark;
    }
    if (said_ == records_.size() && holder != this) {
        records_.clear();
        said_ = 0;
    }
}

void heldoutput::drop() {
    stopholding();
    records_.clear();
    said_ = 0;
}

void heldoutput::keep(std::FILE* stream, std::string_view text) {
    const auto length = static_cast<std::uint32_t>(text.size());
    const char header[] = {stream == stderr ? 'e' : 'o', static_cast<char>(length >> 24),
                           static_cast<char>(length >> 16), static_cast<char>(length >> 8), static_cast<char>(length)};
    records_.write(std::string_view(header, sizeof header));
    records_.write(text);
}

std::string fileline(std::string_view name, long line) {
    return std::string(name) + ":" + std::to_string(line);
}

}  // namespace skelvane

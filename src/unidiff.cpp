#include "unidiff.h"

#include "messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

namespace skelvane {

namespace {

constexpr std::string_view nonewline = "\n\\ No newline at end of file\n";

// Writes lines with a prefix before each; a last line without a line end
// gets the marker diff -u gives it.
class prefixedlines {
public:
    prefixedlines(bytesink& out, char prefix) : out_(out), prefix_(prefix) {}
    void write(std::string_view bytes) {
        while (!bytes.empty()) {
            if (atstart_) out_.write(std::string_view(&prefix_, 1));
            std::size_t end = bytes.find('\n');
            std::size_t length = end == std::string_view::npos ? bytes.size() : end + 1;
            out_.write(bytes.substr(0, length));
            atstart_ = end != std::string_view::npos;
            bytes.remove_prefix(length);
        }
    }
    void finish() {
        if (!atstart_) out_.write(nonewline);
        atstart_ = true;
    }

private:
    bytesink& out_;
    char prefix_;
    bool atstart_ = true;
};

// "START,COUNT" as diff -u writes it, one line without its count. Each
// side of a hunk has a line: the start directive's line is in both texts.
std::string range(std::uint64_t start, std::uint64_t count) {
    if (count == 1) return std::to_string(start);
    return std::to_string(start) + "," + std::to_string(count);
}

// A name in a header line as GNU diff writes it, so that patch finds the
// file whatever its name holds: in C-style quotes when it has a blank, a
// double quote, a backslash or a control byte (inside the quotes, bytes
// that are not printable ASCII as octal escapes), and a TAB after it,
// where diff puts the time.
std::string headername(std::string_view side, std::string_view name) {
    return quotename(std::string(side) + std::string(name), true) + "\t";
}

}  // namespace

unifieddiff::unifieddiff(bytesink& out, rereadable& original, std::string name)
    : out_(out), original_(original), name_(std::move(name)) {}

void unifieddiff::writeold(char prefix, std::uint64_t offset, std::uint64_t length) {
    if (!buffer_) buffer_.reset(new char[chunk]);
    prefixedlines lines(body_, prefix);
    while (length > 0) {
        std::size_t got = original_.readat(offset, buffer_.get(), std::min<std::uint64_t>(length, chunk));
        if (got == 0) {
            // The old text is shorter than it was a moment ago.
            if (readerror_ == 0) readerror_ = original_.error() != 0 ? original_.error() : EIO;
            return;
        }
        lines.write(std::string_view(buffer_.get(), got));
        offset += got;
        length -= got;
    }
    lines.finish();
}

void unifieddiff::keep(std::uint64_t offset, std::uint64_t length) {
    ++oldnext_;
    ++newnext_;
    if (inhunk_ && ++gap_ <= context) {
        writeold(' ', offset, length);
        ++oldcount_;
        ++newcount_;
        return;
    }
    held_.push_back({offset, length});
    if (held_.size() > context) held_.pop_front();
    // Past twice the context the next change gets a hunk of its own.
    if (inhunk_ && gap_ > 2 * context) closehunk();
}

void unifieddiff::beginchange() {
    if (!inhunk_) {
        inhunk_ = true;
        changed_ = true;
        oldstart_ = oldnext_ - held_.size();
        newstart_ = newnext_ - held_.size();
        oldcount_ = newcount_ = 0;
    }
    // The held lines are leading context, or the gap inside a hunk.
    for (const oldline& line : held_) writeold(' ', line.offset, line.length);
    oldcount_ += held_.size();
    newcount_ += held_.size();
    held_.clear();
    gap_ = 0;
}

void unifieddiff::change(editstep step, std::string_view line) {
    beginchange();
    prefixedlines lines(body_, static_cast<char>(step));
    lines.write(line);
    lines.finish();
    if (step == editstep::remove) {
        ++oldnext_;
        ++oldcount_;
    } else {
        ++newnext_;
        ++newcount_;
    }
}

void unifieddiff::removeold(std::uint64_t offset, std::uint64_t length, std::uint64_t lines) {
    if (lines == 0) return;
    beginchange();
    writeold('-', offset, length);
    oldnext_ += lines;
    oldcount_ += lines;
}

void unifieddiff::addheld(spool& lines) {
    std::uint64_t count = lines.lines();
    if (count == 0) return;
    beginchange();
    prefixedlines prefixed(body_, static_cast<char>(editstep::add));
    // The spool replays into a sink; this one prefixes what passes.
    class prefixingsink : public bytesink {
    public:
        explicit prefixingsink(prefixedlines& to) : to_(to) {}

    protected:
        void overflow(std::string_view bytes) override { to_.write(bytes); }

    private:
        prefixedlines& to_;
    } sink(prefixed);
    if (int error = lines.replay(sink); error != 0 && readerror_ == 0) readerror_ = error;
    prefixed.finish();
    newnext_ += count;
    newcount_ += count;
}

void unifieddiff::closehunk() {
    if (!inhunk_) return;
    inhunk_ = false;
    if (!wroteheader_) {
        out_.write("--- " + headername("a/", name_) + "\n+++ " + headername("b/", name_) + "\n");
        wroteheader_ = true;
    }
    out_.write("@@ -" + range(oldstart_, oldcount_) + " +" + range(newstart_, newcount_) + " @@\n");
    if (int error = body_.replay(out_); error != 0 && readerror_ == 0) readerror_ = error;
    body_.clear();
}

int unifieddiff::error() const {
    if (readerror_ != 0) return readerror_;
    if (body_.error() != 0) return body_.error();
    return out_.error();
}

int unifieddiff::finish() {
    closehunk();
    return error();
}

}  // namespace skelvane

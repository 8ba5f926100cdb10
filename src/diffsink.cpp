#include "diffsink.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace skelvane {

namespace {

std::vector<std::string_view> splitlines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return lines;
}

}  // namespace

diffsink::diffsink(unifieddiff& diff, rereadable& original, lineendstyle style)
    : diff_(diff), original_(original), style_(style), converter_(style) {}

void diffsink::check(int error) {
    if (error != 0 && this->error() == 0) fail(error);
}

void diffsink::overflow(std::string_view bytes) {
    if (error() != 0) return;
    if (inpattern_) {
        inserted(bytes);
    } else {
        copied(bytes);
    }
    check(added_.error());
}

void diffsink::moveold(std::string_view bytes) {
    oldoffset_ += bytes.size();
    previous_ = bytes.back();
    std::size_t last = bytes.rfind('\n');
    if (last != std::string_view::npos) oldlinestart_ = oldoffset_ - (bytes.size() - last - 1);
}

bool diffsink::lineendchanges(char before) const {
    if (style_ == lineendstyle::lf) return before == '\r';
    if (style_ == lineendstyle::crlf) return before != '\r';
    return false;
}

// The new text of old bytes copied while the lines agreed is those bytes
// with the line ends converted; it is read back only when needed.
void diffsink::addconverted(std::uint64_t offset, std::uint64_t length) {
    if (length > 0 && !buffer_) buffer_.reset(new char[chunk]);
    while (length > 0) {
        std::size_t got = original_.readat(offset, buffer_.get(), std::min<std::uint64_t>(length, chunk));
        if (got == 0) {
            check(original_.error() != 0 ? original_.error() : EIO);
            return;
        }
        converter_.write(added_, std::string_view(buffer_.get(), got));
        offset += got;
        length -= got;
    }
}

void diffsink::openstretch(std::uint64_t start) {
    if (instretch_) return;
    instretch_ = true;
    stretchstart_ = start;
    stretchlines_ = 0;
}

void diffsink::diverge() {
    openstretch(oldlinestart_);
    addconverted(oldlinestart_, oldoffset_ - oldlinestart_);
    diverged_ = true;
}

void diffsink::copied(std::string_view bytes) {
    // Copied text that starts a line in both texts starts agreeing lines.
    if (diverged_ && oldoffset_ == oldlinestart_ && added_.endsline() && !converter_.holding()) diverged_ = false;
    while (!bytes.empty()) {
        std::size_t end = bytes.find('\n');
        std::size_t length = end == std::string_view::npos ? bytes.size() : end + 1;
        std::string_view part = bytes.substr(0, length);
        bytes.remove_prefix(length);
        const bool endsline = part.back() == '\n';
        const char before = part.size() >= 2 ? part[part.size() - 2] : previous_;
        const std::uint64_t linestart = oldlinestart_;
        if (diverged_) {
            converter_.write(added_, part);
            moveold(part);
            if (endsline) {
                // A copied line end ends a line in both texts: they agree again.
                ++stretchlines_;
                diverged_ = false;
            }
            continue;
        }
        moveold(part);
        if (!endsline) continue;
        if (lineendchanges(before)) {
            openstretch(linestart);
            // Only a start of the line that came in an earlier write is read back.
            addconverted(linestart, oldoffset_ - part.size() - linestart);
            converter_.write(added_, part);
            ++stretchlines_;
        } else {
            if (instretch_) closestretch(linestart);
            diff_.keep(linestart, oldoffset_ - linestart);
        }
    }
}

void diffsink::dropped(std::string_view bytes) {
    if (bytes.empty() || error() != 0) return;
    if (!diverged_) diverge();
    stretchlines_ += static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    moveold(bytes);
    check(added_.error());
}

void diffsink::inserted(std::string_view bytes) {
    if (!diverged_) diverge();
    converter_.write(added_, bytes);
}

bool diffsink::searchstretch(std::uint64_t oldend) {
    const std::uint64_t oldlength = oldend - stretchstart_;
    if (oldlength > searchbytes || !added_.inmemory()) return false;
    std::string oldtext(oldlength, '\0');
    for (std::uint64_t done = 0; done < oldlength;) {
        std::size_t got = original_.readat(stretchstart_ + done, oldtext.data() + done, oldlength - done);
        if (got == 0) {
            check(original_.error() != 0 ? original_.error() : EIO);
            return true;
        }
        done += got;
    }
    std::vector<std::string_view> from = splitlines(oldtext);
    std::vector<std::string_view> to = splitlines(added_.text());
    if (from.size() > searchlines || to.size() > searchlines) return false;
    std::vector<editstep> steps;
    if (!shorteststeps(from, to, searchchanges, steps)) return false;
    std::size_t oldindex = 0;
    std::size_t newindex = 0;
    for (editstep step : steps) {
        switch (step) {
        case editstep::keep:
            diff_.keep(stretchstart_ + static_cast<std::uint64_t>(from[oldindex].data() - oldtext.data()),
                       from[oldindex].size());
            ++oldindex;
            ++newindex;
            break;
        case editstep::remove:
            diff_.change(step, from[oldindex++]);
            break;
        case editstep::add:
            diff_.change(step, to[newindex++]);
            break;
        }
    }
    return true;
}

void diffsink::closestretch(std::uint64_t oldend) {
    if (!searchstretch(oldend)) {
        const bool partial = oldend > oldlinestart_;  // a last line without a line end
        diff_.removeold(stretchstart_, oldend - stretchstart_, stretchlines_ + (partial ? 1 : 0));
        diff_.addheld(added_);
    }
    instretch_ = false;
    added_.clear();
}

int diffsink::finish() {
    if (error() == 0) {
        if (diverged_) {
            converter_.finish(added_);
            closestretch(oldoffset_);
        } else {
            if (instretch_) closestretch(oldlinestart_);
            // A last line without a line end has nothing to convert.
            if (oldoffset_ > oldlinestart_) diff_.keep(oldlinestart_, oldoffset_ - oldlinestart_);
        }
        check(added_.error());
    }
    int differror = diff_.finish();
    return error() != 0 ? error() : differror;
}

}  // namespace skelvane

#include "pieces.h"

#include <algorithm>
#include <cstring>

namespace skelvane {

std::size_t stringsource::readsome(char* buffer, std::size_t size) {
    std::size_t count = std::min(size, text_.size());
    if (chunk_ != 0) count = std::min(count, chunk_);
    std::memcpy(buffer, text_.data(), count);
    text_.remove_prefix(count);
    return count;
}

std::size_t stringsource::readat(std::uint64_t offset, char* buffer, std::size_t size) {
    if (offset >= whole_.size()) return 0;
    std::size_t count = std::min<std::uint64_t>(size, whole_.size() - offset);
    std::memcpy(buffer, whole_.data() + offset, count);
    return count;
}

piecereader::piecereader(bytesource& source)
    : source_(source), buffer_(buffersize) {}

void piecereader::reset() {
    begin_ = 0;
    end_ = 0;
    ended_ = false;
}

bool piecereader::plainrun(std::string_view& run, long& lineends) {
    const char* const start = buffer_.get() + begin_;
    const char* const limit = buffer_.get() + end_;
    const char* at = start;
    lineends = 0;
    while (at < limit) {
        std::size_t available = static_cast<std::size_t>(limit - at);
        std::size_t window = available < piecelimit ? available : piecelimit;
        const char* first = at;
        while (first < at + window && (*first == ' ' || *first == '\t')) ++first;
        if (maybedirective(first, static_cast<std::size_t>(at + window - first))) break;
        const void* lineend = std::memchr(at, '\n', window);
        if (lineend != nullptr) {
            at = static_cast<const char*>(lineend) + 1;
            ++lineends;
        } else if (available >= piecelimit || ended_) {
            at += window;
        } else {
            break;  // where this piece ends is not known yet
        }
    }
    if (at == start) return false;
    run = std::string_view(start, static_cast<std::size_t>(at - start));
    begin_ += run.size();
    return true;
}

bool piecereader::nextslow(std::string_view& piece) {
    for (;;) {
        const char* start = buffer_.get() + begin_;
        std::size_t available = end_ - begin_;
        std::size_t window = std::min(available, piecelimit);
        std::size_t length = 0;
        if (const void* lineend = std::memchr(start, '\n', window))
            length = static_cast<const char*>(lineend) - start + 1;
        else if (available >= piecelimit || (ended_ && available > 0))
            length = window;
        if (length > 0) {
            piece = std::string_view(start, length);
            begin_ += length;
            return true;
        }
        if (ended_) return false;

        // Too little buffered to decide where the piece ends: keep the
        // unfinished tail and read more behind it.
        std::memmove(buffer_.get(), start, available);
        begin_ = 0;
        end_ = available;
        std::size_t count = source_.readsome(buffer_.get() + end_, buffersize - end_);
        if (count == 0) {
            if (source_.error() != 0) return false;
            ended_ = true;
        }
        end_ += count;
    }
}

}  // namespace skelvane

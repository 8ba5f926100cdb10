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

namespace {

// Where the first "<!--#" begins, or limit. Found by its '#', which is rare
// in HTML where '<' is on every line.
const char* findkeyword(const char* start, const char* limit) {
    constexpr std::size_t before = keywordstart.size() - 1;
    for (const char* at = start + std::min<std::size_t>(before, static_cast<std::size_t>(limit - start)); at < limit;) {
        const void* hash = std::memchr(at, '#', static_cast<std::size_t>(limit - at));
        if (hash == nullptr) break;
        const char* found = static_cast<const char*>(hash) - before;
        if (std::memcmp(found, keywordstart.data(), before) == 0) return found;
        at = static_cast<const char*>(hash) + 1;
    }
    return limit;
}

// How many line ends lie between from and to: sixteen bytes at a time,
// counted in byte lanes that are added up before they can overflow.
long countlineends(const char* from, const char* to) {
    using lanes = unsigned char __attribute__((vector_size(16)));
    long count = 0;
    while (to - from >= 16) {
        lanes sums = {};
        for (int step = 0; step < 255 && to - from >= 16; ++step, from += 16) {
            lanes bytes;
            std::memcpy(&bytes, from, sizeof bytes);
            sums -= (lanes)(bytes == '\n');  // 0xff in each lane that holds one: adds 1
        }
        for (int lane = 0; lane < 16; ++lane) count += static_cast<unsigned char>(sums[lane]);
    }
    return count + std::count(from, to, '\n');
}

}  // namespace

bool piecereader::plainrun(std::string_view& run, long& lineends) {
    const char* const start = buffer_.get() + begin_;
    const char* const limit = buffer_.get() + end_;
    const char* at = start;
    lineends = 0;
    // Every piece up to the line that holds the next "<!--#" is plain: a
    // piece that may be a directive holds it. Those lines go in one step.
    const char* before = findkeyword(start, limit);
    // The last line end before it is near it: searched for from there back.
    const std::size_t lineend = std::string_view(start, static_cast<std::size_t>(before - start)).rfind('\n');
    if (lineend != std::string_view::npos) {
        at = start + lineend + 1;
        lineends = countlineends(start, at);
    }
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

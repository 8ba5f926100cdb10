#include "namelist.h"

#include "osfile.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace skelvane {

namespace {

constexpr std::size_t blocksize = 64 * 1024;

}  // namespace

namelist::~namelist() {
    if (ownsfile_) std::fclose(file_);
}

int namelist::open(const std::string& path, bool nulseparated) {
    separator_ = nulseparated ? '\0' : '\n';
    if (path == "-") {
        file_ = stdin;
#ifdef _WIN32
        // Bytes as they are: text mode would end a NUL list at a 0x1A.
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    } else {
        errno = 0;
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) return errno != 0 ? errno : ENOENT;
        ownsfile_ = true;
    }
    buffer_.reset(new char[blocksize]);
    fill();
    return error_;
}

bool namelist::fill() {
    // What is left of the last block moves to the front.
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (ended_ || error_ != 0) return false;
    errno = 0;
    std::size_t got = std::fread(buffer_.get() + end_, 1, blocksize - end_, file_);
    end_ += got;
    if (got == 0 && std::ferror(file_)) error_ = errno != 0 ? errno : EIO;
    if (got == 0) ended_ = true;
    return got > 0;
}

bool namelist::next(std::string& name) {
    for (;;) {
        name.clear();
        const char* start = buffer_.get() + begin_;
        const void* found = std::memchr(start, separator_, end_ - begin_);
        if (found != nullptr) {
            name.assign(start, static_cast<const char*>(found));
            begin_ += name.size() + 1;
        } else if (end_ - begin_ == blocksize) {
            // A name longer than a block: taken in parts until its end.
            name.assign(start, end_ - begin_);
            begin_ = end_;
            while (fill()) {
                const char* rest = buffer_.get();
                const void* end = std::memchr(rest, separator_, end_);
                std::size_t part =
                    end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - rest) : end_;
                name.append(rest, part);
                begin_ = end != nullptr ? part + 1 : end_;
                if (end != nullptr) break;
            }
            // A name cut short by a read error is no name.
            if (error_ != 0) return false;
        } else if (fill()) {
            continue;
        } else if (error_ != 0) {
            return false;
        } else if (begin_ < end_) {
            // The last name, without its end (fill() moved it to the front).
            name.assign(buffer_.get() + begin_, end_ - begin_);
            begin_ = end_;
        } else {
            return false;
        }
        if (textmodefiles && separator_ == '\n' && !name.empty() && name.back() == '\r') name.pop_back();
        if (!name.empty()) return true;
    }
}

}  // namespace skelvane

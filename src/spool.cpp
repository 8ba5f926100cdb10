#include "spool.h"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace skelvane {

namespace {

int lasterror() { return errno != 0 ? errno : EIO; }

}  // namespace

spool::~spool() {
    if (file_ != nullptr) std::fclose(file_);
}

void spool::overflow(std::string_view bytes) {
    if (error() != 0) return;
    size_ += bytes.size();
    lineends_ += static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    last_ = bytes.back();
    if (file_ == nullptr && memory_.size() + bytes.size() <= memorylimit) {
        memory_.append(bytes);
        return;
    }
    errno = 0;
    if (file_ == nullptr) {
        file_ = std::tmpfile();
        if (file_ == nullptr ||
            std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size()) {
            fail(lasterror());
            return;
        }
        memory_.clear();
        memory_.shrink_to_fit();
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) fail(lasterror());
}

int spool::replay(bytesink& out, std::uint64_t from, std::uint64_t to) {
    if (error() != 0) return error();
    if (file_ == nullptr) {
        out.write(std::string_view(memory_).substr(from, to - from));
        return 0;
    }
    errno = 0;
    if (std::fflush(file_) != 0 || std::fseek(file_, static_cast<long>(from), SEEK_SET) != 0) {
        fail(lasterror());
        return error();
    }
    constexpr std::size_t chunk = 64 * 1024;
    std::unique_ptr<char[]> buffer(new char[chunk]);
    std::uint64_t left = to - from;
    while (left > 0 && out.error() == 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk));
        std::size_t got = std::fread(buffer.get(), 1, want, file_);
        if (got == 0) {
            fail(std::ferror(file_) ? lasterror() : EIO);
            return error();
        }
        out.write(std::string_view(buffer.get(), got));
        left -= got;
    }
    // Later writes append after what was read.
    if (std::fseek(file_, 0, SEEK_END) != 0) fail(lasterror());
    return error();
}

void spool::clear() {
    memory_.clear();
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    size_ = 0;
    lineends_ = 0;
}

}  // namespace skelvane

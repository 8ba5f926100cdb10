// The parts of the file layer that are the same on every platform.
#include "osfile.h"

#include <cerrno>
#include <cstring>

namespace skelvane {

std::string describe(int error) {
    if (error == notregular) return "not a regular file";
    return std::strerror(error);
}

bool filestatus::changedsince(const filestatus& before) const {
    return !(id == before.id) || size != before.size || modifiedseconds != before.modifiedseconds ||
           modifiednanoseconds != before.modifiednanoseconds;
}

bool filestatus::touchedsince(const filestatus& before) const {
    return changedsince(before) || regular != before.regular || changedseconds != before.changedseconds ||
           changednanoseconds != before.changednanoseconds;
}

filesink::filesink(int fd) : fd_(fd), buffer_(new char[buffersize]) { setbuffer(buffer_.get(), buffersize); }

filesink& standardoutput() {
    static filesink out(1);
    return out;
}

stagingfile::stagingfile() : filesink(-1) {
    // No buffer until a file is open, so a write before create() fails.
    fail(EBADF);
}

stagingfile::~stagingfile() { discard(); }

void filesink::overflow(std::string_view bytes) {
    if (flush() != 0) return;
    // A long run goes out straight from where it stands.
    if (bytes.size() < buffersize / 4) {
        write(bytes);
        return;
    }
    writeall(bytes);
}

int filesink::flush() {
    writeall(std::string_view(begin_, static_cast<std::size_t>(next_ - begin_)));
    if (error_ == 0) next_ = begin_;
    return error_;
}

int stagingfile::keep(std::string& kept) {
    if (flush() != 0) return error_;
    // The suffix takes the file out of the sweep's reach.
    kept = path_ + ".saved";
    int error = renameto(kept);
    if (error != 0) kept = path_;
    path_.clear();
    return 0;
}

bool isstagingname(const char* name) {
    std::size_t prefix = sizeof stagingprefix - 1;
    return std::strncmp(name, stagingprefix, prefix) == 0 && std::strlen(name) == prefix + stagingsuffixlength;
}

}  // namespace skelvane

#include "osfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skelvane {

namespace {


filestatus fromstat(const struct stat& st) {
    filestatus status;
    status.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    status.size = static_cast<std::uint64_t>(st.st_size);
    status.modifiedseconds = st.st_mtim.tv_sec;
    status.modifiednanoseconds = st.st_mtim.tv_nsec;
    status.changedseconds = st.st_ctim.tv_sec;
    status.changednanoseconds = st.st_ctim.tv_nsec;
    status.regular = S_ISREG(st.st_mode);
    status.mode = st.st_mode & 07777;
    status.owner = st.st_uid;
    status.group = st.st_gid;
    status.links = st.st_nlink;
    return status;
}

// Where flock() is not supported the lock is only lost, not the data.
bool lockunsupported(int error) {
    return error == EOPNOTSUPP || error == ENOLCK || error == EINVAL || error == ENOSYS;
}

}  // namespace


int statpath(const std::string& path, filestatus& status, bool followlinks) {
    struct stat st;
    int result = followlinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    if (result != 0) return errno;
    status = fromstat(st);
    return 0;
}

int resolvepath(const std::string& path, std::string& resolved) {
    char* full = realpath(path.c_str(), nullptr);
    if (full == nullptr) return errno;
    resolved = full;
    std::free(full);
    return 0;
}

std::string directoryof(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool isabsolutepath(const std::string& path) { return !path.empty() && path.front() == '/'; }

bool ispathseparator(char c) { return c == '/'; }

int checkwritable(const std::string& path) {
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int removefile(const std::string& path) {
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

inputfile::~inputfile() { close(); }

int inputfile::open(const std::string& path) {
    close();
    error_ = 0;
    // O_NONBLOCK keeps a FIFO without a writer from stalling the run; on
    // the regular files that are all that is read, it changes nothing.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st;
    int error = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? notregular : 0;
    if (error != 0) {
        ::close(fd);
        return error;
    }
    fd_ = fd;
    status_ = fromstat(st);
    consumed_ = 0;
    atend_ = false;
    return 0;
}

int inputfile::lock() {
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        return lockunsupported(errno) ? 0 : errno;
    }
    return 0;
}

void inputfile::letreplace() {}

void inputfile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::size_t inputfile::readsome(char* buffer, std::size_t size) {
    if (error_ != 0 || fd_ < 0 || atend_) return 0;
    for (;;) {
        ssize_t count = ::read(fd_, buffer, size);
        if (count >= 0) {
            // A short read that reaches the size the file had when it was
            // opened is its end: the read that would say so is saved, which
            // matters for the many small pattern files.
            consumed_ += static_cast<std::uint64_t>(count);
            atend_ = static_cast<std::size_t>(count) < size && consumed_ == status_.size;
            return static_cast<std::size_t>(count);
        }
        if (errno == EINTR) continue;
        error_ = errno;
        return 0;
    }
}

std::size_t inputfile::readat(std::uint64_t offset, char* buffer, std::size_t size) {
    if (error_ != 0 || fd_ < 0) return 0;
    for (;;) {
        ssize_t count = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
        if (count >= 0) return static_cast<std::size_t>(count);
        if (errno == EINTR) continue;
        error_ = errno;
        return 0;
    }
}

int stagingfile::create(const std::string& directory) {
    discard();
    // A sweeping run may lock and remove the new file between its creation
    // and our lock; the name is checked once the lock is ours, and a file
    // lost that way is simply made again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = directory + "/" + stagingprefix + "XXXXXX";
        int fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return errno;
        int locked = 0;
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0 && !lockunsupported(errno)) {
            int error = errno;
            unlink(name.c_str());
            ::close(fd);
            return error;
        }
        struct stat byfd;
        struct stat byname;
        if (fstat(fd, &byfd) == 0 && lstat(name.c_str(), &byname) == 0 &&
            byfd.st_dev == byname.st_dev && byfd.st_ino == byname.st_ino) {
            fd_ = fd;
            path_ = name;
            id_ = fromstat(byfd).id;
            error_ = 0;
            setbuffer(buffer_.get(), buffersize);
            return 0;
        }
        ::close(fd);
    }
    return EEXIST;
}

void filesink::writeall(std::string_view bytes) {
    while (!bytes.empty() && error_ == 0) {
        ssize_t count = ::write(fd_, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno != EINTR) fail(errno);
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

int stagingfile::finish() {
    if (flush() != 0) return error_;
    while (fsync(fd_) != 0) {
        if (errno == EINTR) continue;
        // Some file systems cannot sync at all; that is no failure of the text.
        if (errno == EINVAL || errno == EROFS || errno == ENOTSUP) break;
        // Not sticky: the written text can still be kept for the user.
        return errno;
    }
    return 0;
}

int stagingfile::copymetadata(const filestatus& from) {
    struct stat st;
    if (fstat(fd_, &st) != 0) return errno;
    // Ownership is kept where the process may set it; a user who may not
    // give a file away still gets the new text under their own name. The
    // mode comes after the owner, since changing the owner clears set-id bits.
    if (st.st_uid != from.owner || st.st_gid != from.group) {
        if (fchown(fd_, from.owner, from.group) != 0 && st.st_gid != from.group)
            (void)fchown(fd_, static_cast<uid_t>(-1), from.group);
    }
    return fchmod(fd_, from.mode) == 0 ? 0 : errno;
}

int stagingfile::renameto(const std::string& target) {
    if (rename(path_.c_str(), target.c_str()) != 0) return errno;
    path_.clear();
    return 0;
}

int stagingfile::leaveas(const std::string& name) {
    if (flush() != 0) return error_;
    int error = renameto(name);
    if (error != EXDEV) return error;

    stagingfile copy;
    if ((error = copy.create(directoryof(name))) != 0) return error;
    if (lseek(fd_, 0, SEEK_SET) != 0) return errno;
    for (;;) {
        ssize_t count = ::read(fd_, buffer_.get(), buffersize);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return errno;
        if (count == 0) break;
        copy.write(std::string_view(buffer_.get(), static_cast<std::size_t>(count)));
    }
    if ((error = copy.finish()) != 0) return error;
    if ((error = copy.renameto(name)) != 0) return error;
    discard();
    return 0;
}

void stagingfile::discard() {
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fail(EBADF);
}

void sweepstale(const std::string& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return;
    int dirfd = ::dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        if (!isstagingname(entry->d_name)) continue;
        int fd = openat(dirfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat byfd;
        struct stat byname;
        // Only an unlocked regular file that is still the one under that
        // name is stale; a running owner holds its lock to the end.
        if (fstat(fd, &byfd) == 0 && S_ISREG(byfd.st_mode) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(dirfd, entry->d_name, &byname, AT_SYMLINK_NOFOLLOW) == 0 &&
            byfd.st_dev == byname.st_dev && byfd.st_ino == byname.st_ino)
            unlinkat(dirfd, entry->d_name, 0);
        ::close(fd);
    }
    closedir(dir);
}

void prepareprocess() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace skelvane

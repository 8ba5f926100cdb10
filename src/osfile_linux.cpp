// The operating-system layer for Linux. It needs what only Linux has:
// unnamed files (O_TMPFILE), renameat2's RENAME_NOREPLACE, syncfs,
// sync_file_range, leases (F_SETLEASE) and the inode flags of FS_IOC_GETFLAGS.
#include "osfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <time.h>
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
    status.directory = S_ISDIR(st.st_mode);
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

// The ids new files get, asked once: they do not change during a run.
uid_t effectiveuser() {
    static const uid_t user = geteuid();
    return user;
}

gid_t effectivegroup() {
    static const gid_t group = getegid();
    return group;
}

// The permission bits the umask leaves of a new file's mode.
unsigned masked(unsigned mode) {
    static const unsigned mask = [] {
        mode_t old = umask(022);
        umask(old);
        return static_cast<unsigned>(old);
    }();
    return mode & ~mask;
}

// Whether syncfs() reports write-back errors: only since Linux 5.8.
bool syncfsreportserrors() {
    static const bool reports = [] {
        struct utsname name;
        int major = 0;
        int minor = 0;
        return uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
               (major > 5 || (major == 5 && minor >= 8));
    }();
    return reports;
}

// Local file systems whose syncfs() writes out every dirty file and
// commits their metadata, so that one call covers a whole batch. Network
// and FUSE file systems may not pass a whole-file-system sync on.
bool syncswhole(long type) {
    constexpr long ext4 = 0xEF53, xfs = 0x58465342, tmpfs = 0x01021994;
    constexpr long btrfs = static_cast<long>(0x9123683E), f2fs = static_cast<long>(0xF2F52010);
    return type == ext4 || type == xfs || type == btrfs || type == f2fs || type == tmpfs;
}

// fsync(), where a file system that cannot sync at all is no failure.
int syncfile(int fd) {
    while (fsync(fd) != 0) {
        if (errno == EINTR) continue;
        if (errno == EINVAL || errno == EROFS || errno == ENOTSUP) break;
        return errno;
    }
    return 0;
}

int syncwhole(int fd) {
    while (syncfs(fd) != 0) {
        if (errno == EINTR) continue;
        return errno;
    }
    return 0;
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

bool pathinside(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           (directory.back() == '/' || path[directory.size()] == '/');
}

bool isabsolutepath(const std::string& path) { return !path.empty() && path.front() == '/'; }

int checkwritable(const std::string& path, const filestatus& status) {
    // The superuser passes the system's test for any file.
    if ((status.mode & 0222) == 0) return EACCES;
    // Its owner may write a file whose owner bits allow it; no need to ask.
    if (status.owner == effectiveuser() && (status.mode & 0200) != 0) return 0;
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int checkcancreate(const std::string& directory) {
    return faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

bool isstandardoutput(const fileid& id, const std::string&) {
    struct stat st;
    return fstat(STDOUT_FILENO, &st) == 0 && fromstat(st).id == id;
}

inputfile::~inputfile() { close(); }

int inputfile::refresh() {
    struct stat st;
    int error = fstat(fd_, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? notregular : 0;
    if (error != 0) {
        close();
        return error;
    }
    status_ = fromstat(st);
    return 0;
}

int inputfile::open(const std::string& path) {
    close();
    error_ = 0;
    consumed_ = 0;
    atend_ = false;
    // O_NONBLOCK keeps a FIFO without a writer from stalling the run; on
    // the regular files that are all that is read, it changes nothing.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return errno;
    return refresh();
}

int inputfile::openturn(const std::string& path, bool followlinks) {
    close();
    error_ = 0;
    consumed_ = 0;
    atend_ = false;
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followlinks ? 0 : O_NOFOLLOW));
    if (fd_ < 0) return errno;
    // Not waiting, the lock is safe to try before the file is known to be
    // regular. The status is taken after it, as the file the turn is for.
    int turn = 0;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0 && !lockunsupported(errno)) {
        if (errno == EINTR) continue;
        turn = errno;
        break;
    }
    if (int error = refresh()) return error;
    if (turn != 0 && turn != EWOULDBLOCK) close();
    return turn;
}

int inputfile::waitturn(bool (*giveup)()) {
    // A wait that may be given up tries now and then instead of blocking.
    const int how = giveup != nullptr ? LOCK_EX | LOCK_NB : LOCK_EX;
    while (flock(fd_, how) != 0) {
        if (errno == EINTR) continue;
        if (lockunsupported(errno)) break;
        int error = errno;
        if (error == EWOULDBLOCK && giveup != nullptr) {
            if (!giveup()) {
                const timespec pause{0, 20'000'000};
                nanosleep(&pause, nullptr);
                continue;
            }
            error = ECANCELED;
        }
        close();
        return error;
    }
    return refresh();
}

namespace {

// A broken lease is given up at once, so that the program that opens the
// file for writing does not wait for this one; F_GETLEASE then tells.
extern "C" void onleasebreak(int, siginfo_t* info, void*) {
    const int saved = errno;
    (void)fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
    errno = saved;
}

}  // namespace

int inputfile::guardwriters() {
    static const bool handled = [] {
        struct sigaction action {};
        action.sa_sigaction = onleasebreak;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        return sigaction(SIGIO, &action, nullptr) == 0;
    }();
    guarded_ = false;
    if (!handled || fcntl(fd_, F_SETSIG, SIGIO) != 0) return ENOTSUP;
    if (fcntl(fd_, F_SETLEASE, F_RDLCK) != 0) return errno == EAGAIN || errno == EBUSY ? beingwritten : errno;
    guarded_ = true;
    return 0;
}

bool inputfile::writerscame() const { return guarded_ && fd_ >= 0 && fcntl(fd_, F_GETLEASE) != F_RDLCK; }

void inputfile::letreplace() {}

bool inputfile::pinned() const {
    int flags = 0;
    return fd_ >= 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

void inputfile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    guarded_ = false;
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

namespace {

// An unnamed file is given its name through /proc/self/fd, which must be
// mounted; without it every staging file is named from the start.
bool canlinkunnamed() {
    static const bool available = access("/proc/self/fd", X_OK) == 0;
    return available;
}

// What open() says when the file system cannot make unnamed files.
bool notmpfile(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

int lockexclusive(int fd) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        return lockunsupported(errno) ? 0 : errno;
    }
    return 0;
}

// Gives an unnamed file a name; fails with EEXIST rather than replace one.
int linkunnamed(int fd, const std::string& name) {
    char self[48];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// Renames a file of ours; fails with EEXIST rather than replace one. A
// file system without the call, or a directory that refuses renames but
// takes new names, gets a link instead, which cannot replace a file
// either; kept says whether the old name could not be removed after it.
int movenoreplace(const std::string& from, const std::string& to, bool& kept) {
    kept = false;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EPERM) return errno;
    if (link(from.c_str(), to.c_str()) != 0) return errno;
    kept = unlink(from.c_str()) != 0;
    return 0;
}

// Whether the directory keeps every name made in it: append-only or
// immutable. A file system that cannot tell has neither.
bool keepsnamesfd(int dirfd) {
    int flags = 0;
    return ioctl(dirfd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// Directories where this process could not remove a name it made, though
// no flag said so: a watch gives no staging file a name there again.
std::set<std::pair<std::uint64_t, std::uint64_t>>& refusingremoval() {
    static std::set<std::pair<std::uint64_t, std::uint64_t>> directories;
    return directories;
}

bool keepsnamesin(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool keeps = keepsnamesfd(fd);
    ::close(fd);
    return keeps;
}

}  // namespace

int stagingfile::create(const std::string& directory, const filestatus* like, const directoryfacts* facts) {
    discard();
    directory_ = directory;
    facts_ = facts != nullptr
                 ? directoryfacts{facts->id, facts->group, facts->wholesync, facts->keepsnames, {}, {}, {}}
                 : directoryfacts{};
    if (facts == nullptr) facts_.keepsnames = keepsnamesin(directory);
    idknown_ = false;
    int fd = -1;
    if (canlinkunnamed()) {
        // No one can open an unnamed file, so it may have its final
        // permissions from the start.
        createdmode_ = masked(like != nullptr ? (like->mode & 0777) : 0600);
        fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, like != nullptr ? like->mode & 0777 : 0600);
        if (fd < 0 && !notmpfile(errno)) return errno;
    }
    unnamed_ = fd >= 0;
    // A named staging file there could never be put in place nor removed.
    if (!unnamed_ && facts_.keepsnames) return EPERM;
    for (int attempt = 0; fd < 0; ++attempt) {
        std::string name = stagingnamein(directory);
        fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && (errno != EEXIST || attempt == 100)) return errno;
        if (fd >= 0) path_ = name;
        createdmode_ = masked(0600);
    }
    // A named staging file is locked while its run lives, so that
    // lookatdirectory() tells it from one whose run died.
    int error = 0;
    if (!unnamed_) {
        error = lockexclusive(fd);
        struct stat st;
        if (error == 0 && fstat(fd, &st) != 0) error = errno;
        if (error == 0) id_ = fromstat(st).id;
        idknown_ = error == 0;
    }
    if (error != 0) {
        unlink(path_.c_str());
        path_.clear();
        ::close(fd);
        return error;
    }
    fd_ = fd;
    written_ = 0;
    error_ = 0;
    if (!buffer_) buffer_.reset(buffersize);
    setbuffer(buffer_.get(), buffersize);
    return 0;
}

bool stagingfile::is(const filestatus& status) const {
    // An unnamed file has no links: any other file cannot be this one.
    if (fd_ < 0 || (unnamed_ && status.links != 0)) return false;
    if (!idknown_) {
        struct stat st;
        if (fstat(fd_, &st) != 0) return false;
        id_ = fromstat(st).id;
        idknown_ = true;
    }
    return id_ == status.id;
}

void filesink::writeall(std::string_view bytes) {
    while (!bytes.empty() && error_ == 0) {
        ssize_t count = ::write(fd_, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno != EINTR) fail(errno);
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
        written_ += static_cast<std::uint64_t>(count);
    }
}

int stagingfile::complete() {
    if (flush() != 0) return error_;
    buffer_.reset();
    setbuffer(nullptr, 0);
    // A large text starts for the disk now, while the next documents are
    // made; the barrier writes small ones out together.
    constexpr std::uint64_t startwriteback = 1024 * 1024;
    if (written_ >= startwriteback) (void)sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    return 0;
}

int stagingfile::finish() {
    if (int error = complete()) return error;
    // Not sticky: the written text can still be kept for the user.
    return syncfile(fd_);
}

int stagingfile::copymetadata(const filestatus& from) {
    // A new file is the process's own and gets its group from the
    // process or the directory; when all three are the document's there is
    // nothing to ask about.
    const bool ownedalike = from.owner == effectiveuser() && from.group == effectivegroup() &&
                            facts_.group == effectivegroup();
    if (!ownedalike) {
        struct stat st;
        if (fstat(fd_, &st) != 0) return errno;
        // Ownership is kept where the process may set it; a user who may
        // not give a file away still gets the new text under their own
        // name. The mode comes after the owner, since changing the owner
        // clears set-id bits.
        if (st.st_uid != from.owner || st.st_gid != from.group) {
            if (fchown(fd_, from.owner, from.group) != 0 && st.st_gid != from.group)
                (void)fchown(fd_, static_cast<uid_t>(-1), from.group);
            createdmode_ = ~0u;
        }
    }
    if (from.mode == createdmode_) return 0;
    return fchmod(fd_, from.mode) == 0 ? 0 : errno;
}

int stagingfile::renameto(const std::string& target) {
    if (flush() != 0) return error_;
    // Refused now, while the text can still be kept under another name.
    if (facts_.keepsnames || refusingremoval().count({facts_.id.device, facts_.id.inode}) != 0) return EPERM;
    if (unnamed_) {
        // Locked first, so that no other run reports it in the moment
        // between its name and the rename.
        if (int error = lockexclusive(fd_)) return error;
        for (int attempt = 0; unnamed_; ++attempt) {
            std::string name = stagingnamein(directory_);
            int error = linkunnamed(fd_, name);
            if (error != 0 && (error != EEXIST || attempt == 100)) return error;
            if (error == 0) {
                path_ = name;
                unnamed_ = false;
            }
        }
    }
    if (rename(path_.c_str(), target.c_str()) != 0) return errno;
    path_.clear();
    return 0;
}

int stagingfile::keepas(const std::string& name) {
    if (flush() != 0) return error_;
    bool kept = false;
    int error = unnamed_ ? linkunnamed(fd_, name) : movenoreplace(path_, name, kept);
    if (error == 0) {
        // The text has the name now; nothing of it is ours to remove, but
        // for a staging name that could not be removed.
        unnamed_ = false;
        if (!kept) path_.clear();
        return 0;
    }
    return error == EXDEV ? keepcopy(name) : error;
}

int stagingfile::readback(std::uint64_t offset, std::size_t& got) {
    if (!buffer_) buffer_.reset(buffersize);
    for (;;) {
        ssize_t count = ::pread(fd_, buffer_.get(), buffersize, static_cast<off_t>(offset));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return errno;
        got = static_cast<std::size_t>(count);
        return 0;
    }
}

int stagingfile::discard() {
    // Only a name this run gave the file, and only while it is still ours.
    struct stat byname;
    struct stat byfd;
    int error = 0;
    if (!path_.empty() && fd_ >= 0 && lstat(path_.c_str(), &byname) == 0 && fstat(fd_, &byfd) == 0 &&
        byname.st_dev == byfd.st_dev && byname.st_ino == byfd.st_ino && unlink(path_.c_str()) != 0) {
        error = errno;
        if (!(facts_.id == fileid{})) refusingremoval().insert({facts_.id.device, facts_.id.inode});
        // No run leaves its staging file without a write bit (a document
        // has one), so later runs know this one was not stopped.
        (void)fchmod(fd_, byfd.st_mode & 07555);
    }
    path_.clear();
    unnamed_ = false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fail(EBADF);
    return error;
}

int lookatdirectory(const std::string& directory, directoryfacts& facts) {
    facts = directoryfacts{};
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return errno;
    int dirfd = ::dirfd(dir);
    struct stat st;
    if (fstat(dirfd, &st) == 0) {
        facts.id = fromstat(st).id;
        facts.group = st.st_gid;
    }
    struct statfs fs;
    facts.wholesync = syncfsreportserrors() && fstatfs(dirfd, &fs) == 0 && syncswhole(static_cast<long>(fs.f_type));
    facts.keepsnames = keepsnamesfd(dirfd);
    while (struct dirent* entry = readdir(dir)) {
        if (!isstagingname(entry->d_name)) continue;
        int fd = openat(dirfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        // A running owner holds its lock to the end.
        bool left = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    (flock(fd, LOCK_SH | LOCK_NB) == 0 || lockunsupported(errno));
        ::close(fd);
        // A run that could not remove its file took its write bits away.
        std::vector<std::string>& found = (st.st_mode & 0222) == 0 ? facts.unremovable : facts.leftovers;
        if (left) found.push_back(directory + "/" + entry->d_name);
    }
    closedir(dir);
    notekeptnames(facts);
    return 0;
}

int listdirectory(const std::string& directory, std::vector<std::string>& names) {
    DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return errno;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    const int error = errno;
    closedir(dir);
    return error;
}

void makedurable(const std::vector<stagingfile*>& files, std::vector<int>& errors, std::vector<std::uint64_t>& synced) {
    errors.assign(files.size(), 0);
    std::vector<bool> done(files.size(), false);
    std::vector<bool> asked(files.size(), false);  // its file system's sync was tried
    for (std::size_t i = 0; i < files.size(); ++i) {
        const directoryfacts& facts = files[i]->facts_;
        if (asked[i] || !facts.wholesync) continue;
        std::vector<std::size_t> group;
        for (std::size_t j = i; j < files.size(); ++j)
            if (files[j]->facts_.wholesync && files[j]->facts_.id.device == facts.id.device) group.push_back(j);
        if (group.size() < 2) continue;
        for (std::size_t j : group) asked[j] = true;
        // The first file was opened before any other was written, so its
        // sync reports every write-back error of the batch; when it fails,
        // each file's own sync says whose text it was.
        if (syncwhole(files[i]->fd_) != 0) continue;
        for (std::size_t j : group) done[j] = true;
        synced.push_back(facts.id.device);
    }
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!done[i]) errors[i] = syncfile(files[i]->fd_);
}

int makerenamesdurable(const std::vector<renamedinto>& directories, std::string& failed) {
    int first = 0;
    std::vector<bool> done(directories.size(), false);
    std::vector<bool> asked(directories.size(), false);  // their file system's sync was tried
    auto alike = [&](std::size_t i, std::size_t j) {
        return directories[j].facts.wholesync && directories[j].facts.id.device == directories[i].facts.id.device;
    };
    for (std::size_t i = 0; i < directories.size(); ++i) {
        if (done[i]) continue;
        int fd = ::open(directories[i].directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int error = fd < 0 ? errno : 0;
        std::size_t others = 0;
        for (std::size_t j = i + 1; j < directories.size(); ++j) others += alike(i, j);
        if (error == 0 && !asked[i] && directories[i].facts.wholesync && others > 0) {
            for (std::size_t j = i; j < directories.size(); ++j) asked[j] = asked[j] || alike(i, j);
            if (syncwhole(fd) == 0)
                for (std::size_t j = i; j < directories.size(); ++j) done[j] = done[j] || alike(i, j);
        }
        if (error == 0 && !done[i]) error = syncfile(fd);
        if (fd >= 0) ::close(fd);
        if (first == 0 && error != 0) {
            first = error;
            failed = directories[i].directory;
        }
    }
    return first;
}

std::size_t openfilelimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
    return static_cast<std::size_t>(limit.rlim_cur);
}

// The system call itself, not glibc's getrandom() (2.25) nor the
// std::random_device of a libstdc++ built against glibc 2.36 (arc4random):
// the binary must load on older systems. Kernels before 3.17 lack the call.
std::uint64_t systemrandom() {
    std::uint64_t bits = 0;
    if (::syscall(SYS_getrandom, &bits, sizeof bits, 0) == static_cast<long>(sizeof bits)) return bits;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return 0;
    if (::read(fd, &bits, sizeof bits) != static_cast<ssize_t>(sizeof bits)) bits = 0;
    ::close(fd);
    return bits;
}

void prepareprocess() {
    std::signal(SIGPIPE, SIG_IGN);
    // A standard stream the caller closed (2>&-) would be the number the
    // next open gets: a staging file there would take the messages into
    // the document. /dev/null holds the number, opened the wrong way round
    // so that using the stream still fails as it would have.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_NOCTTY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

}  // namespace skelvane

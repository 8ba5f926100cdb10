// The operating-system layer for Windows (32- and 64-bit) on the system's C runtime.
//
// Files are opened in binary mode and line ends are translated here, as the
// runtime's text mode would (CR LF read as LF, LF written as CR LF), except
// that a 0x1A byte is an ordinary byte and never ends a file. Standard
// output gets the same translation. A run that takes files as bytes
// (--eol=lf or --eol=crlf) translates nothing. Runs take turns on a document
// through a mutex named after its file id, which leaves every reader free
// and outlasts the rename. A staging file is marked for deletion while it
// is written, so the system removes it if the run dies before the rename.
#include "osfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace skelvane {

namespace {


int fromwindows(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;

    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    default:
        return EIO;
    }
}

int lasterror() { return fromwindows(GetLastError()); }

// A reserved device name (CON, NUL, COM1, in any folder): the system's full
// path for it is \\.\NAME. Such a device may not even open (CON without a
// console), but it is never a file.
bool isdevicename(const std::string& path) {
    // Decided by the name first, as the system does, whatever the runtime
    // makes of the full path: the last part, up to its first dot and
    // without trailing blanks or colon, in any letter case.
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL" || name == "CONIN$" || name == "CONOUT$")
        return true;
    if (name.size() == 4 && (name.starts_with("COM") || name.starts_with("LPT")) && name[3] >= '1' && name[3] <= '9')
        return true;
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length >= 4 && length < sizeof full && std::strncmp(full, "\\\\.\\", 4) == 0;
}

HANDLE handleof(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

std::int64_t ticks(const LARGE_INTEGER& time) { return time.QuadPart; }

// Fills status from an open handle; a device (NUL, CON, a pipe) is no file.
int statushandle(HANDLE handle, filestatus& status) {
    if (GetFileType(handle) != FILE_TYPE_DISK) return notregular;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return lasterror();
    FILE_BASIC_INFO basic{};
    bool hasbasic = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
    status = {};
    status.id = {info.dwVolumeSerialNumber,
                 (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    status.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    std::int64_t written = hasbasic ? ticks(basic.LastWriteTime)
                                    : static_cast<std::int64_t>((static_cast<std::uint64_t>(
                                                                     info.ftLastWriteTime.dwHighDateTime)
                                                                 << 32) |
                                                                info.ftLastWriteTime.dwLowDateTime);
    std::int64_t changed = hasbasic ? ticks(basic.ChangeTime) : written;
    status.modifiedseconds = written / 10000000;
    status.modifiednanoseconds = (written % 10000000) * 100;
    status.changedseconds = changed / 10000000;
    status.changednanoseconds = (changed % 10000000) * 100;
    status.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.regular = !status.directory;
    status.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    status.links = info.nNumberOfLinks;
    status.attributes = info.dwFileAttributes;
    return 0;
}

// Drops every CR that an LF follows, in place; a CR at the end is held back
// (when more may follow) to see what comes next. Returns the new length.
std::size_t dropcrs(char* bytes, std::size_t count, bool& held, bool atend) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\r') {
            if (i + 1 < count) {
                if (bytes[i + 1] == '\n') continue;
            } else if (!atend) {
                held = true;
                continue;
            }
        }
        bytes[out++] = bytes[i];
    }
    return out;
}

}  // namespace

int statpath(const std::string& path, filestatus& status, bool followlinks) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followlinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return isdevicename(path) ? notregular : lasterror();
    int error = statushandle(handle, status);
    CloseHandle(handle);
    return error;
}

int resolvepath(const std::string& path, std::string& resolved) {
    if (isdevicename(path)) return notregular;
    // The final path of the file itself, every symbolic link and junction
    // on the way resolved, so that a rename replaces what a link points to.
    HANDLE handle = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return lasterror();
    char full[MAX_PATH * 4];
    DWORD length = GetFinalPathNameByHandleA(handle, full, sizeof full, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    if (length != 0 && length < sizeof full) {
        resolved.assign(full, length);
        // \\?\C:\x is C:\x, and \\?\UNC\server\share is \\server\share.
        if (resolved.rfind("\\\\?\\UNC\\", 0) == 0)
            resolved = "\\\\" + resolved.substr(8);
        else if (resolved.rfind("\\\\?\\", 0) == 0)
            resolved = resolved.substr(4);
        return 0;
    }
    length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return length == 0 ? lasterror() : ENAMETOOLONG;
    resolved.assign(full, length);
    return 0;
}

bool pathinside(const std::string& path, const std::string& directory) {
    // As Windows compares names: letter case aside, either separator.
    auto wide = [](const std::string& text) {
        int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        std::wstring result(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
        if (length > 0) CharUpperBuffW(result.data(), static_cast<DWORD>(length));
        for (wchar_t& c : result)
            if (c == L'/') c = L'\\';
        return result;
    };
    std::wstring inner = wide(path);
    std::wstring outer = wide(directory);
    while (outer.size() > 1 && outer.back() == L'\\' && outer[outer.size() - 2] != L':') outer.pop_back();
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
           (outer.back() == L'\\' || inner[outer.size()] == L'\\');
}

bool isabsolutepath(const std::string& path) {
    return (!path.empty() && ispathseparator(path.front())) || (path.size() >= 2 && path[1] == ':');
}

std::string directoryof(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

int checkwritable(const std::string& path, const filestatus& status) {
    (void)status;
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return lasterror();
    return (attributes & FILE_ATTRIBUTE_READONLY) ? EACCES : 0;
}

int checkcancreate(const std::string& directory) {
    DWORD attributes = GetFileAttributesA(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return lasterror();
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ENOTDIR;
}

bool isstandardoutput(const fileid& id, const std::string& path) {
    // The standard handle and the runtime's descriptor 1 may differ (a
    // program started by another runtime, or under Wine, whose handles on
    // redirected files need not carry the file's index): each is asked,
    // by id and by the path it leads to.
    std::string resolved;
    const bool known = resolvepath(path, resolved) == 0;
    for (HANDLE handle : {GetStdHandle(STD_OUTPUT_HANDLE), handleof(1)}) {
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) continue;
        filestatus status;
        if (statushandle(handle, status) == 0 && status.id == id) return true;
        // Wine answers only this for a redirected file, with no volume.
        FILE_ID_INFO ids;
        if (GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids)) {
            std::uint64_t index = 0;
            std::memcpy(&index, ids.FileId.Identifier, sizeof index);
            if (index == id.inode && (ids.VolumeSerialNumber == 0 || ids.VolumeSerialNumber == id.device)) return true;
        }
        char full[MAX_PATH * 4];
        DWORD length = GetFinalPathNameByHandleA(handle, full, sizeof full, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (!known || length == 0 || length >= sizeof full) continue;
        std::string output(full, length);
        if (output.rfind("\\\\?\\", 0) == 0) output = output.substr(4);
        if (output.size() == resolved.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, output.data(),
                                                               static_cast<int>(output.size()), resolved.data(),
                                                               static_cast<int>(resolved.size())) == CSTR_EQUAL)
            return true;
    }
    return false;
}

inputfile::~inputfile() { close(); }

int inputfile::open(const std::string& path) {
    close();
    error_ = 0;
    // A device is never opened: CON would wait for the console.
    if (isdevicename(path)) return notregular;
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return EISDIR;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return isdevicename(path) ? notregular : lasterror();
    filestatus status;
    int error = statushandle(handle, status);
    if (error == 0 && !status.regular) error = notregular;
    int fd = error == 0 ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY) : -1;
    if (fd < 0) {
        CloseHandle(handle);
        return error != 0 ? error : EMFILE;
    }
    fd_ = fd;
    path_ = path;
    status_ = status;
    consumed_ = 0;
    atend_ = false;
    pendingcr_ = false;
    rawat_ = textat_ = 0;
    atpendingcr_ = false;
    return 0;
}

namespace {

// The mutex for a file id, created when no run holds it yet.
HANDLE turnfor(const fileid& id) {
    char name[80];
    std::snprintf(name, sizeof name, "skelvane-%016llx-%016llx", static_cast<unsigned long long>(id.device),
                  static_cast<unsigned long long>(id.inode));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, (std::string("Global\\") + name).c_str());
    if (mutex == nullptr) mutex = CreateMutexA(nullptr, FALSE, (std::string("Local\\") + name).c_str());
    return mutex;
}

}  // namespace

int inputfile::lock(bool wait, bool (*giveup)()) {
    // A lock on the file itself would have to end before the rename, and a
    // run waiting with the file open would stop the rename: Windows renames
    // no file that is open. So the file is closed while the run waits on a
    // mutex named after it, and opened again once the turn is ours.
    for (int attempt = 0; attempt < 100; ++attempt) {
        closefile();
        HANDLE mutex = turnfor(status_.id);
        if (mutex == nullptr) return lasterror();
        // An abandoned mutex belonged to a run that was killed: it is ours now.
        // A wait that may be given up asks now and then.
        DWORD waited = WaitForSingleObject(mutex, !wait ? 0 : giveup != nullptr ? 50 : INFINITE);
        while (waited == WAIT_TIMEOUT && wait && !giveup()) waited = WaitForSingleObject(mutex, 50);
        if (waited == WAIT_TIMEOUT && wait) {
            CloseHandle(mutex);
            return ECANCELED;
        }
        if (waited == WAIT_TIMEOUT) {
            CloseHandle(mutex);
            return EWOULDBLOCK;
        }
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
            CloseHandle(mutex);
            return lasterror();
        }
        const fileid locked = status_.id;
        int error = open(path_);
        if (error == 0 && status_.id == locked) {
            turn_ = mutex;
            return 0;
        }
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        if (error != 0) return error;
        // Another run replaced the file meanwhile: wait for the new one.
    }
    return EAGAIN;
}

int inputfile::openturn(const std::string& path, bool followlinks) {
    // A link shows only once resolved (Wine's links to host files not even
    // then as such), so the caller resolves every path here.
    if (!followlinks) return ELOOP;
    if (int error = open(path)) return error;
    return lock(false, nullptr);
}

int inputfile::waitturn(bool (*giveup)()) { return lock(true, giveup); }

int inputfile::guardwriters() {
    // A handle that does not share writing can be had only while no other
    // has the file open for writing, and keeps every other from opening it so.
    HANDLE handle = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? beingwritten : lasterror();
    if (sharenowrite_ != nullptr) CloseHandle(static_cast<HANDLE>(sharenowrite_));
    sharenowrite_ = handle;
    guarded_ = true;
    return 0;
}

bool inputfile::writerscame() const { return false; }

void inputfile::closefile() {
    if (fd_ >= 0) _close(fd_);
    fd_ = -1;
    if (sharenowrite_ != nullptr) CloseHandle(static_cast<HANDLE>(sharenowrite_));
    sharenowrite_ = nullptr;
    guarded_ = false;
}

void inputfile::letreplace() { closefile(); }

// Read-only is what stops a rename here, and checkwritable() sees it.
bool inputfile::pinned() const { return false; }

void inputfile::close() {
    closefile();
    if (turn_ != nullptr) {
        ReleaseMutex(static_cast<HANDLE>(turn_));
        CloseHandle(static_cast<HANDLE>(turn_));
        turn_ = nullptr;
    }
}

std::size_t inputfile::readsome(char* buffer, std::size_t size) {
    if (error_ != 0 || fd_ < 0 || atend_) return 0;
    if (!textmode()) {
        int count = _read(fd_, buffer, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
        if (count < 0) error_ = errno;
        atend_ = count <= 0;
        return count < 0 ? 0 : static_cast<std::size_t>(count);
    }
    // A held-back CR goes out with the byte after it: room for two bytes
    // is needed, and a caller that gives less must not see an end of file.
    if (size < 2) {
        error_ = EINVAL;
        return 0;
    }
    for (;;) {
        std::size_t start = 0;
        if (pendingcr_) buffer[start++] = '\r';
        int count = _read(fd_, buffer + start, static_cast<unsigned>(std::min<std::size_t>(size - start, 1u << 30)));
        if (count < 0) {
            error_ = errno;
            return 0;
        }
        pendingcr_ = false;
        atend_ = count == 0;
        std::size_t length = dropcrs(buffer, start + static_cast<std::size_t>(count), pendingcr_, atend_);
        if (length > 0 || atend_) return length;
    }
}

std::size_t inputfile::readat(std::uint64_t offset, char* buffer, std::size_t size) {
    // Offsets count translated text, so the raw place is found by reading
    // on from the block the last call read, or from the start.
    if (error_ != 0 || fd_ < 0 || size == 0) return 0;
    if (!textmode()) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(offset);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD count = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!ReadFile(handleof(fd_), buffer, want, &count, &where) && GetLastError() != ERROR_HANDLE_EOF) {
            error_ = lasterror();
            return 0;
        }
        return count;
    }
    if (offset < textat_) {
        rawat_ = textat_ = 0;
        atpendingcr_ = false;
    }
    HANDLE handle = handleof(fd_);
    char raw[64 * 1024];
    for (;;) {
        const std::uint64_t blockraw = rawat_;
        const std::uint64_t blocktext = textat_;
        const bool blockpendingcr = atpendingcr_;
        std::size_t start = 0;
        if (atpendingcr_) raw[start++] = '\r';
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(rawat_);
        where.OffsetHigh = static_cast<DWORD>(rawat_ >> 32);
        DWORD count = 0;
        if (!ReadFile(handle, raw + start, static_cast<DWORD>(sizeof raw - start), &count, &where) &&
            GetLastError() != ERROR_HANDLE_EOF) {
            error_ = lasterror();
            return 0;
        }
        rawat_ += count;
        atpendingcr_ = false;
        std::size_t length = dropcrs(raw, start + count, atpendingcr_, count == 0);
        if (length == 0 && count == 0) return 0;
        const std::uint64_t end = textat_ + length;
        if (end <= offset) {
            textat_ = end;
            continue;
        }
        std::size_t skip = static_cast<std::size_t>(offset - textat_);
        std::size_t served = std::min(size, length - skip);
        std::memcpy(buffer, raw + skip, served);
        // The rest of this block may be asked for next.
        rawat_ = blockraw;
        textat_ = blocktext;
        atpendingcr_ = blockpendingcr;
        return served;
    }
}

namespace {

// Marks an open file to be deleted when its last handle closes, whatever
// ends the process, or takes the mark away again.
bool deleteonclose(HANDLE handle, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace

int stagingfile::create(const std::string& directory, const filestatus* like, const directoryfacts* facts) {
    (void)like;
    discard();
    directory_ = directory;
    facts_ = facts != nullptr
                 ? directoryfacts{facts->id, facts->group, facts->wholesync, facts->keepsnames, {}, {}, {}}
                 : directoryfacts{};
    // Every staging file has a name here, which such a directory would keep.
    if (facts_.keepsnames) return EPERM;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stagingnamein(directory);
        // Without FILE_SHARE_DELETE nobody else removes or renames it.
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return lasterror();
        }
        // Where a file system cannot, the file keeps its name, and a later
        // run reports it if this one dies.
        pendingdelete_ = deleteonclose(handle, true);
        filestatus status;
        int fd = -1;
        if (statushandle(handle, status) != 0 ||
            (fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY)) < 0) {
            if (!pendingdelete_) deleteonclose(handle, true);
            CloseHandle(handle);
            pendingdelete_ = false;
            return EIO;
        }
        fd_ = fd;
        path_ = name;
        id_ = status.id;
        idknown_ = true;
        written_ = 0;
        error_ = 0;
        if (!buffer_) buffer_.reset(buffersize);
        setbuffer(buffer_.get(), buffersize);
        return 0;
    }
    return EEXIST;
}

void filesink::writeall(std::string_view bytes) {
    // In text mode each LF goes out as CR LF. The text is translated into
    // a block of its own first, so that many short lines still cost one
    // write per block, not two per line.
    constexpr std::size_t block = 64 * 1024;
    std::unique_ptr<char[]> translated;
    while (!bytes.empty() && error_ == 0) {
        std::string_view part = bytes;
        if (textmode_) {
            if (!translated) translated.reset(new char[2 * block]);
            std::size_t used = 0;
            std::size_t taken = 0;
            while (taken < bytes.size() && used < block) {
                std::size_t room = std::min(bytes.size() - taken, block - used);
                const void* lf = std::memchr(bytes.data() + taken, '\n', room);
                std::size_t run = lf == nullptr ? room : static_cast<const char*>(lf) - (bytes.data() + taken);
                std::memcpy(translated.get() + used, bytes.data() + taken, run);
                used += run;
                taken += run;
                if (lf != nullptr) {
                    translated[used++] = '\r';
                    translated[used++] = '\n';
                    ++taken;
                }
            }
            part = std::string_view(translated.get(), used);
            bytes.remove_prefix(taken);
        } else {
            bytes = {};
        }
        while (!part.empty() && error_ == 0) {
            // Standard output is written through its handle, past the
            // runtime's own text mode, which would add a second CR.
            DWORD count = 0;
            DWORD want = static_cast<DWORD>(std::min<std::size_t>(part.size(), 1u << 30));
            if (!WriteFile(handleof(fd_), part.data(), want, &count, nullptr) || count == 0) {
                fail(count == 0 && GetLastError() == ERROR_SUCCESS ? ENOSPC : lasterror());
                return;
            }
            part.remove_prefix(count);
            written_ += count;
        }
    }
}

bool stagingfile::is(const filestatus& status) const { return fd_ >= 0 && idknown_ && id_ == status.id; }

int stagingfile::complete() {
    if (flush() != 0) return error_;
    buffer_.reset();
    setbuffer(nullptr, 0);
    return 0;
}

int stagingfile::finish() {
    if (int error = complete()) return error;
    return FlushFileBuffers(handleof(fd_)) ? 0 : lasterror();
}

void makedurable(const std::vector<stagingfile*>& files, std::vector<int>& errors, std::vector<std::uint64_t>& synced) {
    (void)synced;
    errors.assign(files.size(), 0);
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!FlushFileBuffers(handleof(files[i]->fd_))) errors[i] = lasterror();
}

int makerenamesdurable(const std::vector<renamedinto>& directories, std::string& failed) {
    (void)directories;
    (void)failed;
    return 0;
}

int stagingfile::copymetadata(const filestatus& from) {
    // The new file gets the document's attributes when it is in place.
    attributes_ = from.attributes & ~static_cast<unsigned>(FILE_ATTRIBUTE_NORMAL);
    return 0;
}

namespace {

// Renames the open file behind handle to target, replacing a file there
// only when told to. The file stays open (so no one else can delete or
// rename it) until it has its new name.
DWORD renamehandle(HANDLE handle, const std::string& target, bool replace) {
    char full[MAX_PATH * 4];
    DWORD length = GetFullPathNameA(target.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    int wide = MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(length), nullptr, 0);
    if (wide == 0) return GetLastError();
    std::string storage(sizeof(FILE_RENAME_INFO) + static_cast<std::size_t>(wide) * sizeof(WCHAR), '\0');
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(wide) * sizeof(WCHAR);
    MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(length), info->FileName, wide);
    return SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(storage.size()))
               ? ERROR_SUCCESS
               : GetLastError();
}

}  // namespace

int stagingfile::renameto(const std::string& target) {
    if (flush() != 0) return error_;
    HANDLE handle = handleof(fd_);
    // From here to the rename the file is named and would stay if the run
    // died: the only such moment.
    if (pendingdelete_ && !deleteonclose(handle, false)) return lasterror();
    pendingdelete_ = false;
    // A reader elsewhere (another run reading it as a pattern, a virus
    // scanner) keeps the target open for a moment: try again for a while.
    for (int attempt = 0;; ++attempt) {
        DWORD error = renamehandle(handle, target, true);
        if (error == ERROR_SUCCESS) break;
        if (attempt == 100 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
            // Marked again, so that the name goes with the handle whatever
            // becomes of the text now.
            pendingdelete_ = deleteonclose(handle, true);
            return fromwindows(error);
        }
        Sleep(20);
    }
    // Written through: the text was flushed to the disk before the rename.
    _close(fd_);
    fd_ = -1;
    if (attributes_ != 0) SetFileAttributesA(target.c_str(), attributes_);
    path_.clear();
    fail(EBADF);
    return 0;
}

int stagingfile::keepas(const std::string& name) {
    if (flush() != 0) return error_;
    HANDLE handle = handleof(fd_);
    if (pendingdelete_ && !deleteonclose(handle, false)) return lasterror();
    pendingdelete_ = false;
    DWORD renamed = renamehandle(handle, name, false);
    if (renamed == ERROR_SUCCESS) {
        _close(fd_);
        fd_ = -1;
        path_.clear();
        fail(EBADF);
        return 0;
    }
    // Where renames are refused, a second name, which cannot replace a file
    // either; the staging name then goes as discard() can take it.
    if (renamed == ERROR_ACCESS_DENIED && CreateHardLinkA(name.c_str(), path_.c_str(), nullptr)) {
        pendingdelete_ = deleteonclose(handle, true);
        return 0;
    }
    pendingdelete_ = deleteonclose(handle, true);
    int error = fromwindows(renamed);
    return error == EXDEV ? keepcopy(name) : error;
}

int stagingfile::readback(std::uint64_t offset, std::size_t& got) {
    if (!buffer_) buffer_.reset(buffersize);
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    if (!ReadFile(handleof(fd_), buffer_.get(), static_cast<DWORD>(buffersize), &count, &where) &&
        GetLastError() != ERROR_HANDLE_EOF)
        return lasterror();
    got = count;
    return 0;
}

int stagingfile::discard() {
    // A file marked for deletion goes with its handle; one that lost the
    // mark is marked again, or else deleted by the name this run gave it.
    const bool open = fd_ >= 0;
    if (open && !pendingdelete_ && !path_.empty()) pendingdelete_ = deleteonclose(handleof(fd_), true);
    if (open) _close(fd_);
    fd_ = -1;
    int error = 0;
    if (!pendingdelete_ && !path_.empty() && !DeleteFileA(path_.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        error = lasterror();
    // The mark is honoured when the handle closes, or silently not (Wine in
    // a directory that refuses removals): the name tells.
    if (error == 0 && open && !path_.empty() && GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES)
        error = EACCES;
    // Read-only, which no stopped run's file is, so later runs tell it apart.
    if (error != 0) SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_READONLY);
    pendingdelete_ = false;
    path_.clear();
    fail(EBADF);
    return error;
}

int lookatdirectory(const std::string& directory, directoryfacts& facts) {
    facts = directoryfacts{};
    filestatus status;
    if (int error = statpath(directory, status)) return error;
    facts.id = status.id;
    std::vector<std::string>& found = facts.leftovers;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((directory + "\\" + stagingprefix + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        if (!isstagingname(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        // A running owner holds its file without delete sharing (and while
        // it is written, marked for deletion): then this open fails.
        std::string name = directory + "\\" + entry.cFileName;
        HANDLE handle = CreateFileA(name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) continue;
        CloseHandle(handle);
        ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? facts.unremovable : found).push_back(name);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    notekeptnames(facts);
    return 0;
}

int listdirectory(const std::string& directory, std::vector<std::string>& names) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(((directory.empty() ? "." : directory) + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    do {
        if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0)
            names.emplace_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return 0;
}

// The C runtime's descriptors, which every open file here has one of.
std::size_t openfilelimit() { return static_cast<std::size_t>(_getmaxstdio()); }

// mingw-w64's std::random_device draws on the system's rand_s().
std::uint64_t systemrandom() {
    std::random_device device;
    return static_cast<std::uint64_t>(device()) << 32 | device();
}

// A descriptor of a standard stream the runtime found no handle for could
// be handed to a file opened later: NUL holds the number, opened the wrong
// way round so that using the stream still fails.
void prepareprocess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1) continue;
        const int held = _open("NUL", (fd == 0 ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
        if (held >= 0 && held != fd) {
            _dup2(held, fd);
            _close(held);
        }
    }
}

}  // namespace skelvane

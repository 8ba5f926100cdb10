// The thin layer over the operating system's file calls. With changes.h
// (notifications and stop signals) it holds what differs between the
// platforms, apart from the console set-up in main.cpp and namelist.cpp.
//
// Documents and pattern files are read through inputfile, which opens
// nothing but regular files and never blocks on a FIFO. A document's new
// text is written into a stagingfile created beside it and renamed over it,
// so the document holds its complete old text or its complete new text at
// every moment. A staging file has no name, or one the system removes,
// until it is put in place, so nothing needs clearing up after a run
// that died, and no run ever removes a file by its name. Two
// implementations: osfile_linux.cpp and osfile_windows.cpp, with what they
// share in osfile.cpp.
//
// Errors are errno values (0 for success), or notregular for a file that is
// neither missing nor a regular file; describe() turns them into text.
#ifndef SKELVANE_OSFILE_H
#define SKELVANE_OSFILE_H

#include "buffers.h"
#include "bytestream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace skelvane {

inline constexpr int notregular = -1;
// Another process has the file open for writing (see guardwriters).
inline constexpr int beingwritten = -2;

// Whether files are read and written in text mode: on Windows every line
// end is read as LF and written as CR LF, unless the run takes files as
// bytes (textmode() says which holds now).
#ifdef _WIN32
inline constexpr bool textmodefiles = true;
inline constexpr char pathseparator = '\\';
#else
inline constexpr bool textmodefiles = false;
inline constexpr char pathseparator = '/';
#endif

// --eol=lf and --eol=crlf give every line end themselves: files, and
// standard output's texts, are then read and written as the bytes they are
// on every platform. Called before any file is opened.
void takefilesasbytes();
bool textmode();

std::string describe(int error);

struct fileid {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const fileid&) const = default;
};

struct filestatus {
    fileid id;
    std::uint64_t size = 0;
    std::int64_t modifiedseconds = 0;
    std::int64_t modifiednanoseconds = 0;
    std::int64_t changedseconds = 0;
    std::int64_t changednanoseconds = 0;
    bool regular = false;
    bool directory = false;
    unsigned mode = 0;  // permission bits only
    unsigned owner = 0;
    unsigned group = 0;
    std::uint64_t links = 0;
    unsigned attributes = 0;  // Windows file attributes; 0 elsewhere

    // True when the file's content may differ from what was seen before.
    bool changedsince(const filestatus& before) const;
    // Stricter: also a change of the file's metadata, which any write makes.
    bool touchedsince(const filestatus& before) const;
};

// Follows symbolic links unless told not to.
int statpath(const std::string& path, filestatus& status, bool followlinks = true);
// Whether another process has the file open for writing; false when the
// system cannot tell.
bool openforwriting(const std::string& path);
// What identifies the directory entry a path names, however the path is
// spelled: its directory's identity and its own name there (letter case
// aside on Windows). A path whose directory cannot be looked at is known
// by its spelling.
std::string entrykey(const std::string& path);

// The path with every symbolic link resolved, so that a rename replaces the
// file a link points to rather than the link.
int resolvepath(const std::string& path, std::string& resolved);
std::string directoryof(const std::string& path);
// The last name of a path.
std::string filenameof(const std::string& path);
inline bool ispathseparator(char c) { return c == '/' || (pathseparator == '\\' && c == '\\'); }
// Whether a resolved path lies inside a resolved directory, as the system
// compares names (on Windows: letter case aside, either separator).
bool pathinside(const std::string& path, const std::string& directory);
bool isabsolutepath(const std::string& path);

// Whether a run may replace the file: the process may write it, by its
// effective ids, and it is not read-only. A file that no one may write
// was protected on purpose, so the superuser leaves it alone too.
int checkwritable(const std::string& path, const filestatus& status);
// Whether the process may make a new file in the directory.
int checkcancreate(const std::string& directory);

// What a run needs to know of a directory it replaces documents in,
// learnt once per directory.
struct directoryfacts {
    fileid id;
    // The group a new file there gets (POSIX; nobody's group when unknown).
    unsigned group = ~0u;
    // One sync of its whole file system makes every file written there
    // durable and reports any write-back error (see makedurable).
    bool wholesync = false;
    // A name made there can be neither removed nor renamed away (an
    // append-only directory): a staging file must never be given one.
    // Also where a run could not remove its staging file (unremovable):
    // the directory refused a removal once, and would again.
    bool keepsnames = false;
    // That staging file, when it is what shows keepsnames ("" otherwise).
    std::string keptby;
    // Files that look like what a run that died while replacing a document
    // left behind, and may hold its new text. A file whose run is still
    // going (locked, or on Windows still open) is not one. They are for
    // reporting only: a name alone proves nothing.
    std::vector<std::string> leftovers;
    // Files of that form that a run could not remove after it failed to
    // replace a document, which it made read-only to tell them apart.
    std::vector<std::string> unremovable;
};
int lookatdirectory(const std::string& directory, directoryfacts& facts);
// The names in a directory, but "." and "..", in no particular order.
int listdirectory(const std::string& directory, std::vector<std::string>& names);
// What lookatdirectory learnt from the files it found: a staging file that
// could not be removed marks a directory that keeps names.
void notekeptnames(directoryfacts& facts);
// Whether the file, opened by path, is the one standard output writes to.
bool isstandardoutput(const fileid& id, const std::string& path);

// A file read by this run. Its states:
//   closed   constructed, or after close(): a read gives nothing
//   open     after open(), or openturn() with 0 or EWOULDBLOCK (then
//            waitturn() until the turn comes): status() is the file's, and
//            readsome()/readat() read it; guardwriters() once per turn
//   released after letreplace(): on Windows closed for reading but the turn
//            still held; elsewhere still open
// close() (or the destructor) ends every state, and gives the turn back.
class inputfile : public bytesource, public rereadable {
public:
    inputfile() = default;
    inputfile(const inputfile&) = delete;
    inputfile& operator=(const inputfile&) = delete;
    ~inputfile() override;

    // Opens a regular file for reading; anything else is refused without
    // being read or waited on.
    int open(const std::string& path);
    // Opens a document and takes this run's turn on it, an exclusive
    // advisory lock (none where the file system has no such locks), or on
    // Windows a mutex named after the file, without waiting: EWOULDBLOCK
    // when another holds it, the file then open and its status known so
    // that waitturn() can wait. Without followlinks, a path whose last
    // part is a symbolic link gives ELOOP (on Windows every path does, as
    // a link there is known only by resolving it).
    int openturn(const std::string& path, bool followlinks);
    // Waits for the turn; with giveup, asks it now and then and ends the
    // wait with ECANCELED when it says so.
    int waitturn(bool (*giveup)() = nullptr);
    // Makes sure no other process writes the file while this one works on
    // it: beingwritten when one has it open for writing now; 0 when one
    // that opens it later is known to writerscame() (Linux: a read lease,
    // released at once when broken, so that the writer does not wait;
    // Windows: the file held open without sharing it for writing, until
    // letreplace()); another error when the system offers no such guard.
    int guardwriters();
    bool writerscame() const;
    // Whether no rename may replace the file, whoever asks: immutable or
    // append-only (Linux); false where the system cannot tell.
    bool pinned() const;
    // What the file was like when it was opened, or when the turn came.
    const filestatus& status() const { return status_; }
    void close();
    // Before the file is replaced by a rename: Windows replaces no file
    // that is open, so there the file is closed, though the turn is kept
    // until close(); elsewhere it stays open and locked to the end.
    void letreplace();

    std::size_t readsome(char* buffer, std::size_t size) override;
    // Reads at an offset without moving the position readsome reads from.
    std::size_t readat(std::uint64_t offset, char* buffer, std::size_t size) override;
    int error() const override { return error_; }

private:
    // The status of the open file; a regular file or an error.
    int refresh();

    int fd_ = -1;
    int error_ = 0;
    filestatus status_;
    std::uint64_t consumed_ = 0;
    bool atend_ = false;
    bool guarded_ = false;
#ifdef _WIN32
    void* sharenowrite_ = nullptr;
    // Text mode: CR LF is read as LF. A CR at the end of one read waits
    // for the next; readat keeps its own place in the translated text.
    bool pendingcr_ = false;
    std::uint64_t rawat_ = 0;
    std::uint64_t textat_ = 0;
    bool atpendingcr_ = false;
    // Runs take turns through a mutex named after the file, held until the
    // file is closed for good, past the rename that replaces it.
    void* turn_ = nullptr;
    std::string path_;
    void closefile();
    int lock(bool wait, bool (*giveup)());
#endif
};

// A buffered writer on a file descriptor it does not own.
class filesink : public bytesink {
public:
    explicit filesink(int fd);
    // Writes out what is buffered; the sink's error, if any.
    int flush();

    // Bytes written out so far.
    std::uint64_t written() const { return written_; }

protected:
    void overflow(std::string_view bytes) override;
    void writeall(std::string_view bytes);

    static constexpr std::size_t buffersize = 256 * 1024;
    int fd_;
    std::uint64_t written_ = 0;
    pooledbuffer buffer_;
    bool textmode_ = textmode();  // Windows: every LF is written as CR LF
};

// Standard output as a sink, for --stdout and --diff; its buffer is made
// on first use.
filesink& standardoutput();
filesink* standardoutputifused();

// A document's new text on its way to the disk. Its states:
//   new       constructed, or after discard(): no file; a write fails (EBADF)
//   writing   after create() returned 0: writes go to the file
//   complete  after complete() or finish(): the text is all out and the file
//             takes no more writes (a debug build stops on one)
//   placed    after renameto() returned 0: the file is the document
//   kept      after keepas() returned 0: the text is under the name given
// A failed call leaves the state as it was, apart from a failed write,
// which stays with the file (error()). discard() (or the destructor) ends
// every state: the file is closed, and a name this run gave it removed.
class stagingfile : public filesink {
public:
    stagingfile();
    stagingfile(const stagingfile&) = delete;
    stagingfile& operator=(const stagingfile&) = delete;
    // Removes the file unless it was given a name that it keeps.
    ~stagingfile() override;

    // Creates a new private file in the directory for the new text. It has
    // no name while it is written (Linux: O_TMPFILE; elsewhere, or where the
    // file system cannot, a hidden name that the system forgets when the
    // process dies, or on file systems without either a plain new name), so
    // a run that dies leaves nothing behind. An unnamed file is made with
    // the permission bits of like, when given, which saves setting them.
    int create(const std::string& directory, const filestatus* like = nullptr,
               const directoryfacts* facts = nullptr);
    // Whether the file with this status is this one.
    bool is(const filestatus& status) const;
    const directoryfacts& facts() const { return facts_; }

    // Gives the file the permission bits, and where allowed the owner and
    // group, of the file it is about to replace.
    int copymetadata(const filestatus& from);
    // Writes out what is buffered, gives the buffer back, and starts the
    // text on its way to the disk without waiting for it (makedurable
    // waits). The file takes no more writes.
    int complete();
    // complete(), and waits until the text is on the disk.
    int finish();
    // Puts the finished text in place of target: the only moment the file
    // has a name of the stagingprefix form, for as long as a rename takes.
    // Where that name could not be removed again (keepsnames) the file
    // stays unnamed and EPERM is returned, as the rename would.
    int renameto(const std::string& target);
    // Keeps the complete text under name, which must not exist yet: an
    // existing file of that name is never replaced (EEXIST). Copies the
    // text when name lies on another file system. Where renames are
    // refused, a named file gets name as a second link and loses its own,
    // unless that cannot be removed (then it is still name()).
    int keepas(const std::string& name);
    // Closes the file and removes the name this run gave it, if any: 0, or
    // why the name could not be removed (it is then left as it was).
    int discard();
    // The name this run gave the file, while it has one ("" for none).
    const std::string& name() const { return path_; }

private:
    // Where name lies on another file system: a copy made there is kept.
    int keepcopy(const std::string& name);
    // Reads the written text back at offset; got is 0 at its end.
    int readback(std::uint64_t offset, std::size_t& got);

    friend void makedurable(const std::vector<stagingfile*>&, std::vector<int>&, std::vector<std::uint64_t>&);

    std::string directory_;
    std::string path_;  // the file's name, while it has one
    mutable fileid id_;  // an unnamed file's is asked for only when needed
    mutable bool idknown_ = false;
    unsigned createdmode_ = 0;  // its permission bits when it was made
    directoryfacts facts_;  // of its directory, leftovers aside
#ifdef _WIN32
    unsigned attributes_ = 0;  // the document's, given once the file is in place
    bool pendingdelete_ = false;
#else
    bool unnamed_ = false;
#endif
};

// The name a staging file has during the calls that put it in place (or,
// where it cannot be unnamed, while it is written): stagingprefix and 16
// hexadecimal digits. A run that dies in those few calls leaves it behind.
inline constexpr char stagingprefix[] = ".skelvane-";
inline constexpr std::size_t stagingsuffixlength = 16;
bool isstagingname(const char* name);
// A new random staging name in the directory.
std::string stagingnamein(const std::string& directory);

// The durability barrier for completed staging files: afterwards the text
// of every file whose result (errors[i] for files[i]) is 0 is on the disk,
// and a write-back error fails the file it belongs to. Linux: one syncfs
// per file system that holds several of the files, where syncfs reports
// write-back errors (since Linux 5.8, on local file systems with a journal
// or copy on write), then each file's fsync only when that sync fails, to
// find whose text failed; elsewhere each file's fsync. Windows:
// FlushFileBuffers each. The devices synced whole are added to synced.
void makedurable(const std::vector<stagingfile*>& files, std::vector<int>& errors,
                 std::vector<std::uint64_t>& synced);

// A directory that files were renamed into.
struct renamedinto {
    std::string directory;
    directoryfacts facts;
};
// Makes the renames durable, so that a finished run survives a power loss:
// one syncfs per file system that allows it and holds several of the
// directories, otherwise each directory's fsync (nothing on Windows, whose
// renames cannot be synced apart). The first error, 0 for none.
int makerenamesdurable(const std::vector<renamedinto>& directories, std::string& failed);

// How many files the process may hold open at once.
std::size_t openfilelimit();

// 64 unpredictable bits from the operating system, 0 when it has none to give.
std::uint64_t systemrandom();

// Process-wide settings: a closed pipe on stdout must not kill the process
// half way through its work, and no file may take the place of a standard
// stream the caller closed.
void prepareprocess();

}  // namespace skelvane

#endif

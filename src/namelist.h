// Document names read from a list as the run goes (--files-from): one per
// line, or with --null each ended by a NUL byte, so that names holding
// line ends can be given too. Empty names are skipped; on Windows a CR
// before a line end is dropped. The list is read in blocks, so one of any
// length costs constant memory, and may be a pipe ("-": standard input).
#ifndef SKELVANE_NAMELIST_H
#define SKELVANE_NAMELIST_H

#include <cstdio>
#include <memory>
#include <string>

namespace skelvane {

class namelist {
public:
    namelist() = default;
    namelist(const namelist&) = delete;
    namelist& operator=(const namelist&) = delete;
    ~namelist();

    // Opens the list and reads its first block, so that a list that cannot
    // be read is known before any document is touched. 0 or an errno value.
    int open(const std::string& path, bool nulseparated);
    // The next name; false at the end of the list or after a read error.
    bool next(std::string& name);
    int error() const { return error_; }

private:
    bool fill();

    std::FILE* file_ = nullptr;
    bool ownsfile_ = false;
    char separator_ = '\n';
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    int error_ = 0;
};

}  // namespace skelvane

#endif

// A store for text that must be held until it can be written out in order,
// such as a hunk of a difference whose header needs its line counts first.
//
// Up to a small limit the bytes stay in memory; past it they move to an
// unnamed temporary file (std::tmpfile), which the system removes when it
// is closed, so a change of any size is held in constant memory.
#ifndef SKELVANE_SPOOL_H
#define SKELVANE_SPOOL_H

#include "bytestream.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace skelvane {

class spool : public bytesink {
public:
    spool() = default;
    spool(const spool&) = delete;
    spool& operator=(const spool&) = delete;
    ~spool() override;

    bool endsline() const { return size_ == 0 || last_ == '\n'; }
    // Lines held, a last one without a line end included.
    std::uint64_t lines() const { return lineends_ + (size_ > 0 && last_ != '\n' ? 1 : 0); }
    // The whole text, while it is still in memory.
    bool inmemory() const { return file_ == nullptr; }
    std::string_view text() const { return memory_; }

    // Writes everything held to out, in order; the spool's error, if any.
    int replay(bytesink& out) { return replay(out, 0, size_); }
    // Writes the bytes held from offset from up to offset to.
    int replay(bytesink& out, std::uint64_t from, std::uint64_t to);
    std::uint64_t size() const { return size_; }
    // Empties the spool for reuse; a failure stays.
    void clear();

    static constexpr std::size_t memorylimit = 256 * 1024;

protected:
    void overflow(std::string_view bytes) override;

private:
    std::string memory_;
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t lineends_ = 0;
    char last_ = '\0';
};

}  // namespace skelvane

#endif

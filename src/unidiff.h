// A difference in the unified format of diff -u, written as its lines
// arrive: "--- a/NAME" and "+++ b/NAME", then hunks with three lines of
// context, hunks closer than twice that merged into one.
//
// Lines the two texts share are given by their place in the old text and
// read from it again only when they become context, so long stretches of
// unchanged text cost nothing. A hunk is held in a spool until its line
// counts are known, so a change of any size is written in constant memory.
#ifndef SKELVANE_UNIDIFF_H
#define SKELVANE_UNIDIFF_H

#include "bytestream.h"
#include "editscript.h"
#include "spool.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace skelvane {

class unifieddiff {
public:
    // original: the old text, read again for context and removed lines.
    unifieddiff(bytesink& out, rereadable& original, std::string name);

    // One line both texts have, at offset in the old text.
    void keep(std::uint64_t offset, std::uint64_t length);
    // One removed or added line.
    void change(editstep step, std::string_view line);
    // Removes the old text's lines in [offset, offset + length).
    void removeold(std::uint64_t offset, std::uint64_t length, std::uint64_t lines);
    // Adds every line the spool holds.
    void addheld(spool& lines);
    // Writes the last hunk. Returns the first error met, 0 for none.
    int finish();

    bool changed() const { return changed_; }

private:
    struct oldline {
        std::uint64_t offset;
        std::uint64_t length;
    };
    void beginchange();
    void writeold(char prefix, std::uint64_t offset, std::uint64_t length);
    void closehunk();
    int error() const;

    static constexpr int context = 3;
    bytesink& out_;
    rereadable& original_;
    std::string name_;
    spool body_;
    std::deque<oldline> held_;  // kept lines that may become context of the next change
    bool inhunk_ = false;
    bool changed_ = false;
    bool wroteheader_ = false;
    int gap_ = 0;  // kept lines since the last change of the open hunk
    int readerror_ = 0;
    std::uint64_t oldnext_ = 1;  // line numbers of the next lines to come
    std::uint64_t newnext_ = 1;
    std::uint64_t oldstart_ = 0;
    std::uint64_t newstart_ = 0;
    std::uint64_t oldcount_ = 0;
    std::uint64_t newcount_ = 0;

    static constexpr std::size_t chunk = 64 * 1024;
    std::unique_ptr<char[]> buffer_;  // for reading the old text back
};

}  // namespace skelvane

#endif

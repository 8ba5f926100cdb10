// Line pieces: the unit in which documents and pattern files are scanned.
//
// A piece is what a bounded line read with a 255-byte buffer yields: it ends
// after a line end, after 254 bytes, or at the end of the input, whichever
// comes first. Long lines therefore arrive as several pieces, and every
// piece is scanned for directives as if it were a line of its own. NUL bytes
// are ordinary bytes here: they neither end a piece nor get lost.
//
// Calling sequence: construct over a bytesource, call next() until it
// returns false, then check error(). A piece stays valid until the next call.
#ifndef SKELVANE_PIECES_H
#define SKELVANE_PIECES_H

#include "buffers.h"
#include "bytestream.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace skelvane {

inline constexpr std::size_t piecelimit = 254;

// What both directive keywords begin with. A piece that does not begin
// with it after blanks is plain text, whatever else it holds.
inline constexpr std::string_view keywordstart = "<!--#";

// Whether a piece whose first byte after blanks is at first, with room
// bytes of it buffered, may be a directive.
inline bool maybedirective(const char* first, std::size_t room) {
    return room > 0 && *first == '<' &&
           (room < keywordstart.size() || std::memcmp(first, keywordstart.data(), keywordstart.size()) == 0);
}

class piecereader {
public:
    explicit piecereader(bytesource& source);
    // False at the end of the input or after a read error.
    bool next(std::string_view& piece) {
        // Most pieces end inside what is already buffered.
        const char* start = buffer_.get() + begin_;
        std::size_t available = end_ - begin_;
        std::size_t window = available < piecelimit ? available : piecelimit;
        if (const void* lineend = std::memchr(start, '\n', window)) {
            std::size_t length = static_cast<const char*>(lineend) - start + 1;
            piece = std::string_view(start, length);
            begin_ += length;
            return true;
        }
        return nextslow(piece);
    }
    int error() const { return source_.error(); }
    // Takes at once the longest run of buffered whole pieces none of which
    // can be a directive (see maybedirective), and
    // counts their line ends. False when there is no such piece in the
    // buffer; next() then reads on.
    bool plainrun(std::string_view& run, long& lineends);
    // Forgets what is buffered, for a source that was reopened.
    void reset();

private:
    bool nextslow(std::string_view& piece);

    static constexpr std::size_t buffersize = 256 * 1024;
    bytesource& source_;
    pooledbuffer buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
};

// True when the piece ends with a line end, so the next piece starts a line.
inline bool endsline(std::string_view piece) {
    return !piece.empty() && piece.back() == '\n';
}

}  // namespace skelvane

#endif

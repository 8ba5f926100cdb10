// What the fuzz target cannot reach: read errors.
#include "pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace skelvane {
namespace {

// A read error ends the pieces: the unfinished rest of a line is not
// handed out as if it were whole.
TEST(pieces, read_error_ends_the_pieces_and_is_reported) {
    struct : bytesource {
        int reads = 0;
        std::size_t readsome(char* buffer, std::size_t size) override {
            const std::size_t count = reads++ == 0 ? std::min<std::size_t>(size, 300) : 0;
            std::fill(buffer, buffer + count, 'y');
            return count;
        }
        int error() const override { return reads > 1 ? EIO : 0; }
    } source;
    piecereader reader(source);
    std::string_view piece;
    ASSERT_TRUE(reader.next(piece));
    EXPECT_EQ(piece.size(), piecelimit);
    EXPECT_FALSE(reader.next(piece));
    EXPECT_EQ(reader.error(), EIO);
}

}  // namespace
}  // namespace skelvane

// The piece scanner at its edges: the 254-byte limit, line ends, NUL bytes,
// reads that split the input anywhere, and read errors.
#include "pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace skelvane {
namespace {

using namespace std::string_literals;

std::vector<std::string> piecesof(const std::string& input, std::size_t chunk) {
    stringsource source(input, chunk);
    piecereader reader(source);
    std::vector<std::string> pieces;
    std::string_view piece;
    while (reader.next(piece)) pieces.emplace_back(piece);
    EXPECT_EQ(reader.error(), 0);
    return pieces;
}

std::string x(std::size_t count) { return std::string(count, 'x'); }

struct piececase {
    std::string input;
    std::vector<std::string> pieces;
};

TEST(pieces, split_like_a_bounded_line_read_whatever_the_read_sizes) {
    const piececase cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\n", {"a\n"}},
        {"\n\n", {"\n", "\n"}},
        {"\r\n", {"\r\n"}},
        {x(253) + "\n", {x(253) + "\n"}},
        {x(254), {x(254)}},
        {x(254) + "\n", {x(254), "\n"}},
        {x(255) + "\n", {x(254), "x\n"}},
        {x(508) + "\n", {x(254), x(254), "\n"}},
        {x(509), {x(254), x(254), "x"}},
        {"a\0b\n\0\n"s, {"a\0b\n"s, "\0\n"s}},
        {std::string(254, '\0') + "z", {std::string(254, '\0'), "z"}},
    };
    for (const piececase& c : cases) {
        for (std::size_t chunk : {0, 1, 3, 253, 254, 255}) {
            SCOPED_TRACE("input of " + std::to_string(c.input.size()) + " bytes, reads of " +
                         std::to_string(chunk));
            EXPECT_EQ(piecesof(c.input, chunk), c.pieces);
        }
    }
}

// Lines far longer than the read buffer keep their piece boundaries where
// the buffer is refilled.
TEST(pieces, long_input_spanning_many_buffers) {
    std::string input;
    for (int i = 0; i < 2000; ++i) input += std::string(static_cast<std::size_t>(i % 600), 'a' + i % 26) + "\n";
    input += x(300000);
    for (std::size_t chunk : {0, 1000, 65536}) {
        std::vector<std::string> pieces = piecesof(input, chunk);
        std::string joined;
        for (const std::string& piece : pieces) {
            ASSERT_LE(piece.size(), piecelimit);
            ASSERT_FALSE(piece.empty());
            std::size_t lineend = piece.find('\n');
            ASSERT_TRUE(lineend == std::string::npos || lineend == piece.size() - 1);
            // Only the last piece of a line may be shorter than the limit.
            if (!endsline(piece) && &piece != &pieces.back()) {
                ASSERT_EQ(piece.size(), piecelimit);
            }
            joined += piece;
        }
        EXPECT_EQ(joined, input);
    }
}

// Runs taken with plainrun() are whole pieces that cannot be directives,
// in the same places next() alone would cut them.
TEST(pieces, plain_runs_are_whole_pieces_that_cannot_be_directives) {
    const std::string inputs[] = {
        "<p>a</p>\n<!--#pattern x\n  <!--#end\nplain\n\t<!--#\n<!-- comment -->\n",
        x(600) + "<!--#pattern\n" + x(254) + "<!--#e\n<!\n<\n",
        "<!--#pattern",
        "a\0<!--#\n"s + std::string(1000, '\n') + "<!--",
    };
    for (const std::string& input : inputs) {
        std::vector<std::string> expected = piecesof(input, 0);
        for (std::size_t chunk : {0, 1, 5, 254, 300}) {
            SCOPED_TRACE("reads of " + std::to_string(chunk));
            stringsource source(input, chunk);
            piecereader reader(source);
            std::size_t index = 0;
            long lineends = 0;
            std::string_view run;
            std::string_view piece;
            for (;;) {
                long runlineends = 0;
                if (reader.plainrun(run, runlineends)) {
                    lineends += runlineends;
                    while (!run.empty()) {
                        ASSERT_LT(index, expected.size());
                        const std::string& next = expected[index++];
                        ASSERT_EQ(run.substr(0, next.size()), next);
                        std::size_t first = std::min(next.find_first_not_of(" \t"), next.size());
                        EXPECT_FALSE(std::string_view(next).substr(first).starts_with(keywordstart)) << next;
                        run.remove_prefix(next.size());
                    }
                    continue;
                }
                if (!reader.next(piece)) break;
                ASSERT_LT(index, expected.size());
                ASSERT_EQ(piece, expected[index++]);
                lineends += endsline(piece) ? 1 : 0;
            }
            EXPECT_EQ(index, expected.size());
            EXPECT_EQ(lineends, std::count(input.begin(), input.end(), '\n'));
        }
    }
}

class failingsource : public bytesource {
public:
    std::size_t readsome(char* buffer, std::size_t size) override {
        if (given_) {
            error_ = EIO;
            return 0;
        }
        given_ = true;
        std::size_t count = std::min<std::size_t>(size, 300);
        std::fill(buffer, buffer + count, 'y');
        return count;
    }
    int error() const override { return error_; }

private:
    bool given_ = false;
    int error_ = 0;
};

TEST(pieces, read_error_ends_the_pieces_and_is_reported) {
    failingsource source;
    piecereader reader(source);
    std::string_view piece;
    ASSERT_TRUE(reader.next(piece));
    EXPECT_EQ(piece.size(), piecelimit);
    // The unfinished rest of the line is not handed out as if it were whole.
    EXPECT_FALSE(reader.next(piece));
    EXPECT_EQ(reader.error(), EIO);
}

}  // namespace
}  // namespace skelvane

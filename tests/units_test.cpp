// Unit tests for what the fuzz target cannot reach: inputs far past its
// length limit, the hand-over between plain runs and pieces, read errors,
// and line-end conversion cut at every place.
#include "lineends.h"
#include "pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
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

std::string convert(const std::string& text, lineendstyle style, std::mt19937& random) {
    stringsink out;
    lineendconverter converter(style);
    for (std::size_t at = 0; at < text.size();) {
        std::size_t chunk = std::uniform_int_distribution<std::size_t>(0, 5)(random);
        converter.write(out, std::string_view(text).substr(at, chunk));
        at += chunk;
    }
    converter.finish(out);
    return out.text;
}

TEST(lineends, conversion_is_idempotent_and_whole_on_any_soup) {
    std::mt19937 random(20261207);
    const char alphabet[] = {'\r', '\n', 'x'};
    for (int round = 0; round < 3000; ++round) {
        std::string soup;
        for (int i = std::uniform_int_distribution<int>(0, 40)(random); i > 0; --i)
            soup += alphabet[std::uniform_int_distribution<int>(0, 2)(random)];
        for (lineendstyle style : {lineendstyle::lf, lineendstyle::crlf}) {
            SCOPED_TRACE(testing::PrintToString(soup) + (style == lineendstyle::lf ? " to LF" : " to CR LF"));
            const std::string once = convert(soup, style, random);
            ASSERT_EQ(convert(once, style, random), once);
            // Only line ends change: the text without CRs and LFs stays.
            auto text = [](std::string s) { return std::erase(s, '\r'), std::erase(s, '\n'), s; };
            ASSERT_EQ(text(once), text(soup));
            ASSERT_EQ(std::count(once.begin(), once.end(), '\n'), std::count(soup.begin(), soup.end(), '\n'));
            for (std::size_t i = 0; i < once.size(); ++i)
                if (once[i] == '\n') {
                    ASSERT_EQ(i > 0 && once[i - 1] == '\r', style == lineendstyle::crlf);
                }
        }
    }
}

}  // namespace
}  // namespace skelvane

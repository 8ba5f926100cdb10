// What the fuzz target cannot reach: inputs far past its length limit, the
// hand-over from plain runs to pieces, read errors, line ends cut anywhere.
#include "directive.h"
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

// Pieces as a bounded line read cuts them: after a line end, after
// piecelimit bytes, or at the end.
std::vector<std::string> boundedlines(const std::string& input) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t end = std::min(input.find('\n', at), input.size() - 1);
        const std::size_t length = std::min(end - at + 1, piecelimit);
        pieces.push_back(input.substr(at, length));
        at += length;
    }
    return pieces;
}

// Whatever the read sizes, and whether plain runs are taken or not, the
// reader hands out those pieces; a plain run holds whole ones, none of
// which can be a directive. Some lines are far longer than the buffer.
TEST(pieces, runs_and_pieces_are_a_bounded_line_read) {
    std::string longinput;
    for (int i = 0; i < 2000; ++i) longinput += std::string(static_cast<std::size_t>(i % 600), 'a' + i % 26) + "\n";
    const std::string inputs[] = {
        "<p>a</p>\n<!--#pattern x\n  <!--#end\nplain\n\t<!--#\n<!-- comment -->\n",
        std::string(600, 'x') + "<!--#pattern\n" + std::string(254, 'x') + "<!--#e\n<!\n<\n",
        "<!--#pattern",
        "a\0<!--#\n"s + std::string(1000, '\n') + "<!--",
        longinput + std::string(300000, 'x'),
    };
    for (const std::string& input : inputs) {
        const std::vector<std::string> expected = boundedlines(input);
        for (std::size_t chunk : {0, 1, 5, 254, 300, 65536})
            for (bool runs : {false, true}) {
                SCOPED_TRACE("reads of " + std::to_string(chunk) + (runs ? ", plain runs" : ""));
                stringsource source(input, chunk);
                piecereader reader(source);
                std::size_t index = 0;
                long lineends = 0, runlineends = 0;
                std::string_view run, piece;
                for (;;) {
                    if (runs && reader.plainrun(run, runlineends)) {
                        lineends += runlineends;
                        for (; !run.empty(); run.remove_prefix(expected[index++].size())) {
                            ASSERT_LT(index, expected.size());
                            ASSERT_TRUE(run.starts_with(expected[index]));
                            EXPECT_FALSE(directivetext(expected[index]).starts_with(keywordstart));
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

// The conversion as a rule on the whole text: to LF, every run of CRs
// before an LF goes; to CR LF, every LF without a CR before it gets one.
std::string converted(const std::string& text, lineendstyle style) {
    std::string out;
    for (char c : text) {
        while (c == '\n' && style == lineendstyle::lf && out.ends_with('\r')) out.pop_back();
        if (c == '\n' && style == lineendstyle::crlf && !out.ends_with('\r')) out += '\r';
        out += c;
    }
    return out;
}

TEST(lineends, conversion_in_pieces_follows_the_rule_and_is_idempotent) {
    std::mt19937 random(20261207);
    const char alphabet[] = {'\r', '\n', 'x'};
    for (int round = 0; round < 3000; ++round) {
        std::string soup;
        for (int i = std::uniform_int_distribution<int>(0, 40)(random); i > 0; --i)
            soup += alphabet[std::uniform_int_distribution<int>(0, 2)(random)];
        for (lineendstyle style : {lineendstyle::lf, lineendstyle::crlf}) {
            SCOPED_TRACE(testing::PrintToString(soup) + (style == lineendstyle::lf ? " to LF" : " to CR LF"));
            const std::string once = convert(soup, style, random);
            ASSERT_EQ(once, converted(soup, style));
            ASSERT_EQ(convert(once, style, random), once);
        }
    }
}

}  // namespace
}  // namespace skelvane

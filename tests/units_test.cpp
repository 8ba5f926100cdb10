// What the fuzz target cannot reach: read errors, line ends cut anywhere.
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

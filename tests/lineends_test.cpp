// Line-end conversion for --eol: a property over random CR/LF soups cut
// into random chunks, so that a CR meets every buffer boundary.
#include "lineends.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace skelvane {
namespace {

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

TEST(lineends, examples) {
    std::mt19937 random(1);
    EXPECT_EQ(convert("a\r\nb\n\r\r\nc\r", lineendstyle::lf, random), "a\nb\n\nc\r");
    EXPECT_EQ(convert("\r\rx\r", lineendstyle::lf, random), "\r\rx\r");
    EXPECT_EQ(convert("a\nb\r\n\n\rc\r", lineendstyle::crlf, random), "a\r\nb\r\n\r\n\rc\r");
    EXPECT_EQ(convert("\r\r\n", lineendstyle::crlf, random), "\r\r\n");
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

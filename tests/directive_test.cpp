// The directive tests and the region state machine, on strings.
#include "directive.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace skelvane {
namespace {

using namespace std::string_literals;

TEST(directive, keyword_tests) {
    struct {
        std::string piece;
        bool start;
        bool end;
    } const cases[] = {
        {"<!--#pattern file=\"a\" -->\n", true, false},
        {"<!--#pattern", true, false},
        {"<!--#patter", false, false},
        {"<!--#PATTERNfoo\n", true, false},
        {" \t <!--#Pattern\n", true, false},
        {"\f<!--#pattern\n", false, false},
        {"\r<!--#pattern\n", false, false},
        {"x <!--#pattern\n", false, false},
        {"<!--#endpattern -->\n", false, true},
        {"<!--#ENDPATTERNx", false, true},
        {"<!--#endpatter\n", false, false},
        {"\t<!--#endpattern<!--#pattern\n", false, true},
        {"<!--#pat\0tern\n"s, false, false},
        {"\0<!--#pattern\n"s, false, false},
        {"", false, false},
        {"   \n", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.piece);
        EXPECT_EQ(isstartdirective(c.piece), c.start);
        EXPECT_EQ(isenddirective(c.piece), c.end);
    }
}

TEST(directive, pattern_names) {
    struct {
        std::string rest;
        std::optional<std::string> name;
    } const cases[] = {
        {" file=\"nav.txt\" -->\n", "nav.txt"},
        {" file=\"\" -->\n", ""},
        {" profile=\"a\" file=\"b\"", "a"},
        {" file=\"a b/c d\"", "a b/c d"},
        {" file=\"a\"b\"", "a"},
        {" file=\"unclosed -->\n", std::nullopt},
        {" FILE=\"a\"", std::nullopt},
        {" file = \"a\"", std::nullopt},
        {" file='a'", std::nullopt},
        {" file=", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rest);
        std::optional<std::string_view> name = getpatternname(c.rest);
        ASSERT_EQ(name.has_value(), c.name.has_value());
        if (name) {
            EXPECT_EQ(*name, *c.name);
        }
    }
}

// Inserts "<NAME>\n" for known names; "broken" fails the document.
class fakeinserter : public patterninserter {
public:
    insertresult insertpattern(std::string_view rest, long line, bytesink& out) override {
        lines.push_back(line);
        std::optional<std::string_view> name = getpatternname(rest);
        if (!name || *name == "missing") return insertresult::skipped;
        if (*name == "broken") return insertresult::failed;
        std::string text(1, '<');
        text.append(*name).append(">\n");
        out.write(text);
        return insertresult::inserted;
    }
    std::vector<long> lines;
};

struct passcase {
    const char* name;
    std::string document;
    std::string output;
    passstatus status = passstatus::complete;
    long regionline = 0;
};

std::string s(const char* name) { return "<!--#pattern file=\"" + std::string(name) + "\"-->\n"; }
const std::string e = "<!--#endpattern-->\n";

TEST(directive, region_state_machine) {
    const passcase cases[] = {
        {"plain", "a\nb", "a\nb"},
        {"region", "a\n" + s("p") + "old\n" + e + "z\n", "a\n" + s("p") + "<p>\n" + e + "z\n"},
        {"two_regions", s("p") + "1\n" + e + s("q") + "2\n" + e, s("p") + "<p>\n" + e + s("q") + "<q>\n" + e},
        {"nested_start", s("p") + "1\n" + s("q") + "2\n" + e, s("p") + "<p>\n<q>\n" + e},
        {"nested_missing", s("p") + "1\n" + s("missing") + "2\n" + e, s("p") + "<p>\n" + e},
        {"missing_opens_nothing", s("missing") + "1\n" + e, s("missing") + "1\n" + e},
        {"stray_end", e + "1\n", e + "1\n"},
        {"no_line_end", "<!--#pattern file=\"p\"-->", "<!--#pattern file=\"p\"--><p>\n", passstatus::unclosed, 1},
        {"unclosed", "a\nb\n" + s("p") + "1\n" + s("q") + "2\n", "a\nb\n" + s("p") + "<p>\n<q>\n",
         passstatus::unclosed, 3},
        {"failed", s("broken") + "1\n", s("broken"), passstatus::insertfailed},
    };
    for (const passcase& c : cases) {
        SCOPED_TRACE(c.name);
        stringsource source(c.document);
        piecereader reader(source);
        stringsink sink;
        fakeinserter inserter;
        passresult result = processfile(reader, sink, inserter);
        EXPECT_EQ(sink.text, c.output);
        EXPECT_EQ(result.status, c.status);
        if (c.status == passstatus::unclosed) {
            EXPECT_EQ(result.regionline, c.regionline);
        }
    }
}

// An empty pattern is written as an empty run of bytes; a sink without a
// buffer of its own must take it without touching memory.
TEST(directive, empty_pattern_text_into_an_unbuffered_sink) {
    stringsink sink;
    sink.write("");
    sink.write("x");
    EXPECT_EQ(sink.text, "x");
}

TEST(directive, line_numbers_count_lines_not_pieces) {
    std::string document = std::string(600, 'x') + "\n\n" + s("p") + e + std::string(300, 'y') + s("q");
    stringsource source(document);
    piecereader reader(source);
    stringsink sink;
    fakeinserter inserter;
    processfile(reader, sink, inserter);
    EXPECT_EQ(inserter.lines, (std::vector<long>{3}));
}

}  // namespace
}  // namespace skelvane

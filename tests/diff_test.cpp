// --diff, black box: the difference skelvane prints must be the one
// `diff -u` prints for the document before and after a real run, and
// applying it with `patch` to the old text must give the new one.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace skelvane::test {
namespace {

std::string start(const std::string& name) { return "<!--#pattern file=\"" + name + "\" -->\n"; }
const std::string end = "<!--#endpattern -->\n";

// "prefix1\nprefix2\n..." from first to last.
std::string numbered(const std::string& prefix, int first, int last, const std::string& lineend = "\n") {
    std::string text;
    for (int i = first; i <= last; ++i) text += prefix + std::to_string(i) + lineend;
    return text;
}

// Where two long texts part, without printing them whole.
std::string firstdifference(const std::string& got, const std::string& expected) {
    if (got == expected) return "";
    std::size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
    auto around = [&](const std::string& text) { return testing::PrintToString(text.substr(at, 60)); };
    return "differ at byte " + std::to_string(at) + ": got " + around(got) + ", expected " + around(expected);
}

bool have(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null").c_str()) == 0; }

struct diffcase {
    const char* name;
    std::string document;
    std::vector<std::pair<std::string, std::string>> patterns;
    std::vector<std::string> options = {};
};

const diffcase diffcases[] = {
    {"one_region", "<html>\n" + start("p.txt") + "old\n" + end + "</html>\n", {{"p.txt", "new\n"}}},
    {"lines_in_common_kept_as_context",
     numbered("a", 1, 5) + start("p.txt") + "one\nsame\ntwo\n" + end + numbered("z", 1, 5),
     {{"p.txt", "ONE\nsame\nTWO\n"}}},
    {"changes_six_lines_apart_share_a_hunk",
     start("p.txt") + "old\n" + end + numbered("m", 1, 4) + start("p.txt") + "old\n" + end,
     {{"p.txt", "new\n"}}},
    {"changes_seven_lines_apart_get_two_hunks",
     numbered("a", 1, 9) + start("p.txt") + "old\n" + end + numbered("m", 1, 5) + start("p.txt") + "old\n" + end +
         numbered("z", 1, 9),
     {{"p.txt", "new\n"}}},
    {"region_at_the_start_and_the_end", start("p.txt") + "old\n" + end + numbered("m", 1, 20) + start("p.txt") + end,
     {{"p.txt", "new\n"}}},
    {"only_removed_lines", numbered("a", 1, 4) + start("p.txt") + "x\ny\n" + end + numbered("z", 1, 4),
     {{"p.txt", ""}}},
    {"only_added_lines", numbered("a", 1, 4) + start("p.txt") + end + numbered("z", 1, 4),
     {{"p.txt", "x\ny\n"}}},
    {"pattern_without_a_line_end", start("p.txt") + "old\n" + end, {{"p.txt", "new"}}},
    {"last_line_without_a_line_end", numbered("a", 1, 2) + start("p.txt") + "old\n" + "<!--#endpattern -->",
     {{"p.txt", "new\n"}}},
    {"end_directive_inside_a_long_last_line",
     start("p.txt") + std::string(254, 'x') + "<!--#endpattern -->", {{"p.txt", "new\n"}}},
    {"nul_bytes", "a\n" + start("p.txt") + std::string("o\0ld\n", 5) + end, {{"p.txt", std::string("n\0ew\n", 5)}}},
    {"long_lines", start("p.txt") + std::string(300000, 'o') + "\n" + end + "tail\n",
     {{"p.txt", std::string(200000, 'n') + "\n"}}},
    {"many_changed_lines_held_aside",
     numbered("a", 1, 3) + start("p.txt") + numbered("old ", 1, 30000) + end + numbered("z", 1, 3),
     {{"p.txt", numbered("new ", 1, 30000)}}},
    {"two_patterns", start("p.txt") + "old\n" + end + numbered("m", 1, 8) + start("q.txt") + "old\n" + end,
     {{"p.txt", "p\n"}, {"q.txt", "q\n"}}},
    {"eol_lf_changes_every_crlf_line",
     "a\r\nb\n" + std::string("<!--#pattern file=\"p.txt\" -->\r\n") + "old\r\n<!--#endpattern -->\r\nc\r\n",
     {{"p.txt", "new\r\n"}}, {"--eol=lf"}},
    {"eol_crlf_changes_every_lf_line", "a\r\nb\n" + start("p.txt") + "new\r\n\r\n" + end + "c\n",
     {{"p.txt", "new\r\n"}}, {"--eol=crlf"}},
    {"eol_keep", "a\r\n" + std::string("<!--#pattern file=\"p.txt\" -->\r\n") + "old\r\n<!--#endpattern -->\r\n",
     {{"p.txt", "one\ntwo\n"}}, {"--eol=keep"}},
};

void PrintTo(const diffcase& c, std::ostream* out) { *out << c.name; }

class unifieddiffs : public testing::TestWithParam<diffcase> {};

TEST_P(unifieddiffs, equal_diff_u_and_patch_back) {
    const diffcase& c = GetParam();
    scratch dir;
    dir.write("d.html", c.document);
    dir.write("before.html", c.document);
    for (const auto& [name, text] : c.patterns) dir.write(name, text);

    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--diff", "d.html"});
    runresult shown = runskelvane(dir, args);
    EXPECT_EQ(dir.read("d.html"), c.document) << "--diff wrote the document";
    args.erase(args.end() - 2);
    runresult run = runskelvane(dir, args);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string after = dir.read("d.html");
    ASSERT_NE(after, c.document) << "the case changes nothing";

    // diff gives a label as it is; the name of a file is followed by a TAB.
    const std::string expected =
        "would update d.html\n" + commandoutput("cd '" + dir.path().string() +
                                          "' && diff -u -a --label 'a/d.html	' --label 'b/d.html	' before.html d.html");
    EXPECT_EQ(shown.status, 1) << shown.err;
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(firstdifference(shown.out, expected), "");

    if (!have("patch")) GTEST_SKIP() << "patch is not installed; the diff was not applied";
    dir.write("x.diff", shown.out);
    dir.write("applied.html", c.document);
    commandoutput("cd '" + dir.path().string() + "' && patch -s --binary applied.html x.diff 2>&1");
    EXPECT_EQ(firstdifference(dir.read("applied.html"), after), "");
}

INSTANTIATE_TEST_SUITE_P(diffs, unifieddiffs, testing::ValuesIn(diffcases),
                         [](const testing::TestParamInfo<diffcase>& info) { return std::string(info.param.name); });

// Random documents: whatever script is chosen where several are shortest,
// the difference must turn the old text into the new one.
TEST(diffs, random_documents_patch_back) {
    if (!have("patch")) GTEST_SKIP() << "patch is not installed";
    std::mt19937 random(20261206);
    auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
    const std::vector<std::string> words = {"a", "b", "same", "<p>", "", "long" + std::string(300, 'l')};
    auto lines = [&](int most) {
        std::string text;
        for (int count = pick(most + 1); count > 0; --count) text += words[pick(6)] + (pick(3) ? "\n" : "\r\n");
        return text;
    };
    const char* options[] = {"", "--eol=lf", "--eol=crlf", "--eol=keep"};
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        scratch dir;
        std::string document = lines(4);
        for (int region = pick(4); region > 0; --region)
            document += start(pick(2) ? "p.txt" : "q.txt") + lines(8) + end + lines(8);
        if (pick(4) == 0 && !document.empty() && document.back() == '\n') document.pop_back();
        dir.write("d.html", document);
        dir.write("p.txt", lines(8));
        dir.write("q.txt", lines(3) + "no line end");
        std::vector<std::string> args;
        if (*options[round % 4] != '\0') args.push_back(options[round % 4]);
        args.push_back("--diff");
        args.push_back("d.html");
        runresult shown = runskelvane(dir, args);
        args.erase(args.end() - 2);
        runresult run = runskelvane(dir, args);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string after = dir.read("d.html");
        ASSERT_EQ(shown.status, after == document ? 0 : 1) << shown.err;
        if (after == document) {
            EXPECT_EQ(shown.out, "");
            continue;
        }
        dir.write("x.diff", shown.out);
        dir.write("applied.html", document);
        std::string said = commandoutput("cd '" + dir.path().string() + "' && patch -s --binary applied.html x.diff 2>&1");
        EXPECT_EQ(firstdifference(dir.read("applied.html"), after), "") << said;
    }
}

// Any name, as patch -p1 reads it back: blanks, quotes, backslashes,
// control and non-ASCII bytes, quoted in the header lines as diff does.
TEST(diffs, odd_names_patch_back) {
    if (!have("patch")) GTEST_SKIP() << "patch is not installed";
    const std::vector<std::pair<std::string, std::string>> names = {
        {"my page.html", "\"a/my page.html\"\t"},         {"t\tab.html", "\"a/t\\tab.html\"\t"},
        {"q\"uote.html", "\"a/q\\\"uote.html\"\t"},       {"back\\slash.html", "\"a/back\\\\slash.html\"\t"},
        {"caf\xc3\xa9.html", "a/caf\xc3\xa9.html\t"},      {"my caf\xc3\xa9.html", "\"a/my caf\\303\\251.html\"\t"},
        {"ctl\x01.html", "\"a/ctl\\001.html\"\t"},         {"plain.html", "a/plain.html\t"}};
    scratch dir;
    dir.write("p.txt", "new\n");
    std::vector<std::string> args = {"--diff"};
    for (const auto& [name, shown] : names) {
        dir.write(name, start("p.txt") + "old\n" + end);
        args.push_back(name);
    }
    runresult result = runskelvane(dir, args);
    EXPECT_EQ(result.status, 1) << result.err;
    for (const auto& [name, shown] : names) {
        const bool quoted = shown[0] == '"';
        const std::string plus = (quoted ? "\"b/" : "b/") + shown.substr(quoted ? 3 : 2);
        EXPECT_NE(result.out.find("\n--- " + shown + "\n+++ " + plus + "\n"), std::string::npos) << shown;
    }
    dir.write("x.diff", result.out);
    std::string said = commandoutput("cd '" + dir.path().string() + "' && patch -s -p1 < x.diff 2>&1");
    for (const auto& [name, shown] : names) EXPECT_EQ(dir.read(name), start("p.txt") + "new\n\n" + end) << said;
}

}  // namespace
}  // namespace skelvane::test

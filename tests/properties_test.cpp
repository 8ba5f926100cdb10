// Properties of the built binary over random documents from fixed seeds:
// --check gives the verdict and the reasons that a run then gets, and
// --eol=lf|crlf leaves nothing for a second run to change.
#include "harness.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace skelvane::test {
namespace {

int pick(std::mt19937& random, int count) { return std::uniform_int_distribution<int>(0, count - 1)(random); }

// A document from lines that exercise everything that can make a run
// change, warn or fail.
std::string randomdocument(std::mt19937& random) {
    const std::vector<std::string> lines = {
        "<p>text</p>\n",
        "<p>text</p>\r\n",
        "<!--#pattern file=\"p.txt\" -->\n",
        "<!--#pattern file=\"p.txt\" -->\r\n",
        "<!--#pattern file=\"missing.txt\" -->\n",
        "<!--#pattern file=\"q.txt\" -->\n",
        "<!--#pattern -->\n",
        "<!--#endpattern -->\n",
        "<!--#endpattern -->\n",
        "<!--#endpattern -->\n",
        "<!--#endpattern -->\n",
        "<p>more text</p>\n",
        "P\n",
        std::string(300, 'x') + "\n",
        "<!--#pattern file=\"p.txt\" " + std::string(260, 'y') + " -->\n",
        "a\r\rb\r",
    };
    std::string text;
    for (int i = pick(random, 12); i > 0; --i) text += lines[static_cast<std::size_t>(pick(random, lines.size()))];
    if (pick(random, 6) == 0) text += "<!--#pattern file=\"p.txt\" -->";
    if (pick(random, 6) == 0 && !text.empty()) text.pop_back();
    return text;
}

std::vector<std::string> randomoptions(std::mt19937& random) {
    std::vector<std::string> options;
    if (pick(random, 4) == 0) options.push_back("--strict");
    if (pick(random, 4) == 0) options.push_back("--if-changed");
    const char* eol[] = {nullptr, nullptr, "--eol=lf", "--eol=crlf", "--eol=keep"};
    if (const char* style = eol[pick(random, 5)]) options.push_back(style);
    return options;
}

// The lines of stderr that are warnings, and the one that gives a reason.
struct said {
    std::vector<std::string> warnings;
    std::string reason;
};

said split(const std::string& err) {
    said result;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("skelvane: warning: "))
            result.warnings.push_back(line);
        else if (line != "File error.")
            result.reason = line;
    }
    return result;
}

TEST(properties, check_gives_the_verdict_and_reasons_of_the_run) {
    std::mt19937 random(20261207);
    int verdicts[3] = {0, 0, 0};
    for (int round = 0; round < 200; ++round) {
        const std::string document = randomdocument(random);
        std::vector<std::string> options = randomoptions(random);
        const bool readonly = pick(random, 10) == 0;
        scratch dir;
        dir.write("a.html", document);
        dir.write("p.txt", "P\n");
        dir.write("q.txt", "Q\n<!--#endpattern -->\n");
        if (readonly) chmod((dir.path() / "a.html").c_str(), 0444);
        std::string shown = testing::PrintToString(document);
        for (const std::string& option : options) shown += " " + option;
        SCOPED_TRACE(shown + (readonly ? " read-only" : ""));

        std::vector<std::string> args = options;
        args.insert(args.begin(), "--check");
        args.push_back("a.html");
        runresult check = runskelvane(dir, args);
        ASSERT_EQ(dir.read("a.html"), document);
        args.erase(args.begin());
        runresult run = runskelvane(dir, args);
        const bool changed = dir.read("a.html") != document;

        ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
        const int verdict = run.status == 1 ? 2 : changed ? 1 : 0;
        ++verdicts[verdict];
        EXPECT_EQ(check.status, verdict) << "check:\n" << check.err << "run:\n" << run.err;
        EXPECT_EQ(check.out, verdict == 1 ? "would update a.html\n" : "");
        said checked = split(check.err);
        said ran = split(run.err);
        EXPECT_EQ(checked.warnings, ran.warnings);
        // The run adds where the new text was kept.
        EXPECT_TRUE(ran.reason.starts_with(checked.reason)) << checked.reason << "\nis not how\n" << ran.reason
                                                            << "\nbegins";
        EXPECT_EQ(checked.reason.empty(), verdict != 2);
        if (testing::Test::HasFailure()) return;
    }
    std::printf("verdicts: %d up to date, %d would change, %d would fail\n", verdicts[0], verdicts[1], verdicts[2]);
    EXPECT_GT(verdicts[0], 0);
    EXPECT_GT(verdicts[1], 0);
    EXPECT_GT(verdicts[2], 0);
}

// Soups of CR, LF and text, some with a region whose pattern is a soup
// too: after one run with --eol=lf or --eol=crlf, a second changes nothing
// and --check says up to date.
TEST(properties, eol_runs_are_idempotent) {
    std::mt19937 random(7);
    const std::string pieces[] = {"\r", "\n", "x", "\r\n", "\r\r\n"};
    auto soup = [&](int length) {
        std::string text;
        for (int i = 0; i < length; ++i) text += pieces[pick(random, 5)];
        return text;
    };
    const std::string ends[] = {"\n", "\r\n", "\r\r\n"};
    for (int round = 0; round < 60; ++round) {
        std::string document = soup(pick(random, 30));
        if (pick(random, 2) == 0)
            document += "\n<!--#pattern file=\"p.txt\" -->" + ends[pick(random, 3)] + soup(pick(random, 10)) +
                        "\n<!--#endpattern -->" + ends[pick(random, 3)] + soup(pick(random, 10));
        const std::string style = pick(random, 2) == 0 ? "--eol=lf" : "--eol=crlf";
        scratch dir;
        dir.write("a.html", document);
        dir.write("p.txt", soup(pick(random, 12)));
        SCOPED_TRACE(testing::PrintToString(document) + " " + style);
        ASSERT_EQ(runskelvane(dir, {style, "a.html"}).status, 0);
        const std::string once = dir.read("a.html");
        runresult check = runskelvane(dir, {"--check", style, "a.html"});
        EXPECT_EQ(check.status, 0) << check.out;
        ASSERT_EQ(runskelvane(dir, {style, "a.html"}).status, 0);
        EXPECT_EQ(dir.read("a.html"), once);
        if (testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace skelvane::test

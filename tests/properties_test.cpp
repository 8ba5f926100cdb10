// A property of the built binary over random documents from a fixed seed:
// --check gives the verdict and the reasons that a run then gets.
#include "harness.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include <sys/stat.h>

namespace skelvane::test {
namespace {

int pick(std::mt19937& random, int count) { return std::uniform_int_distribution<int>(0, count - 1)(random); }

// A document from lines that exercise everything that can make a run
// change, warn or fail.
std::string randomdocument(std::mt19937& random) {
    const std::string end = "<!--#endpattern -->\n";
    const std::vector<std::string> lines = {
        "<p>text</p>\n", "<p>text</p>\r\n", "<!--#pattern file=\"p.txt\" -->\n", "<!--#pattern file=\"p.txt\" -->\r\n",
        "<!--#pattern file=\"missing.txt\" -->\n", "<!--#pattern file=\"q.txt\" -->\n", "<!--#pattern -->\n",
        end, end, end, end, "P\n", std::string(300, 'x') + "\n", "a\r\rb\r", "\r\r\n",
        "<!--#pattern file=\"p.txt\" " + std::string(260, 'y') + " -->\n",
    };
    std::string text;
    for (int i = pick(random, 12); i > 0; --i) text += lines[static_cast<std::size_t>(pick(random, lines.size()))];
    if (pick(random, 6) == 0) text += "<!--#pattern file=\"p.txt\" -->";
    if (pick(random, 6) == 0 && !text.empty()) text.pop_back();
    return text;
}

// The lines of stderr that are warnings, and last the one that gives a reason.
std::vector<std::string> split(const std::string& err) {
    std::vector<std::string> warnings;
    std::string reason;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("skelvane: warning: ")) warnings.push_back(line);
        else if (line != "File error.") reason = line;
    warnings.push_back(reason);
    return warnings;
}

TEST(properties, check_gives_the_verdict_and_reasons_of_the_run) {
    std::mt19937 random(20261207);
    int verdicts[3] = {0, 0, 0};
    for (int round = 0; round < 200; ++round) {
        const std::string document = randomdocument(random);
        std::vector<std::string> args = {"--check"};
        for (const char* option : {"--strict", "--if-changed"})
            if (pick(random, 4) == 0) args.push_back(option);
        const char* eol[] = {nullptr, nullptr, "--eol=lf", "--eol=crlf", "--eol=keep"};
        if (const char* style = eol[pick(random, 5)]) args.push_back(style);
        args.push_back("a.html");
        const bool readonly = pick(random, 10) == 0;
        scratch dir;
        dir.write("a.html", document);
        dir.write("p.txt", "P\n");
        dir.write("q.txt", "Q\n<!--#endpattern -->\n");
        if (readonly) chmod((dir.path() / "a.html").c_str(), 0444);
        std::string shown = testing::PrintToString(document);
        for (const std::string& arg : args) shown += " " + arg;
        SCOPED_TRACE(shown + (readonly ? " read-only" : ""));
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
        std::vector<std::string> checked = split(check.err), ran = split(run.err);
        // The run adds where the new text was kept.
        EXPECT_TRUE(ran.back().starts_with(checked.back())) << checked.back() << "\nbegins not\n" << ran.back();
        EXPECT_EQ(checked.back().empty(), verdict != 2);
        checked.back() = ran.back();
        EXPECT_EQ(checked, ran);
        if (testing::Test::HasFailure()) return;
    }
    EXPECT_GT(verdicts[0], 0);
    EXPECT_GT(verdicts[1], 0);
    EXPECT_GT(verdicts[2], 0);
}

}  // namespace
}  // namespace skelvane::test

// The Windows build under Wine, beyond the case table: runs at the same
// time, file attributes, staging files left by a killed run. Each test
// skips unless SKELVANE_PLATFORM=windows (see windows-cases.sh).
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace skelvane::test {
namespace {

const std::string start = "<!--#pattern file=\"p.txt\" -->\n";
const std::string end = "<!--#endpattern -->\n";
// Large enough that runs over the same document overlap.
const std::string body(1 << 21, 'x');
const std::string olddoc = start + "old\n" + end + body + "\n";
const std::string newdoc = windowstext(start + "new\n\n" + end + body + "\n");

std::vector<std::string> names(const scratch& dir) {
    std::vector<std::string> result;
    for (const auto& [name, content] : dir.snapshot()) result.push_back(name);
    return result;
}

// The attribute letters Wine's attrib prints for a file.
std::string attributes(const scratch& dir, const std::string& name) {
    std::string text =
        commandoutput("cd '" + dir.path().string() + "' && wine cmd /c attrib " + name + " 2>/dev/null");
    return text.substr(0, text.find(':') == std::string::npos ? 0 : text.find(':') - 1);
}

TEST(windows, runs_at_the_same_time_take_turns) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir;
    dir.write("p.txt", "new\n");
    constexpr int runs = 6;
    for (int round = 0; round < 10; ++round) {
        for (const char* name : {"s1.html", "s2.html"}) dir.write(name, olddoc);
        for (int i = 0; i < runs; ++i) dir.write("own" + std::to_string(i) + ".html", olddoc);
        std::vector<runresult> results(runs);
        std::vector<std::thread> threads;
        for (int i = 0; i < runs; ++i)
            threads.emplace_back([&, i] {
                std::vector<std::string> args = {"s1.html", "s2.html"};
                args.insert(args.begin() + i % 3, "own" + std::to_string(i) + ".html");
                results[i] = runskelvane(dir, args);
            });
        for (auto& thread : threads) thread.join();
        for (int i = 0; i < runs; ++i) {
            EXPECT_EQ(results[i].status, 0) << results[i].err;
            EXPECT_TRUE(dir.read("own" + std::to_string(i) + ".html") == newdoc);
        }
        EXPECT_TRUE(dir.read("s1.html") == newdoc);
        EXPECT_TRUE(dir.read("s2.html") == newdoc);
        std::vector<std::string> expected;
        for (int i = 0; i < runs; ++i) expected.push_back("own" + std::to_string(i) + ".html");
        expected.insert(expected.end(), {"p.txt", "s1.html", "s2.html"});
        EXPECT_EQ(names(dir), expected) << "no staging file or skelvane.tmp may be left";
    }
}

TEST(windows, hidden_attribute_is_kept) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir;
    dir.write("p.txt", "new\n");
    dir.write("a.html", start + "old\n" + end);
    ASSERT_EQ(std::system(("cd '" + dir.path().string() + "' && wine cmd /c attrib +h a.html").c_str()), 0);
    const std::string before = attributes(dir, "a.html");
    ASSERT_NE(before.find('H'), std::string::npos) << "Wine keeps no attributes here";
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("a.html"), windowstext(start + "new\n\n" + end));
    EXPECT_EQ(attributes(dir, "a.html"), before);
}

TEST(windows, staging_files_of_a_killed_run_are_swept) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir;
    dir.write("p.txt", "new\n");
    dir.write("a.html", start + "old\n" + end);
    dir.write(".skelvane-Ab12Cd", "half a text");
    dir.write(".skelvane-Ab12Cd.saved", "a kept text");
    dir.write(".skelvane-toolongname", "not ours");
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(names(dir), (std::vector<std::string>{".skelvane-Ab12Cd.saved", ".skelvane-toolongname", "a.html",
                                                     "p.txt"}));
}

}  // namespace
}  // namespace skelvane::test

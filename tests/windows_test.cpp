// The Windows build under Wine, beyond the case table: runs at the same
// time, file attributes, staging files left by a killed run. Each test
// skips unless SKELVANE_PLATFORM=windows (see windows-cases.sh).
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
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

// The Wine that runs skelvane.exe.
std::string wine() {
    const char* wrapper = std::getenv("SKELVANE_WRAPPER");
    return wrapper != nullptr && *wrapper != '\0' ? wrapper : "wine";
}

// The attribute letters Wine's attrib prints for a file.
std::string attributes(const scratch& dir, const std::string& name) {
    std::string text =
        commandoutput("cd '" + dir.path().string() + "' && " + wine() + " cmd /c attrib " + name + " 2>/dev/null");
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
    ASSERT_EQ(std::system(("cd '" + dir.path().string() + "' && " + wine() + " cmd /c attrib +h a.html").c_str()), 0);
    const std::string before = attributes(dir, "a.html");
    ASSERT_NE(before.find('H'), std::string::npos) << "Wine keeps no attributes here";
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("a.html"), windowstext(start + "new\n\n" + end));
    EXPECT_EQ(attributes(dir, "a.html"), before);
}

// No run removes a file by its name; one that looks like a leftover of a
// killed run is reported.
TEST(windows, files_named_like_staging_files_survive) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir;
    dir.write("p.txt", "new\n");
    dir.write("a.html", "<!--#pattern file=\".skelvane-header\" -->\nold\n" + end);
    const std::vector<std::string> mine = {".skelvane-Ab12Cd", ".skelvane-0123456789abcdef", ".skelvane-header",
                                           ".skelvane-toolongname"};
    for (const std::string& name : mine) dir.write(name, "mine\n");
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("\\.skelvane-0123456789abcdef: left behind by a skelvane run"), std::string::npos)
        << result.err;
    for (const std::string& name : mine) EXPECT_EQ(dir.read(name), "mine\n");
    EXPECT_EQ(names(dir).size(), mine.size() + 2);
}

// A run killed while it writes leaves no file: the staging file is marked
// for deletion until the moment it is renamed.
TEST(windows, killed_run_leaves_no_file) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    std::string big = start + "old\n" + end;
    for (int i = 0; i < 2000000; ++i) big += "<p>line " + std::to_string(i) + " of the page</p>\n";
    int killedwhilewriting = 0;
    for (long moment : {200000L, 400000L, 600000L, 800000L, 1000000L}) {
        scratch dir;
        dir.write("p.txt", "new\n");
        dir.write("a.html", big);
        runoptions options;
        options.killafter = moment;
        runresult result = runskelvane(dir, {"a.html"}, options);
        // Wine's server closes what a killed process held a moment later.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::vector<std::string> left = names(dir);
        if (result.status == 128 + 9 && dir.read("a.html") == big) ++killedwhilewriting;
        EXPECT_EQ(left, (std::vector<std::string>{"a.html", "p.txt"})) << "killed after " << moment << " us";
    }
    std::printf("killed while writing: %d of 5 runs\n", killedwhilewriting);
}

// A symbolic link to a document stays a link, and its target gets the text.
TEST(windows, symbolic_link_stays_a_link) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir;
    dir.write("p.txt", "new\n");
    dir.write("real/a.html", start + "old\n" + end);
    fs::create_symlink("real/a.html", dir.path() / "link.html");
    runresult result = runskelvane(dir, {"link.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    tree files = dir.snapshot();
    EXPECT_EQ(files["link.html"], "-> real/a.html");
    EXPECT_EQ(files["real/a.html"], windowstext(start + "new\n\n" + end));
}

// --root compares paths as Windows does.
TEST(windows, root_compares_names_as_windows_does) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    for (const char* root : {"--root=SITE", "--root=site\\", "--root=.\\Site/"}) {
        SCOPED_TRACE(root);
        scratch dir;
        dir.write("site/parts/p.txt", "new\n");
        dir.write("site/a.html", "<!--#pattern file=\"Site\\Parts/p.txt\" -->\nold\n" + end);
        dir.write("site2/p.txt", "secret\n");
        dir.write("site/b.html", "<!--#pattern file=\"site2\\p.txt\" -->\nold\n" + end);
        runresult result = runskelvane(dir, {root, "site/a.html", "site/b.html"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(dir.read("site/a.html"), windowstext("<!--#pattern file=\"Site\\Parts/p.txt\" -->\nnew\n\n" + end));
        EXPECT_NE(result.err.find("cannot include \"site2\\p.txt\": it lies outside"), std::string::npos) << result.err;
    }
}

// Device names are no files, for documents and patterns alike.
TEST(windows, devices_are_not_regular_files) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir;
    dir.write("a.html", "<!--#pattern file=\"NUL\" -->\n<!--#pattern file=\"CON\" -->\nold\n" + end);
    for (const char* device : {"NUL", "CON", "nul"}) {
        runresult result = runskelvane(dir, {device});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(std::string(device) + ": not a regular file"), std::string::npos) << result.err;
    }
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("a.html:1: cannot include \"NUL\": not a regular file"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("a.html:2: cannot include \"CON\": not a regular file"), std::string::npos) << result.err;
}

// Text-mode output goes out in blocks: a document of many short lines takes
// no more system calls to write than one long line of the same size (the
// count includes what Wine itself writes, the same for both).
TEST(windows, many_lines_are_written_in_blocks) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    std::string many;
    for (int i = 0; i < 400000; ++i) many += "<p>line " + std::to_string(1000000 + i) + "</p>\n";
    const std::string one = std::string(many.size() - 1, 'x') + "\n";
    long writes[2] = {0, 0};
    for (int which = 0; which < 2; ++which) {
        scratch dir;
        dir.write("a.html", which == 0 ? one : many);
        const std::string log = (dir.path() / "calls").string();
        runoptions options;
        options.wrapper = {"strace", "-f", "-qq", "-c", "-o", log, "-e", "trace=write,writev,pwrite64", wine()};
        runresult result = runskelvane(dir, {"a.html"}, options);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(dir.read("a.html") == windowstext(which == 0 ? one : many));
        std::string summary = dir.read("calls");
        std::size_t total = summary.rfind("total");
        ASSERT_NE(total, std::string::npos) << summary;
        std::istringstream fields(summary.substr(summary.rfind('\n', total - 2) + 1));
        std::string percent, seconds, usecs;
        fields >> percent >> seconds >> usecs >> writes[which];
    }
    std::printf("write calls: %ld for one line, %ld for %d lines\n", writes[0], writes[1], 400000);
    EXPECT_LT(writes[1], 2 * writes[0]);
}

}  // namespace
}  // namespace skelvane::test

// The Windows build under Wine, beyond the cases: file attributes, a run
// killed while it writes, text-mode output in blocks. Each test skips
// unless SKELVANE_PLATFORM=windows (see windows-cases.sh).
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

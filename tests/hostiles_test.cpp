// Hostile and odd input: files that change under a run, links that lead
// nowhere, documents of a gigabyte, a hundred thousand directives, ten
// thousand arguments. Each must end in bounded time, in constant memory,
// with whole documents and a clear reason for anything refused.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sys/statvfs.h>
#include <unistd.h>

namespace skelvane::test {
namespace {

const std::string start = "<!--#pattern file=\"p.txt\" -->\n";
const std::string end = "<!--#endpattern -->\n";

bool havestrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// Where strace logs the reads of a held run, outside the scratch directory.
const std::string& pauselog() {
    static const std::string log = (fs::temp_directory_path() / ("skelvane-pause-" + std::to_string(getpid()))).string();
    return log;
}

// Holds the run at its second read of the named file for a second,
// long enough for the test to change things under it.
runoptions pausedatsecondread(const std::string& name) {
    fs::remove(pauselog());
    runoptions options;
    options.wrapper = {"strace", "-f", "-qq", "-o", pauselog(), "-e", "trace=read", "-P", name,
                       "-e", "inject=read:delay_enter=1000000:when=2"};
    return options;
}

// Waits until the run has read the file once (strace logs a read when it
// returns), then a little longer, so that it is held at the paused read.
void waitforrun() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream log(pauselog());
        std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (text.find("read(") != std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string bigdocument() {
    std::string text = start + "old\n" + end;
    for (int i = 0; i < 20000; ++i) text += "<p>paragraph " + std::to_string(i) + "</p>\n";
    return text;
}

TEST(hostile, document_changed_during_the_run_is_not_overwritten) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    scratch dir;
    const std::string old = bigdocument();
    dir.write("a.html", old);
    dir.write("p.txt", "new\n");
    auto run = std::async(std::launch::async, [&] { return runskelvane(dir, {"a.html"}, pausedatsecondread("a.html")); });
    waitforrun();
    std::ofstream(dir.path() / "a.html", std::ios::app) << "<p>added by an editor</p>\n";
    runresult result = run.get();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("a.html: it changed while it was being processed"), std::string::npos) << result.err;
    EXPECT_EQ(dir.read("a.html"), old + "<p>added by an editor</p>\n");
    EXPECT_TRUE(dir.exists("skelvane.tmp"));
}

TEST(hostile, document_removed_during_the_run_stays_removed) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    scratch dir;
    dir.write("a.html", bigdocument());
    dir.write("p.txt", "new\n");
    auto run = std::async(std::launch::async, [&] { return runskelvane(dir, {"a.html"}, pausedatsecondread("a.html")); });
    waitforrun();
    fs::remove(dir.path() / "a.html");
    runresult result = run.get();
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(dir.exists("a.html"));
    EXPECT_NE(dir.read("skelvane.tmp").find("new\n"), std::string::npos);
}

std::string bigpattern() {
    std::string pattern;
    for (int i = 0; i < 20000; ++i) pattern += "pattern line " + std::to_string(i) + "\n";
    return pattern;
}

// Starts a run over a.html that includes p.txt and holds it in the middle
// of reading the pattern.
std::future<runresult> pausedinpattern(const scratch& dir, const std::string& pattern) {
    dir.write("a.html", start + "old\n" + end);
    dir.write("p.txt", pattern);
    auto run = std::async(std::launch::async, [&dir] { return runskelvane(dir, {"a.html"}, pausedatsecondread("p.txt")); });
    waitforrun();
    return run;
}

TEST(hostile, pattern_removed_during_its_insertion_is_inserted_whole) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    scratch dir;
    const std::string pattern = bigpattern();
    auto run = pausedinpattern(dir, pattern);
    fs::remove(dir.path() / "p.txt");
    runresult result = run.get();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("a.html"), start + pattern + "\n" + end);
}

TEST(hostile, pattern_growing_during_its_insertion_ends) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    scratch dir;
    const std::string pattern = bigpattern();
    auto run = pausedinpattern(dir, pattern);
    std::ofstream(dir.path() / "p.txt", std::ios::app) << "appended\n";
    runresult result = run.get();
    EXPECT_EQ(result.status, 0) << result.err;
    std::string text = dir.read("a.html");
    EXPECT_EQ(text.substr(0, start.size() + pattern.size()), start + pattern);
    EXPECT_TRUE(text.ends_with("\n" + end));
}

TEST(hostile, links_that_lead_nowhere_as_patterns) {
    scratch dir;
    fs::create_symlink("nowhere.txt", dir.path() / "dangling.txt");
    fs::create_symlink("loop2.txt", dir.path() / "loop1.txt");
    fs::create_symlink("loop1.txt", dir.path() / "loop2.txt");
    const std::string text = "<!--#pattern file=\"dangling.txt\" -->\n<!--#pattern file=\"loop1.txt\" -->\n";
    dir.write("a.html", text);
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dir.read("a.html"), text);
    EXPECT_NE(result.err.find("a.html:1: cannot include \"dangling.txt\": No such file or directory"),
              std::string::npos) << result.err;
    EXPECT_NE(result.err.find("a.html:2: cannot include \"loop1.txt\": Too many levels of symbolic links"),
              std::string::npos) << result.err;
}

TEST(hostile, hundred_thousand_directives) {
    scratch dir;
    std::string before;
    std::string after;
    for (int i = 0; i < 100000; ++i) {
        before += start + "old " + std::to_string(i) + "\n" + end;
        after += start + "new\n\n" + end;
    }
    dir.write("a.html", before);
    dir.write("p.txt", "new\n");
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("a.html"), after);
}

TEST(hostile, ten_thousand_arguments) {
    scratch dir;
    dir.write("p.txt", "new\n");
    std::vector<std::string> args;
    for (int i = 0; i < 10000; ++i) {
        args.push_back(std::to_string(i) + ".html");
        dir.write(args.back(), start + "old\n" + end);
    }
    runresult result = runskelvane(dir, args);
    EXPECT_EQ(result.status, 0) << result.err;
    for (const std::string& name : {args.front(), args[5000], args.back()})
        EXPECT_EQ(dir.read(name), start + "new\n\n" + end);
    EXPECT_EQ(dir.snapshot().size(), 10001u);
}

// Writes size bytes of a repeated unit (after a head) without holding them.
void writehuge(const fs::path& path, const std::string& head, char unit, std::uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    out << head;
    const std::string block(1 << 20, unit);
    for (std::uint64_t written = 0; written < size; written += block.size()) out << block;
}

// True when every byte after the head is unit and the file has the size.
bool ishuge(const fs::path& path, const std::string& head, char unit, std::uint64_t size) {
    std::ifstream in(path, std::ios::binary);
    std::string got(head.size(), '\0');
    in.read(got.data(), static_cast<std::streamsize>(got.size()));
    if (got != head) return false;
    std::string block(1 << 20, '\0');
    std::uint64_t count = 0;
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            if (block[static_cast<std::size_t>(i)] != unit) return false;
        count += static_cast<std::uint64_t>(in.gcount());
    }
    return count == size;
}

TEST(hostile, gigabyte_documents_in_constant_memory) {
#ifdef SKELVANE_SANITIZED
    // An instrumented build is too slow for a gigabyte of one-byte lines.
    constexpr std::uint64_t gigabyte = 1ull << 27;
#else
    constexpr std::uint64_t gigabyte = 1ull << 30;
#endif
    struct statvfs disk {};
    if (statvfs(fs::temp_directory_path().c_str(), &disk) == 0 &&
        static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < 4 * gigabyte)
        GTEST_SKIP() << "needs 4 GiB free in " << fs::temp_directory_path();
    const std::string head = start + "old\n" + end;
    const std::string newhead = start + "new\n\n" + end;
    for (char unit : {'x', '\n'}) {
        SCOPED_TRACE(unit == 'x' ? "one line of a gigabyte" : "a gigabyte of empty lines");
        scratch dir;
        dir.write("p.txt", "new\n");
        writehuge(dir.path() / "a.html", head, unit, gigabyte);
        runoptions options;
        options.timeoutseconds = 600;
        runresult result = runskelvane(dir, {"a.html"}, options);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(ishuge(dir.path() / "a.html", newhead, unit, gigabyte));
#ifndef SKELVANE_SANITIZED
        EXPECT_LT(result.peakkib, 8 * 1024) << "peak memory in KiB";
#endif
        std::printf("%s: peak memory %ld KiB\n", unit == 'x' ? "1 GiB line" : "1 GiB of empty lines",
                    result.peakkib);
    }
}

// --diff of changes far larger than what it keeps in memory: a region
// holding one 64 MiB line, and 64 MiB of empty lines that --eol=crlf
// changes every one of. The difference goes through temporary files.
TEST(hostile, huge_differences_in_constant_memory) {
    constexpr std::uint64_t size = 1ull << 26;
    struct hugediff {
        const char* name;
        char unit;
        std::vector<std::string> options;
        std::string header;      // what the difference begins with
        std::uint64_t expected;  // its size in bytes
    };
    const std::string head = start + "old\n" + end;
    const std::string diffhead = "would update a.html\n--- a/a.html\t\n+++ b/a.html\t\n";
    const hugediff cases[] = {
        {"one line of 64 MiB", 'x', {},
         diffhead + "@@ -1,4 +1,5 @@\n " + start + "-old\n+new\n+\n " + end + " xxx",
         diffhead.size() + 16 + 1 + start.size() + 5 + 5 + 2 + 1 + end.size() + 1 + size + 29},
        {"64 MiB of empty lines", '\n', {"--eol=crlf"}, diffhead + "@@ -1,67108867 +1,67108868 @@\n-" + start,
         0},
    };
    for (const hugediff& c : cases) {
        SCOPED_TRACE(c.name);
        scratch dir;
        dir.write("p.txt", "new\n");
        writehuge(dir.path() / "a.html", head, c.unit, size);
        runoptions options;
        options.timeoutseconds = 600;
        options.stdoutpath = (dir.path() / "out.diff").string();
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--diff", "a.html"});
        runresult result = runskelvane(dir, args, options);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_TRUE(ishuge(dir.path() / "a.html", head, c.unit, size)) << "--diff changed the document";
        std::ifstream shown(options.stdoutpath, std::ios::binary);
        std::string begins(c.header.size(), '\0');
        shown.read(begins.data(), static_cast<std::streamsize>(begins.size()));
        EXPECT_EQ(begins, c.header);
        if (c.expected != 0) {
            EXPECT_EQ(fs::file_size(options.stdoutpath), c.expected);
        }
#ifndef SKELVANE_SANITIZED
        EXPECT_LT(result.peakkib, 8 * 1024) << "peak memory in KiB";
#endif
        std::printf("%s: peak memory %ld KiB\n", c.name, result.peakkib);
    }
}

}  // namespace
}  // namespace skelvane::test

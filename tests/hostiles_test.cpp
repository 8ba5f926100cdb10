// Hostile conditions beyond the cases (files changed under a run are in
// tests/cases/hostile.cases): leftovers of killed runs, runs at the same
// time, documents of a gigabyte. Each must end in
// bounded time, in constant memory, with whole documents and a clear
// reason for anything refused.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace skelvane::test {
namespace {

const std::string start = "<!--#pattern file=\"p.txt\" -->\n";
const std::string end = "<!--#endpattern -->\n";

const std::string olddoc = start + "old\n" + end;
const std::string newdoc = start + "new\n\n" + end;

// A file that looks like what a killed run left while replacing a document
// is reported, unless a running skelvane holds its lock; none is removed.
TEST(hostile, leftovers_are_reported_unless_a_run_holds_them) {
    scratch dir;
    dir.write("a.html", olddoc);
    dir.write("p.txt", "new\n");
    for (const char* name : {".skelvane-0123456789abcdef", ".skelvane-fedcba9876543210"}) dir.write(name, "mine");
    int held = open((dir.path() / ".skelvane-fedcba9876543210").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    runresult result = runskelvane(dir, {"a.html"});
    close(held);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "skelvane: warning: " + fs::canonical(dir.path()).string() +
                              "/.skelvane-0123456789abcdef: left behind by a skelvane run that was stopped "
                              "while it replaced a document; it may hold that document's new text, and "
                              "skelvane never removes it\n");
    EXPECT_EQ(dir.snapshot(), (tree{{".skelvane-0123456789abcdef", "mine"}, {".skelvane-fedcba9876543210", "mine"},
                                    {"a.html", newdoc}, {"p.txt", "new\n"}}));
}

// Runs at the same time in one directory, over the same documents and over
// documents of their own, take turns and each leave exactly the right
// text, and nothing else: the user's files named like a run's own stay.
TEST(hostile, concurrent_runs_in_one_directory) {
    const bool windows = testingwindows();
    const int runs = windows ? 6 : 8;
    const std::string body(windows ? 1 << 21 : 0, 'x');  // so that runs under Wine overlap
    const std::string before = olddoc + body, after = windows ? windowstext(newdoc + body) : newdoc + body;
    scratch dir;
    dir.write("p.txt", "new\n");
    for (int round = 0; round < (windows ? 10 : 50); ++round) {
        tree expected = {{"p.txt", "new\n"}, {".skelvane-abc123", "mine"}, {"sub/.skelvane-abc123", "mine"}};
        for (auto& [name, content] : expected) dir.write(name, content);
        const std::vector<std::string> shared = {"s1.html", "s2.html", "s3.html"};
        for (const std::string& name : shared) dir.write(name, before);
        for (int i = 0; i < runs; ++i) dir.write("own" + std::to_string(i) + ".html", before);
        std::vector<std::thread> threads;
        std::vector<runresult> results(runs);
        for (int i = 0; i < runs; ++i)
            threads.emplace_back([&, i] {
                std::vector<std::string> args = shared;
                args.insert(args.begin() + i % 3, "own" + std::to_string(i) + ".html");
                results[i] = runskelvane(dir, args);
            });
        for (auto& thread : threads) thread.join();
        for (int i = 0; i < runs; ++i) {
            EXPECT_EQ(results[i].status, 0) << results[i].err;
            expected["own" + std::to_string(i) + ".html"] = after;
        }
        for (const std::string& name : shared) expected[name] = after;
        ASSERT_TRUE(dir.snapshot() == expected) << describe(dir.snapshot());
    }
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

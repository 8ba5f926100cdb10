// Hostile conditions beyond tests/cases/hostile.cases: gigabyte documents,
// append-only directories and pinned documents, under Wine too; each ends
// in bounded time and memory with whole documents. The windows
// tests skip unless SKELVANE_PLATFORM=windows (see windows-cases.sh).
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <sys/statvfs.h>
#include <unistd.h>

namespace skelvane::test {
namespace {

const std::string start = "<!--#pattern file=\"p.txt\" -->\n", end = "<!--#endpattern -->\n";
const std::string olddoc = start + "old\n" + end;
const std::string newdoc = start + "new\n\n" + end;

// Documents of a gigabyte, in one line or in empty lines, rewritten; and
// --diff of changes far larger than what it keeps in memory (a region
// holding one 64 MiB line; 64 MiB of empty lines that --eol=crlf changes
// every one of), which go through temporary files. Memory stays constant.
TEST(hostile, huge_documents_in_constant_memory) {
#ifdef SKELVANE_SANITIZED
    constexpr std::uint64_t gigabyte = 1ull << 27;  // an instrumented build is too slow for more
#else
    constexpr std::uint64_t gigabyte = 1ull << 30;
#endif
    constexpr std::uint64_t diffsize = 1ull << 26;
    struct statvfs disk {};
    if (statvfs(fs::temp_directory_path().c_str(), &disk) == 0 &&
        static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < 4 * gigabyte)
        GTEST_SKIP() << "needs 4 GiB free in " << fs::temp_directory_path();
    const std::string diffhead = "would update a.html\n--- a/a.html\t\n+++ b/a.html\t\n";
    const struct {
        char unit;
        std::uint64_t size;
        std::vector<std::string> args;
        std::string output;  // what stdout begins with; none for a run, whose document gets the new head
        std::uint64_t outputsize = 0;
    } cases[] = {
        {'x', gigabyte, {"a.html"}, ""},
        {'\n', gigabyte, {"a.html"}, ""},
        {'x', diffsize, {"--diff", "a.html"}, diffhead + "@@ -1,4 +1,5 @@\n " + start + "-old\n+new\n+\n " + end + " xxx",
         diffhead.size() + 16 + 1 + start.size() + 5 + 5 + 2 + 1 + end.size() + 1 + diffsize + 29},
        {'\n', diffsize, {"--eol=crlf", "--diff", "a.html"}, diffhead + "@@ -1,67108867 +1,67108868 @@\n-" + start},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " of " + std::to_string(c.size) + (c.unit == 'x' ? " x" : " line ends"));
        scratch dir;
        dir.write("p.txt", "new\n");
        dir.write("old", olddoc);
        dir.write("new", newdoc);
        // A document: the head, then only the unit, to the size.
        auto document = [&](const std::string& head) {
            return "cd '" + dir.path().string() + "' && { cat " + head + "; head -c " + std::to_string(c.size) +
                   " /dev/zero | tr '\\0' '" + (c.unit == 'x' ? "x" : "\\n") + "'; }";
        };
        ASSERT_EQ(std::system((document("old") + " >a.html").c_str()), 0);
        runoptions options;
        options.timeoutseconds = 600;
        options.stdoutpath = (dir.path() / "out").string();
        runresult result = runskelvane(dir, c.args, options);
        EXPECT_EQ(result.status, c.output.empty() ? 0 : 1) << result.err;
        EXPECT_EQ(std::system((document(c.output.empty() ? "new" : "old") + " | cmp -s - a.html").c_str()), 0);
        std::ifstream shown(options.stdoutpath, std::ios::binary);
        std::string output(c.output.size(), '\0');
        shown.read(output.data(), static_cast<std::streamsize>(output.size()));
        EXPECT_EQ(output, c.output);
        if (c.outputsize != 0) {
            EXPECT_EQ(fs::file_size(options.stdoutpath), c.outputsize);
        }
#ifndef SKELVANE_SANITIZED
        EXPECT_LT(result.peakkib, 8 * 1024) << "peak memory in KiB";
#endif
        std::printf("peak memory %ld KiB\n", result.peakkib);
    }
}

// A directory that takes new names but lets none go (chattr +a): on the
// scratch directory's file system, or where that has no such directories,
// on a small ext4 image mounted in its place. Made ordinary again at the end.
class appendonlydirectory {
public:
    appendonlydirectory(const scratch& dir, const scratch& images) : path_(dir.path() / "site") {
        fs::create_directory(path_);
        if (geteuid() != 0) {
            why_ = "chattr +a and mount need root";
        } else if (!chattr("+a")) {
            const std::string image = "'" + (images.path() / "ext4.img").string() + "'";
            mounted_ = shell("truncate -s 8M " + image + " && mkfs.ext4 -q " + image + " 2>/dev/null && mount -o loop " +
                             image + " '" + path_.string() + "' 2>/dev/null");
            if (!mounted_) why_ = "no append-only directories here, and no ext4 image could be mounted";
            else if (!chattr("+a")) why_ = "chattr +a fails on an ext4 image";
        }
    }
    ~appendonlydirectory() {
        shell("chattr -R -i -a '" + path_.string() + "' 2>/dev/null");
        if (mounted_) shell("umount '" + path_.string() + "'");
    }
    bool ready() const { return why_.empty(); }
    const std::string& why() const { return why_; }
    // chattr FLAGS on a file in it, or on the directory itself ("").
    bool chattr(const std::string& flags, const std::string& name = "") const {
        return shell("chattr " + flags + " '" + (path_ / name).string() + "' 2>/dev/null");
    }

private:
    static bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }
    fs::path path_;
    std::string why_;
    bool mounted_ = false;
};

// The files in dir's site folder, by name.
tree sitefiles(const scratch& dir) {
    tree found;
    for (const auto& [name, text] : dir.snapshot())
        if (name.starts_with("site/")) found[name.substr(5)] = text;
    return found;
}

// No run leaves a file of its own in an append-only directory: the first
// keeps its text in skelvane.tmp, the later ones keep nothing, and none
// says that a stopped run left something. From another directory the
// text goes to skelvane.tmp there (copied when that is another file system).
// A document itself immutable or append-only, in an ordinary directory:
// the run gives the text no staging name. The modes that only look, and
// --stdout, fail the document as a run fails it, with its reason.
TEST(hostile, pinned_documents_and_append_only_directories_keep_one_file) {
    if (testingwindows()) GTEST_SKIP() << "append-only and immutable files are Linux attributes";
    scratch dir, images;
    appendonlydirectory site(dir, images);
    if (!site.ready()) GTEST_SKIP() << site.why();
    dir.write("site/a.html", olddoc);
    dir.write("site/p.txt", "new\n");
    dir.write("p.txt", "new\n");  // as the run from outside names it
    const std::string failed = "skelvane: a.html: cannot replace it: Operation not permitted; left unchanged, ";
    const tree left = {{"a.html", olddoc}, {"p.txt", "new\n"}, {"skelvane.tmp", newdoc}};
    runoptions inside;
    inside.wrapper = {"sh", "-c", "cd site && exec \"$@\"", "sh"};
    auto expectrunsverdict = [&] {
        for (const std::string mode : {"--check", "--diff", "--stdout"}) {
            SCOPED_TRACE(mode);
            runresult result = runskelvane(dir, {mode, "a.html"}, inside);
            EXPECT_EQ(result.status, mode == "--stdout" ? 1 : 2);
            EXPECT_EQ(result.err, "File error.\nskelvane: a.html: cannot replace it: Operation not permitted\n");
            EXPECT_EQ(result.out, mode == "--stdout" ? newdoc : "");
        }
    };
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        runresult result = runskelvane(dir, {"a.html"}, inside);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "File error.\n");
        EXPECT_EQ(result.err, failed + (run == 1 ? "the new text is in skelvane.tmp\n"
                                                 : "the new text was not kept (skelvane.tmp exists already)\n"));
        EXPECT_TRUE(sitefiles(dir) == left) << describe(sitefiles(dir));
    }
    runresult outside = runskelvane(dir, {"site/a.html"});
    EXPECT_EQ(outside.status, 1);
    EXPECT_EQ(outside.err, "skelvane: site/a.html: cannot replace it: Operation not permitted; left unchanged, the new "
                           "text is in skelvane.tmp\n");
    EXPECT_EQ(dir.read("skelvane.tmp"), newdoc);
    EXPECT_TRUE(sitefiles(dir) == left) << describe(sitefiles(dir));
    expectrunsverdict();
    ASSERT_TRUE(site.chattr("-a"));
    for (const char* flag : {"+i", "+a"}) {
        SCOPED_TRACE(flag);
        fs::remove(dir.path() / "site" / "skelvane.tmp");
        ASSERT_TRUE(site.chattr(flag, "a.html"));
        runresult result = runskelvane(dir, {"a.html"}, inside);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "File error.\n");
        EXPECT_EQ(result.err, failed + "the new text is in skelvane.tmp\n");
        expectrunsverdict();
        ASSERT_TRUE(site.chattr(std::string("-") + (flag + 1), "a.html"));
        EXPECT_TRUE(sitefiles(dir) == left) << describe(sitefiles(dir));
    }
}

// The Windows build only: a refused rename.

// Where Windows refuses the rename (Wine in an append-only directory), the
// text is kept as skelvane.tmp by a second name of the staging file, whose
// own name then cannot go: one file with two names, both in the message.
// A second run finds that name among the unremovable ones and refuses the
// document up front; a Windows staging file always has a name, so its text
// stays under a second one there (a limit: on Linux the folder gets none).
TEST(windows, refused_rename_keeps_the_text_in_one_file) {
    if (!testingwindows()) GTEST_SKIP() << "for the Windows build only";
    scratch dir, images;
    appendonlydirectory site(dir, images);
    if (!site.ready()) GTEST_SKIP() << site.why();
    dir.write("site/a.html", olddoc);
    dir.write("site/p.txt", "new\n");
    runoptions inside;
    inside.wrapper = {"sh", "-c", "cd site && exec \"$@\"", "sh", std::getenv("SKELVANE_WRAPPER")};
    const std::string failed = "skelvane: a.html: cannot replace it: Permission denied; left unchanged, the new text is in ";
    const std::string stuck = ", which cannot be removed: Permission denied";
    auto stagingnames = [&] {
        std::vector<std::string> names;
        for (const auto& [name, text] : sitefiles(dir))
            if (name.rfind(".skelvane-", 0) == 0) names.push_back(name);
        return names;
    };
    auto spelled = [](const std::string& name) { return "$DIR\\site\\" + name; };

    runresult first = runskelvane(dir, {"a.html"}, inside);
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.out, windowstext("File error.\n"));
    const std::vector<std::string> left = stagingnames();
    ASSERT_EQ(left.size(), 1u) << describe(sitefiles(dir));
    EXPECT_EQ(normalised(first.err, dir.path()), failed + "skelvane.tmp and in " + spelled(left[0]) + stuck + "\n");
    EXPECT_TRUE(sitefiles(dir) == (tree{{"a.html", olddoc}, {"p.txt", "new\n"}, {"skelvane.tmp", windowstext(newdoc)},
                                      {left[0], windowstext(newdoc)}}))
        << describe(sitefiles(dir));
    EXPECT_TRUE(fs::equivalent(dir.path() / "site" / left[0], dir.path() / "site/skelvane.tmp"))
        << "skelvane.tmp is another file than the staging file";

    runresult second = runskelvane(dir, {"a.html"}, inside);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, windowstext("File error.\n"));
    const std::vector<std::string> now = stagingnames();
    ASSERT_EQ(now.size(), 2u) << describe(sitefiles(dir));
    const std::string fresh = now[0] == left[0] ? now[1] : now[0];
    EXPECT_EQ(normalised(second.err, dir.path()),
              "skelvane: warning: " + spelled(left[0]) +
                  ": kept by a skelvane run that could not replace a document nor remove it; it may hold that "
                  "document's new text, and skelvane never removes it\n" +
                  "skelvane: a.html: cannot replace it: its directory refuses removals, as " + spelled(left[0]) +
                  " shows; left unchanged, the new text is in .\\" + fresh + stuck + " (skelvane.tmp exists already)\n");
    EXPECT_EQ(sitefiles(dir)[fresh], windowstext(newdoc));
}

}  // namespace
}  // namespace skelvane::test

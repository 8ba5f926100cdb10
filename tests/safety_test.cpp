// Black-box tests of what protects the user's documents: failed writes,
// permissions, links, special files, leftovers of killed runs and runs at
// the same time. Each needs set-up that the case table cannot express.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skelvane::test {
namespace {

const std::string olddoc = "<html>\n<!--#pattern file=\"p.txt\" -->\nold\n<!--#endpattern -->\n</html>\n";
const std::string newdoc = "<html>\n<!--#pattern file=\"p.txt\" -->\nnew\n\n<!--#endpattern -->\n</html>\n";

struct stat statof(const scratch& dir, const std::string& name) {
    struct stat st {};
    EXPECT_EQ(lstat((dir.path() / name).c_str(), &st), 0) << name;
    return st;
}

// Files a user keeps beside the documents, with names like a run's own.
const std::vector<std::string> usernames = {".skelvane-header", ".skelvane-abc123", "sub/.skelvane-abc123"};

void writeuserfiles(const scratch& dir) {
    for (const std::string& name : usernames) dir.write(name, "the user's own " + name + "\n");
}

void expectuserfiles(const scratch& dir) {
    for (const std::string& name : usernames) EXPECT_EQ(dir.read(name), "the user's own " + name + "\n");
}

// Names of files that only a run's own bookkeeping could have made; the
// user's files above must be there as they were.
std::vector<std::string> strays(const scratch& dir) {
    std::vector<std::string> found;
    for (auto& [name, content] : dir.snapshot()) {
        bool users = std::find(usernames.begin(), usernames.end(), name) != usernames.end();
        if (users && content != "the user's own " + name + "\n") found.push_back(name + " (changed)");
        if (!users && (name.find(".skelvane-") != std::string::npos || name.find("skelvane.tmp") != std::string::npos))
            found.push_back(name);
    }
    return found;
}

runoptions asnobody() {
    runoptions options;
    options.unprivileged = true;
    return options;
}

runoptions withfilesizelimit(long limit) {
    runoptions options;
    options.filesizelimit = limit;
    return options;
}

runoptions stdoutto(const std::string& path) {
    runoptions options;
    options.stdoutpath = path;
    return options;
}

void setup(const scratch& dir) {
    dir.write("a.html", olddoc);
    dir.write("c.html", olddoc);
    dir.write("p.txt", "new\n");
}

TEST(safety, read_only_document_is_left_with_its_text_in_skelvane_tmp) {
    scratch dir;
    setup(dir);
    chmod((dir.path() / "a.html").c_str(), 0444);
    dir.giveaway();
    runresult result = runskelvane(dir, {"a.html", "c.html"}, asnobody());
    EXPECT_EQ(result.out, "File error.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("a.html: cannot write: Permission denied"), std::string::npos) << result.err;
    EXPECT_EQ(dir.read("a.html"), olddoc);
    EXPECT_EQ(statof(dir, "a.html").st_mode & 07777, 0444u);
    EXPECT_EQ(dir.read("skelvane.tmp"), newdoc);
    EXPECT_EQ(dir.read("c.html"), olddoc);
}

TEST(safety, writable_document_in_unwritable_directory_is_left_unchanged) {
    scratch dir;
    dir.write("sub/a.html", olddoc);
    dir.write("p.txt", "new\n");
    dir.giveaway();
    chmod((dir.path() / "sub").c_str(), 0555);
    runresult result = runskelvane(dir, {"sub/a.html"}, asnobody());
    EXPECT_EQ(result.out, "File error.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot create a file in"), std::string::npos) << result.err;
    EXPECT_EQ(dir.read("sub/a.html"), olddoc);
    EXPECT_EQ(dir.read("skelvane.tmp"), newdoc);
}

TEST(safety, unwritable_current_directory_does_not_matter_on_success) {
    scratch dir;
    dir.write("sub/a.html", olddoc);
    dir.write("p.txt", "new\n");
    dir.giveaway();
    chmod(dir.path().c_str(), 0555);
    runresult result = runskelvane(dir, {"sub/a.html"}, asnobody());
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("sub/a.html"), newdoc);
}

// A write that fails part way must never leave a shortened document; the
// file-size limit makes the staging file's writes fail at chosen offsets.
TEST(safety, failed_write_at_any_size_leaves_the_document_whole) {
    std::string big = "<html>\n<!--#pattern file=\"p.txt\" -->\nold\n<!--#endpattern -->\n";
    for (int i = 0; i < 3000; ++i) big += "<p>line " + std::to_string(i) + " of the body text</p>\n";
    // The limit also applies to the files that catch stdout and stderr, so
    // it starts where those still fit.
    for (long limit : {200L, 4096L, 65535L, 65536L, 65537L, 80000L}) {
        SCOPED_TRACE("file size limit " + std::to_string(limit));
        scratch dir;
        dir.write("a.html", big);
        dir.write("c.html", olddoc);
        dir.write("p.txt", std::string(20000, 'n') + "\n");
        runresult result = runskelvane(dir, {"a.html", "c.html"}, withfilesizelimit(limit));
        EXPECT_EQ(result.out, "File error.\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("a.html: cannot write the new text: File too large"), std::string::npos)
            << result.err;
        EXPECT_EQ(dir.read("a.html"), big);
        EXPECT_EQ(dir.read("c.html"), olddoc);
        EXPECT_EQ(strays(dir), std::vector<std::string>{});
    }
}

TEST(safety, permission_bits_and_owner_are_kept) {
    for (mode_t mode : {0600, 0640, 0755, 0604}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        scratch dir;
        setup(dir);
        chmod((dir.path() / "a.html").c_str(), mode);
        bool root = geteuid() == 0;
        if (root) {
            ASSERT_EQ(chown((dir.path() / "a.html").c_str(), 65534, 65534), 0);
        }
        runresult result = runskelvane(dir, {"a.html"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(dir.read("a.html"), newdoc);
        struct stat st = statof(dir, "a.html");
        EXPECT_EQ(st.st_mode & 07777, mode);
        if (root) {
            EXPECT_EQ(st.st_uid, 65534u);
            EXPECT_EQ(st.st_gid, 65534u);
        }
    }
}

TEST(safety, symbolic_link_stays_a_link_and_its_target_gets_the_text) {
    scratch dir;
    dir.write("real/a.html", olddoc);
    dir.write("p.txt", "new\n");
    fs::create_symlink("real/a.html", dir.path() / "link.html");
    runresult result = runskelvane(dir, {"link.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    tree files = dir.snapshot();
    EXPECT_EQ(files["link.html"], "-> real/a.html");
    EXPECT_EQ(files["real/a.html"], newdoc);
    EXPECT_EQ(strays(dir), std::vector<std::string>{});
}

TEST(safety, broken_links_fail_with_their_reason) {
    scratch dir;
    fs::create_symlink("nowhere.html", dir.path() / "dangling.html");
    fs::create_symlink("loop2.html", dir.path() / "loop1.html");
    fs::create_symlink("loop1.html", dir.path() / "loop2.html");
    runresult result = runskelvane(dir, {"dangling.html"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("dangling.html: No such file or directory"), std::string::npos) << result.err;
    result = runskelvane(dir, {"loop1.html"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("loop1.html: Too many levels of symbolic links"), std::string::npos)
        << result.err;
}

TEST(safety, hard_linked_document_gets_a_name_of_its_own) {
    scratch dir;
    setup(dir);
    fs::create_hard_link(dir.path() / "a.html", dir.path() / "b.html");
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("a.html: has 2 hard links"), std::string::npos) << result.err;
    EXPECT_EQ(dir.read("a.html"), newdoc);
    EXPECT_EQ(dir.read("b.html"), olddoc);
}

TEST(safety, staging_file_by_hard_link_is_refused) {
    scratch dir;
    dir.write("skelvane.tmp", olddoc);
    dir.write("p.txt", "new\n");
    fs::create_hard_link(dir.path() / "skelvane.tmp", dir.path() / "a.html");
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.out, "File error.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.read("skelvane.tmp"), olddoc);
    EXPECT_EQ(dir.read("a.html"), olddoc);
}

TEST(safety, staging_file_through_a_symbolic_link_is_refused) {
    scratch dir;
    dir.write("skelvane.tmp", olddoc);
    dir.write("p.txt", "new\n");
    fs::create_symlink("skelvane.tmp", dir.path() / "a.html");
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.out, "File error.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.read("skelvane.tmp"), olddoc);
}

// When skelvane.tmp cannot take the new text, it stays beside the document
// under a name that no later run removes.
TEST(safety, new_text_is_kept_when_skelvane_tmp_cannot_take_it) {
    scratch dir;
    setup(dir);
    dir.write("skelvane.tmp/inside", "x");
    chmod((dir.path() / "a.html").c_str(), 0444);
    dir.giveaway();
    runresult result = runskelvane(dir, {"a.html"}, asnobody());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.read("a.html"), olddoc);
    std::string kept;
    for (auto& [name, content] : dir.snapshot())
        if (name.size() > 6 && name.substr(name.size() - 6) == ".saved") kept = name;
    ASSERT_FALSE(kept.empty()) << describe(dir.snapshot());
    EXPECT_EQ(dir.read(kept), newdoc);
    EXPECT_NE(result.err.find("the new text is in " + (dir.path() / kept).string()), std::string::npos)
        << result.err;

    runresult again = runskelvane(dir, {"c.html"});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(dir.exists(kept));
}

TEST(safety, root_refuses_links_that_point_out) {
    scratch dir;
    dir.write("site/a.html", "<!--#pattern file=\"site/key.txt\" -->\n<!--#endpattern -->\n");
    dir.write("secret/key", "private\n");
    fs::create_symlink("../secret/key", dir.path() / "site/key.txt");
    runresult result = runskelvane(dir, {"--root=site", "site/a.html"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dir.read("site/a.html").find("private"), std::string::npos);
    EXPECT_NE(result.err.find("cannot include \"site/key.txt\": it lies outside"), std::string::npos) << result.err;
}

TEST(safety, fifo_is_refused_without_waiting) {
    scratch dir;
    ASSERT_EQ(mkfifo((dir.path() / "fifo").c_str(), 0644), 0);
    dir.write("a.html", "<!--#pattern file=\"fifo\" -->\nold\n<!--#endpattern -->\n");
    runresult result = runskelvane(dir, {"fifo"});
    EXPECT_EQ(result.out, "File error.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("fifo: not a regular file"), std::string::npos) << result.err;
    result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("cannot include \"fifo\": not a regular file"), std::string::npos)
        << result.err;
}

TEST(safety, leftover_staging_file_of_odd_kinds_never_blocks_a_run) {
    scratch dir;
    setup(dir);
    dir.write("keep.txt", "precious\n");
    fs::create_symlink("keep.txt", dir.path() / "skelvane.tmp");
    runresult result = runskelvane(dir, {"a.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("a.html"), newdoc);
    EXPECT_EQ(dir.read("keep.txt"), "precious\n");
    EXPECT_EQ(dir.snapshot()["skelvane.tmp"], "-> keep.txt");
    fs::remove(dir.path() / "skelvane.tmp");

    fs::create_directory(dir.path() / "skelvane.tmp");
    dir.write("skelvane.tmp/inside", "x");
    result = runskelvane(dir, {"c.html"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("c.html"), newdoc);
    EXPECT_EQ(dir.read("skelvane.tmp/inside"), "x");
}

// No run removes a file by its name. One that looks like what a killed
// run left while replacing a document is reported, unless a running
// skelvane holds its lock.
TEST(safety, files_named_like_staging_files_survive_and_leftovers_are_reported) {
    scratch dir;
    setup(dir);
    const std::vector<std::string> names = {".skelvane-Ab12Cd", ".skelvane-0123456789abcdef",
                                            ".skelvane-fedcba9876543210", ".skelvane-notes.txt"};
    for (const std::string& name : names) dir.write(name, "mine " + name);
    int held = open((dir.path() / ".skelvane-fedcba9876543210").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    for (int run = 0; run < 3; ++run) {
        runresult result = runskelvane(dir, {"a.html", "c.html"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "skelvane: warning: " + fs::canonical(dir.path()).string() +
                                  "/.skelvane-0123456789abcdef: left behind by a skelvane run that was stopped "
                                  "while it replaced a document; it may hold that document's new text, and "
                                  "skelvane never removes it\n");
    }
    close(held);
    for (const std::string& name : names) EXPECT_EQ(dir.read(name), "mine " + name);
}

// A page made read-only is a page someone protected: left alone even when
// the superuser runs skelvane, and --check says a run would fail.
TEST(safety, read_only_document_is_left_alone_by_every_user) {
    scratch dir;
    setup(dir);
    chmod((dir.path() / "a.html").c_str(), 0444);
    runresult result = runskelvane(dir, {"a.html", "c.html"});
    EXPECT_EQ(result.out, "File error.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("a.html: cannot write: Permission denied"), std::string::npos) << result.err;
    EXPECT_EQ(dir.read("a.html"), olddoc);
    EXPECT_EQ(dir.read("skelvane.tmp"), newdoc);
    result = runskelvane(dir, {"--check", "a.html"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("a.html: cannot write: Permission denied"), std::string::npos) << result.err;
}

// --strict fails a document on the hard-link warning before anything is
// replaced; --check reaches the same verdict.
TEST(safety, strict_refuses_a_hard_linked_document) {
    scratch dir;
    setup(dir);
    fs::create_hard_link(dir.path() / "a.html", dir.path() / "b.html");
    for (const char* mode : {"--check", "--strict"}) {
        runresult result = runskelvane(dir, {"--strict", mode, "a.html"});
        EXPECT_EQ(result.status, std::string(mode) == "--check" ? 2 : 1);
        EXPECT_NE(result.err.find("a.html: has 2 hard links; only this name would get the new text"),
                  std::string::npos) << result.err;
        EXPECT_EQ(dir.read("a.html"), olddoc);
        EXPECT_EQ(fs::hard_link_count(dir.path() / "a.html"), 2u);
    }
}

// A document that is also standard output would grow for ever.
TEST(safety, stdout_refuses_the_document_it_writes_to) {
    scratch dir;
    setup(dir);
    runoptions options = stdoutto((dir.path() / "a.html").string());
    options.appendstdout = true;
    runresult result = runskelvane(dir, {"--stdout", "a.html", "c.html"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("File error.\nskelvane: a.html: it is standard output as well"), std::string::npos)
        << result.err;
    EXPECT_EQ(dir.read("a.html"), olddoc);
}

TEST(safety, failed_standard_output_is_a_failure) {
    scratch dir;
    setup(dir);
    runresult result = runskelvane(dir, {"--help"}, stdoutto("/dev/full"));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("standard output: No space left on device"), std::string::npos) << result.err;
    result = runskelvane(dir, {"-v", "a.html"}, stdoutto("/dev/full"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(dir.read("a.html"), newdoc);
}

// A reader that stops early (head) costs one message, not one per document.
TEST(safety, standard_output_closed_early_is_reported_once) {
    scratch dir;
    dir.write("p.txt", "new\n");
    std::string long_old;
    for (int i = 0; i < 400; ++i) long_old += "old line " + std::to_string(i) + "\n";
    for (int i = 100; i < 160; ++i)
        dir.write("d" + std::to_string(i).append(".html"),
                  "<!--#pattern file=\"p.txt\" -->\n" + long_old + "<!--#endpattern -->\n");
    for (const char* mode : {"--diff", "--stdout"}) {
        SCOPED_TRACE(mode);
        std::string script = "'" SKELVANE_BINARY "' ";
        script.append(mode).append(" d*.html 2>err | head -2 >/dev/null; echo \"${PIPESTATUS[0]}\"; cat err\n");
        dir.write("run.sh", script);
        std::string output = commandoutput("cd '" + dir.path().string() + "' && bash run.sh");
        EXPECT_EQ(output, std::string(mode) == "--diff" ? "2\nskelvane: standard output: Broken pipe\n"
                                                        : "1\nskelvane: standard output: Broken pipe\n");
    }
}

// --check, --diff, --stdout, and --if-changed on an up-to-date document
// leave every file as it was, inode and modification time included.
TEST(safety, read_only_modes_leave_files_time_for_time) {
    const std::vector<std::vector<std::string>> commands = {
        {"--check", "a.html", "c.html"}, {"--diff", "a.html", "c.html"}, {"--stdout", "a.html", "c.html"},
        {"--if-changed", "c.html"}};
    for (const auto& args : commands) {
        SCOPED_TRACE(args.front());
        scratch dir;
        setup(dir);
        dir.write("c.html", newdoc);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        struct stat before[2] = {statof(dir, "a.html"), statof(dir, "c.html")};
        runresult result = runskelvane(dir, args);
        EXPECT_LE(result.status, 1) << result.err;
        struct stat after[2] = {statof(dir, "a.html"), statof(dir, "c.html")};
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(after[i].st_ino, before[i].st_ino);
            EXPECT_EQ(after[i].st_mtim.tv_sec, before[i].st_mtim.tv_sec);
            EXPECT_EQ(after[i].st_mtim.tv_nsec, before[i].st_mtim.tv_nsec);
        }
        EXPECT_EQ(dir.read("a.html"), olddoc);
        EXPECT_EQ(strays(dir), std::vector<std::string>{});
    }
}

// Runs at the same time in one directory, over the same documents and over
// documents of their own, must each leave exactly the right text.
TEST(safety, concurrent_runs_in_one_directory) {
    scratch dir;
    dir.write("p.txt", "new\n");
    constexpr int runs = 8;
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> shared = {"s1.html", "s2.html", "s3.html"};
        for (auto& name : shared) dir.write(name, olddoc);
        writeuserfiles(dir);
        for (int i = 0; i < runs; ++i) dir.write("own" + std::to_string(i) + ".html", olddoc);
        std::vector<int> statuses(runs, -1);
        std::vector<std::thread> threads;
        for (int i = 0; i < runs; ++i)
            threads.emplace_back([&, i] {
                std::vector<std::string> args = shared;
                args.insert(args.begin() + i % 3, "own" + std::to_string(i) + ".html");
                statuses[i] = runskelvane(dir, args).status;
            });
        for (auto& thread : threads) thread.join();
        for (int i = 0; i < runs; ++i) {
            EXPECT_EQ(statuses[i], 0);
            EXPECT_EQ(dir.read("own" + std::to_string(i) + ".html"), newdoc);
        }
        for (auto& name : shared) EXPECT_EQ(dir.read(name), newdoc);
        EXPECT_EQ(strays(dir), std::vector<std::string>{});
        expectuserfiles(dir);
    }
}

}  // namespace
}  // namespace skelvane::test

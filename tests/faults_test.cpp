// Failed system calls, injected with strace: whatever fails, the document
// keeps its old text, and a complete new text is kept in skelvane.tmp.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace skelvane::test {
namespace {

struct faultcase {
    const char* name;
    std::vector<std::string> injection;  // strace arguments
    std::string reason;                  // what stderr must say
    bool newtextkept;                    // skelvane.tmp holds the new text afterwards
};

const faultcase faults[] = {
    {"document_read_fails_part_way", {"-P", "a.html", "-e", "inject=read:error=EIO:when=2"},
     "a.html: cannot read: Input/output error", false},
    {"pattern_read_fails", {"-P", "p.txt", "-e", "inject=read:error=EIO"},
     "cannot read pattern file \"p.txt\": Input/output error", false},
    {"first_write_fails", {"-e", "inject=write:error=EIO:when=1"},
     "a.html: cannot write the new text: Input/output error", false},
    {"disk_full_on_first_write", {"-e", "inject=write:error=ENOSPC:when=1"},
     "a.html: cannot write the new text: No space left on device", false},
    {"sync_fails", {"-e", "inject=fsync:error=EIO"}, "cannot write the new text: Input/output error", true},
    {"permissions_cannot_be_set", {"-e", "inject=fchmod:error=EPERM"},
     "cannot give the new text the document's permissions: Operation not permitted", true},
    {"rename_over_the_document_fails", {"-e", "inject=rename:error=EIO:when=1"},
     "cannot replace it: Input/output error", true},
    {"rename_across_devices_copies_the_text", {"-e", "inject=rename:error=EXDEV:when=1..2"},
     "cannot replace it: Invalid cross-device link", true},
    {"lock_fails", {"-e", "inject=flock:error=EIO:when=1"}, "a.html: Input/output error", false},
};

class injected : public testing::TestWithParam<faultcase> {};

TEST_P(injected, document_keeps_its_old_text) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    const faultcase& c = GetParam();
    const std::string other = "<!--#pattern file=\"p.txt\" -->\nold\n<!--#endpattern -->\n";
    std::string body;
    for (int i = 0; i < 30000; ++i) body += "<p>paragraph " + std::to_string(i) + "</p>\n";
    const std::string document = other + body;
    const std::string newtext = "<!--#pattern file=\"p.txt\" -->\nnew\n\n<!--#endpattern -->\n" + body;
    scratch dir;
    dir.write("a.html", document);
    dir.write("c.html", other);
    dir.write("p.txt", "new\n");

    runoptions options;
    options.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null"};
    options.wrapper.insert(options.wrapper.end(), c.injection.begin(), c.injection.end());
    runresult result = runskelvane(dir, {"a.html", "c.html"}, options);

    EXPECT_EQ(result.out, "File error.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    tree expected = {{"a.html", document}, {"c.html", other}, {"p.txt", "new\n"}};
    if (c.newtextkept) expected["skelvane.tmp"] = newtext;
    tree actual = dir.snapshot();
    EXPECT_EQ(actual, expected) << describe(actual);
}

void PrintTo(const faultcase& c, std::ostream* out) { *out << c.name; }

// A check that cannot read the document to the end reports a failure,
// not a document that would change.
TEST(injected, check_with_a_read_error_fails_the_document) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    scratch dir;
    std::string body;
    for (int i = 0; i < 30000; ++i) body += "<p>paragraph " + std::to_string(i) + "</p>\n";
    dir.write("a.html", "<!--#pattern file=\"p.txt\" -->\nnew\n\n<!--#endpattern -->\n" + body);
    dir.write("p.txt", "new\n");
    runoptions options;
    options.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-P", "a.html", "-e", "inject=read:error=EIO:when=3"};
    runresult result = runskelvane(dir, {"--check", "a.html"}, options);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("a.html: cannot read: Input/output error"), std::string::npos) << result.err;
}

// Where the file system cannot make unnamed files, the staging file is a
// named one, locked while it is written, removed or renamed by the run
// that made it, and never mistaken for a leftover by a run beside it.
TEST(injected, file_system_without_unnamed_files) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    scratch dir;
    const std::string old = "<!--#pattern file=\"p.txt\" -->\nold\n<!--#endpattern -->\n";
    dir.write("a.html", old);
    dir.write("c.html", old + "<!--#pattern file=\"p.txt\" -->\n");
    dir.write("p.txt", "new\n");
    runoptions options;
    // The second open of the directory is the one that asks for an unnamed file.
    options.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-P", fs::canonical(dir.path()).string(),
                       "-e", "trace=openat", "-e", "inject=openat:error=EOPNOTSUPP:when=2+"};
    runresult result = runskelvane(dir, {"a.html", "c.html"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("c.html:4: the pattern region that starts here has no end directive; left unchanged, "
                              "the new text is in skelvane.tmp"),
              std::string::npos) << result.err;
    const std::string updated = "<!--#pattern file=\"p.txt\" -->\nnew\n\n<!--#endpattern -->\n";
    tree expected = {{"a.html", updated}, {"c.html", old + "<!--#pattern file=\"p.txt\" -->\n"}, {"p.txt", "new\n"},
                     {"skelvane.tmp", updated + "<!--#pattern file=\"p.txt\" -->\nnew\n\n"}};
    EXPECT_EQ(dir.snapshot(), expected) << describe(dir.snapshot());
}

INSTANTIATE_TEST_SUITE_P(faults, injected, testing::ValuesIn(faults),
                         [](const testing::TestParamInfo<faultcase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace skelvane::test

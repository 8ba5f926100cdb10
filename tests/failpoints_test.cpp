// Every failure point: a clean run's system calls are counted, then each call
// fails in turn (writes also from there on). After each run the documents
// are whole, old or new, in command-line order; a complete new text is kept;
// a clean run then finishes the job and leaves no stray file.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>

namespace skelvane::test {
namespace {

struct workload {
    const char* name;
    std::string oldtext, pattern, newtext;
};

workload makeworkload(const char* name, std::size_t bodylines, std::size_t oldlines, std::size_t patternlines) {
    std::string body, old, pattern;
    for (std::size_t i = 0; i < bodylines; ++i) body += "<p>body line " + std::to_string(i) + " of the page</p>\n";
    for (std::size_t i = 0; i < oldlines; ++i) old += "old " + std::to_string(i) + "\n";
    for (std::size_t i = 0; i < patternlines; ++i) pattern += "new " + std::to_string(i) + "\n";
    const std::string start = "<!--#pattern file=\"p.txt\" -->\n";
    const std::string end = "<!--#endpattern -->\n";
    return {name, start + old + end + body, pattern, start + pattern + "\n" + end + body};
}

// The errors a call fails with; a + keeps it failing from there on.
std::vector<std::string> faultsfor(const std::string& call) {
    if (call == "write") return {"ENOSPC", "ENOSPC+", "EIO", "EIO+", "EFBIG", "EFBIG+"};
    if (call == "openat") return {"EACCES"};
    if (call == "rename") return {"EXDEV", "EACCES"};
    return {"EIO"};
}

// Calls after which the new text is complete: a failure there must not lose it.
bool textcompletebefore(const std::string& call) {
    return call == "fsync" || call == "fchmod" || call == "fchown" || call == "rename" || call == "linkat" ||
           call.starts_with("syncfs") || call == "sync_file_range";
}

const std::vector<std::string> calls = {"read",   "write",  "openat", "close",      "fsync",      "syncfs",
                                        "rename", "linkat", "unlink", "renameat2",  "fchmod",     "sync_file_range",
                                        "fchown", "flock",  "newfstatat", "fcntl",  "getdents64", "fstatfs",
                                        "readlink", "unlinkat", "faccessat2"};

// A write-back error: the batch's sync fails, and so does the sync of the
// file whose text it was, which each file's own sync then finds.
const std::string writeback = "syncfs";

// What a run with -v prints, Including lines aside: each document's
// Opening line up to the one that failed, then File error.
std::string progress(const std::string& out) {
    std::string kept;
    for (std::size_t at = 0; at < out.size();) {
        std::size_t end = std::min(out.find('\n', at), out.size() - 1) + 1;
        if (out.compare(at, 10, "Including ") != 0) kept += out.substr(at, end - at);
        at = end;
    }
    return kept;
}

bool havestrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// How often a clean run over what prepare makes calls each of the calls.
std::map<std::string, int> countcalls(const std::function<void(const scratch&)>& prepare,
                                      const std::vector<std::string>& args) {
    scratch dir, logs;
    prepare(dir);
    const std::string log = (logs.path() / "trace").string();
    std::string traced = "trace=";
    for (const std::string& call : calls) traced += call + ",";
    traced.pop_back();
    runoptions options;
    options.wrapper = {"strace", "-f", "-qq", "--seccomp-bpf", "-o", log, "-e", traced};
    runskelvane(dir, args, options);
    std::map<std::string, int> counts;
    std::ifstream in(log);
    for (std::string pid, call; in >> pid >> call; in.ignore(1 << 20, '\n')) counts[call.substr(0, call.find('('))]++;
    return counts;
}

class failpoints : public testing::TestWithParam<workload> {};

TEST_P(failpoints, every_failed_call_leaves_whole_documents) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    const workload& w = GetParam();
    const std::string smallold = "<!--#pattern file=\"p.txt\" -->\nold\n<!--#endpattern -->\n";
    const std::string smallnew = "<!--#pattern file=\"p.txt\" -->\n" + w.pattern + "\n<!--#endpattern -->\n";
    auto prepare = [&](const scratch& dir) {
        dir.write("a.html", w.oldtext);
        dir.write("c.html", smallold);
        dir.write("p.txt", w.pattern);
    };
    std::map<std::string, int> counts = countcalls(prepare, {"a.html", "c.html"});
    // Each file's own sync after a failed batch sync, and the directory's.
    counts[writeback + "+fsync"] = 3;

    int runs = 0;
    for (auto [call, count] : counts) {
        if (std::find(calls.begin(), calls.end(), call) == calls.end() && call != writeback + "+fsync") continue;
        for (const std::string& error : faultsfor(call)) {
            for (int k = 1; k <= count; ++k) {
                std::string injection = "inject=" + call + ":error=" + error.substr(0, error.find('+')) +
                                        ":when=" + std::to_string(k) + (error.ends_with("+") ? "+" : "");
                std::vector<std::string> traced = {"-e", "trace=" + call, "-e", injection};
                if (call == writeback + "+fsync") {
                    injection = "inject=syncfs:error=EIO and fsync:error=EIO:when=" + std::to_string(k);
                    traced = {"-e", "trace=syncfs,fsync", "-e", "inject=syncfs:error=EIO", "-e",
                              "inject=fsync:error=EIO:when=" + std::to_string(k)};
                }
                SCOPED_TRACE(injection);
                scratch dir;
                prepare(dir);
                runoptions options;
                // Stopping only at the traced call keeps a run cheap.
                options.wrapper = {"strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null"};
                options.wrapper.insert(options.wrapper.end(), traced.begin(), traced.end());
                runresult result = runskelvane(dir, {"-v", "a.html", "c.html"}, options);
                ++runs;

                tree files = dir.snapshot();
                const std::string a = files["a.html"], c = files["c.html"];
                ASSERT_TRUE(a == w.oldtext || a == w.newtext) << "a.html is " << a.size() << " bytes";
                ASSERT_TRUE(c == smallold || c == smallnew) << "c.html is " << c.size() << " bytes";
                // A pattern that cannot be opened inserts nothing and fails
                // nothing; a failed run stops at the document that failed,
                // having replaced those before it, and says what a run that
                // does one document after the other says.
                if (result.status == 0 && result.err.find("cannot include") == std::string::npos) {
                    EXPECT_TRUE(a == w.newtext && c == smallnew);
                }
                if (result.status != 0) {
                    EXPECT_TRUE(a == w.newtext || c == smallold);
                }
                const bool documentfailed = result.out.find("File error.") != std::string::npos;
                if (documentfailed) {
                    EXPECT_EQ(result.status, 1);
                }
                // Unless what it says failed to be written, or the system's
                // loader (status 127) failed before the program began.
                const std::string failedat = !documentfailed ? "" : a == w.oldtext ? "a" : "c";
                if (result.status != 127 && call != "write") {
                    EXPECT_EQ(progress(result.out), failedat == "a" ? "Opening file a.html\nFile error.\n"
                                                    : failedat == "c" ? "Opening file a.html\nOpening file c.html\nFile error.\n"
                                                                      : "Opening file a.html\nOpening file c.html\n")
                        << result.err;
                }
                const std::string& failedtext = a == w.newtext ? smallnew : w.newtext;
                // A complete text is kept in skelvane.tmp, or the message
                // says that it could not be.
                if (documentfailed && textcompletebefore(call) &&
                    result.err.find("the new text was not kept") == std::string::npos) {
                    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const auto& file) {
                        return file.second == failedtext && file.first != "a.html";
                    })) << result.err << describe(files);
                }
                runresult again = runskelvane(dir, {"a.html", "c.html"});
                EXPECT_EQ(again.status, 0) << again.err;
                // What the failed run kept in skelvane.tmp stays: no run
                // removes it. Nothing else is left.
                tree expected = {{"a.html", w.newtext}, {"c.html", smallnew}, {"p.txt", w.pattern}};
                for (auto& [name, content] : dir.snapshot())
                    if (name == "skelvane.tmp" && (content == w.newtext || content == smallnew))
                        expected[name] = content;
                EXPECT_TRUE(dir.snapshot() == expected) << result.err << describe(dir.snapshot());
                if (testing::Test::HasFailure()) return;
            }
        }
    }
    std::printf("%s: %d failure points injected\n", w.name, runs);
}

// A run killed at any call leaves whole documents, and the next run
// finishes the job. Nothing is left behind, unless the run was killed in
// the window between naming its finished text and the rename that puts it
// in place (on entering the rename): then that file holds the whole new
// text, the next run names it on stderr, and it stays, since no run
// removes a file by its name.
TEST_P(failpoints, a_run_killed_at_any_call_leaves_whole_documents) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    const workload& w = GetParam();
    const std::string smallold = "<!--#pattern file=\"p.txt\" -->\nold\n<!--#endpattern -->\n";
    const std::string smallnew = "<!--#pattern file=\"p.txt\" -->\n" + w.pattern + "\n<!--#endpattern -->\n";
    auto prepare = [&](const scratch& dir) {
        dir.write("a.html", w.oldtext);
        dir.write("c.html", smallold);
        dir.write("p.txt", w.pattern);
    };
    std::map<std::string, int> counts = countcalls(prepare, {"a.html", "c.html"});
    int kills = 0;
    for (const std::string& call : calls) {
        for (int k = 1; k <= counts[call]; ++k) {
            std::string injection = "inject=" + call + ":signal=KILL:when=" + std::to_string(k);
            SCOPED_TRACE(injection);
            scratch dir;
            prepare(dir);
            runoptions options;
            // A signal is injected only where strace stops at every call.
            options.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e", injection};
            kills += runskelvane(dir, {"a.html", "c.html"}, options).status == 128 + 9;
            const std::string a = dir.read("a.html"), c = dir.read("c.html");
            ASSERT_TRUE(a == w.oldtext || a == w.newtext) << "a.html is " << a.size() << " bytes";
            ASSERT_TRUE(c == smallold || c == smallnew) << "c.html is " << c.size() << " bytes";
            EXPECT_TRUE(a == w.newtext || c == smallold) << "replaced out of order";
            runresult again = runskelvane(dir, {"a.html", "c.html"});
            EXPECT_EQ(again.status, 0) << again.err;
            tree expected = {{"a.html", w.newtext}, {"c.html", smallnew}, {"p.txt", w.pattern}};
            for (auto& [name, content] : dir.snapshot())
                if (call == "rename" && name.starts_with(".skelvane-") && (content == w.newtext || content == smallnew)) {
                    expected[name] = content;
                    EXPECT_NE(again.err.find(name + ": left behind by a skelvane run"), std::string::npos);
                }
            EXPECT_TRUE(dir.snapshot() == expected) << describe(dir.snapshot());
            if (testing::Test::HasFailure()) return;
        }
    }
    EXPECT_GT(kills, 0);
    std::printf("%s: killed at %d calls\n", w.name, kills);
}

const workload workloads[] = {
    makeworkload("small_growing", 10, 1, 20),
    makeworkload("small_shrinking", 10, 20, 1),
    makeworkload("large_growing", 150000, 5, 30000),
    makeworkload("large_shrinking", 150000, 30000, 5),
};

void PrintTo(const workload& w, std::ostream* out) { *out << w.name; }

INSTANTIATE_TEST_SUITE_P(documents, failpoints, testing::ValuesIn(workloads),
                         [](const testing::TestParamInfo<workload>& info) { return std::string(info.param.name); });


}  // namespace
}  // namespace skelvane::test

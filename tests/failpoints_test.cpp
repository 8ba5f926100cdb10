// Every failure point: a clean run's system calls are counted, then each call
// fails in turn (writes also from there on), or the run is killed there.
// After each run the documents are whole, old or new, in command-line order;
// a complete new text is kept; a clean run then finishes the job and leaves
// no stray file.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>

namespace skelvane::test {
namespace {

struct workload {
    const char* name;
    std::string oldtext, pattern, newtext;
};

const std::string start = "<!--#pattern file=\"p.txt\" -->\n", end = "<!--#endpattern -->\n";

workload makeworkload(const char* name, std::size_t bodylines, std::size_t oldlines, std::size_t patternlines) {
    std::string body, old, pattern;
    for (std::size_t i = 0; i < bodylines; ++i) body += "<p>body line " + std::to_string(i) + " of the page</p>\n";
    for (std::size_t i = 0; i < oldlines; ++i) old += "old " + std::to_string(i) + "\n";
    for (std::size_t i = 0; i < patternlines; ++i) pattern += "new " + std::to_string(i) + "\n";
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

bool havestrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// What a run with -v prints, Including lines aside: each document's
// Opening line up to the one that failed, then File error.
std::string progress(const std::string& out) { return std::regex_replace(out, std::regex("Including .*\n"), ""); }

// a.html of the workload and a small c.html, run over in that order.
class failpoints : public testing::TestWithParam<workload> {
protected:
    const workload& w = GetParam();
    const std::string smallold = start + "old\n" + end, smallnew = start + w.pattern + "\n" + end;

    void prepare(const scratch& dir) const {
        dir.write("a.html", w.oldtext);
        dir.write("c.html", smallold);
        dir.write("p.txt", w.pattern);
    }

    // How often a clean run calls each of the calls.
    std::map<std::string, int> countcalls() const {
        scratch dir, logs;
        prepare(dir);
        const std::string log = (logs.path() / "trace").string();
        std::string traced = "trace=";
        for (const std::string& call : calls) traced += call + ",";
        traced.pop_back();
        runoptions options;
        options.wrapper = {"strace", "-f", "-qq", "--seccomp-bpf", "-o", log, "-e", traced};
        runskelvane(dir, {"a.html", "c.html"}, options);
        std::map<std::string, int> counts;
        std::ifstream in(log);
        for (std::string pid, call; in >> pid >> call; in.ignore(1 << 20, '\n')) counts[call.substr(0, call.find('('))]++;
        return counts;
    }

    // Each document whole, old or new.
    void expectwhole(const std::string& a, const std::string& c) const {
        ASSERT_TRUE(a == w.oldtext || a == w.newtext) << "a.html is " << a.size() << " bytes";
        ASSERT_TRUE(c == smallold || c == smallnew) << "c.html is " << c.size() << " bytes";
    }

    // A clean run then finishes the job and leaves nothing but the files
    // the failed run kept whole (no run removes those). Returns its stderr.
    std::string expectfinished(const scratch& dir, const std::function<bool(const std::string&)>& kept) const {
        runresult again = runskelvane(dir, {"a.html", "c.html"});
        EXPECT_EQ(again.status, 0) << again.err;
        tree expected = {{"a.html", w.newtext}, {"c.html", smallnew}, {"p.txt", w.pattern}};
        for (auto& [name, content] : dir.snapshot())
            if (kept(name) && (content == w.newtext || content == smallnew)) expected[name] = content;
        EXPECT_TRUE(dir.snapshot() == expected) << again.err << describe(dir.snapshot());
        return again.err;
    }

    void sweep(bool killing);
    void expectsaid(const std::string& call, const runresult& result, const tree& files) const;
};

// Each call fails in turn (or the run is killed there): whole documents,
// and the next run finishes the job.
void failpoints::sweep(bool killing) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    std::map<std::string, int> counts = countcalls();
    // Each file's own sync after a failed batch sync, and the directory's.
    if (!killing) counts[writeback + "+fsync"] = 3;
    int runs = 0;
    for (auto [call, count] : counts) {
        if (std::find(calls.begin(), calls.end(), call) == calls.end() && call != writeback + "+fsync") continue;
        for (const std::string& error : killing ? std::vector<std::string>{"KILL"} : faultsfor(call)) {
            for (int k = 1; k <= count; ++k) {
                std::string injection = "inject=" + call + (killing ? ":signal=" : ":error=") +
                                        error.substr(0, error.find('+')) + ":when=" + std::to_string(k) +
                                        (error.ends_with("+") ? "+" : "");
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
                // Stopping only at the traced call keeps a run cheap; a
                // signal is injected only where strace stops at every call.
                options.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null"};
                if (!killing) options.wrapper.push_back("--seccomp-bpf");
                options.wrapper.insert(options.wrapper.end(), traced.begin(), traced.end());
                runresult result = runskelvane(dir, {"-v", "a.html", "c.html"}, options);
                runs += !killing || result.status == 128 + 9;

                tree files = dir.snapshot();
                const std::string a = files["a.html"], c = files["c.html"];
                expectwhole(a, c);
                if (testing::Test::HasFatalFailure()) return;
                if (killing || result.status != 0) {
                    EXPECT_TRUE(a == w.newtext || c == smallold) << "replaced out of order";
                }
                if (!killing) expectsaid(call, result, files);
                SCOPED_TRACE(result.err);
                // A run killed between naming its finished text and the
                // rename leaves that text, which the next run names.
                std::vector<std::string> left;
                const std::string err = expectfinished(dir, [&](const std::string& name) {
                    if (!killing) return name == "skelvane.tmp";
                    return call == "rename" && name.starts_with(".skelvane-") && (left.push_back(name), true);
                });
                for (const std::string& name : left)
                    EXPECT_NE(err.find(name + ": left behind by a skelvane run"), std::string::npos) << err;
                if (testing::Test::HasFailure()) return;
            }
        }
    }
    EXPECT_GT(runs, 0);
    std::printf("%s: %d %s\n", w.name, runs, killing ? "runs killed" : "failure points injected");
}

// What a run whose call failed says, and what it keeps: a pattern that
// cannot be opened inserts nothing and fails nothing; a failed run stops
// at the document that failed, having replaced those before it, and says
// what a run that does one document after the other says.
void failpoints::expectsaid(const std::string& call, const runresult& result, const tree& files) const {
    const std::string a = files.at("a.html");
    if (result.status == 0 && result.err.find("cannot include") == std::string::npos) {
        EXPECT_TRUE(a == w.newtext && files.at("c.html") == smallnew);
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
    // A complete text is kept in skelvane.tmp, or the message says that it could not be.
    const std::string& failedtext = a == w.newtext ? smallnew : w.newtext;
    if (documentfailed && textcompletebefore(call) &&
        result.err.find("the new text was not kept") == std::string::npos) {
        EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const auto& file) {
            return file.second == failedtext && file.first != "a.html";
        })) << result.err << describe(files);
    }
}

TEST_P(failpoints, every_failed_call_leaves_whole_documents) { sweep(false); }

// Nothing is left behind, unless the run was killed on entering the
// rename: that file stays, since no run removes a file by its name.
TEST_P(failpoints, a_run_killed_at_any_call_leaves_whole_documents) { sweep(true); }

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

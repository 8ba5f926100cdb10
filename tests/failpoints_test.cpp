// Every failure point (the single faults with their reasons are in
// tests/cases/faults.cases): a clean run is traced to count its system calls,
// then the run is repeated once for every call of every kind with that call
// failing (and, for writes, every call from there on). After each run the
// documents must be whole, old or new, in command-line order; a complete
// new text that could not be put in place must survive; and a clean run
// afterwards must finish the job and leave no stray file.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace skelvane::test {
namespace {

struct workload {
    const char* name;
    std::string oldtext;
    std::string pattern;
    std::string newtext;
};

workload makeworkload(const char* name, std::size_t bodylines, std::size_t oldlines, std::size_t patternlines) {
    std::string body;
    for (std::size_t i = 0; i < bodylines; ++i) body += "<p>body line " + std::to_string(i) + " of the page</p>\n";
    std::string old;
    for (std::size_t i = 0; i < oldlines; ++i) old += "old " + std::to_string(i) + "\n";
    std::string pattern;
    for (std::size_t i = 0; i < patternlines; ++i) pattern += "new " + std::to_string(i) + "\n";
    const std::string start = "<!--#pattern file=\"p.txt\" -->\n";
    const std::string end = "<!--#endpattern -->\n";
    return {name, start + old + end + body, pattern, start + pattern + "\n" + end + body};
}

// A faulty call: its name, the error, and whether it keeps failing.
struct fault {
    std::string call;
    std::string error;
    bool onward;
};

std::vector<fault> faultsfor(const std::string& call) {
    if (call == "write")
        return {{call, "ENOSPC", false}, {call, "ENOSPC", true}, {call, "EIO", false},
                {call, "EIO", true},     {call, "EFBIG", false}, {call, "EFBIG", true}};
    if (call == "openat") return {{call, "EACCES", false}};
    if (call == "rename") return {{call, "EXDEV", false}, {call, "EACCES", false}};
    return {{call, "EIO", false}};
}

// Calls after which the new text is complete: a failure there must not lose it.
bool textcompletebefore(const std::string& call) {
    return call == "fsync" || call == "fchmod" || call == "fchown" || call == "rename" || call == "linkat";
}

const std::vector<std::string> calls = {"read",   "write",  "openat", "close",      "fsync",
                                        "rename", "linkat", "unlink", "renameat2",  "fchmod",
                                        "fchown", "flock",  "newfstatat", "fcntl",  "getdents64",
                                        "readlink", "unlinkat", "faccessat2"};

// A kept text: skelvane.tmp, or a .saved file when that could not be made.
bool iskepttext(const std::string& name) { return name == "skelvane.tmp" || name.ends_with(".saved"); }

bool havestrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

std::map<std::string, int> countcalls(const scratch& dir, const std::vector<std::string>& args) {
    std::string log = (fs::temp_directory_path() / "skelvane-trace-XXXXXX").string();
    int fd = mkstemp(log.data());
    close(fd);
    std::string traced;
    for (const std::string& call : calls) traced += (traced.empty() ? "" : ",") + call;
    runoptions options;
    options.wrapper = {"strace", "-f", "-qq", "--seccomp-bpf", "-o", log, "-e", "trace=" + traced};
    runskelvane(dir, args, options);
    std::map<std::string, int> counts;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string pid;
        std::string call;
        words >> pid >> call;
        counts[call.substr(0, call.find('('))]++;
    }
    fs::remove(log);
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
    std::map<std::string, int> counts;
    {
        scratch dir;
        prepare(dir);
        counts = countcalls(dir, {"a.html", "c.html"});
        ASSERT_EQ(dir.read("a.html"), w.newtext);
    }

    int runs = 0;
    for (const std::string& call : calls) {
        for (const fault& f : faultsfor(call)) {
            for (int k = 1; k <= counts[call]; ++k) {
                std::string injection = "inject=" + call + ":error=" + f.error + ":when=" + std::to_string(k) +
                                        (f.onward ? "+" : "");
                SCOPED_TRACE(injection);
                scratch dir;
                prepare(dir);
                runoptions options;
                // Stopping only at the traced call keeps a run cheap.
                options.wrapper = {"strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null",
                                   "-e", "trace=" + call, "-e", injection};
                runresult result = runskelvane(dir, {"a.html", "c.html"}, options);
                ++runs;

                tree files = dir.snapshot();
                std::string a = files["a.html"];
                std::string c = files["c.html"];
                ASSERT_TRUE(a == w.oldtext || a == w.newtext) << "a.html is " << a.size() << " bytes";
                ASSERT_TRUE(c == smallold || c == smallnew) << "c.html is " << c.size() << " bytes";
                // A pattern that cannot be opened inserts nothing and fails nothing.
                bool patternmissed = result.err.find("cannot include") != std::string::npos;
                if (result.status == 0 && !patternmissed) {
                    EXPECT_EQ(a, w.newtext);
                    EXPECT_EQ(c, smallnew);
                } else if (result.status != 0) {
                    // The run stops at the first failed document.
                    EXPECT_TRUE(a == w.newtext || c == smallold);
                }
                bool documentfailed = result.out.find("File error.") != std::string::npos;
                if (documentfailed) {
                    EXPECT_EQ(result.status, 1);
                }
                const std::string& failedtext = a == w.newtext ? smallnew : w.newtext;
                if (documentfailed && textcompletebefore(call)) {
                    bool kept = false;
                    for (auto& [name, content] : files) kept = kept || (content == failedtext && name != "a.html");
                    EXPECT_TRUE(kept) << result.err << describe(files);
                }

                runresult again = runskelvane(dir, {"a.html", "c.html"});
                EXPECT_EQ(again.status, 0) << again.err;
                // What the failed run kept stays: no run removes it.
                tree expected = {{"a.html", w.newtext}, {"c.html", smallnew}, {"p.txt", w.pattern}};
                for (auto& [name, content] : dir.snapshot())
                    if (iskepttext(name) && (content == w.newtext || content == smallnew)) expected[name] = content;
                EXPECT_EQ(dir.snapshot(), expected) << result.err;
                if (testing::Test::HasFailure()) return;
            }
        }
    }
    RecordProperty("runs", runs);
    std::printf("%s: %d failure points injected\n", w.name, runs);
}

// After a killed run: the document is whole, old or new, and the next run
// finishes the job. Nothing is left behind, unless the run was killed in
// the window between naming its finished text and the rename that puts it
// in place: then that file holds the whole new text, the next run names it
// on stderr, and it stays, since no run removes a file by its name.
void expectrecovered(const scratch& dir, const workload& w, bool inwindow) {
    std::string a = dir.read("a.html");
    ASSERT_TRUE(a == w.oldtext || a == w.newtext) << "a.html is " << a.size() << " bytes";
    runresult again = runskelvane(dir, {"a.html"});
    EXPECT_EQ(again.status, 0) << again.err;
    tree expected = {{"a.html", w.newtext}, {"p.txt", w.pattern}};
    tree actual = dir.snapshot();
    for (auto& [name, content] : actual)
        if (inwindow && name.starts_with(".skelvane-") && content == w.newtext) {
            expected[name] = content;
            EXPECT_NE(again.err.find(name + ": left behind by a skelvane run"), std::string::npos) << again.err;
        }
    EXPECT_EQ(actual, expected);
}

// A run killed at any call leaves whole documents, and the next run
// finishes the job without tripping over what the killed one left.
TEST_P(failpoints, a_run_killed_at_any_call_leaves_whole_documents) {
    if (!havestrace()) GTEST_SKIP() << "strace is not installed";
    const workload& w = GetParam();
    std::map<std::string, int> counts;
    {
        scratch dir;
        dir.write("a.html", w.oldtext);
        dir.write("p.txt", w.pattern);
        counts = countcalls(dir, {"a.html"});
    }
    int kills = 0;
    for (const std::string& call : calls) {
        for (int k = 1; k <= counts[call]; ++k) {
            std::string injection = "inject=" + call + ":signal=KILL:when=" + std::to_string(k);
            SCOPED_TRACE(injection);
            scratch dir;
            dir.write("a.html", w.oldtext);
            dir.write("p.txt", w.pattern);
            runoptions options;
            // A signal is injected only where strace stops at every call.
            options.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e", injection};
            runresult result = runskelvane(dir, {"a.html"}, options);
            kills += result.status == 128 + 9;
            // Killed on entering the rename: the text has its name already.
            expectrecovered(dir, w, call == "rename");
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

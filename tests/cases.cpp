// The black-box cases of tests/cases/*.cases, as tests/cases/README says:
// stdout, status, stderr, every file afterwards; the same verdict from --check.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace skelvane::test {
namespace {

using text = std::optional<std::string>;  // no value: the file must not exist

struct expectation {
    std::map<std::string, text> after;  // changes to the files before
    text out;                           // stdout; unset: empty
    std::optional<int> status;          // unset: 0
    text err;                           // stderr, byte for byte once normalised; unset: empty
    text both;                          // stdout and stderr sent to one file, as a log gets them
    std::string skip;                   // why the case cannot be run here
    bool bytes = false;                 // Windows: texts expected as given, not with CR LF
};

struct testcase {
    std::string name;
    int line = 0;
    std::vector<std::string> args;
    std::string shell;  // instead of args: a bash command line with skelvane on its PATH
    std::vector<std::pair<std::string, std::string>> before;
    std::vector<std::string> setup;  // shell commands run in the directory first
    bool unprivileged = false;
    expectation posix;
    expectation windows;  // what differs from posix, whose texts get CR LF there
};

// Byte escapes: \\ \r \t \f \0 \n \xHH, \{COUNT:TEXT} repeats TEXT; \c
// (which ends a line without its line end) gives nothing.
std::string unescape(std::string_view line) {
    std::string bytes;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            bytes += line[i];
            continue;
        }
        const char c = line[++i];
        const std::size_t simple = std::string_view("rtf0n\\").find(c);
        if (simple != std::string::npos) {
            bytes += "\r\t\f\0\n\\"[simple];
        } else if (c == 'x') {
            bytes += static_cast<char>(std::stoi(std::string(line.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else if (c == '{') {
            std::size_t colon = line.find(':', i), close = line.find('}', colon);
            const std::string unit = unescape(line.substr(colon + 1, close - colon - 1));
            for (long n = std::stol(std::string(line.substr(i + 1, colon - i - 1))); n > 0; --n) bytes += unit;
            i = close;
        } else if (c != 'c') {
            bytes += c;
        }
    }
    return bytes;
}

// Splits an argument line: blanks separate words, '...' keeps blanks.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> found;
    std::istringstream in(line);
    for (std::string word; in >> std::quoted(word, '\'', '\x01');) found.push_back(unescape(word));
    return found;
}

// The cases of one file; texts holds the @NAME texts, and gets those the file defines.
std::vector<testcase> readcases(const fs::path& path, std::map<std::string, std::string>& texts) {
    std::ifstream in(path, std::ios::binary);
    std::vector<testcase> cases;
    std::string* body = nullptr;  // where | lines go
    expectation* expected = nullptr;
    int number = 0;
    auto fault = [&](const std::string& why) {
        return std::runtime_error(path.string() + ":" + std::to_string(number) + ": " + why);
    };
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::size_t blank = std::min(line.find(' '), line.size());
        const std::string keyword = line.substr(0, blank);
        const std::string rest = line.substr(std::min(blank + 1, line.size()));
        const std::string target = unescape(rest.substr(0, rest.find(" @")));
        auto named = [&](std::string& into) {
            for (const std::string& word : words(rest))
                if (word.starts_with("@")) into += texts.at(word.substr(1));
            return &into;
        };
        if (line.starts_with("|")) body->append(unescape(line.substr(1))).append(line.ends_with("\\c") ? "" : "\n");
        else if (line.empty() || line.starts_with("#")) body = nullptr;
        else if (keyword == "text") body = &(texts[rest] = "");
        else if (keyword == "===") {
            cases.emplace_back().name = rest;
            cases.back().line = number;
            expected = &cases.back().posix;
        } else if (cases.empty()) throw fault("outside a case");
        else if (keyword == "$") cases.back().args = words(rest);
        else if (keyword == "$$") cases.back().shell = rest;
        else if (keyword == "!") cases.back().setup.push_back(rest);
        else if (line == "as nobody") cases.back().unprivileged = true;
        else if (keyword == "<") body = named(cases.back().before.emplace_back(target, "").second);
        else if (keyword == ">" && rest.ends_with(" gone")) expected->after[rest.substr(0, rest.size() - 5)].reset();
        else if (keyword == ">") body = named(*(expected->after[target] = ""));
        else if (keyword == "stdout") body = named(*(expected->out = expected->out.value_or("")));
        else if (keyword == "stderr") body = &*(expected->err = expected->err.value_or(""));
        else if (keyword == "both") body = named(*(expected->both = expected->both.value_or("")));
        else if (keyword == "status") expected->status = std::stoi(rest);
        else if (line == "bytes") expected->bytes = true;
        else if (keyword == "skip") expected->skip = rest;
        else if (line == "windows") expected = &cases.back().windows;
        else throw fault("cannot read " + line);
    }
    return cases;
}

// The expectation for this platform: on Windows, the posix one with what
// the case states for Windows instead, every text written with CR LF.
expectation expectationfor(const testcase& c) {
    if (!testingwindows()) return c.posix;
    expectation e = c.posix;
    const expectation& w = c.windows;
    for (const auto& [name, content] : w.after) e.after[name] = content;
    e.out = w.out ? w.out : e.out, e.status = w.status ? w.status : e.status;
    e.err = w.err ? w.err : e.err, e.both = w.both ? w.both : e.both;
    e.skip = w.skip, e.bytes = w.bytes;
    for (auto& [name, content] : e.after)
        if (content && !e.bytes) content = windowstext(*content);
    if (e.out && !e.bytes) e.out = windowstext(*e.out);
    return e;
}

// Writes the files and runs the set-up; what the directory then holds.
tree prepare(const scratch& dir, const testcase& c) {
    for (const auto& [name, content] : c.before) dir.write(name, content);
    for (const std::string& command : c.setup)
        if (std::system(("cd '" + dir.path().string() + "' && " + command).c_str()) != 0)
            throw std::runtime_error("set-up failed: " + command);
    if (c.unprivileged) dir.giveaway();
    return dir.snapshot();
}

runresult run(const scratch& dir, const testcase& c, const std::vector<std::string>& args, bool onefile = false) {
    runoptions options;
    options.unprivileged = c.unprivileged;
    options.mergeoutputs = onefile;
    // skelvane is found on PATH (the program is $0 there); under Wine, it is a
    // function that runs skelvane.exe, exported to the shells the line starts.
    const std::string found = testingwindows() ? "skelvane() { $SKELVANE_WRAPPER \"$SKELVANE_EXE\" \"$@\"; }; export -f skelvane; "
                                               : "PATH=\"$(dirname \"$0\")\":\"$PATH\"; ";
    if (!c.shell.empty()) options.wrapper = {"bash", "-c", found + c.shell};
    return runskelvane(dir, args, options);
}

void runcase(const testcase& c) {
    const expectation e = expectationfor(c);
    if (!e.skip.empty()) GTEST_SKIP() << e.skip;
    scratch dir;
    tree expected = prepare(dir, c);
    for (const auto& [name, content] : e.after)
        content ? void(expected[name] = *content) : void(expected.erase(name));
    runresult result = run(dir, c, c.args, e.both.has_value());
    result.err = normalised(result.err, dir.path());
    if (e.both) result.out = normalised(result.out, dir.path());
    SCOPED_TRACE("stderr:\n" + result.err);
    EXPECT_EQ(result.out, e.both ? *e.both : e.out.value_or(""));
    if (!e.both) {
        EXPECT_EQ(result.err, e.err.value_or(""));
    }
    EXPECT_EQ(result.status, e.status.value_or(0));
    // Every way a run can fail says why: a failure without a word would
    // be no use to a user, and under Wine it is how a lost run shows.
    EXPECT_FALSE(result.status != 0 && result.out.empty() && result.err.empty())
        << "status " << result.status << " without a word";
    tree actual = dir.snapshot();
    // The Windows build rewrites a document whose text stays the same with CR LF line ends.
    if (testingwindows() && !e.bytes)
        for (auto& [name, content] : expected)
            if (actual.count(name) != 0 && actual[name] == windowstext(content)) content = actual[name];
    // Not EXPECT_EQ: its line diff of large texts needs memory in the square of their lines.
    EXPECT_TRUE(actual == expected) << "files afterwards:\n" << describe(actual) << "expected:\n" << describe(expected);
}

// --check gives the case the verdict of its run: 2 when the run fails, 1
// when it changes a file, 0 when it leaves every file as it was.
void checkcase(const testcase& c) {
    const bool changes = std::ranges::any_of(c.posix.after, [&](const auto& file) {
        auto was = std::ranges::find(c.before, file.first, &std::pair<std::string, std::string>::first);
        return was == c.before.end() || !file.second || was->second != *file.second;
    });
    scratch dir;
    const tree before = prepare(dir, c);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--check");
    runresult result = run(dir, c, args);
    EXPECT_EQ(result.status, c.posix.status.value_or(0) != 0 ? 2 : changes ? 1 : 0) << result.err;
    EXPECT_TRUE(dir.snapshot() == before) << describe(dir.snapshot());
}

bool isacheck(const testcase& c) {
    return !c.posix.skip.empty() || !c.shell.empty() || std::ranges::any_of(c.args, [](const std::string& arg) {
               return arg == "--check" || arg == "--diff" || arg == "--stdout";
           });
}

}  // namespace
}  // namespace skelvane::test

int main(int argc, char** argv) {
    using namespace skelvane::test;
    testing::InitGoogleTest(&argc, argv);
    std::map<std::string, std::string> texts;
    readcases(fs::path(SKELVANE_CASES) / "common.texts", texts);
    for (const fs::path& file : fs::directory_iterator(SKELVANE_CASES)) {
        if (file.extension() != ".cases") continue;
        const std::string suite = file.stem().string();
        for (const testcase& c : readcases(file, texts)) {
            struct one : testing::Test {
                std::function<void()> body;
                explicit one(std::function<void()> b) : body(std::move(b)) {}
                void TestBody() override { body(); }
            };
            auto test = [&](const std::string& prefix, void (*body)(const testcase&)) {
                testing::RegisterTest((prefix + suite).c_str(), c.name.c_str(), nullptr, nullptr, file.c_str(), c.line,
                                      [=]() -> testing::Test* { return new one([=] { body(c); }); });
            };
            test("run_", runcase);
            if (!isacheck(c) && !testingwindows()) test("check_", checkcase);
        }
    }
    return RUN_ALL_TESTS();
}

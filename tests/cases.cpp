// The black-box cases, read from tests/cases/*.cases (the format is in
// tests/cases/README). Each case runs the built binary once in a fresh
// directory and checks stdout byte for byte, the exit status, what stderr
// must say (or that it says nothing) and every file afterwards; then,
// unless it is a check already, runs it again with --check, which must
// give the verdict of the run and change nothing.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>

#include <fnmatch.h>

namespace skelvane::test {
namespace {

using text = std::optional<std::string>;  // no value: the file must not exist

struct expectation {
    std::map<std::string, text> after;  // changes to the files before
    text out;                           // stdout; unset: empty
    std::optional<int> status;          // unset: 0
    std::optional<std::vector<std::string>> err;  // lines stderr must contain; none: stderr is empty
    std::vector<std::string> checks;    // shell commands that must succeed afterwards
    std::string skip;                   // why the case cannot be run here
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

// Byte escapes: \\ \r \t \f \0 \xHH, \{COUNT:TEXT} repeats TEXT, and \c at
// the end of a line leaves out its line end.
std::string unescape(std::string_view line, bool& lineend) {
    std::string bytes;
    lineend = true;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            bytes += line[i];
            continue;
        }
        const char c = line[++i];
        if (c == 'x' && i + 2 < line.size()) {
            bytes += static_cast<char>(std::stoi(std::string(line.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else if (c == '{') {
            std::size_t colon = line.find(':', i), close = line.find('}', colon);
            bool ignored;
            std::string unit = unescape(line.substr(colon + 1, close - colon - 1), ignored);
            for (long n = std::stol(std::string(line.substr(i + 1, colon - i - 1))); n > 0; --n) bytes += unit;
            i = close;
        } else {
            const std::string from = "rtf0nc", to = std::string("\r\t\f\0\n", 5);
            const std::size_t which = from.find(c);
            if (c == 'c') lineend = false;
            else bytes += which == std::string::npos ? c : to[which];
        }
    }
    return bytes;
}

// Splits an argument line: blanks separate words, '...' keeps blanks.
std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> found;
    std::string word;
    bool inword = false, quoted = false;
    for (char c : line) {
        if (c == '\'') {
            quoted = !quoted;
            inword = true;
        } else if (c == ' ' && !quoted) {
            if (inword) found.push_back(word);
            word.clear();
            inword = false;
        } else {
            word += c;
            inword = true;
        }
    }
    if (inword) found.push_back(word);
    for (std::string& w : found) {
        bool ignored;
        w = unescape(w, ignored);
    }
    return found;
}

// The cases of one file; texts holds the @NAME texts, and gets those the
// file defines.
std::vector<testcase> readcases(const fs::path& path, std::map<std::string, std::string>& texts) {
    std::ifstream in(path, std::ios::binary);
    std::vector<testcase> cases;
    std::string* body = nullptr;  // where | lines go
    expectation* expected = nullptr;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::size_t blank = line.find(' ');
        const std::string_view rest =
            blank == std::string::npos ? std::string_view() : std::string_view(line).substr(blank + 1);
        const std::string keyword = line.substr(0, line.find(' '));
        auto named = [&](std::string& into) -> std::string* {
            for (const std::string& w : words(rest))
                if (w.starts_with("@")) into += texts.at(w.substr(1));
            return &into;
        };
        auto target = [&] {
            bool ignored;
            return unescape(rest.substr(0, rest.find(" @")), ignored);
        };
        if (line.starts_with("|")) {
            bool lineend;
            body->append(unescape(std::string_view(line).substr(1), lineend)).append(lineend ? "\n" : "");
        } else if (line.empty() || line.starts_with("#")) {
            body = nullptr;
        } else if (keyword == "text") {
            body = &(texts[std::string(rest)] = "");
        } else if (keyword == "===") {
            cases.emplace_back();
            cases.back().name = rest;
            cases.back().line = number;
            expected = &cases.back().posix;
        } else if (cases.empty()) {
            throw std::runtime_error(path.string() + ":" + std::to_string(number) + ": outside a case");
        } else if (keyword == "$") {
            cases.back().args = words(rest);
        } else if (keyword == "$$") {
            cases.back().shell = rest;
        } else if (keyword == "!") {
            cases.back().setup.emplace_back(rest);
        } else if (line == "as nobody") {
            cases.back().unprivileged = true;
        } else if (keyword == "<") {
            cases.back().before.push_back({target(), ""});
            body = named(cases.back().before.back().second);
        } else if (keyword == ">" && rest.ends_with(" gone")) {
            expected->after[std::string(rest.substr(0, rest.size() - 5))] = std::nullopt;
        } else if (keyword == ">") {
            body = named(*(expected->after[target()] = ""));
        } else if (keyword == "stdout") {
            body = named(*(expected->out = ""));
        } else if (keyword == "stderr") {
            if (!expected->err) expected->err.emplace();
            body = &expected->err->emplace_back();
        } else if (keyword == "status") {
            expected->status = std::stoi(std::string(rest));
        } else if (keyword == "?") {
            expected->checks.emplace_back(rest);
        } else if (keyword == "skip") {
            expected->skip = rest;
        } else if (line == "windows") {
            expected = &cases.back().windows;
        } else {
            throw std::runtime_error(path.string() + ":" + std::to_string(number) + ": cannot read " + line);
        }
    }
    // Each stderr line gathered as a text is a list of lines.
    for (testcase& c : cases)
        for (expectation* e : {&c.posix, &c.windows}) {
            if (!e->err) continue;
            std::vector<std::string> lines;
            for (const std::string& block : *e->err)
                for (std::size_t from = 0; from < block.size();) {
                    std::size_t end = block.find('\n', from);
                    lines.push_back(block.substr(from, end - from));
                    from = end == std::string::npos ? block.size() : end + 1;
                }
            e->err = lines;
        }
    return cases;
}

// The expectation for this platform: on Windows, the posix one with what
// the case states for Windows instead, every text written with CR LF.
expectation expectationfor(const testcase& c) {
    if (!testingwindows()) return c.posix;
    expectation e = c.posix;
    for (const auto& [name, content] : c.windows.after) e.after[name] = content;
    if (c.windows.out) e.out = c.windows.out;
    if (c.windows.status) e.status = c.windows.status;
    if (c.windows.err) e.err = c.windows.err;
    if (!c.windows.skip.empty()) e.skip = c.windows.skip;
    for (auto& [name, content] : e.after)
        if (content) content = windowstext(*content);
    if (e.out) e.out = windowstext(*e.out);
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

void runcase(const testcase& c) {
    const expectation e = expectationfor(c);
    if (!e.skip.empty()) GTEST_SKIP() << e.skip;
    scratch dir;
    tree expected = prepare(dir, c);
    for (const auto& [name, content] : e.after) {
        if (content)
            expected[name] = *content;
        else
            expected.erase(name);
    }
    runoptions options;
    options.unprivileged = c.unprivileged;
    if (!c.shell.empty()) options.wrapper = {"bash", "-c", "PATH=\"$(dirname \"$0\")\":\"$PATH\"; " + c.shell};
    runresult result = runskelvane(dir, c.args, options);
    if (testingwindows()) std::erase(result.err, '\r');
    SCOPED_TRACE("stderr:\n" + result.err);
    EXPECT_EQ(result.out, e.out.value_or(""));
    EXPECT_EQ(result.status, e.status.value_or(0));
    tree actual = dir.snapshot();
    // A name with a * stands for a file whose name the run chose.
    for (const auto& [name, content] : e.after)
        for (const auto& [found, got] : actual)
            if (name.find('*') != std::string::npos && content == got && fnmatch(name.c_str(), found.c_str(), 0) == 0) {
                expected.erase(name);
                expected[found] = got;
            }
    // The Windows build rewrites a document whose text stays the same with
    // CR LF line ends.
    if (testingwindows())
        for (auto& [name, content] : expected)
            if (actual.count(name) != 0 && actual[name] == windowstext(content)) content = actual[name];
    EXPECT_EQ(actual, expected) << "files afterwards:\n" << describe(actual) << "expected:\n" << describe(expected);
    for (const std::string& line : e.err.value_or(std::vector<std::string>())) {
        EXPECT_NE(result.err.find(line), std::string::npos) << "stderr lacks: " << line;
    }
    if (!e.err || e.err->empty()) {
        EXPECT_EQ(result.err, "");
    }
    for (const std::string& command : e.checks) {
        EXPECT_EQ(std::system(("cd '" + dir.path().string() + "' && " + command).c_str()), 0) << command;
    }
}

// --check gives the case the verdict of its run: 2 when the run fails, 1
// when it changes a file, 0 when it leaves every file as it was.
void checkcase(const testcase& c) {
    bool changes = false;
    for (const auto& [name, content] : c.posix.after) {
        auto was = std::find_if(c.before.begin(), c.before.end(), [&](const auto& b) { return b.first == name; });
        changes = changes || was == c.before.end() || !content || was->second != *content;
    }
    scratch dir;
    const tree before = prepare(dir, c);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--check");
    runoptions options;
    options.unprivileged = c.unprivileged;
    runresult result = runskelvane(dir, args, options);
    EXPECT_EQ(result.status, c.posix.status.value_or(0) != 0 ? 2 : changes ? 1 : 0) << result.err;
    EXPECT_EQ(dir.snapshot(), before);
}

bool isacheck(const testcase& c) {
    for (const std::string& arg : c.args)
        if (arg == "--check" || arg == "--diff" || arg == "--stdout") return true;
    return !c.posix.skip.empty() || !c.posix.checks.empty() || !c.shell.empty();
}

}  // namespace
}  // namespace skelvane::test

int main(int argc, char** argv) {
    using namespace skelvane::test;
    testing::InitGoogleTest(&argc, argv);
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(SKELVANE_CASES))
        if (entry.path().extension() == ".cases") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::map<std::string, std::string> texts;
    readcases(fs::path(SKELVANE_CASES) / "common.texts", texts);
    for (const fs::path& file : files) {
        const std::string suite = file.stem().string();
        for (const testcase& c : readcases(file, texts)) {
            auto test = [&](const std::string& prefix, void (*body)(const testcase&)) {
                testing::RegisterTest((prefix + suite).c_str(), c.name.c_str(), nullptr, nullptr,
                                      file.string().c_str(), c.line, [c, body]() -> testing::Test* {
                                          struct one : testing::Test {
                                              testcase c;
                                              void (*body)(const testcase&);
                                              void TestBody() override { body(c); }
                                          };
                                          auto* t = new one;
                                          t->c = c;
                                          t->body = body;
                                          return t;
                                      });
            };
            test("run_", runcase);
            if (!isacheck(c) && !testingwindows()) test("check_", checkcase);
        }
    }
    return RUN_ALL_TESTS();
}

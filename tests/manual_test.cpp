// The manual page's EXAMPLES, run as written: every "$ " line of the
// examples is a command run in one fresh directory, and the lines after it
// are its exact output.
#include "harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace skelvane::test {
namespace {

// The man page's escapes that the examples use.
std::string unescape(std::string line) {
    for (std::size_t at = 0; (at = line.find('\\', at)) != std::string::npos; ++at) {
        if (at + 1 < line.size() && line[at + 1] == 'e') line.replace(at, 2, "\\");
        else if (at + 1 < line.size() && line[at + 1] == '-') line.replace(at, 2, "-");
    }
    return line;
}

struct step {
    std::string command;
    std::string output;
};

std::vector<step> examples() {
    std::ifstream page(SKELVANE_MANPAGE);
    std::vector<step> steps;
    bool inexamples = false;
    bool inblock = false;
    for (std::string line; std::getline(page, line);) {
        if (line.starts_with(".SH")) inexamples = line == ".SH EXAMPLES";
        if (!inexamples) continue;
        if (line == ".EX" || line == ".EE") {
            inblock = line == ".EX";
            continue;
        }
        if (!inblock) continue;
        line = unescape(line);
        if (line.starts_with("$ "))
            steps.push_back({line.substr(2), ""});
        else if (!steps.empty())
            steps.back().output += line + "\n";
    }
    return steps;
}

TEST(manual, examples_run_as_written) {
    std::vector<step> steps = examples();
    ASSERT_GE(steps.size(), 5u);
    scratch dir;
    const std::string bindir = fs::path(SKELVANE_BINARY).parent_path().string();
    for (const step& s : steps) {
        SCOPED_TRACE(s.command);
        // The command's own quotes go through a script file, untouched.
        fs::path script = dir.path() / ".command";
        std::ofstream(script) << "cd '" << dir.path().string() << "' && PATH='" << bindir << "':\"$PATH\"\n"
                              << s.command << "\n";
        std::string output = commandoutput("bash '" + script.string() + "' 2>/dev/null");
        fs::remove(script);
        EXPECT_EQ(output, s.output);
    }
}

}  // namespace
}  // namespace skelvane::test

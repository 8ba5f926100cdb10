// The shortest edit script at its edges: empty sides, the change limit,
// and the layout diff -u gives among scripts of the same length.
#include "editscript.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace skelvane {
namespace {

std::vector<std::string_view> lines(const char* letters) {
    std::vector<std::string_view> result;
    for (const char* c = letters; *c != '\0'; ++c) result.emplace_back(c, 1);
    return result;
}

// The steps as text: ' ' kept, '-' removed, '+' added.
std::string script(const char* from, const char* to, int maxchanges = 100) {
    std::vector<editstep> steps;
    if (!shorteststeps(lines(from), lines(to), maxchanges, steps)) return "(too many)";
    std::string text;
    for (editstep step : steps) text += static_cast<char>(step);
    return text;
}

struct scriptcase {
    const char* from;
    const char* to;
    const char* steps;
};

TEST(editscript, shortest_scripts_laid_out_as_diff_shows_them) {
    const scriptcase cases[] = {
        {"", "", ""},
        {"abc", "abc", "   "},
        {"", "ab", "++"},
        {"ab", "", "--"},
        {"abc", "axc", " -+ "},
        {"ab", "cd", "--++"},  // removals before additions
        {"abcd", "acbd", " - + "},
        // Runs of changes merge and lie as late as they can.
        {"xsss", "s", "--- "},
        {"ab", "abb", "  +"},
        {"aab", "ab", " - "},
        {"abcc", "xcxb", "---+ ++"},
    };
    for (const scriptcase& c : cases)
        EXPECT_EQ(script(c.from, c.to), c.steps) << c.from << " -> " << c.to;
}

TEST(editscript, gives_up_past_the_change_limit) {
    EXPECT_EQ(script("abcd", "wxyz", 7), "(too many)");
    EXPECT_EQ(script("abcd", "wxyz", 8), "----++++");
    EXPECT_EQ(script("aaaa", "aaaa", 0), "    ");
}

}  // namespace
}  // namespace skelvane

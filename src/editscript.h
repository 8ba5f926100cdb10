// The shortest edit script between two short sequences of lines (Myers'
// O(ND) algorithm), for the changed stretches of a difference.
#ifndef SKELVANE_EDITSCRIPT_H
#define SKELVANE_EDITSCRIPT_H

#include <string_view>
#include <vector>

namespace skelvane {

// One step from old to new: keep a line of both, remove an old line, or
// add a new one.
enum class editstep : char { keep = ' ', remove = '-', add = '+' };

// Fills steps with a shortest script turning from into to, each stretch of
// changes giving its removals before its additions, as diff -u shows them.
// Returns false, with steps empty, when the script would need more than
// maxchanges removals and additions: the caller then shows the whole
// stretch as changed rather than spend quadratic time and memory on it.
bool shorteststeps(const std::vector<std::string_view>& from, const std::vector<std::string_view>& to,
                   int maxchanges, std::vector<editstep>& steps);

}  // namespace skelvane

#endif

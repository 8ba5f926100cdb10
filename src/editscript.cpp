#include "editscript.h"

#include <algorithm>

namespace skelvane {

namespace {

// Which lines of one side are changed, with an unchanged line before the
// first and after the last so that runs can be scanned without bounds
// checks: changed(k) is the flag of line k, for k from -1 to the count.
class changeflags {
public:
    explicit changeflags(std::size_t lines) : flags_(lines + 2, 0) {}
    char& operator[](std::ptrdiff_t line) { return flags_[static_cast<std::size_t>(line + 1)]; }
    std::ptrdiff_t lines() const { return static_cast<std::ptrdiff_t>(flags_.size()) - 2; }

private:
    std::vector<char> flags_;
};

// Among scripts of the same length, diff shows the one whose runs of
// changes are merged and lie as late as they can, each beside the
// corresponding run of the other side where possible. A run may slide over
// a line equal to the one it gives up, which keeps the script valid.
void slideruns(const std::vector<std::string_view>& lines, changeflags& changed, changeflags& other) {
    const std::ptrdiff_t end = changed.lines();
    std::ptrdiff_t i = 0;
    std::ptrdiff_t j = 0;  // the corresponding place on the other side
    for (;;) {
        while (i < end && !changed[i]) {
            while (other[j++]) {}
            ++i;
        }
        if (i == end) break;
        std::ptrdiff_t start = i;
        while (changed[++i]) {}
        while (other[j]) ++j;
        std::ptrdiff_t corresponding;
        std::ptrdiff_t runlength;
        do {
            runlength = i - start;
            // Back, merging with earlier runs, while the line before the
            // run equals its last line.
            while (start > 0 && lines[start - 1] == lines[i - 1]) {
                changed[--start] = 1;
                changed[--i] = 0;
                while (changed[start - 1]) --start;
                while (other[--j]) {}
            }
            corresponding = other[j - 1] ? i : end;
            // Then forward, merging with later runs, as far as it goes.
            while (i != end && lines[start] == lines[i]) {
                changed[start++] = 0;
                changed[i++] = 1;
                while (changed[i]) ++i;
                while (other[++j]) corresponding = i;
            }
        } while (runlength != i - start);
        // Back again to lie beside a run of the other side.
        while (corresponding < i) {
            changed[--start] = 1;
            changed[--i] = 0;
            while (other[--j]) {}
        }
    }
}

}  // namespace

bool shorteststeps(const std::vector<std::string_view>& from, const std::vector<std::string_view>& to,
                   int maxchanges, std::vector<editstep>& steps) {
    steps.clear();
    const int n = static_cast<int>(from.size());
    const int m = static_cast<int>(to.size());
    const int limit = std::min(n + m, maxchanges);
    // furthest[k + offset]: the furthest x reached on diagonal k = x - y.
    const int offset = limit + 1;
    std::vector<int> furthest(2 * static_cast<std::size_t>(limit) + 3, 0);
    // The furthest points after each round, for the walk back.
    std::vector<std::vector<int>> rounds;
    int found = -1;
    for (int d = 0; d <= limit && found < 0; ++d) {
        for (int k = -d; k <= d; k += 2) {
            bool down = k == -d || (k != d && furthest[k - 1 + offset] < furthest[k + 1 + offset]);
            int x = down ? furthest[k + 1 + offset] : furthest[k - 1 + offset] + 1;
            int y = x - k;
            while (x < n && y < m && from[x] == to[y]) ++x, ++y;
            furthest[k + offset] = x;
            if (x >= n && y >= m) found = d;
        }
        rounds.emplace_back(furthest.begin() + (offset - d), furthest.begin() + (offset + d + 1));
    }
    if (found < 0) return false;

    // Walk back from the end, marking what changed.
    changeflags removed(from.size());
    changeflags added(to.size());
    int x = n;
    int y = m;
    for (int d = found; d > 0; --d) {
        const std::vector<int>& before = rounds[d - 1];  // indexed by k + d - 1
        int k = x - y;
        auto at = [&](int diagonal) { return before[diagonal + d - 1]; };
        bool down = k == -d || (k != d && at(k - 1) < at(k + 1));
        int previousk = down ? k + 1 : k - 1;
        int previousx = at(previousk);
        int previousy = previousx - previousk;
        if (down) {
            added[previousy] = 1;
        } else {
            removed[previousx] = 1;
        }
        x = previousx;
        y = previousy;
    }
    slideruns(from, removed, added);
    slideruns(to, added, removed);

    // Each stretch of changes gives its removals before its additions.
    for (std::ptrdiff_t i = 0, j = 0; i < n || j < m;) {
        if (i < n && removed[i]) {
            steps.push_back(editstep::remove);
            ++i;
        } else if (j < m && added[j]) {
            steps.push_back(editstep::add);
            ++j;
        } else {
            steps.push_back(editstep::keep);
            ++i, ++j;
        }
    }
    return true;
}

}  // namespace skelvane

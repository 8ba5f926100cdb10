#include "pattern.h"

#include "messages.h"

#include <algorithm>
#include <set>
#include <utility>

namespace skelvane {

namespace {

// Patterns already checked for directive lines in this run, so that a
// footer shared by thousands of documents is reported once.
std::set<std::pair<std::uint64_t, std::uint64_t>> checkedpatterns;

}  // namespace

patternfiles::patternfiles(std::string_view document, std::vector<fileid> unreadable)
    : document_(document), unreadable_(std::move(unreadable)), reader_(fpat_) {}

insertresult patternfiles::insertpattern(std::string_view rest, long line, bytesink& out) {
    std::string where = fileline(document_, line);
    std::optional<std::string_view> found = getpatternname(rest);
    if (!found) {
        warn(where, "start directive names no pattern file (no file=\"...\"); nothing inserted");
        return insertresult::skipped;
    }
    std::string name(*found);
    if (name.empty()) {
        warn(where, "start directive names an empty pattern file name; nothing inserted");
        return insertresult::skipped;
    }
    int error = fpat_.open(name);
    const filestatus& status = fpat_.status();
    if (error == 0 && std::find(unreadable_.begin(), unreadable_.end(), status.id) != unreadable_.end())
        error = EBUSY;
    if (error != 0) {
        fpat_.close();
        std::string reason = error == EBUSY ? "it is a staging file of this run" : describe(error);
        warn(where, "cannot include \"" + name + "\": " + reason + "; nothing inserted");
        return insertresult::skipped;
    }

    showincluding(name);
    bool checklines = checkedpatterns.insert({status.id.device, status.id.inode}).second;
    copy(name, out, checklines);
    fpat_.close();
    if (!failure_.empty()) return insertresult::failed;
    out.write("\n");
    return insertresult::inserted;
}

void patternfiles::copy(const std::string& name, bytesink& out, bool checklines) {
    reader_.reset();
    long patternline = 1;
    std::string_view piece;
    while (reader_.next(piece)) {
        out.write(piece);
        // Inserted text is scanned on the next run: a directive line in it
        // would then cut the region short or open another one.
        if (checklines && (isenddirective(piece) || isstartdirective(piece)))
            warn(fileline(name, patternline),
                 "pattern line begins with a directive keyword; documents that include it "
                 "change on every run");
        if (endsline(piece)) ++patternline;
    }
    if (reader_.error() != 0)
        failure_ = "cannot read pattern file \"" + name + "\": " + describe(reader_.error());
}

}  // namespace skelvane

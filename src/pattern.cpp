#include "pattern.h"

#include "messages.h"
#include "settings.h"

#include <algorithm>
#include <set>
#include <utility>

namespace skelvane {

namespace {

// Patterns already checked for directive lines in this run, so that a
// footer shared by thousands of documents is reported once.
std::set<std::pair<std::uint64_t, std::uint64_t>> checkedpatterns;

// Small pattern files are kept in memory from one directive to the next.
// A kept text is used only while a stat of its name shows the very same
// file untouched, so each directive still gets the file's current text,
// for one stat instead of an open, reads and a close.
struct keptpattern {
    std::string name;
    filestatus status;
    std::string text;
    std::uint64_t lastuse = 0;
};
constexpr std::size_t keptpatterns = 4;
constexpr std::uint64_t keptsizelimit = 64 * 1024;
std::vector<keptpattern> kept;
std::uint64_t uses = 0;

const keptpattern* findkept(const std::string& name, const filestatus& now) {
    for (keptpattern& k : kept)
        if (k.name == name && !now.touchedsince(k.status)) {
            k.lastuse = ++uses;
            return &k;
        }
    return nullptr;
}

void keep(const std::string& name, const filestatus& status, std::string text) {
    auto slot = std::find_if(kept.begin(), kept.end(), [&](const keptpattern& k) { return k.name == name; });
    if (slot == kept.end()) {
        if (kept.size() < keptpatterns)
            slot = kept.insert(kept.end(), keptpattern{});
        else
            slot = std::min_element(kept.begin(), kept.end(), [](const keptpattern& a, const keptpattern& b) {
                return a.lastuse < b.lastuse;
            });
    }
    *slot = keptpattern{name, status, std::move(text), ++uses};
}

// With --root: why the pattern may not be included, or nothing. A name
// that does not resolve is left to the open, which says why.
std::string outsideroot(const std::string& name, std::string& resolved) {
    if (isabsolutepath(name)) return "an absolute name, and --root is given";
    if (resolvepath(name, resolved) != 0) {
        resolved = name;
        return {};
    }
    return pathinside(resolved, settings.root) ? std::string() : "it lies outside " + settings.root;
}

}  // namespace

patternfiles::patternfiles(std::string_view document, std::vector<fileid> unreadable, lineendstyle style)
    : document_(document), unreadable_(std::move(unreadable)), reader_(fpat_), converter_(style) {}

insertresult patternfiles::insertpattern(std::string_view rest, long line, bytesink& out) {
    std::string where = fileline(document_, line);
    std::optional<std::string_view> found = getpatternname(rest);
    if (!found)
        return problem(where, "start directive names no pattern file (no file=\"...\"); nothing inserted")
                   ? insertresult::failed
                   : insertresult::skipped;
    std::string name(*found);
    if (name.empty())
        return problem(where, "start directive names an empty pattern file name; nothing inserted")
                   ? insertresult::failed
                   : insertresult::skipped;
    // With --root the checked path is the one opened, so that a link
    // changed in between cannot lead elsewhere.
    std::string opened = name;
    if (!settings.root.empty()) {
        std::string outside = outsideroot(name, opened);
        if (!outside.empty())
            return problem(where, "cannot include \"" + name + "\": " + outside + "; nothing inserted")
                       ? insertresult::failed
                       : insertresult::skipped;
    }
    filestatus now;
    // With --strict every insertion checks the pattern's lines, so none is
    // taken from memory.
    if (!settings.strict && statpath(name, now) == 0) {
        const keptpattern* hit = findkept(name, now);
        if (hit != nullptr && std::find(unreadable_.begin(), unreadable_.end(), now.id) == unreadable_.end()) {
            showincluding(name);
            converter_.write(out, hit->text);
            converter_.write(out, "\n");
            converter_.finish(out);
            return insertresult::inserted;
        }
    }

    int error = fpat_.open(opened);
    const filestatus& status = fpat_.status();
    if (error == 0 && std::find(unreadable_.begin(), unreadable_.end(), status.id) != unreadable_.end())
        error = EBUSY;
    if (error != 0) {
        fpat_.close();
        std::string reason = error == EBUSY ? "it is a staging file of this run" : describe(error);
        return problem(where, "cannot include \"" + name + "\": " + reason + "; nothing inserted")
                   ? insertresult::failed
                   : insertresult::skipped;
    }

    showincluding(name);
    bool checklines = checkedpatterns.insert({status.id.device, status.id.inode}).second || settings.strict;
    std::string text;
    bool keepable = status.size <= keptsizelimit;
    copy(name, where, out, checklines, keepable ? &text : nullptr);
    fpat_.close();
    if (!failure_.empty()) return insertresult::failed;
    if (keepable && text.size() == status.size) keep(name, status, std::move(text));
    converter_.write(out, "\n");
    converter_.finish(out);
    return insertresult::inserted;
}

void patternfiles::copy(const std::string& name, const std::string& where, bytesink& out, bool checklines,
                        std::string* text) {
    reader_.reset();
    long patternline = 1;
    std::string_view piece;
    while (reader_.next(piece)) {
        converter_.write(out, piece);
        if (text != nullptr) text->append(piece);
        // Inserted text is scanned on the next run: a directive line in it
        // would then cut the region short or open another one.
        if (checklines && (isenddirective(piece) || isstartdirective(piece)) &&
            problem(fileline(name, patternline),
                    "pattern line begins with a directive keyword; documents that include it "
                    "change on every run (included at " + where + ")"))
            return;
        if (endsline(piece)) ++patternline;
    }
    if (reader_.error() != 0) {
        converter_.finish(out);
        failuresubject_ = document_;
        failure_ = "cannot read pattern file \"" + name + "\": " + describe(reader_.error());
    }
}

bool patternfiles::directiveproblem(long line, std::string_view text) {
    return problem(fileline(document_, line), std::string(text));
}

bool patternfiles::problem(const std::string& subject, const std::string& text) {
    if (!settings.strict) {
        warn(subject, text);
        return false;
    }
    failuresubject_ = subject;
    failure_ = text;
    return true;
}

}  // namespace skelvane

#include "pattern.h"

#include "messages.h"
#include "run.h"
#include "sitepaths.h"

#include <algorithm>
#include <set>
#include <utility>

namespace skelvane {

const keptpattern* keptpatterns::find(const std::string& name, const filestatus& now) {
    for (kept& k : kept_)
        if (k.name == name && !now.touchedsince(k.status)) {
            k.lastuse = ++uses_;
            k.lookedin = look_;
            return &k.pattern;
        }
    return nullptr;
}

const keptpattern* keptpatterns::looked(const std::string& name, filestatus& status) const {
    for (const kept& k : kept_)
        if (k.name == name && k.lookedin == look_) {
            status = k.status;
            return &k.pattern;
        }
    return nullptr;
}

void keptpatterns::keep(const std::string& name, const filestatus& status, keptpattern pattern) {
    auto slot = std::find_if(kept_.begin(), kept_.end(), [&](const kept& k) { return k.name == name; });
    if (slot == kept_.end()) {
        if (kept_.size() < count)
            slot = kept_.insert(kept_.end(), kept{});
        else
            slot = std::min_element(kept_.begin(), kept_.end(),
                                    [](const kept& a, const kept& b) { return a.lastuse < b.lastuse; });
    }
    *slot = kept{name, status, std::move(pattern), ++uses_, look_};
}

void keptpatterns::forget(const fileid& id) {
    for (kept& k : kept_)
        if (k.status.id == id) k.lookedin = 0;
}

const folderanchors& keptpattern::anchorsfor(const pageplace& folder) const {
    // The folder's names, NUL apart (no name holds one), and whether it is in the site.
    std::string key(1, folder.insite ? '+' : '-');
    for (const std::string& name : folder.directory) key.append(name).push_back('\0');
    auto found = anchorsbyfolder_.find(key);
    if (found == anchorsbyfolder_.end()) {
        // A watch meets folders as long as it runs: what it keeps stays bounded.
        if (anchorsbyfolder_.size() >= foldersremembered) anchorsbyfolder_.clear();
        found = anchorsbyfolder_.try_emplace(std::move(key), text, 0, edits, folder).first;
    }
    return found->second;
}

namespace {

// The way inserted text takes to the document: its links edited, its lines
// indented, its line ends converted, each only when asked for.
class textroute {
public:
    textroute(bytesink& out, lineendstyle style, const std::optional<pagelinks>& links, const runsettings& settings,
              std::string_view directive, std::vector<textedit>* plan = nullptr)
        : converted_(out, style) {
        if (settings.indent)
            indented_.emplace(converted_, directive.substr(0, directive.find_first_not_of(" \t")),
                              endsline(directive));
        if (links) linked_.emplace(afterlinks(), *links, settings.relativelinks, plan);
    }
    // Where text goes whose links are edited already.
    bytesink& afterlinks() { return indented_ ? static_cast<bytesink&>(*indented_) : converted_; }
    bytesink& start() { return linked_ ? static_cast<bytesink&>(*linked_) : afterlinks(); }
    void finish() {
        if (linked_) linked_->finish();
        if (indented_) indented_->finish();
        converted_.finish();
    }

private:
    lineendsink converted_;
    std::optional<indentsink> indented_;
    std::optional<linkedsink> linked_;
};

}  // namespace

patternfiles::patternfiles(run& current, std::string_view document, std::vector<fileid> excluded,
                           const stagingfile* staging, lineendstyle style, std::optional<pagelinks> links)
    : run_(current), document_(document), excluded_(std::move(excluded)), staging_(staging), reader_(fpat_),
      style_(style), links_(std::move(links)) {}

bool patternfiles::excluded(const filestatus& status) const {
    return std::find(excluded_.begin(), excluded_.end(), status.id) != excluded_.end() ||
           (staging_ != nullptr && staging_->is(status));
}

bool patternfiles::statusof(const std::string& name, filestatus& status, bool& known) {
    known = statpath(name, status) == 0;
    if (!known || !run_.staged.holds(status.id)) return true;
    if (!run_.commitstaged()) return false;
    known = statpath(name, status) == 0;
    return true;
}

std::string patternfiles::refusal(std::string_view rest, std::string& name, std::string& reached,
                                  std::string& opened) {
    std::optional<std::string_view> found = getpatternname(rest);
    if (!found) return "start directive names no pattern file (no file=\"...\")";
    if (found->empty()) return "start directive names an empty pattern file name";
    const std::string& root = run_.settings.root;
    if (run_.settings.relative) {
        patternname path = patternpath(*found, document_, run_.settings.rootname);
        name = std::move(path.shown);
        reached = opened = std::move(path.opened);
    } else {
        name = reached = opened = std::string(*found);
    }
    if (root.empty()) return {};
    // With --root the checked path is the one opened, so that a link
    // changed in between cannot lead elsewhere. A name that does not
    // resolve is left to the open, which says why. Whether a name is
    // absolute is read as written: with --relative, a relative name joined
    // to a document's absolute path is none, nor is a name from the site root.
    std::string why;
    if (isabsolutepath(std::string(*found)) && !(run_.settings.relative && fromsiteroot(*found)))
        why = "an absolute name, and --root is given";
    else if (resolvepath(reached, opened) != 0)
        opened = reached;
    else if (!pathinside(opened, root))
        why = "it lies outside " + root;
    return why.empty() ? why : "cannot include \"" + name + "\": " + why;
}

void patternfiles::insertkept(const std::string& name, const keptpattern& pattern, bytesink& out,
                              std::string_view directive) {
    showincluding(run_.settings, name);
    textroute route(out, style_, std::nullopt, run_.settings, directive);
    if (links_)
        writeedited(pattern.text, 0, pattern.edits, *links_, route.afterlinks(),
                    links_->markcurrent ? &pattern.anchorsfor(links_->place) : nullptr);
    else
        route.afterlinks().write(pattern.text);
    route.afterlinks().write("\n");
    route.finish();
}

bool patternfiles::outsidesite() {
    if (placechecked_ || !links_ || !run_.settings.relativelinks || links_->place.insite) return false;
    placechecked_ = true;
    return problem(document_, "it lies outside the site root " + run_.settings.siteroot +
                                  "; the links in its inserted text are left as they are");
}

insertresult patternfiles::insertpattern(std::string_view rest, long line, bytesink& out, std::string_view directive) {
    const std::string where = fileline(document_, line);
    std::string name;
    std::string reached;  // the name it is found by, links not followed
    std::string opened;
    std::string refused = refusal(rest, name, reached, opened);
    filestatus now;
    bool known = false;
    // --watch follows every file a directive names, whether or not it
    // exists, by its name, so that a link is followed wherever it is pointed.
    std::optional<filestatus>* read = nullptr;
    if (run_.reads != nullptr && !reached.empty()) read = &run_.reads->patterns[reached];
    // A refused name is not opened; the watch compares what it shows now.
    if (filestatus shown; read != nullptr && !refused.empty() && statpath(reached, shown) == 0) *read = shown;
    // With --strict every insertion checks the pattern's lines, so none is
    // taken from memory.
    const bool frommemory = refused.empty() && !run_.settings.strict;
    if (const keptpattern* kept = frommemory ? run_.patterns.looked(reached, now) : nullptr; kept && !excluded(now)) {
        if (read != nullptr) *read = now;
        if (outsidesite()) return insertresult::failed;
        insertkept(name, *kept, out, directive);
        return insertresult::inserted;
    }
    // A pattern is looked at once per document: all its regions get the
    // same text. A document of this run waiting in the batch gives its new text.
    if (auto seen = seen_.find(opened); refused.empty() && seen != seen_.end()) {
        now = seen->second;
        known = true;
    } else if (refused.empty() && !statusof(opened, now, known)) {
        return insertresult::failed;
    }
    if (known) seen_[opened] = now;
    if (read != nullptr) *read = known ? std::optional(now) : std::nullopt;
    if (known && frommemory && !excluded(now))
        if (const keptpattern* kept = run_.patterns.find(reached, now)) {
            if (outsidesite()) return insertresult::failed;
            insertkept(name, *kept, out, directive);
            return insertresult::inserted;
        }
    if (refused.empty()) {
        int error = fpat_.open(opened);
        if (run_.freefiles(error)) error = fpat_.open(opened);
        // A pattern that cannot be opened for want of files is not missing:
        // inserting nothing would leave the document stale, unsaid.
        if (error == EMFILE || error == ENFILE) {
            failuresubject_ = where;
            failure_ = "cannot include \"" + name + "\": " + describe(error);
            return insertresult::failed;
        }
        if (error == 0 && excluded(fpat_.status())) error = EBUSY;
        if (error != 0) {
            fpat_.close();
            refused = "cannot include \"" + name + "\": " +
                      (error == EBUSY ? std::string("it is a staging file of this run") : describe(error));
        }
    }
    if (!refused.empty())
        return problem(where, refused + "; nothing inserted") ? insertresult::failed : insertresult::skipped;
    if (outsidesite()) {
        fpat_.close();
        return insertresult::failed;
    }

    showincluding(run_.settings, name);
    const filestatus status = fpat_.status();
    seen_[opened] = status;
    if (read != nullptr) *read = status;
    const bool checklines = run_.patterns.firstcheck(status.id) || run_.settings.strict;
    const bool keepable = status.size <= keptpatterns::sizelimit;
    keptpattern kept;
    textroute route(out, style_, links_, run_.settings, directive, keepable ? &kept.edits : nullptr);
    copy(name, where, route.start(), checklines, keepable ? &kept.text : nullptr);
    fpat_.close();
    if (failure_.empty()) route.start().write("\n");
    route.finish();
    if (!failure_.empty()) return insertresult::failed;
    if (keepable && kept.text.size() == status.size) run_.patterns.keep(reached, status, std::move(kept));
    return insertresult::inserted;
}

void patternfiles::copy(const std::string& name, const std::string& where, bytesink& out, bool checklines,
                        std::string* text) {
    reader_.reset();
    long patternline = 1;
    std::string_view piece;
    while (reader_.next(piece)) {
        out.write(piece);
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
        failuresubject_ = document_;
        failure_ = "cannot read pattern file \"" + name + "\": " + describe(reader_.error());
    }
}

bool patternfiles::directiveproblem(long line, std::string_view text) {
    return problem(fileline(document_, line), std::string(text));
}

bool patternfiles::problem(const std::string& subject, const std::string& text) {
    if (!run_.settings.strict) {
        warn(subject, text);
        return false;
    }
    failuresubject_ = subject;
    failure_ = text;
    return true;
}

}  // namespace skelvane

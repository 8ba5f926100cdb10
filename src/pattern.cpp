#include "pattern.h"

#include "messages.h"
#include "sitepaths.h"

#include <algorithm>
#include <set>
#include <utility>

namespace skelvane {

const cachedpattern* patterncache::find(const std::string& name, const filestatus& now) {
    for (entry& k : entries_)
        if (k.name == name && !now.touchedsince(k.status)) {
            k.lastuse = ++uses_;
            k.cachedin = round_;
            return &k.pattern;
        }
    return nullptr;
}

const cachedpattern* patterncache::cachedthisround(const std::string& name, filestatus& status) const {
    for (const entry& k : entries_)
        if (k.name == name && k.cachedin == round_) {
            status = k.status;
            return &k.pattern;
        }
    return nullptr;
}

void patterncache::store(const std::string& name, const filestatus& status, cachedpattern pattern) {
    auto slot = std::find_if(entries_.begin(), entries_.end(), [&](const entry& k) { return k.name == name; });
    if (slot == entries_.end()) {
        if (entries_.size() < count)
            slot = entries_.insert(entries_.end(), entry{});
        else
            slot = std::min_element(entries_.begin(), entries_.end(),
                                    [](const entry& a, const entry& b) { return a.lastuse < b.lastuse; });
    }
    *slot = entry{name, status, std::move(pattern), ++uses_, round_};
}

void patterncache::forget(const fileid& id) {
    for (entry& k : entries_)
        if (k.status.id == id) k.cachedin = 0;
}

const folderanchors& cachedpattern::anchorsfor(const pageplace& folder) const {
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

patternfiles::patternfiles(const runsettings& settings, patterncache& cache, patternhost& host,
                           std::string_view document, std::vector<fileid> excluded, const stagingfile* staging,
                           lineendstyle style, std::optional<pagelinks> links)
    : settings_(settings), cache_(cache), host_(host), document_(document), excluded_(std::move(excluded)), staging_(staging), reader_(fpat_),
      style_(style), links_(std::move(links)) {}

bool patternfiles::excluded(const filestatus& status) const {
    return std::find(excluded_.begin(), excluded_.end(), status.id) != excluded_.end() ||
           (staging_ != nullptr && staging_->is(status));
}

bool patternfiles::statusof(const std::string& name, filestatus& status, bool& known) {
    known = statpath(name, status) == 0;
    if (!known) return true;
    const patternhost::readiness ready = host_.beforereading(status.id);
    if (ready == patternhost::readiness::runended) return false;
    // Put in place, the name leads to the new text.
    if (ready == patternhost::readiness::putinplace) known = statpath(name, status) == 0;
    return true;
}

std::string patternfiles::refusal(std::string_view rest, std::string& name, std::string& reached,
                                  std::string& opened) {
    std::optional<std::string_view> found = getpatternname(rest);
    if (!found) return "start directive names no pattern file (no file=\"...\")";
    if (found->empty()) return "start directive names an empty pattern file name";
    const std::string& root = settings_.root;
    if (settings_.relative) {
        patternname path = patternpath(*found, document_, settings_.rootname);
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
    if (isabsolutepath(std::string(*found)) && !(settings_.relative && fromsiteroot(*found)))
        why = "an absolute name, and --root is given";
    else if (resolvepath(reached, opened) != 0)
        opened = reached;
    else if (!pathinside(opened, root))
        why = "it lies outside " + root;
    return why.empty() ? why : "cannot include \"" + name + "\": " + why;
}

void patternfiles::insertcached(const std::string& name, const cachedpattern& pattern, bytesink& out,
                              std::string_view directive) {
    showincluding(settings_, name);
    textroute route(out, style_, std::nullopt, settings_, directive);
    if (links_)
        writeedited(pattern.text, 0, pattern.edits, *links_, route.afterlinks(),
                    links_->markcurrent ? &pattern.anchorsfor(links_->place) : nullptr);
    else
        route.afterlinks().write(pattern.text);
    route.afterlinks().write("\n");
    route.finish();
}

bool patternfiles::outsidesite() {
    if (placechecked_ || !links_ || !settings_.relativelinks || links_->place.insite) return false;
    placechecked_ = true;
    return problem(document_, "it lies outside the site root " + settings_.siteroot +
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
    if (auto* reads = host_.patternreads(); reads != nullptr && !reached.empty()) read = &(*reads)[reached];
    // A refused name is not opened; the watch compares what it shows now.
    if (filestatus shown; read != nullptr && !refused.empty() && statpath(reached, shown) == 0) *read = shown;
    // With --strict every insertion checks the pattern's lines, so none is
    // taken from memory.
    const bool frommemory = refused.empty() && !settings_.strict;
    if (const cachedpattern* cached = frommemory ? cache_.cachedthisround(reached, now) : nullptr; cached && !excluded(now)) {
        if (read != nullptr) *read = now;
        if (outsidesite()) return insertresult::failed;
        insertcached(name, *cached, out, directive);
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
        if (const cachedpattern* cached = cache_.find(reached, now)) {
            if (outsidesite()) return insertresult::failed;
            insertcached(name, *cached, out, directive);
            return insertresult::inserted;
        }
    if (refused.empty()) {
        int error = fpat_.open(opened);
        if (host_.freefiles(error)) error = fpat_.open(opened);
        // A pattern that cannot be opened for want of files is not missing:
        // inserting nothing would leave the document stale, unsaid.
        if (error == EMFILE || error == ENFILE) {
            failure_ = {where, "cannot include \"" + name + "\": " + describe(error)};
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

    showincluding(settings_, name);
    const filestatus status = fpat_.status();
    seen_[opened] = status;
    if (read != nullptr) *read = status;
    const bool checklines = cache_.firstcheck(status.id) || settings_.strict;
    const bool keepable = status.size <= patterncache::sizelimit;
    cachedpattern tocache;
    textroute route(out, style_, links_, settings_, directive, keepable ? &tocache.edits : nullptr);
    copy(name, where, route.start(), checklines, keepable ? &tocache.text : nullptr);
    fpat_.close();
    if (!failure_.failed()) route.start().write("\n");
    route.finish();
    if (failure_.failed()) return insertresult::failed;
    if (keepable && tocache.text.size() == status.size) cache_.store(reached, status, std::move(tocache));
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
        failure_ = {document_, "cannot read pattern file \"" + name + "\": " + describe(reader_.error())};
    }
}

bool patternfiles::directiveproblem(long line, std::string_view text) {
    return problem(fileline(document_, line), std::string(text));
}

bool patternfiles::problem(const std::string& subject, const std::string& text) {
    if (!settings_.strict) {
        warn(subject, text);
        return false;
    }
    failure_ = {subject, text};
    return true;
}

}  // namespace skelvane

// Pattern insertion: opens the file that a start directive names and copies
// its text, followed by one line end. The text is copied as it is, unless
// --links, --mark-current, --indent or --eol ask for changes (textroute).
//
// A directive that names no file, or a file that cannot be opened, is not
// a regular file, or is one of the run's own staging files, inserts nothing
// and draws a warning; the pass then goes on as if the line were plain text.
// A pattern that fails while it is being read fails the document instead,
// since half a pattern must never reach it; failed() then says why. With
// --strict, everything that draws a warning fails the document as well.
#ifndef SKELVANE_PATTERN_H
#define SKELVANE_PATTERN_H

#include "directive.h"
#include "failure.h"
#include "lineends.h"
#include "linkedit.h"
#include "osfile.h"
#include "pieces.h"
#include "settings.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skelvane {

// A pattern's text cached in memory, and when links are edited, the edits it
// needs whatever the page.
struct cachedpattern {
    std::string text;
    std::vector<textedit> edits;
    // Which of its anchors lead to a page of a folder, made on the first
    // page of each folder it is inserted in (so a memo, even when kept const).
    const folderanchors& anchorsfor(const pageplace& folder) const;
    static constexpr std::size_t foldersremembered = 4096;

private:
    mutable std::map<std::string, folderanchors, std::less<>> anchorsbyfolder_;
};

// What a run remembers of its patterns. Small pattern files are cached in
// memory from one document to the next. A cached text is used while a stat
// of its name shows the very same file untouched, for one stat instead of
// an open, reads and a close; and a pattern is looked at so once per round:
// per document, or in a run per batch of documents, which are put in place
// together and so get their patterns' texts as they were when the batch
// began. Patterns already checked for directive lines are not checked
// again, so that a footer shared by thousands of documents is reported once.
class patterncache {
public:
    // The text cached for name, when now shows the same file untouched.
    const cachedpattern* find(const std::string& name, const filestatus& now);
    // The text cached for name, when it was looked at in this round.
    const cachedpattern* cachedthisround(const std::string& name, filestatus& status) const;
    void store(const std::string& name, const filestatus& status, cachedpattern pattern);
    // True the first time a file is asked about.
    bool firstcheck(const fileid& id) { return checked_.insert({id.device, id.inode}).second; }
    // Forgets the files stale() says are gone (by device and inode), so
    // that a watch keeps only those of its current files.
    template <class predicate> void forgetchecks(predicate stale) { std::erase_if(checked_, stale); }
    // Begins a round: every pattern is looked at again.
    void newround() { ++round_; }
    // A file that is about to change (a document waiting to be put in
    // place) is looked at again when it is included.
    void forget(const fileid& id);

    static constexpr std::size_t count = 4;
    static constexpr std::uint64_t sizelimit = 64 * 1024;

private:
    struct entry {
        std::string name;
        filestatus status;
        cachedpattern pattern;
        std::uint64_t lastuse = 0;
        std::uint64_t cachedin = 0;  // the round it was last looked at in
    };
    std::vector<entry> entries_;
    std::uint64_t uses_ = 0;
    std::uint64_t round_ = 1;
    std::set<std::pair<std::uint64_t, std::uint64_t>> checked_;
};

// What pattern insertion asks of the run that uses it; the run decides.
// Insertion never sees the batch of documents waiting to be put in place.
class patternhost {
public:
    // Before a pattern is read: when it is a document whose new text waits
    // to be put in place, the run puts it there first, so that the new text
    // is what is read.
    enum class readiness { asitis, putinplace, runended };
    virtual readiness beforereading(const fileid& pattern) = 0;
    // The process ran out of open files (the error): true when the run
    // freed some, and the open is worth another try.
    virtual bool freefiles(int error) = 0;
    // Where the pattern files a document read are recorded, by the names
    // they are opened by, as they were read (none: missing, or not a file
    // that could be read); nullptr when nobody asks (only a watch does).
    virtual std::map<std::string, std::optional<filestatus>>* patternreads() = 0;

protected:
    ~patternhost() = default;
};

class patternfiles : public patterninserter {
public:
    // document: the name for messages; excluded: files that must never be
    // included (skelvane.tmp), and staging, the file this very output goes
    // to, when there is one. style: the line ends that inserted text is
    // given (asis: its own). links: what the page asks of the links in
    // inserted text, when the run edits them.
    patternfiles(const runsettings& settings, patterncache& cache, patternhost& host, std::string_view document,
                 std::vector<fileid> excluded,
                 const stagingfile* staging = nullptr, lineendstyle style = lineendstyle::asis,
                 std::optional<pagelinks> links = std::nullopt);

    insertresult insertpattern(std::string_view rest, long line, bytesink& out, std::string_view directive) override;
    bool directiveproblem(long line, std::string_view problem) override;
    // Why the document failed, and the file and line it is about.
    const failure& failed() const { return failure_; }

private:
    // Why the directive's pattern cannot be included, or nothing; name (as
    // shown), reached (the name it is found by) and opened (with --root, its
    // resolved path) are set as far as the directive gives them.
    std::string refusal(std::string_view rest, std::string& name, std::string& reached, std::string& opened);
    bool excluded(const filestatus& status) const;
    // The pattern's status, after putting in place a document of the batch
    // that it is, so that its new text is read. False when that failed.
    bool statusof(const std::string& name, filestatus& status, bool& known);
    void insertcached(const std::string& name, const cachedpattern& pattern, bytesink& out, std::string_view directive);
    // Copies the open pattern, included at where; also into text, when given.
    void copy(const std::string& name, const std::string& where, bytesink& out, bool checklines,
              std::string* text);
    // A document outside the site whose links are edited is warned about
    // once; true when that fails it.
    bool outsidesite();
    // A warning, or with --strict the document's failure: true then.
    bool problem(const std::string& subject, const std::string& text);

    const runsettings& settings_;
    patterncache& cache_;
    patternhost& host_;
    std::string document_;
    std::vector<fileid> excluded_;
    const stagingfile* staging_;
    std::map<std::string, filestatus> seen_;  // patterns looked at for this document
    inputfile fpat_;
    piecereader reader_;
    failure failure_;
    lineendstyle style_;
    std::optional<pagelinks> links_;
    bool placechecked_ = false;
};

}  // namespace skelvane

#endif

// The parts of --watch, one job each (see watch.h for how they fit).
#ifndef SKELVANE_WATCHPARTS_H
#define SKELVANE_WATCHPARTS_H

#include "changes.h"
#include "rewrite.h"
#include "run.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace skelvane::watching {

// A slot of items to use: one given back to free before, or a new one.
template <class item> std::size_t takeslot(std::vector<item>& items, std::vector<std::size_t>& free) {
    if (free.empty()) {
        items.emplace_back();
        return items.size() - 1;
    }
    const std::size_t slot = free.back();
    free.pop_back();
    return slot;
}

using clock = std::chrono::steady_clock;
using state = std::optional<filestatus>;  // none: missing, or not to be looked at
using idkey = std::pair<std::uint64_t, std::uint64_t>;

// A stirred file is read once it was still this long, so that a save
// under way is not read half made.
inline constexpr auto quiet = std::chrono::milliseconds(150);

state stateof(const std::string& path);
bool same(const state& a, const state& b);
inline idkey keyof(const filestatus& status) { return {status.id.device, status.id.inode}; }

// File identity: every file the watch follows, in a slot of its own, known
// by the directory entry it is (however its name is spelled) and by the
// file it was last read as (whatever its names).
struct watchedfile {
    std::string path;         // as the run opens it
    std::string key;          // the directory entry it is
    std::optional<idkey> id;  // the file it was when last read
    bool document = false;    // a document's own name
};

class filetable {
public:
    std::optional<std::size_t> find(const std::string& key) const;
    // A new slot, or one a retired file left.
    std::size_t add(const std::string& path, std::string key);
    void retire(std::size_t f);
    watchedfile& operator[](std::size_t f) { return files_[f]; }
    const watchedfile& operator[](std::size_t f) const { return files_[f]; }
    // Slots, retired ones among them (no path).
    std::size_t slots() const { return files_.size(); }
    void recordid(std::size_t f, const state& read);
    // The files last read as the file with this id, whatever their names.
    std::vector<std::size_t> filesof(const idkey& id) const;
    bool read(const idkey& id) const { return byid_.contains(id); }

private:
    std::vector<watchedfile> files_;
    std::vector<std::size_t> retired_;  // slots of files watched no more
    std::map<std::string, std::size_t> bykey_;
    std::map<idkey, std::set<std::size_t>> byid_;  // only ids that some file has
};

// A document: the name it is processed by, and its own file; a page found
// in a folder leaves once it is gone. A slot with no name is free.
struct watcheddoc {
    std::string name;
    std::size_t self = 0;
    bool infolder = false;
};

// Folders: the directories watched, each as long as a followed file is in
// it or a watched directory right below it, and each directory above a
// watched one, whose changes may put another directory under its name (a
// checkout swapping a folder, a link pointed elsewhere). What cannot be
// watched is polled. Changes come out as directories to look into.
class directorywatch {
public:
    void need(const std::string& directory);
    void release(const std::string& directory);
    bool polling() const { return !polled_.empty(); }
    void wait(int timeoutms, std::vector<directorychange>& changes) { watcher_.wait(timeoutms, changes); }
    // The directories in which anything may have changed after this change.
    void notice(const directorychange& change, std::vector<std::string>& stirred);
    void poll(std::vector<std::string>& stirred);

private:
    struct watched {
        std::optional<fileid> id;  // what its name led to when last looked at
        std::size_t uses = 0;      // followed files in it, and watched directories right below it
    };
    void recheck(const std::string& directory, std::vector<std::string>& stirred);
    void watchorpoll(const std::string& directory);

    changewatcher watcher_;
    std::map<std::string, watched> directories_;
    // The watched directories below a directory, by the name that leads to them.
    std::map<std::string, std::map<std::string, std::vector<std::string>>> above_;
    std::set<std::string> polled_;
};

// Links: the followed files by directory and name, a file that is a
// symbolic link also where it leads, as last followed. Changes come out as
// the files they may have changed.
class followedfiles {
public:
    void follow(std::size_t f, const std::string& path);
    // A link may lead elsewhere now: only where it leads now is followed.
    void refollow(std::size_t f, const std::string& path);
    void forget(std::size_t f, const std::string& path);
    // A folder whose every change is wanted, for the pages in it.
    void watchfolder(const std::string& folder) { directories_.need(folder); }
    void unwatchfolder(const std::string& folder) { directories_.release(folder); }
    bool polling() const { return directories_.polling(); }
    void wait(int timeoutms, std::vector<directorychange>& changes) { directories_.wait(timeoutms, changes); }
    void notice(const directorychange& change, std::vector<std::size_t>& stirred);
    void poll(std::vector<std::size_t>& stirred);

private:
    void add(const std::string& path, std::size_t f);
    void remove(const std::string& path, std::size_t f);
    void everyfilein(const std::string& directory, std::vector<std::size_t>& stirred) const;

    directorywatch directories_;
    std::map<std::string, std::map<std::string, std::vector<std::size_t>>> bydirectory_;
    std::map<std::size_t, std::string> targets_;  // where followed links lead
};

// Quiet time: a stirred file is looked at until it has been still for a
// moment, and is then due to be compared with what its readers read.
class quiettime {
public:
    void stir(const std::vector<std::size_t>& files);
    void forget(std::size_t f) { stirring_.erase(f); }
    bool stirring() const { return !stirring_.empty(); }
    // The files that came to rest, with their state now.
    std::vector<std::pair<std::size_t, state>> due(const filetable& files);

private:
    struct looks {
        bool looked = false;
        bool stirred = false;  // a change was reported since the last look
        state last;
        clock::time_point lastlook;
        clock::time_point since;  // when it was first looked at
        bool said = false;        // that a document keeps changing
    };
    std::map<std::size_t, looks> stirring_;
};

// The reader graph: which documents read which files, as they read them,
// and what each document's last rewrite by this process left.
class readergraph {
public:
    readergraph(filetable& files, const std::vector<watcheddoc>& docs) : files_(files), docs_(docs) {}
    // The documents to process again as f came to rest as current.
    void affected(std::size_t f, const state& current, std::set<std::size_t>& out);
    // What d read replaces what it read before (the files by fileof); the
    // files it no longer reads that no document reads now.
    template <class fileoftype>
    std::vector<std::size_t> remember(std::size_t d, const documentreads& reads, fileoftype fileof);
    // d's new text was put in place: what it read of itself is that text,
    // and so is what a document that includes it read, when the text stayed.
    void placed(std::size_t d, const commitrecord& record);
    // d is gone: the files it read that no document reads now.
    std::vector<std::size_t> forget(std::size_t d);
    bool unread(std::size_t f) const { return !readers_.contains(f); }

private:
    struct readsof {
        std::map<std::size_t, state> reads;  // every file it read, as it read it
        std::optional<idkey> written;        // the file its last rewrite left
    };
    bool cycles(std::size_t d, const state& current);
    const std::set<std::size_t>& readersof(std::size_t f) const;
    void recall(std::size_t d, std::size_t f, const state& read);

    filetable& files_;
    const std::vector<watcheddoc>& docs_;
    std::vector<readsof> of_;  // by document
    std::map<std::size_t, std::set<std::size_t>> readers_;  // by file
    // What each document's last rewrite by this process left, by file.
    std::map<idkey, filestatus> written_;
    std::set<std::size_t> warnedcycle_;
};

template <class fileoftype>
std::vector<std::size_t> readergraph::remember(std::size_t d, const documentreads& reads, fileoftype fileof) {
    if (of_.size() <= d) of_.resize(d + 1);
    std::vector<std::size_t> before;
    for (const auto& [f, read] : of_[d].reads) {
        auto readers = readers_.find(f);
        readers->second.erase(d);
        if (readers->second.empty()) readers_.erase(readers);
        before.push_back(f);
    }
    of_[d].reads.clear();
    for (const auto& [name, read] : reads.patterns) recall(d, fileof(name), read);
    recall(d, docs_[d].self, reads.document);
    std::vector<std::size_t> unread;
    for (std::size_t f : before)
        if (!readers_.contains(f) && !files_[f].document) unread.push_back(f);
    return unread;
}

// Everything the watch does to the run, in one place: it begins a pass,
// observes what a document reads while it is processed, and ends the pass
// with the records of what became of the batch's documents.
class passrun {
public:
    explicit passrun(run& current) : run_(current) { run_.giveup = stopasked; }
    // After the first pass a text that stays the same is left in place,
    // so that two watches, or a watch and a run, come to rest.
    void leavesame() { run_.leavesame = true; }
    void begin(std::vector<commitrecord>& records, bool announce);
    outcome process(const std::string& name, documentreads& reads);
    // False when the batch could not be put in place.
    bool end();
    // The checks for directive lines are kept for the files read now.
    void keepchecksof(const filetable& files);

private:
    run& run_;
};

// What a pass tells the watch as it goes.
class passobserver {
public:
    virtual void processed(std::size_t d, const documentreads& reads) = 0;
    virtual void placed(std::size_t d, const commitrecord& record) = 0;

protected:
    ~passobserver() = default;
};

// Passes: the documents processed in order, a busy one left for a later
// pass, and what each pass's batch records.
class passes {
public:
    passes(run& current, const std::vector<watcheddoc>& docs) : run_(current), docs_(docs) {}
    passrun& runlink() { return run_; }
    // False when the watch must end.
    bool go(const std::vector<std::size_t>& order, bool announce, passobserver& observer, const filetable& files);
    bool waiting() const { return !waiting_.empty(); }
    // The documents left for a later pass, each said to wait once when it
    // waits long.
    void retry(std::set<std::size_t>& affected);
    bool allsucceeded() const;
    // Whether d's last pass failed, which said why.
    bool failed(std::size_t d) const { return d < succeeded_.size() && !succeeded_[d] && !behind(d); }
    // Whether d waits for a pass: a stop kept it from one, or another
    // program was writing it.
    bool behind(std::size_t d) const { return kept_.contains(d) || waiting_.contains(d); }
    // d is gone, and counts no more.
    void forget(std::size_t d);

private:
    struct wait {
        clock::time_point since;
        bool said = false;
    };
    void postpone(std::size_t d);

    passrun run_;
    const std::vector<watcheddoc>& docs_;
    std::vector<char> succeeded_;  // by document: its last pass succeeded
    std::set<std::size_t> kept_;   // documents a stop kept from their pass
    std::map<std::size_t, wait> waiting_;
};

// Folders named to the watch: every page under them is a document, found
// as the watch starts and as pages appear. Hidden names (a leading '.',
// which staging files have too) are passed over, and a folder reached
// again, through a link, by the identity it has, is walked once.
class pagefolders {
public:
    explicit pagefolders(followedfiles& follow) : follow_(follow) {}
    // Whether the name is a folder; then its pages are added, in name order.
    bool add(const std::string& name, std::vector<std::string>& pages);
    // The pages a change may have brought.
    void notice(const directorychange& change, std::vector<std::string>& pages);
    // Files whose names end in .html or .htm, in any letter case.
    static bool ispage(const std::string& name);
    // Every folder walked could be read when last looked into.
    bool allread() const { return unreadable_.empty(); }

private:
    // again: every folder below is looked into, known or not.
    void walk(const std::string& folder, std::vector<std::string>& pages, bool again = false);
    void list(const std::string& folder, std::vector<std::string>& pages, bool again);
    void lookat(const directorychange& change, std::vector<std::string>& pages);
    void walkorphans(std::vector<std::string>& pages);
    void forget(const std::string& folder);

    followedfiles& follow_;
    std::map<std::string, idkey> folders_;  // every folder walked, by name
    std::set<idkey> ids_;
    std::set<std::string> unreadable_;  // folders whose listing failed
    std::set<std::string> tops_;        // the folders named to the watch
    // Folders passed over as reached before by another name: walked when
    // that name no longer leads there (a link removed or pointed elsewhere).
    std::multimap<idkey, std::string> aliases_;
    std::vector<std::string> orphans_;  // aliases whose folder was forgotten
};

}  // namespace skelvane::watching

#endif

#include "watch.h"

#include "changes.h"
#include "messages.h"
#include "osfile.h"
#include "watchparts.h"

#include <algorithm>
#include <map>
#include <set>

namespace skelvane {

namespace {

using namespace watching;

// Directories that cannot be watched, and documents left for a later
// pass, are looked at this often.
constexpr auto pollinterval = std::chrono::milliseconds(500);

bool isfile(const std::string& path) {
    const state now = stateof(path);
    return now && now->regular;
}

int milliseconds(clock::duration span) {
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(span).count());
}

// The files followed, each from its name to the moment it comes to rest:
// its identity, the folders and links it is followed through, its quiet time.
struct filewatch {
    filetable table;
    followedfiles follow;
    quiettime quiet;

    // The file this path names, followed from now on; a path spelled
    // otherwise that names the same directory entry gets the same file.
    std::size_t fileof(const std::string& path) {
        std::string key = entrykey(path);
        if (auto known = table.find(key)) return *known;
        const std::size_t f = table.add(path, std::move(key));
        follow.follow(f, path);
        // It may have changed between its read and its watch.
        quiet.stir({f});
        return f;
    }

    // A file that no document reads, and is none, is followed no more; its
    // slot serves the next file. A folder swapped for a copy, a link
    // pointed elsewhere or a name no longer named would otherwise leave a
    // file behind each time.
    void retire(std::size_t f) {
        follow.forget(f, table[f].path);
        quiet.forget(f);
        table.retire(f);
    }

    // The files that came to rest, with their state now; a link among them
    // is followed to where it leads now.
    std::vector<std::pair<std::size_t, state>> due() {
        auto rested = quiet.due(table);
        for (const auto& [f, current] : rested) follow.refollow(f, table[f].path);
        return rested;
    }
};

// The watch: its parts, and the way from a change to a pass.
class watcher final : passobserver {
public:
    watcher(run& current, const std::vector<std::string>& names);

    int go();

private:
    // When a stop comes: whether every document is current. Those a change
    // reached that no pass has taken up yet (the stop came in the quiet
    // time, or during a pass, or while another program wrote one), and
    // pages yet to have their first pass, are said: the first by name,
    // and how many more. One that failed has said why already.
    bool allcurrent();

    // The documents to process again: those that read a file which came
    // to rest and is no longer as they read it; and the pages that joined
    // whose file came to rest.
    std::set<std::size_t> due(std::set<std::size_t>& joined);

    // A page that appeared in a folder: a document from now on, unless it
    // is one already, by this name or another. A page renamed or moved
    // within the folders is the same file under a new name: the old name
    // leads to it no more, so that page leaves and this name joins.
    void join(const std::string& path);

    // The documents in order, but the pages found in folders that are gone,
    // which leave the watch without a word.
    std::vector<std::size_t> present(const std::set<std::size_t>& documents);

    void leave(std::size_t d);

    void processed(std::size_t d, const documentreads& reads) override {
        for (std::size_t f : graph_.remember(d, reads, [this](const std::string& name) { return files_.fileof(name); }))
            files_.retire(f);
    }
    void placed(std::size_t d, const commitrecord& record) override { graph_.placed(d, record); }

    filewatch files_;
    std::vector<watcheddoc> docs_;
    std::vector<std::size_t> freedocs_;  // slots of pages that left
    std::map<std::size_t, std::size_t> docbyself_;  // each document by its own file
    std::map<std::string, std::size_t> docbyname_;  // each document by its name
    std::map<std::size_t, std::size_t> joining_;  // pages before their first pass, by their file
    pagefolders folders_{files_.follow};
    readergraph graph_{files_.table, docs_};
    passes passes_;
};

watcher::watcher(run& current, const std::vector<std::string>& names) : passes_(current, docs_) {
    // A document named twice, by any spelling or link, is one document;
    // named on the command line, it is not a page that leaves unsaid.
    std::map<idkey, std::size_t> documents;
    const auto add = [&](const std::string& name, bool infolder) {
        const auto again = [&](std::size_t d) { docs_[d].infolder = docs_[d].infolder && infolder; };
        filestatus status;
        // Hard links are names of their own, as a plain run treats them:
        // the first rewrite parts them.
        if (statpath(name, status) == 0 && status.links < 2) {
            if (auto same = documents.find(keyof(status)); same != documents.end()) return again(same->second);
            documents.emplace(keyof(status), docs_.size());
        }
        const std::size_t self = files_.fileof(name);
        if (auto same = docbyself_.find(self); same != docbyself_.end()) return again(same->second);
        files_.table[self].document = true;
        docbyself_[self] = docs_.size();
        docbyname_.emplace(name, docs_.size());
        docs_.push_back({name, self, infolder});
    };
    std::vector<std::string> pages;
    for (const std::string& name : names) {
        pages.clear();
        if (!folders_.add(name, pages)) add(name, false);
        for (const std::string& page : pages) add(page, true);
    }
}

int watcher::go() {
    std::vector<std::size_t> all(docs_.size());
    for (std::size_t d = 0; d < all.size(); ++d) all[d] = d;
    bool going = passes_.go(all, false, *this, files_.table);
    passes_.runlink().leavesame();
    std::vector<directorychange> changes;
    std::vector<std::size_t> stirred;
    std::vector<std::string> pages;
    clock::time_point lastpoll = clock::now();
    clock::time_point lastretry = clock::now();
    while (going && !stopasked()) {
        // Asleep until something happens, unless a file is stirring,
        // a directory must be polled or a document waits.
        clock::duration timeout = clock::duration::max();
        if (files_.quiet.stirring()) timeout = quiet;
        if (files_.follow.polling())
            timeout = std::min<clock::duration>(timeout, lastpoll + pollinterval - clock::now());
        if (passes_.waiting())
            timeout = std::min<clock::duration>(timeout, lastretry + pollinterval - clock::now());
        changes.clear();
        files_.follow.wait(timeout == clock::duration::max() ? -1 : std::max(0, milliseconds(timeout)), changes);
        if (stopasked()) break;
        stirred.clear();
        pages.clear();
        for (const directorychange& change : changes) {
            files_.follow.notice(change, stirred);
            folders_.notice(change, pages);
        }
        for (const std::string& page : pages) join(page);
        const clock::time_point now = clock::now();
        if (files_.follow.polling() && now >= lastpoll + pollinterval) {
            files_.follow.poll(stirred);
            lastpoll = now;
        }
        files_.quiet.stir(stirred);
        std::set<std::size_t> joined;
        std::set<std::size_t> affected = due(joined);
        if (passes_.waiting() && now >= lastretry + pollinterval) {
            passes_.retry(affected);
            lastretry = now;
        }
        // A page that joined has a first pass of its own, as every page had.
        if (const auto first = present(joined); !first.empty())
            going = passes_.go(first, false, *this, files_.table);
        if (const auto again = present(affected); going && !again.empty())
            going = passes_.go(again, true, *this, files_.table);
    }
    const bool current = !going || !stopasked() || allcurrent();
    return passes_.allsucceeded() && folders_.allread() && going && current ? 0 : 1;
}

// When a stop comes: whether every document is current. Those a change
// reached that no pass has taken up yet (the stop came in the quiet
// time, or during a pass, or while another program wrote one), and
// pages yet to have their first pass, are said: the first by name,
// and how many more. One that failed has said why already.
bool watcher::allcurrent() {
    std::set<std::size_t> behind;
    for (std::size_t d = 0; d < docs_.size(); ++d)
        if (passes_.behind(d)) behind.insert(d);
    for (const auto& [f, d] : joining_) behind.insert(d);
    for (std::size_t f = 0; f < files_.table.slots(); ++f)
        if (!files_.table[f].path.empty()) graph_.affected(f, stateof(files_.table[f].path), behind);
    // A page gone from its folder leaves without a word.
    std::erase_if(behind, [&](std::size_t d) {
        return docs_[d].name.empty() || passes_.failed(d) || (docs_[d].infolder && !isfile(docs_[d].name));
    });
    if (behind.empty()) return true;
    std::string reason = "not brought up to date: the watch was stopped before its pass";
    if (const std::size_t more = behind.size() - 1; more > 0)
        reason += more == 1 ? " (so was 1 more document)" : " (so were " + std::to_string(more) + " more documents)";
    reportproblem(docs_[*behind.begin()].name, reason);
    return false;
}

// The documents to process again: those that read a file which came
// to rest and is no longer as they read it; and the pages that joined
// whose file came to rest.
std::set<std::size_t> watcher::due(std::set<std::size_t>& joined) {
    std::set<std::size_t> affected;
    for (const auto& [f, current] : files_.due()) {
        graph_.affected(f, current, affected);
        if (auto page = joining_.find(f); page != joining_.end()) {
            joined.insert(page->second);
            joining_.erase(page);
        }
    }
    return affected;
}

// A page that appeared in a folder: a document from now on, unless it
// is one already, by this name or another. A page renamed or moved
// within the folders is the same file under a new name: the old name
// leads to it no more, so that page leaves and this name joins.
void watcher::join(const std::string& path) {
    const state now = stateof(path);
    if (!now || !now->regular) return;
    // The same directory entry: this name spells a document's, or the
    // document's folder was renamed (or a link to it replaced) and its
    // old name leads nowhere now, so it leaves and this name joins.
    const std::string key = entrykey(path);
    if (auto known = files_.table.find(key); known && files_.table[*known].document) {
        const std::size_t d = docbyself_.at(*known);
        if (!docs_[d].infolder || entrykey(docs_[d].name) == key) return;
        leave(d);
    }
    // A page whose name leads to another file now (its folder replaced)
    // leaves, and the name joins anew; a directly named document stays.
    if (auto named = docbyname_.find(path); named != docbyname_.end()) {
        if (!docs_[named->second].infolder) return;
        leave(named->second);
    }
    std::vector<std::size_t> moved;
    for (std::size_t f : files_.table.filesof(keyof(*now))) {
        if (!files_.table[f].document) continue;
        const std::size_t d = docbyself_.at(f);
        const state old = stateof(docs_[d].name);
        if (old && keyof(*old) == keyof(*now)) {
            if (now->links > 1) continue;  // another hard link: a page of its own
            return;
        }
        if (docs_[d].infolder) moved.push_back(d);  // a named document keeps its name
    }
    for (std::size_t d : moved) leave(d);
    const std::size_t self = files_.fileof(path);
    files_.table[self].document = true;
    files_.quiet.stir({self});
    const std::size_t d = takeslot(docs_, freedocs_);
    docs_[d] = {path, self, true};
    docbyself_[self] = d;
    docbyname_[path] = d;
    joining_[self] = d;
}

// The documents in order, but the pages found in folders that are gone,
// which leave the watch without a word.
std::vector<std::size_t> watcher::present(const std::set<std::size_t>& documents) {
    std::vector<std::size_t> order;
    for (std::size_t d : documents) {
        if (docs_[d].infolder && !isfile(docs_[d].name))
            leave(d);
        else
            order.push_back(d);
    }
    return order;
}

void watcher::leave(std::size_t d) {
    const std::size_t self = docs_[d].self;
    files_.table[self].document = false;
    docbyself_.erase(self);
    if (auto named = docbyname_.find(docs_[d].name); named != docbyname_.end() && named->second == d)
        docbyname_.erase(named);
    std::vector<std::size_t> unread = graph_.forget(d);
    if (graph_.unread(self) && std::find(unread.begin(), unread.end(), self) == unread.end())
        unread.push_back(self);
    for (std::size_t f : unread) files_.retire(f);
    if (auto page = joining_.find(self); page != joining_.end() && page->second == d) joining_.erase(page);
    passes_.forget(d);
    docs_[d] = watcheddoc{};
    freedocs_.push_back(d);
}

}  // namespace

int watchdocuments(run& current, const std::vector<std::string>& names) {
    catchstopsignals();
    return watcher(current, names).go();
}

}  // namespace skelvane

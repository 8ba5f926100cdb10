#include "watch.h"

#include "changes.h"
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

int milliseconds(clock::duration span) {
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(span).count());
}

// The watch: its parts, and the way from a change to a pass.
class watcher final : passobserver {
public:
    watcher(run& current, const std::vector<std::string>& names) : passes_(current, docs_) {
        // A document named twice, by any spelling or link, is one document.
        std::set<idkey> documents;
        std::set<std::size_t> selves;
        const auto add = [&](const std::string& name, bool infolder) {
            filestatus status;
            if (statpath(name, status) == 0 && !documents.insert(keyof(status)).second) return;
            const std::size_t self = fileof(name);
            if (!selves.insert(self).second) return;
            files_[self].document = true;
            docs_.push_back({name, self, infolder});
        };
        std::vector<std::string> pages;
        for (const std::string& name : names) {
            pages.clear();
            if (!folders_.add(name, pages)) add(name, false);
            for (const std::string& page : pages) add(page, true);
        }
    }

    int go() {
        std::vector<std::size_t> all(docs_.size());
        for (std::size_t d = 0; d < all.size(); ++d) all[d] = d;
        bool going = passes_.go(all, false, *this, files_);
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
            if (quiet_.stirring()) timeout = quiet;
            if (follow_.polling()) timeout = std::min<clock::duration>(timeout, lastpoll + pollinterval - clock::now());
            if (passes_.waiting())
                timeout = std::min<clock::duration>(timeout, lastretry + pollinterval - clock::now());
            changes.clear();
            follow_.wait(timeout == clock::duration::max() ? -1 : std::max(0, milliseconds(timeout)), changes);
            if (stopasked()) break;
            stirred.clear();
            pages.clear();
            for (const directorychange& change : changes) {
                follow_.notice(change, stirred);
                folders_.notice(change, pages);
            }
            for (const std::string& page : pages) join(page);
            const clock::time_point now = clock::now();
            if (follow_.polling() && now >= lastpoll + pollinterval) {
                follow_.poll(stirred);
                lastpoll = now;
            }
            quiet_.stir(stirred);
            std::set<std::size_t> joined;
            std::set<std::size_t> affected = due(joined);
            if (passes_.waiting() && now >= lastretry + pollinterval) {
                passes_.retry(affected);
                lastretry = now;
            }
            // A page that joined has a first pass of its own, as every page had.
            if (const auto first = present(joined); !first.empty()) going = passes_.go(first, false, *this, files_);
            if (const auto again = present(affected); going && !again.empty())
                going = passes_.go(again, true, *this, files_);
        }
        return passes_.allsucceeded() && going ? 0 : 1;
    }

private:
    // The file this path names, followed from now on; a path spelled
    // otherwise that names the same directory entry gets the same file.
    std::size_t fileof(const std::string& path) {
        std::string key = entrykey(path);
        if (auto known = files_.find(key)) return *known;
        const std::size_t f = files_.add(path, std::move(key));
        follow_.follow(f, path);
        // It may have changed between its read and its watch.
        quiet_.stir({f});
        return f;
    }

    // A file that no document reads, and is none, is followed no more; its
    // slot serves the next file. A folder swapped for a copy, a link
    // pointed elsewhere or a name no longer named would otherwise leave a
    // file behind each time.
    void retire(std::size_t f) {
        follow_.forget(f, files_[f].path);
        quiet_.forget(f);
        files_.retire(f);
    }

    // The documents to process again: those that read a file which came
    // to rest and is no longer as they read it; and the pages that joined
    // whose file came to rest.
    std::set<std::size_t> due(std::set<std::size_t>& joined) {
        std::set<std::size_t> affected;
        for (const auto& [f, current] : quiet_.due(files_)) {
            follow_.refollow(f, files_[f].path);
            graph_.affected(f, current, affected);
            if (auto page = joining_.find(f); page != joining_.end()) {
                joined.insert(page->second);
                joining_.erase(page);
            }
        }
        return affected;
    }

    // A page that appeared in a folder: a document from now on, unless it
    // is one already, by this name or another.
    void join(const std::string& path) {
        if (auto known = files_.find(entrykey(path)); known && files_[*known].document) return;
        const state now = stateof(path);
        if (!now || !now->regular) return;
        for (std::size_t f : files_.filesof(keyof(*now)))
            if (files_[f].document) return;
        const std::size_t self = fileof(path);
        files_[self].document = true;
        quiet_.stir({self});
        std::size_t d = docs_.size();
        if (freedocs_.empty()) {
            docs_.emplace_back();
        } else {
            d = freedocs_.back();
            freedocs_.pop_back();
        }
        docs_[d] = {path, self, true};
        joining_[self] = d;
    }

    // The documents in order, but the pages found in folders that are gone,
    // which leave the watch without a word.
    std::vector<std::size_t> present(const std::set<std::size_t>& documents) {
        std::vector<std::size_t> order;
        for (std::size_t d : documents) {
            const state now = docs_[d].infolder ? stateof(docs_[d].name) : state();
            if (!docs_[d].infolder || (now && now->regular))
                order.push_back(d);
            else
                leave(d);
        }
        return order;
    }

    void leave(std::size_t d) {
        const std::size_t self = docs_[d].self;
        files_[self].document = false;
        std::vector<std::size_t> unread = graph_.forget(d);
        if (graph_.unread(self) && std::find(unread.begin(), unread.end(), self) == unread.end())
            unread.push_back(self);
        for (std::size_t f : unread) retire(f);
        if (auto page = joining_.find(self); page != joining_.end() && page->second == d) joining_.erase(page);
        passes_.forget(d);
        docs_[d] = watcheddoc{};
        freedocs_.push_back(d);
    }

    void processed(std::size_t d, const documentreads& reads) override {
        for (std::size_t f : graph_.remember(d, reads, [this](const std::string& name) { return fileof(name); }))
            retire(f);
    }
    void placed(std::size_t d, const commitrecord& record) override { graph_.placed(d, record); }

    filetable files_;
    std::vector<watcheddoc> docs_;
    std::vector<std::size_t> freedocs_;  // slots of pages that left
    std::map<std::size_t, std::size_t> joining_;  // pages before their first pass, by their file
    followedfiles follow_;
    pagefolders folders_{follow_};
    quiettime quiet_;
    readergraph graph_{files_, docs_};
    passes passes_;
};

}  // namespace

int watchdocuments(run& current, const std::vector<std::string>& names) {
    catchstopsignals();
    return watcher(current, names).go();
}

}  // namespace skelvane

#include "watch.h"

#include "changes.h"
#include "messages.h"
#include "osfile.h"
#include "rewrite.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace skelvane {

namespace {

using clock = std::chrono::steady_clock;
using state = std::optional<filestatus>;  // none: missing, or not to be looked at
using idkey = std::pair<std::uint64_t, std::uint64_t>;

// A file is read once it was still this long, so that a save under way
// is not read half made; a pattern file not later than the longest wait,
// should it never be still (half a pattern heals on the next pass), but a
// document only once it is still, however long that takes.
constexpr auto quiet = std::chrono::milliseconds(150);
constexpr auto longestwait = std::chrono::milliseconds(3000);
// Directories that cannot be watched, and documents left for a later
// pass, are looked at this often.
constexpr auto pollinterval = std::chrono::milliseconds(500);
// A document that waits this long is said to wait, once.
constexpr auto longwait = std::chrono::seconds(10);

state stateof(const std::string& path) {
    filestatus status;
    if (statpath(path, status) != 0) return std::nullopt;
    return status;
}

std::optional<fileid> identify(const std::string& path) {
    state now = stateof(path);
    if (!now) return std::nullopt;
    return now->id;
}

bool same(const state& a, const state& b) {
    if (!a || !b) return !a && !b;
    return !a->touchedsince(*b);
}

idkey keyof(const filestatus& status) { return {status.id.device, status.id.inode}; }

int milliseconds(clock::duration span) {
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(span).count());
}

class watcher {
public:
    watcher(run& current, const std::vector<std::string>& names) : run_(current) {
        // A document named twice, by any spelling or link, is one document.
        std::set<idkey> documents;
        std::set<std::size_t> selves;
        for (const std::string& name : names) {
            filestatus status;
            if (statpath(name, status) == 0 && !documents.insert(keyof(status)).second) continue;
            const std::size_t self = fileof(name);
            if (!selves.insert(self).second) continue;
            files_[self].document = true;
            docs_.push_back({name, self});
        }
    }

    int go() {
        run_.giveup = stopasked;
        std::vector<std::size_t> all(docs_.size());
        for (std::size_t d = 0; d < all.size(); ++d) all[d] = d;
        bool going = pass(all, false);
        // From now on a text that stays the same is left in place, so that
        // two watches, or a watch and a run, settle.
        run_.leavesame = true;
        std::vector<directorychange> changes;
        clock::time_point lastpoll = clock::now();
        clock::time_point lastretry = clock::now();
        while (going && !stopasked()) {
            // Asleep until something happens, unless a change is settling,
            // a directory must be polled or a document waits.
            clock::duration timeout = clock::duration::max();
            if (!pending_.empty()) timeout = quiet;
            if (!polled_.empty()) timeout = std::min<clock::duration>(timeout, lastpoll + pollinterval - clock::now());
            if (!waiting_.empty())
                timeout = std::min<clock::duration>(timeout, lastretry + pollinterval - clock::now());
            changes.clear();
            watcher_.wait(timeout == clock::duration::max() ? -1 : std::max(0, milliseconds(timeout)), changes);
            if (stopasked()) break;
            for (const directorychange& change : changes) notice(change);
            const clock::time_point now = clock::now();
            if (!polled_.empty() && now >= lastpoll + pollinterval) {
                poll();
                lastpoll = now;
            }
            std::set<std::size_t> affected = settled();
            if (!waiting_.empty() && now >= lastretry + pollinterval) {
                for (auto& [d, wait] : waiting_) {
                    affected.insert(d);
                    if (!wait.said && now - wait.since >= longwait) {
                        warn(docs_[d].name, "another program is writing it; it is updated once that program "
                                            "has closed it");
                        wait.said = true;
                    }
                }
                lastretry = now;
            }
            if (!affected.empty()) going = pass({affected.begin(), affected.end()}, true);
        }
        bool succeeded = std::all_of(docs_.begin(), docs_.end(), [](const doc& d) { return d.succeeded; });
        return succeeded && going ? 0 : 1;
    }

private:
    struct file {
        std::string path;               // as the run opens it
        std::string key;                // the directory entry it is, in bykey_
        std::string target;             // where it leads when it is a symbolic link, as last followed
        std::set<std::size_t> readers;  // documents that read it when last processed
        std::optional<idkey> id;        // the file it was when last read
        bool document = false;          // a document's own name
    };
    struct doc {
        std::string name;
        std::size_t self;                       // its file
        std::map<std::size_t, state> reads{};  // every file it read, as it read it
        std::optional<idkey> written{};         // the file its last rewrite left
        bool succeeded = false;
    };
    struct settling {
        bool looked = false;
        bool stirred = false;  // a change was reported since the last look
        state last;
        clock::time_point lastlook;
        clock::time_point since;  // when it was first looked at
        bool said = false;        // that a document keeps changing
    };
    struct waiting {
        clock::time_point since;
        bool said = false;
    };

    // The file this path names, watched from now on; a path spelled
    // otherwise that names the same directory entry gets the same file.
    std::size_t fileof(const std::string& path) {
        std::string key = entrykey(path);
        if (auto known = bykey_.find(key); known != bykey_.end()) return known->second;
        std::size_t f = files_.size();
        if (retired_.empty()) {
            files_.emplace_back();
        } else {
            f = retired_.back();
            retired_.pop_back();
        }
        files_[f].path = path;
        files_[f].key = key;
        bykey_.emplace(std::move(key), f);
        follow(path, f);
        // It may have changed between its read and its watch.
        settle({f});
        refollow(f);
        return f;
    }

    void follow(const std::string& path, std::size_t f) {
        const std::string directory = directoryof(path);
        bydirectory_[directory][filenameof(path)].push_back(f);
        need(directory);
    }

    void unfollow(const std::string& path, std::size_t f) {
        auto directory = bydirectory_.find(directoryof(path));
        if (directory == bydirectory_.end()) return;
        auto named = directory->second.find(filenameof(path));
        if (named == directory->second.end()) return;
        auto at = std::find(named->second.begin(), named->second.end(), f);
        if (at == named->second.end()) return;
        named->second.erase(at);
        if (named->second.empty()) directory->second.erase(named);
        const std::string name = directory->first;
        if (directory->second.empty()) bydirectory_.erase(directory);
        release(name);
    }

    // A file that no document reads, and is none, is watched no more; its
    // slot serves the next file. A folder swapped for a copy, a link
    // pointed elsewhere or a name no longer named would otherwise leave a
    // file behind each time.
    void retire(std::size_t f) {
        file& gone = files_[f];
        unfollow(gone.path, f);
        if (!gone.target.empty()) unfollow(gone.target, f);
        bykey_.erase(gone.key);
        recordid(f, std::nullopt);
        pending_.erase(f);
        gone = file{};
        retired_.push_back(f);
    }

    // A file that is a symbolic link changes where its target does, too,
    // wherever the link is pointed.
    void refollow(std::size_t f) {
        filestatus link;
        std::string target;
        const std::string& path = files_[f].path;
        if (statpath(path, link, false) != 0 || link.regular || link.directory || resolvepath(path, target) != 0 ||
            target == files_[f].target)
            return;
        // Only where it leads now; the new place is watched before the old
        // one is let go, so that a folder both are in stays watched.
        std::swap(files_[f].target, target);
        follow(files_[f].target, f);
        if (!target.empty()) unfollow(target, f);
    }

    // The directories above a directory, up to the current directory or
    // the root, each with the name that leads down towards it.
    static std::vector<std::pair<std::string, std::string>> chainof(const std::string& directory) {
        std::vector<std::pair<std::string, std::string>> chain;
        for (std::string below = directory;;) {
            std::string name = filenameof(below);
            std::string parent = directoryof(below);
            if (name.empty() || name == "." || name == ".." || parent == below) break;
            chain.emplace_back(parent, std::move(name));
            below = std::move(parent);
        }
        return chain;
    }

    // Watches a directory for one more file or directory in it, and each
    // directory above it, whose changes may put another directory under
    // its name (a checkout swapping a folder, a link pointed elsewhere).
    void need(const std::string& directory) {
        auto [known, added] = directories_.try_emplace(directory, watched{identify(directory)});
        ++known->second.uses;
        if (!added) return;
        watchorpoll(directory);
        const auto chain = chainof(directory);
        for (const auto& [parent, name] : chain) above_[parent][name].push_back(directory);
        if (!chain.empty()) need(chain.front().first);
    }

    // The other half of need: a directory that no watched file is in and
    // no watched directory is below is watched no more and forgotten, so
    // that folders that come and go (a release per deploy) leave nothing.
    void release(const std::string& directory) {
        auto known = directories_.find(directory);
        if (known == directories_.end() || --known->second.uses > 0) return;
        directories_.erase(known);
        watcher_.unwatch(directory);
        polled_.erase(directory);
        const auto chain = chainof(directory);
        for (const auto& [parent, name] : chain) {
            auto names = above_.find(parent);
            if (names == above_.end()) continue;
            auto below = names->second.find(name);
            if (below == names->second.end()) continue;
            if (auto at = std::find(below->second.begin(), below->second.end(), directory); at != below->second.end())
                below->second.erase(at);
            if (below->second.empty()) names->second.erase(below);
            if (names->second.empty()) above_.erase(names);
        }
        if (!chain.empty()) release(chain.front().first);
    }

    // A directory whose name may now lead elsewhere: when it does, it is
    // watched anew and everything in it is looked at.
    void recheck(const std::string& directory) {
        auto known = directories_.find(directory);
        const std::optional<fileid> now = identify(directory);
        if (known == directories_.end() || known->second.id == now) return;
        known->second.id = now;
        watcher_.unwatch(directory);
        watchorpoll(directory);
        settleall(directory);
    }

    // A directory that cannot be watched is polled until it can be.
    void watchorpoll(const std::string& directory) {
        if (!watcher_.watch(directory)) polled_.insert(directory);
    }

    void settleall(const std::string& directory) {
        auto found = bydirectory_.find(directory);
        if (found != bydirectory_.end())
            for (const auto& [name, files] : found->second) settle(files);
    }

    void notice(const directorychange& change) {
        if (change.name.empty()) {
            // Anything in it may have changed, and it may need watching
            // again, unless it is no longer needed.
            settleall(change.directory);
            if (auto known = directories_.find(change.directory); known != directories_.end()) {
                known->second.id = identify(change.directory);
                watchorpoll(change.directory);
            }
        } else if (auto found = bydirectory_.find(change.directory); found != bydirectory_.end()) {
            auto named = found->second.find(change.name);
            if (named != found->second.end()) settle(named->second);
        }
        auto chain = above_.find(change.directory);
        if (chain == above_.end()) return;
        for (const auto& [name, below] : chain->second)
            if (change.name.empty() || change.name == name)
                for (const std::string& directory : below) recheck(directory);
    }

    void settle(const std::vector<std::size_t>& files) {
        for (std::size_t f : files) pending_[f].stirred = true;
    }

    void poll() {
        for (auto directory = polled_.begin(); directory != polled_.end();) {
            settleall(*directory);
            recheck(*directory);
            directory = watcher_.watch(*directory) ? polled_.erase(directory) : std::next(directory);
        }
    }

    // The documents to process again: those that read a file which has been
    // still for a moment and is no longer as they read it.
    std::set<std::size_t> settled() {
        std::set<std::size_t> affected;
        const clock::time_point now = clock::now();
        for (auto entry = pending_.begin(); entry != pending_.end();) {
            auto& [f, look] = *entry;
            if (look.looked && now - look.lastlook < quiet) {
                ++entry;
                continue;
            }
            state current = stateof(files_[f].path);
            if (!look.looked) look.since = now;
            const bool still = look.looked && !look.stirred && same(current, look.last);
            if (!still && (files_[f].document || now - look.since < longestwait)) {
                if (files_[f].document && !look.said && now - look.since >= longwait) {
                    warn(files_[f].path, "it has kept changing for a while; it is updated once it is still");
                    look.said = true;
                }
                look = {true, false, current, now, look.since, look.said};
                ++entry;
                continue;
            }
            refollow(f);
            for (std::size_t d : files_[f].readers)
                if (!same(docs_[d].reads[f], current) && !cycles(d, current)) affected.insert(d);
            entry = pending_.erase(entry);
        }
        return affected;
    }

    // The files last read as the file with this id, whatever their names.
    std::vector<std::size_t> filesof(const idkey& id) const {
        auto found = filesbyid_.find(id);
        if (found == filesbyid_.end()) return {};
        return {found->second.begin(), found->second.end()};
    }

    // Whether processing d because a file changed to current would change
    // that file again: this process rewrote it, as the document it is, and
    // that document includes d, directly or through other documents.
    bool cycles(std::size_t d, const state& current) {
        if (!current) return false;
        auto written = written_.find(keyof(*current));
        if (written == written_.end() || !same(written->second, current)) return false;
        std::set<std::size_t> seen{d};
        std::deque<std::size_t> next{d};
        while (!next.empty()) {
            const std::size_t at = next.front();
            next.pop_front();
            const std::optional<idkey>& id = files_[docs_[at].self].id;
            if (!id) continue;
            if (*id == keyof(*current)) {
                if (warnedcycle_.insert(d).second)
                    warn(docs_[d].name, "it includes, through other documents, a document that includes it; "
                                        "their rewrites of each other are not followed, as they would never end");
                return true;
            }
            for (std::size_t f : filesof(*id))
                for (std::size_t reader : files_[f].readers)
                    if (seen.insert(reader).second) next.push_back(reader);
        }
        return false;
    }

    void postpone(std::size_t d) {
        docs_[d].succeeded = false;
        waiting_.try_emplace(d, waiting{clock::now()});
    }

    // Processes the documents in order; false when the watch must end.
    bool pass(const std::vector<std::size_t>& order, bool announce) {
        std::vector<commitrecord> records;
        run_.staged.records = &records;
        run_.staged.announce = announce;
        run_.lookedfortmpfile = false;  // a failed pass may have kept a text there
        run_.places.clear();  // a folder may be a link that points elsewhere now
        std::map<std::string, std::size_t> byname;
        bool lost = false;
        for (std::size_t d : order) {
            doc& document = docs_[d];
            document.succeeded = false;
            if (stopasked() || lost) continue;  // not done: the watch ends
            // Asked first, so that a document being written is passed over
            // without a word; the guard that counts is taken as it is read.
            if (openforwriting(document.name)) {
                postpone(d);
                continue;
            }
            // Taken before the read: should the document not open, a file
            // made there while it was processed still counts as a change.
            const state before = stateof(document.name);
            documentreads reads;
            run_.reads = &reads;
            const outcome result = dofile(run_, document.name.c_str());
            run_.reads = nullptr;
            lost = standardoutputerror() != 0;
            if (result == outcome::busy) {
                postpone(d);
                continue;
            }
            waiting_.erase(d);
            document.succeeded = result == outcome::done;
            byname[document.name] = d;
            remember(d, reads, before);
        }
        const bool settled = finishdocuments(run_) == outcome::done;
        run_.staged.records = nullptr;
        for (const commitrecord& record : records) {
            const std::size_t d = byname[record.path];
            doc& document = docs_[d];
            if (record.postponed) {
                postpone(d);
                continue;
            }
            if (!settled || !record.placed) {
                document.succeeded = false;
                continue;
            }
            const std::optional<idkey> old = files_[document.self].id;
            // A document that includes this one and read its old text
            // has read the new one too when the text stayed the same.
            if (!record.changes && old)
                for (std::size_t f : filesof(*old))
                    for (std::size_t reader : files_[f].readers)
                        if (reader != d && same(docs_[reader].reads[f], document.reads[document.self])) {
                            docs_[reader].reads[f] = record.now;
                            recordid(f, record.now);
                        }
            document.reads[document.self] = record.now;
            recordid(document.self, record.now);
            // Only the latest rewrite can still be what its name shows: on
            // a file system that never reuses inode numbers, keeping the
            // others would grow with every rewrite.
            if (document.written) written_.erase(*document.written);
            written_[*(document.written = keyof(record.now))] = record.now;
        }
        // The checks for directive lines are kept for the files read now.
        run_.patterns.forgetchecks([&](const idkey& id) { return !filesbyid_.contains(id); });
        if (!settled)
            for (std::size_t d : order) docs_[d].succeeded = false;
        return !lost && standardoutputerror() == 0;
    }

    void recordid(std::size_t f, const state& read) {
        std::optional<idkey>& id = files_[f].id;
        if (id) {
            // A file no longer read as this id leaves no trace of it.
            auto files = filesbyid_.find(*id);
            files->second.erase(f);
            if (files->second.empty()) filesbyid_.erase(files);
        }
        id.reset();
        if (read) filesbyid_[*(id = keyof(*read))].insert(f);
    }

    // What the document read this time replaces what it read before.
    // ahead: the document as its name showed just ahead of the read.
    void remember(std::size_t d, const documentreads& reads, const state& ahead) {
        doc& document = docs_[d];
        std::vector<std::size_t> before;
        for (const auto& [f, read] : document.reads) {
            files_[f].readers.erase(d);
            before.push_back(f);
        }
        document.reads.clear();
        const auto recall = [&](std::size_t f, const state& read) {
            // Never what the name shows now: a file made after the read
            // would then look already read, and its document stay stale.
            document.reads[f] = read;
            recordid(f, document.reads[f]);
            files_[f].readers.insert(d);
        };
        for (const auto& [name, read] : reads.patterns) recall(fileof(name), read);
        recall(document.self, reads.document ? reads.document : ahead);
        for (std::size_t f : before)
            if (files_[f].readers.empty() && !files_[f].document) retire(f);
    }

    run& run_;
    changewatcher watcher_;
    std::vector<file> files_;
    std::vector<std::size_t> retired_;  // slots of files watched no more
    std::vector<doc> docs_;
    std::map<std::string, std::size_t> bykey_;  // files by the directory entry they are
    // The files by the id they were last read as; only ids that some file has.
    std::map<idkey, std::set<std::size_t>> filesbyid_;
    // What each document's last rewrite by this process left, by file.
    std::map<idkey, filestatus> written_;
    // The watched files by directory and name, as changes are reported.
    std::map<std::string, std::map<std::string, std::vector<std::size_t>>> bydirectory_;
    struct watched {
        std::optional<fileid> id;  // what its name led to when last looked at
        std::size_t uses = 0;      // watched files in it, and watched directories right below it
    };
    std::map<std::string, watched> directories_;  // every watched directory
    // The watched directories below a directory, by the name that leads to them.
    std::map<std::string, std::map<std::string, std::vector<std::string>>> above_;
    std::set<std::string> polled_;
    std::map<std::size_t, settling> pending_;
    std::map<std::size_t, waiting> waiting_;  // documents left for a later pass
    std::set<std::size_t> warnedcycle_;
};

}  // namespace

int watchdocuments(run& current, const std::vector<std::string>& names) {
    catchstopsignals();
    return watcher(current, names).go();
}

}  // namespace skelvane

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
#include <vector>

namespace skelvane {

namespace {

using clock = std::chrono::steady_clock;
using state = std::optional<filestatus>;  // none: missing, or not to be looked at

// A file is read once it was still this long, so that a save under way
// is not read half made; but not later than the longest wait, should it
// never be still.
constexpr auto quiet = std::chrono::milliseconds(150);
constexpr auto longestwait = std::chrono::milliseconds(3000);
// Directories that cannot be watched are looked at this often.
constexpr auto pollinterval = std::chrono::milliseconds(500);

#ifdef _WIN32
constexpr const char* separators = "/\\";
#else
constexpr const char* separators = "/";
#endif

std::string nameof(const std::string& path) { return path.substr(path.find_last_of(separators) + 1); }

state stateof(const std::string& path) {
    filestatus status;
    if (statpath(path, status) != 0) return std::nullopt;
    return status;
}

bool same(const state& a, const state& b) {
    if (!a || !b) return !a && !b;
    return !a->touchedsince(*b);
}

int milliseconds(clock::duration span) {
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(span).count());
}

class watcher {
public:
    watcher(run& current, const std::vector<std::string>& names) : run_(current) {
        for (const std::string& name : names) docs_.push_back({name, fileof(name)});
    }

    int go() {
        std::vector<std::size_t> all(docs_.size());
        for (std::size_t d = 0; d < all.size(); ++d) all[d] = d;
        bool going = pass(all, false);
        std::vector<directorychange> changes;
        clock::time_point lastpoll = clock::now();
        while (going && !stopasked()) {
            // Asleep until something happens, unless a change is settling
            // or a directory must be polled.
            clock::duration timeout = clock::duration::max();
            if (!pending_.empty()) timeout = quiet;
            if (!polled_.empty()) timeout = std::min<clock::duration>(timeout, lastpoll + pollinterval - clock::now());
            changes.clear();
            watcher_.wait(timeout == clock::duration::max() ? -1 : std::max(0, milliseconds(timeout)), changes);
            if (stopasked()) break;
            for (const directorychange& change : changes) notice(change);
            if (!polled_.empty() && clock::now() >= lastpoll + pollinterval) {
                poll();
                lastpoll = clock::now();
            }
            std::vector<std::size_t> affected = settled();
            if (!affected.empty()) going = pass(affected, true);
        }
        bool succeeded = std::all_of(docs_.begin(), docs_.end(), [](const doc& d) { return d.succeeded; });
        return succeeded && going ? 0 : 1;
    }

private:
    struct file {
        std::string path;              // as the run opens it
        std::set<std::size_t> readers;  // documents that read it when last processed
        state written;                 // what the last rewrite of it by this process left
    };
    struct doc {
        std::string name;
        std::size_t self;                       // its file
        std::map<std::size_t, state> reads{};  // every file it read, as it read it
        bool succeeded = false;
    };
    struct settling {
        bool looked = false;
        bool stirred = false;  // a change was reported since the last look
        state last;
        clock::time_point lastlook;
        clock::time_point since;  // when it was first looked at
    };

    // The file of this name, watched from now on.
    std::size_t fileof(const std::string& path) {
        auto [place, added] = byname_.try_emplace(path, files_.size());
        if (!added) return place->second;
        files_.push_back({path, {}, {}});
        follow(path, place->second);
        // It may have changed between its read and its watch.
        settle({place->second});
        // A file that is a symbolic link changes where its target does, too.
        filestatus link;
        std::string target;
        if (statpath(path, link, false) == 0 && !link.regular && !link.directory && resolvepath(path, target) == 0)
            follow(target, place->second);
        return place->second;
    }

    void follow(const std::string& path, std::size_t f) {
        const std::string directory = directoryof(path);
        auto [place, added] = bydirectory_.try_emplace(directory);
        place->second[nameof(path)].push_back(f);
        if (added && !watcher_.watch(directory)) polled_.insert(directory);
    }

    void notice(const directorychange& change) {
        auto found = bydirectory_.find(change.directory);
        if (found == bydirectory_.end()) return;
        if (change.name.empty()) {
            // Anything in it may have changed, and it may need watching again.
            for (const auto& [name, files] : found->second) settle(files);
            if (!watcher_.watch(change.directory)) polled_.insert(change.directory);
            return;
        }
        auto named = found->second.find(change.name);
        if (named != found->second.end()) settle(named->second);
    }

    void settle(const std::vector<std::size_t>& files) {
        for (std::size_t f : files) pending_[f].stirred = true;
    }

    void poll() {
        for (auto directory = polled_.begin(); directory != polled_.end();) {
            for (const auto& [name, files] : bydirectory_[*directory]) settle(files);
            directory = watcher_.watch(*directory) ? polled_.erase(directory) : std::next(directory);
        }
    }

    // The documents to process again: those that read a file which has been
    // still for a moment and is no longer as they read it.
    std::vector<std::size_t> settled() {
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
            if (!still && now - look.since < longestwait) {
                look = {true, false, current, now, look.since};
                ++entry;
                continue;
            }
            for (std::size_t d : files_[f].readers)
                if (!same(docs_[d].reads.at(f), current) && !cycles(d, f, current)) affected.insert(d);
            entry = pending_.erase(entry);
        }
        return {affected.begin(), affected.end()};
    }

    // Whether processing d because of f's change would change f again: f
    // was rewritten by this process, and d leads back to it, as a document
    // included, through other documents or none, by the document that f is.
    bool cycles(std::size_t d, std::size_t f, const state& current) {
        if (!files_[f].written || !same(files_[f].written, current)) return false;
        std::set<std::size_t> seen{d};
        std::deque<std::size_t> next{d};
        while (!next.empty()) {
            const std::size_t at = next.front();
            next.pop_front();
            if (docs_[at].self == f) {
                if (warnedcycle_.insert(d).second)
                    warn(docs_[d].name, "it includes, through other documents, a document that includes it; "
                                        "their rewrites of each other are not followed, as they would never end");
                return true;
            }
            for (std::size_t reader : files_[docs_[at].self].readers)
                if (seen.insert(reader).second) next.push_back(reader);
        }
        return false;
    }

    // Processes the documents in order; false when the watch must end.
    bool pass(const std::vector<std::size_t>& order, bool announce) {
        std::vector<commitrecord> records;
        run_.staged.records = &records;
        run_.staged.announce = announce;
        run_.lookedforkeptfile = false;  // a failed pass may have kept a text there
        std::map<std::string, std::size_t> byname;
        bool lost = false;
        for (std::size_t d : order) {
            doc& document = docs_[d];
            document.succeeded = false;
            if (stopasked() || lost) continue;  // not done: the watch ends
            documentreads reads;
            run_.reads = &reads;
            const int result = dofile(run_, document.name.c_str());
            run_.reads = nullptr;
            lost = result == outputlost || standardoutputerror() != 0;
            document.succeeded = result == documentdone;
            byname[document.name] = d;
            remember(d, reads);
        }
        const bool settled = finishdocuments(run_) == documentdone;
        run_.staged.records = nullptr;
        for (const commitrecord& record : records) {
            const std::size_t d = byname[record.path];
            doc& document = docs_[d];
            if (!settled || !record.placed) {
                document.succeeded = false;
                continue;
            }
            // A document that includes this one and read its old text
            // has read the new one too when the text stayed the same.
            if (!record.changes)
                for (std::size_t reader : files_[document.self].readers)
                    if (reader != d && same(docs_[reader].reads.at(document.self), document.reads[document.self]))
                        docs_[reader].reads[document.self] = record.now;
            document.reads[document.self] = record.now;
            files_[document.self].written = record.now;
        }
        if (!settled)
            for (std::size_t d : order) docs_[d].succeeded = false;
        return !lost && standardoutputerror() == 0;
    }

    // What the document read this time replaces what it read before.
    void remember(std::size_t d, const documentreads& reads) {
        doc& document = docs_[d];
        for (const auto& [f, read] : document.reads) files_[f].readers.erase(d);
        document.reads.clear();
        const auto recall = [&](std::size_t f, const state& read) {
            // What could not be opened is compared by what its name shows now.
            document.reads[f] = read ? read : stateof(files_[f].path);
            files_[f].readers.insert(d);
        };
        for (const auto& [name, read] : reads.patterns) recall(fileof(name), read);
        recall(document.self, reads.document);
    }

    run& run_;
    changewatcher watcher_;
    std::vector<file> files_;
    std::vector<doc> docs_;
    std::map<std::string, std::size_t> byname_;
    // The watched files by directory and name, as changes are reported.
    std::map<std::string, std::map<std::string, std::vector<std::size_t>>> bydirectory_;
    std::set<std::string> polled_;
    std::map<std::size_t, settling> pending_;
    std::set<std::size_t> warnedcycle_;
};

}  // namespace

int watchdocuments(run& current, const std::vector<std::string>& names) {
    catchstopsignals();
    return watcher(current, names).go();
}

}  // namespace skelvane

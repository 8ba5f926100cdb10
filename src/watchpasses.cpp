// The watch's reader graph and its passes over the documents.
#include "messages.h"
#include "osfile.h"
#include "rewrite.h"
#include "watchparts.h"

#include <algorithm>
#include <deque>

namespace skelvane::watching {

namespace {

// A document that waits this long is said to wait, once.
constexpr auto longwait = std::chrono::seconds(10);

}  // namespace

const std::set<std::size_t>& readergraph::readersof(std::size_t f) const {
    static const std::set<std::size_t> none;
    auto found = readers_.find(f);
    return found == readers_.end() ? none : found->second;
}

void readergraph::recall(std::size_t d, std::size_t f, const state& read) {
    // Never what the name shows now: a file made after the read would
    // then look already read, and its document stay stale.
    state& kept = of_[d].reads[f];
    kept = read;
    files_.recordid(f, kept);
    readers_[f].insert(d);
}

void readergraph::affected(std::size_t f, const state& current, std::set<std::size_t>& out) {
    for (std::size_t d : readersof(f))
        if (!same(of_[d].reads[f], current) && !cycles(d, current)) out.insert(d);
}

// Whether processing d because a file changed to current would change
// that file again: this process rewrote it, as the document it is, and
// that document includes d, directly or through other documents.
bool readergraph::cycles(std::size_t d, const state& current) {
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
        for (std::size_t f : files_.filesof(*id))
            for (std::size_t reader : readersof(f))
                if (seen.insert(reader).second) next.push_back(reader);
    }
    return false;
}

void readergraph::placed(std::size_t d, const commitrecord& record) {
    const std::size_t self = docs_[d].self;
    readsof& document = of_[d];
    const std::optional<idkey> old = files_[self].id;
    // A document that includes this one and read its old text has read
    // the new one too when the text stayed the same.
    if (!record.changes && old)
        for (std::size_t f : files_.filesof(*old))
            for (std::size_t reader : readersof(f))
                if (reader != d && same(of_[reader].reads[f], document.reads[self])) {
                    of_[reader].reads[f] = record.now;
                    files_.recordid(f, record.now);
                }
    document.reads[self] = record.now;
    files_.recordid(self, record.now);
    // Only the latest rewrite can still be what its name shows: on a file
    // system that never reuses inode numbers, keeping the others would
    // grow with every rewrite.
    if (document.written) written_.erase(*document.written);
    written_[*(document.written = keyof(record.now))] = record.now;
}

std::vector<std::size_t> readergraph::forget(std::size_t d) {
    if (of_.size() <= d) return {};
    std::vector<std::size_t> unread;
    for (const auto& [f, read] : of_[d].reads) {
        auto readers = readers_.find(f);
        readers->second.erase(d);
        if (!readers->second.empty()) continue;
        readers_.erase(readers);
        if (!files_[f].document) unread.push_back(f);
    }
    if (of_[d].written) written_.erase(*of_[d].written);
    of_[d] = readsof{};
    warnedcycle_.erase(d);
    return unread;
}

void passrun::begin(std::vector<commitrecord>& records, bool announce) {
    run_.staged.records = &records;
    run_.staged.announce = announce;
    run_.lookedfortmpfile = false;  // a failed pass may have kept a text there
    run_.places.clear();            // a folder may be a link that points elsewhere now
}

outcome passrun::process(const std::string& name, documentreads& reads) {
    // Taken before the read: should the document not open, a file made
    // there while it was processed still counts as a change.
    const state ahead = stateof(name);
    run_.reads = &reads;
    const outcome result = dofile(run_, name.c_str());
    run_.reads = nullptr;
    if (!reads.document) reads.document = ahead;
    return result;
}

bool passrun::end() {
    const bool finished = finishdocuments(run_) == outcome::done;
    run_.staged.records = nullptr;
    return finished;
}

void passrun::keepchecksof(const filetable& files) {
    run_.patterns.forgetchecks([&](const idkey& id) { return !files.read(id); });
}

void passes::postpone(std::size_t d) {
    succeeded_[d] = false;
    waiting_.try_emplace(d, wait{clock::now()});
}

// Processes the documents in order.
bool passes::go(const std::vector<std::size_t>& order, bool announce, passobserver& observer,
                const filetable& files) {
    succeeded_.resize(docs_.size());
    std::vector<commitrecord> records;
    run_.begin(records, announce);
    std::map<std::string, std::size_t> byname;
    bool lost = false;
    for (std::size_t d : order) {
        succeeded_[d] = false;
        if (stopasked() || lost) {  // not done: the watch ends
            kept_.insert(d);
            continue;
        }
        kept_.erase(d);
        // Asked first, so that a document being written is passed over
        // without a word; the guard that counts is taken as it is read.
        if (openforwriting(docs_[d].name)) {
            postpone(d);
            continue;
        }
        documentreads reads;
        const outcome result = run_.process(docs_[d].name, reads);
        lost = standardoutputerror() != 0;
        if (result == outcome::busy) {
            postpone(d);
            continue;
        }
        waiting_.erase(d);
        succeeded_[d] = result == outcome::done;
        byname[docs_[d].name] = d;
        observer.processed(d, reads);
    }
    const bool finished = run_.end();
    for (const commitrecord& record : records) {
        const std::size_t d = byname[record.path];
        if (record.postponed) {
            postpone(d);
        } else if (!finished || !record.placed) {
            succeeded_[d] = false;
        } else {
            observer.placed(d, record);
        }
    }
    run_.keepchecksof(files);
    if (!finished)
        for (std::size_t d : order) succeeded_[d] = false;
    return !lost && standardoutputerror() == 0;
}

void passes::retry(std::set<std::size_t>& affected) {
    const clock::time_point now = clock::now();
    for (auto& [d, waited] : waiting_) {
        affected.insert(d);
        if (!waited.said && now - waited.since >= longwait) {
            warn(docs_[d].name, "another program is writing it; it is updated once that program has closed it");
            waited.said = true;
        }
    }
}

void passes::forget(std::size_t d) {
    if (succeeded_.size() <= d) succeeded_.resize(d + 1);
    succeeded_[d] = true;
    waiting_.erase(d);
    kept_.erase(d);
}

bool passes::allsucceeded() const {
    return std::all_of(succeeded_.begin(), succeeded_.end(), [](char succeeded) { return succeeded != 0; });
}

}  // namespace skelvane::watching

#include "batch.h"

#include "messages.h"

#include <algorithm>
#include <cerrno>
#include <string>

namespace skelvane {

std::string hardlinks(const filestatus& before) { return "has " + std::to_string(before.links) + " hard links"; }

void warnhardlinks(const document& doc) {
    if (doc.before.links > 1)
        warn(doc.path, hardlinks(doc.before) + "; only this name has the new text, the others keep the old");
}

std::string keepnewtext(stagingfile& staging) {
    const int error = staging.keepas(stagingname);
    // Nowhere else: files kept beside documents would pile up with every
    // failed run and be published with the site. The document is whole,
    // and the next run makes the text again.
    const std::string named = staging.name();
    const int removal = staging.discard();
    const std::string why = error == EEXIST ? "skelvane.tmp exists already" : "skelvane.tmp: " + describe(error);
    // A name the run gave the text and could not take away again.
    const std::string stuck = removal == 0 ? "" : quotename(named) + ", which cannot be removed: " + describe(removal);
    if (error == 0)
        return std::string("the new text is in ") + stagingname + (stuck.empty() ? "" : " and in " + stuck);
    if (!stuck.empty()) return "the new text is in " + stuck + " (" + why + ")";
    return "the new text was not kept (" + why + ")";
}

void dropnewtext(stagingfile& staging) {
    const std::string named = staging.name();
    if (int error = staging.discard())
        warn(named, "holds a new text this run did not need, and cannot be removed: " + describe(error));
}

namespace {

// Whether the document is as it was when its turn came, and no other
// program opened it for writing since.
bool untouched(const document& doc) {
    filestatus now;
    return statpath(doc.target, now) == 0 && !now.changedsince(doc.before) && !doc.in.writerscame();
}

// Puts a document's durable new text in place. Returns why it could not.
std::string replace(document& doc) {
    if (!untouched(doc)) return "it changed while it was being processed";
    doc.in.letreplace();
    if (int error = doc.staging.renameto(doc.target)) return "cannot replace it: " + describe(error);
    // A writer that opened it in the moment before the rename writes to
    // the old text, which no longer has the name.
    if (doc.in.writerscame())
        warn(doc.path, "another program opened it for writing as it was replaced; what it writes goes to the "
                       "text it replaced");
    return {};
}

}  // namespace

std::size_t batch::documentlimit() {
    // Some files are left for patterns, comparisons and the standard streams.
    static const std::size_t open = openfilelimit();
    return std::clamp<std::size_t>(open > 32 ? (open - 32) / 2 : 1, 1, 256);
}

bool batch::holds(const fileid& id) const { return !ids_.empty() && ids_.count({id.device, id.inode}) != 0; }

bool batch::add(std::unique_ptr<document> doc) {
    bytes_ += doc->staging.written();
    ids_.insert({doc->before.id.device, doc->before.id.inode});
    entries_.push_back({std::move(doc), output_.hold()});
    return entries_.size() >= limit_ || bytes_ >= bytelimit;
}

bool batch::commit(const runsettings& settings) {
    output_.stopholding();
    std::vector<stagingfile*> files;
    for (entry& e : entries_) files.push_back(&e.doc->staging);
    std::vector<int> errors;
    std::vector<std::uint64_t> synced;
    if (!files.empty()) makedurable(files, errors, synced);
    // A whole file system's sync made the renames before it durable too.
    std::erase_if(unsynced_, [&](const renamedinto& r) {
        return r.facts.wholesync && std::find(synced.begin(), synced.end(), r.facts.id.device) != synced.end();
    });

    bool placed = true;
    for (std::size_t i = 0; i < entries_.size() && (placed || settings.keepgoing()); ++i) {
        document& doc = *entries_[i].doc;
        output_.sayupto(entries_[i].messagesend);
        // A watch leaves a document that changed, or is being written, to
        // the pass that its change brings: its text is made again then.
        const bool postponed = settings.watch && errors[i] == 0 && !untouched(doc);
        std::string reason = errors[i] != 0 ? "cannot write the new text: " + describe(errors[i])
                             : postponed   ? std::string()
                                           : replace(doc);
        commitrecord record{doc.path, reason.empty() && !postponed, doc.changes, postponed, {}};
        if (postponed) {
            dropnewtext(doc.staging);
        } else if (!reason.empty()) {
            faildocument(settings, {doc.path, reason + "; left unchanged, " + keepnewtext(doc.staging)});
            placed = false;
        } else {
            const std::string directory = directoryof(doc.target);
            if (std::none_of(unsynced_.begin(), unsynced_.end(),
                             [&](const renamedinto& r) { return r.directory == directory; }))
                unsynced_.push_back({directory, doc.staging.facts()});
            warnhardlinks(doc);
            if (records != nullptr) statpath(doc.target, record.now);
            if (announce) showupdated(doc.path);
        }
        if (records != nullptr) records->push_back(std::move(record));
    }
    if (placed || settings.keepgoing())
        output_.sayall();
    else
        output_.drop();
    entries_.clear();
    ids_.clear();
    bytes_ = 0;
    // Not too many directories wait for the last sync.
    if (unsynced_.size() > 64 && !syncrenames()) placed = false;
    return placed;
}

bool batch::syncrenames() {
    std::string directory;
    int error = makerenamesdurable(unsynced_, directory);
    unsynced_.clear();
    if (error == 0) return true;
    reportproblem(directory, "cannot make the replaced documents in it durable: " + describe(error));
    return false;
}

}  // namespace skelvane

// Documents whose new texts wait to be put in place.
//
// A run makes each document's new text in a staging file beside it and goes
// on to the next document. A batch of them is then made durable with one
// barrier and put in place in command-line order, so that a run over
// thousands of pages waits for the disk a few times instead of once per
// page. Until then each document stays open and locked, and what the run
// says about it is held (see heldoutput). When a document fails, the
// documents before it are put in place first; when a new text cannot be
// made durable or put in place, its document fails as it would have alone,
// and the documents after it stay as they were.
#ifndef SKELVANE_BATCH_H
#define SKELVANE_BATCH_H

#include "messages.h"
#include "osfile.h"
#include "settings.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace skelvane {

// Where a failure keeps a new text that was complete but could not replace
// its document, in the current directory, when no file of that name exists
// yet. No run ever replaces or removes it.
inline constexpr char stagingname[] = "skelvane.tmp";

// A document opened and locked for this run.
struct document {
    explicit document(std::string name) : path(std::move(name)), target(path) {}

    std::string path;    // as given, for messages
    std::string target;  // the file a rename replaces: path, or where its links lead
    inputfile in;
    filestatus before;             // what it was when its turn came
    std::vector<fileid> excluded;  // files its patterns must not be: skelvane.tmp
    stagingfile staging;           // its new text
    bool changes = true;           // the new text differs from the old (false only when compared)
};

std::string hardlinks(const filestatus& before);
// After a document was written (or a check found a run would write it).
void warnhardlinks(const document& doc);
// Keeps a complete new text that could not replace its document under
// skelvane.tmp when no file has that name, and otherwise drops it (a file
// the run named is removed); says which, and names a file the run named
// that could not be removed.
std::string keepnewtext(stagingfile& staging);
// Drops a new text that is not wanted; a name the run gave it that cannot
// be removed is warned about.
void dropnewtext(stagingfile& staging);

// What became of a document of a batch, for --watch.
struct commitrecord {
    std::string path;
    bool placed = false;
    bool changes = true;  // its text differs from what it replaced
    bool postponed = false;  // changed, or being written, while it was processed
    filestatus now;       // once placed: the new file, as the rename left it
};

class batch {
public:
    bool empty() const { return entries_.empty(); }
    // Whether the file is a document waiting in the batch.
    bool holds(const fileid& id) const;
    // Takes a document whose new text is complete. True when the batch is
    // full: it is to be committed before the next document.
    bool add(std::unique_ptr<document> doc);
    // Makes the new texts durable and puts them in place, in order. False
    // when a document failed (reported as a run reports it): the run ends,
    // and the documents after it stay as they were, unless every document
    // is to be tried (--watch).
    bool commit(const runsettings& settings);
    // At the end of a run: makes the renames durable. False when it cannot
    // (reported).
    bool syncrenames();

    // A batch holds two open files per document, within the process's
    // limit, and its texts wait in the system's cache, within a bound.
    static std::size_t documentlimit();
    // Files ran out before the limit (others were open already): the batch
    // is to be committed, and later ones hold half as many documents.
    void shrink() { limit_ = std::max<std::size_t>(1, entries_.size() / 2); }
    static constexpr std::uint64_t bytelimit = 64ull << 20;

    // When set, each committed document is recorded there, and with
    // announce a placed one is said as "Updated NAME".
    std::vector<commitrecord>* records = nullptr;
    bool announce = false;

private:
    struct entry {
        std::unique_ptr<document> doc;
        std::uint64_t messagesend;  // what is held up to the end of its messages
    };
    std::vector<entry> entries_;
    heldoutput output_;  // what the run says while documents wait
    std::set<std::pair<std::uint64_t, std::uint64_t>> ids_;  // the documents' files
    std::uint64_t bytes_ = 0;
    std::size_t limit_ = documentlimit();
    // Directories renamed into since their file system was last synced.
    std::vector<renamedinto> unsynced_;
};

}  // namespace skelvane

#endif

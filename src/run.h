// One run of the program: the options it was given, and what it learns
// along the way that later documents reuse. Every part that needs either
// gets the run it works for; a fresh object is a fresh run.
#ifndef SKELVANE_RUN_H
#define SKELVANE_RUN_H

#include "batch.h"
#include "messages.h"
#include "pattern.h"
#include "settings.h"
#include "sitepaths.h"

#include <cerrno>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace skelvane {

// What --watch learns of a document as it is processed: the state of every
// file it read, so that a later change to any of them is noticed.
struct documentreads {
    std::optional<filestatus> document;  // as it was read; none: it could not be opened
    // The pattern files it named, by the names they are opened by, as they
    // were read, or as their names showed just before (none: missing).
    std::map<std::string, std::optional<filestatus>> patterns;
};

struct run final : patternhost {
    explicit run(runsettings given) : settings(std::move(given)) {}

    const runsettings settings;
    patterncache patterns;  // pattern texts and checks, shared by documents
    batch staged;           // new texts waiting to be put in place
    // A run that stopped at a document of a batch does nothing more.
    bool stopped = false;
    // The directories documents were replaced in, by name; and the ones
    // whose leftovers were reported, by id, whatever their names.
    std::map<std::string, directoryfacts> directories;
    std::set<std::pair<std::uint64_t, std::uint64_t>> reporteddirectories;
    // Where the directories of documents lie in the site, by name.
    std::map<std::string, pageplace> places;
    // skelvane.tmp, as it was last looked at.
    std::optional<fileid> tmpfileid;
    bool lookedfortmpfile = false;
    // Filled while a document is processed, when the run is watching.
    documentreads* reads = nullptr;
    // A document whose text would stay the same is left as it is, whatever
    // --if-changed says: so a watch after its first pass, so that two
    // watches over one document come to rest.
    bool leavesame = false;
    // Asked while waiting for another run's turn on a document; true ends
    // the wait, and the document is not done.
    bool (*giveup)() = nullptr;

    // A pattern that is a document waiting in the batch is read once the
    // batch is in place.
    readiness beforereading(const fileid& pattern) override {
        if (!staged.holds(pattern)) return readiness::asitis;
        return commitstaged() ? readiness::putinplace : readiness::runended;
    }
    std::map<std::string, std::optional<filestatus>>* patternreads() override {
        return reads != nullptr ? &reads->patterns : nullptr;
    }

    // When the process has run out of open files and documents wait in the
    // batch, puts them in place to free theirs, and makes later batches
    // smaller. True when the call that ran out is worth another try.
    bool freefiles(int error) override {
        if ((error != EMFILE && error != ENFILE) || staged.empty()) return false;
        staged.shrink();
        return commitstaged();
    }

    // Puts the waiting documents in place. False when one failed, or an
    // earlier one did: the run has ended, unless it tries every document.
    bool commitstaged() {
        if (!stopped && !staged.commit(settings) && !settings.keepgoing()) stopped = true;
        patterns.newround();
        return !stopped;
    }

    // What the run says after the documents it did follows what was said of
    // those waiting in the batch, which are put in place first, as a run
    // that does one document after the other would have. A failed document
    // goes unsaid when one of those failed, as the run ended there.
    void failafterstaged(const failure& why) {
        if (commitstaged()) faildocument(settings, why);
    }
    // A problem of the run as a whole is said whatever became of them.
    void reportafterstaged(std::string_view subject, std::string_view reason) {
        commitstaged();
        reportproblem(subject, reason);
    }
};

}  // namespace skelvane

#endif

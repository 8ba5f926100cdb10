#include "rewrite.h"

#include "batch.h"

#include "compare.h"
#include "diffsink.h"
#include "directive.h"
#include "lineends.h"
#include "messages.h"
#include "osfile.h"
#include "pattern.h"
#include "pieces.h"
#include "spool.h"
#include "unidiff.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace skelvane {

namespace {

// Reports a failed document after the documents before it.
outcome fail(run& current, const failure& why) {
    current.failafterstaged(why);
    return outcome::failed;
}

// What the run knows of a directory, learnt the first time a document in
// it is met; then also what killed runs left there is reported, once.
const directoryfacts& lookat(run& current, const std::string& directory) {
    auto [place, added] = current.directories.try_emplace(directory);
    directoryfacts& facts = place->second;
    if (!added) return facts;
    if (lookatdirectory(directory, facts) == 0 &&
        current.reporteddirectories.insert({facts.id.device, facts.id.inode}).second) {
        for (const std::string& name : facts.leftovers)
            warn(name, "left behind by a skelvane run that was stopped while it replaced a document; it may hold "
                       "that document's new text, and skelvane never removes it");
        for (const std::string& name : facts.unremovable)
            warn(name, "kept by a skelvane run that could not replace a document nor remove it; it may hold that "
                       "document's new text, and skelvane never removes it");
    }
    facts.leftovers.clear();
    facts.unremovable.clear();
    return facts;
}

// Opens the document and takes this run's turn on it; runs over the same
// document take turns this way. The name is checked once the turn is
// ours, because the run that had it before may have replaced the file.
// Only a symbolic link is resolved, so that its target gets the new text.
int opendocument(run& current, document& doc) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        doc.target = doc.path;
        int error = doc.in.openturn(doc.path, false);
        if (error == ELOOP) {  // a symbolic link, or a loop of them
            if ((error = resolvepath(doc.path, doc.target)) != 0) return error;
            error = doc.in.openturn(doc.target, true);
        }
        if (current.freefiles(error)) continue;
        if (error != 0 && error != EWOULDBLOCK) return error;
        // Waiting with documents of the batch locked could wait for ever on
        // a run that waits for one of them; and the batch may hold this
        // very document, named twice, whose new text is what is read then.
        const bool waiting = current.staged.holds(doc.in.status().id);
        if (waiting) doc.in.close();  // Windows replaces no file that is open
        if ((error == EWOULDBLOCK || waiting) && !current.commitstaged()) return ECANCELED;
        if (waiting) continue;
        if (error == EWOULDBLOCK && (error = doc.in.waitturn(current.giveup)) != 0) return error;
        doc.before = doc.in.status();
        if (doc.before.links == 0) continue;  // replaced while this run waited
        if (doc.before.links == 1) return 0;
        filestatus byname;
        if ((error = statpath(doc.target, byname)) != 0) return error;
        if (byname.id == doc.before.id) return 0;
    }
    return EAGAIN;
}

// Opens the document a second time, to compare the new text with it.
int openoriginal(const document& doc, inputfile& original) {
    int error = original.open(doc.path);
    if (error == 0 && !(original.status().id == doc.before.id)) error = EAGAIN;
    return error;
}

// The style --eol gives the whole output document, asis for none.
lineendstyle outputstyle(const runsettings& settings) {
    if (textmode() || settings.eol == lineendstyle::ofdocument) return lineendstyle::asis;
    return settings.eol;
}

// What the document asks of the links in its inserted text, when they are
// edited. Its place is worked out once per directory.
std::optional<pagelinks> linksof(run& current, const document& doc) {
    const runsettings& settings = current.settings;
    if (!settings.editslinks()) return std::nullopt;
    pagelinks links;
    auto [known, added] = current.places.try_emplace(directoryof(doc.path));
    if (added && findplace(doc.path, settings.siteroot, known->second) != 0) known->second = pageplace{};
    links.place = known->second;
    links.place.name = filenameof(doc.path);
    links.relativelinks = settings.relativelinks && links.place.insite;
    links.markcurrent = settings.markcurrent;
    links.uptoroot = links.place.uptoroot();
    return links;
}

patternfiles inserterfor(run& current, const document& doc) {
    const bool ofdocument = current.settings.eol == lineendstyle::ofdocument && !textmode();
    return patternfiles(current.settings, current.patterns, current, doc.path, doc.excluded, &doc.staging,
                        ofdocument ? firstlineend(doc.path) : lineendstyle::asis, linksof(current, doc));
}

// The directive pass, its output converted to the line ends convert asks for.
passresult runpass(document& doc, bytesink& out, patternfiles& inserter, lineendstyle convert) {
    piecereader reader(doc.in);
    if (convert == lineendstyle::asis) return processfile(reader, out, inserter);
    lineendsink converted(out, convert);
    passresult pass = processfile(reader, converted, inserter);
    converted.finish();
    if ((pass.status == passstatus::complete || pass.status == passstatus::unclosed) && converted.error() != 0) {
        pass.status = passstatus::writefailed;
        pass.error = converted.error();
    }
    return pass;
}

// What a mode made of a document's pass.
struct passreport {
    explicit passreport(passresult result) : pass(result) {}

    passresult pass;
    failure sinkfailed;   // the mode's own sink failed besides the pass
    bool changes = true;  // the new text differs from the old
    // A run then puts the new text in place: --if-changed leaves a same text alone.
    bool replaces(const run& current) const { return changes || !(current.settings.ifchanged || current.leavesame); }
};

// Where a new text is made beside its document, what the run knows of that
// directory, and why a file cannot be made there (0: it can).
struct placement {
    std::string directory;
    const directoryfacts* facts = nullptr;
    int error = 0;
};

// What the run learns of a document's directory.
placement placefor(run& current, const document& doc) {
    placement place{directoryof(doc.target)};
    place.facts = &lookat(current, place.directory);
    return place;
}

// The same for a mode that makes no file there: whether it could.
placement lookedatplace(run& current, const document& doc) {
    placement place = placefor(current, doc);
    place.error = checkcancreate(place.directory);
    return place;
}

// The verdict on a document whose pass is over, reached in the same order
// by every mode: a failed pass, then a failed sink, then, when a run would
// replace the document, whatever would stop it doing so; writing says what
// the output was for.
failure judge(const run& current, const document& doc, const patternfiles& inserter, const passreport& report,
              const char* writing, const placement& place) {
    const passresult& pass = report.pass;
    switch (pass.status) {
    case passstatus::readfailed:
        return {doc.path, "cannot read: " + describe(pass.error)};
    case passstatus::writefailed:
        return {doc.path, std::string(writing) + ": " + describe(pass.error)};
    case passstatus::insertfailed:
        return inserter.failed();
    case passstatus::unclosed:
        return {fileline(doc.path, pass.regionline),
                pass.losttail ? "the pattern region that starts here has no end directive, so the rest of the "
                                "document would be lost"
                              : "the pattern region that starts here has no end directive"};
    case passstatus::complete:
        break;
    }
    if (report.sinkfailed.failed()) return report.sinkfailed;
    if (!report.replaces(current)) return {};
    // No rename can take a name away there, nor could the staging file
    // lose the name it would need.
    if (place.facts->keepsnames)
        return {doc.path, place.facts->keptby.empty()
                              ? "cannot replace it: " + describe(EPERM)
                              : "cannot replace it: its directory refuses removals, as " +
                                    quotename(place.facts->keptby) + " shows"};
    if (place.error != 0)
        return {doc.path, "cannot create a file in " + place.directory + ": " + describe(place.error)};
    if (int error = checkwritable(doc.path, doc.before)) return {doc.path, "cannot write: " + describe(error)};
    if (current.settings.strict && doc.before.links > 1)
        return {doc.path,
                hardlinks(doc.before) + "; only this name would get the new text, the others would keep the old"};
    // Immutable or append-only: the rename would be refused.
    if (doc.in.pinned()) return {doc.path, "cannot replace it: " + describe(EPERM)};
    return {};
}

// --stdout: the new text goes to standard output; the document stays, and
// gets the verdict a run would give it.
outcome printdocument(run& current, document& doc) {
    // Reading a file while its own new text is appended to it would not end.
    if (isstandardoutput(doc.before.id, doc.target))
        return fail(current, {doc.path, "it is standard output as well, which its new text would be added to; "
                                        "left unchanged"});
    const placement place = lookedatplace(current, doc);
    filesink& out = standardoutput();
    patternfiles inserter = inserterfor(current, doc);
    const passreport report(runpass(doc, out, inserter, outputstyle(current.settings)));
    if (out.flush() != 0) return outcome::outputlost;
    failure failed = judge(current, doc, inserter, report, "cannot write to standard output", place);
    return failed.failed() ? fail(current, failed) : outcome::done;
}

// --check and --diff: nothing is written, and the verdict is the run's.
// The pass goes to the end of the document whatever differs, so that
// everything a run would meet, and warn about, is met. --diff holds its
// difference until the verdict is known, so a document that would fail
// shows none.
outcome checkdocument(run& current, document& doc) {
    inputfile original;
    if (int error = openoriginal(doc, original)) return fail(current, {doc.path, describe(error)});
    const placement place = lookedatplace(current, doc);

    const lineendstyle style = outputstyle(current.settings);
    spool held;
    std::optional<unifieddiff> diff;
    std::optional<diffsink> lined;  // converts line ends itself
    std::optional<comparingsink> compare;
    if (current.settings.diff) {
        lined.emplace(diff.emplace(held, original, doc.path), original, style);
    } else {
        compare.emplace(original, nullptr);
    }
    patternfiles inserter = inserterfor(current, doc);
    passreport report(lined ? runpass(doc, *lined, inserter, lineendstyle::asis)
                            : runpass(doc, *compare, inserter, style));
    if (report.pass.status == passstatus::complete) {
        if (int sinkerror = lined ? lined->finish() : 0)
            report.sinkfailed = {doc.path, "cannot make the difference: " + describe(sinkerror)};
        report.changes = diff ? diff->changed() : !compare->same();
        // A document that cannot be read to the end is no difference.
        if (compare && compare->readerror() != 0)
            report.sinkfailed = {doc.path, "cannot read: " + describe(compare->readerror())};
    }
    failure failed = judge(current, doc, inserter, report, "cannot make the difference", place);
    if (failed.failed()) return fail(current, failed);
    if (report.replaces(current)) warnhardlinks(doc);
    if (!report.changes) return outcome::done;
    // A control byte in a name would act on the terminal or the log.
    std::printf("would update %s\n", quotename(doc.path).c_str());
    if (!diff) return outcome::wouldchange;
    if (standardoutputerror() != 0) return outcome::outputlost;
    filesink& out = standardoutput();
    int spoolerror = held.replay(out);
    if (out.flush() != 0) return outcome::outputlost;
    if (spoolerror != 0) return fail(current, {doc.path, "cannot make the difference: " + describe(spoolerror)});
    return outcome::wouldchange;
}

// A run: the new text goes into a staging file beside the document, which
// then waits in the batch to take the document's place.
outcome rewritedocument(run& current, std::unique_ptr<document> owned) {
    document& doc = *owned;
    placement place = placefor(current, doc);
    const directoryfacts& facts = *place.facts;
    // Without a new file beside the document there is no safe way to
    // replace it; the text is still made, in the current directory, so that
    // the user gets it in skelvane.tmp.
    place.error = doc.staging.create(place.directory, &doc.before, &facts);
    if (current.freefiles(place.error)) place.error = doc.staging.create(place.directory, &doc.before, &facts);
    if (place.error != 0 && doc.staging.create(".") != 0)
        return fail(current, {doc.path, "cannot create a file in " + place.directory + ": " +
                                            describe(place.error) + "; left unchanged"});

    // With --if-changed the new text is compared with the old as it is made;
    // --watch compares too, as a document that includes this one need not
    // be read again for a text that stays the same.
    inputfile original;
    std::optional<comparingsink> compare;
    if (current.settings.ifchanged || current.settings.watch) {
        int error = openoriginal(doc, original);
        if (current.freefiles(error)) error = openoriginal(doc, original);
        if (error == 0) compare.emplace(original, &doc.staging);
    }
    patternfiles inserter = inserterfor(current, doc);
    passreport report(runpass(doc, compare ? static_cast<bytesink&>(*compare) : doc.staging, inserter,
                              outputstyle(current.settings)));
    // A document before this one, put in place for a pattern, failed.
    if (current.stopped) return outcome::failed;
    if (report.pass.status == passstatus::complete && compare) report.changes = !compare->same();
    failure failed = judge(current, doc, inserter, report, "cannot write the new text", place);
    if (!failed.failed() && !report.replaces(current)) {
        dropnewtext(doc.staging);
        if (current.settings.ifchanged) showunchanged(current.settings, doc.path);
        return outcome::done;
    }
    if (!failed.failed()) {
        if (int error = doc.staging.copymetadata(doc.before))
            failed = {doc.path, "cannot give the new text the document's permissions: " + describe(error)};
        else if ((error = doc.staging.complete()) != 0)
            failed = {doc.path, "cannot write the new text: " + describe(error)};
    }
    if (failed.failed()) {
        // The documents before it come first, to skelvane.tmp too.
        if (!current.commitstaged()) return outcome::failed;
        // A whole new text, even one of a region without an end, is kept.
        const bool whole = report.pass.status == passstatus::complete || report.pass.status == passstatus::unclosed;
        failed.reason += whole ? "; left unchanged, " + keepnewtext(doc.staging) : "; left unchanged";
        return fail(current, failed);
    }
    doc.changes = report.changes;
    current.patterns.forget(doc.before.id);
    if (current.staged.add(std::move(owned)) && !current.commitstaged()) return outcome::failed;
    return outcome::done;
}

// skelvane.tmp is looked for once per run, and again for a document that
// may be it under another name.
void lookfortmpfile(run& current, const document& doc) {
    const std::string_view name = stagingname;
    const bool named = std::string_view(doc.target).ends_with(name);
    if (current.lookedfortmpfile && !named && doc.before.links < 2) return;
    filestatus kept;
    current.tmpfileid.reset();
    if (statpath(stagingname, kept, false) == 0) current.tmpfileid = kept.id;
    current.lookedfortmpfile = true;
}

}  // namespace

outcome dofile(run& current, const char* name) {
    if (current.stopped) return outcome::failed;
    // Patterns are looked at again for each batch, and in the modes that
    // put nothing in place for each document.
    if (current.staged.empty()) current.patterns.newround();
    showopening(current.settings, name);
    auto owned = std::make_unique<document>(name);
    document& doc = *owned;
    if (int error = opendocument(current, doc)) {
        if (current.stopped) return outcome::failed;
        return fail(current, {doc.path, error == ECANCELED ? "the watch was stopped while it waited for another "
                                                              "run to finish with it; left unchanged"
                                                            : describe(error)});
    }
    // A watch never replaces a document that another program is writing.
    if (current.settings.watch && doc.in.guardwriters() == beingwritten) return outcome::busy;
    if (current.reads != nullptr) current.reads->document = doc.before;

    // skelvane.tmp may hold a text a failed run kept: never a document, never
    // a pattern, never replaced, never removed.
    lookfortmpfile(current, doc);
    if (current.tmpfileid) {
        if (*current.tmpfileid == doc.before.id)
            return fail(current, {doc.path, "this is the staging file skelvane.tmp; left unchanged"});
        doc.excluded.push_back(*current.tmpfileid);
    }
    if (current.settings.tostdout) return printdocument(current, doc);
    if (current.settings.checking()) return checkdocument(current, doc);
    return rewritedocument(current, std::move(owned));
}

outcome finishdocuments(run& current) {
    bool done = current.commitstaged();
    done = current.staged.syncrenames() && done;
    return done ? outcome::done : outcome::failed;
}

}  // namespace skelvane

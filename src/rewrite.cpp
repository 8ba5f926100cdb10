#include "rewrite.h"

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
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace skelvane {

namespace {

// A document opened and locked for this run.
struct document {
    explicit document(std::string name) : path(std::move(name)) {}

    std::string path;
    inputfile in;
    filestatus before;             // what it was when it was opened
    std::vector<fileid> excluded;  // files its patterns must not be: skelvane.tmp, the staging file
};

// Why a document cannot be done, and what the reason is about.
struct failure {
    std::string subject;
    std::string reason;
    bool failed() const { return !reason.empty(); }
};

int fail(const run& current, const failure& why) {
    return faildocument(current.settings, why.subject, why.reason);
}

void reportleftovers(run& current, const std::string& directory) {
    if (!current.lookeddirectories.insert(directory).second) return;
    for (const std::string& name : findleftovers(directory))
        warn(name, "left behind by a skelvane run that was stopped while it replaced a document; it may hold "
                   "that document's new text, and skelvane never removes it");
}

// Opens and locks the document. Runs over the same document take turns
// this way; the name is checked once the lock is held, because the run
// that held it before may have replaced the file.
int opendocument(document& doc) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int error = doc.in.open(doc.path);
        if (error == 0) error = doc.in.lock();
        if (error == 0) doc.before = doc.in.status();
        filestatus byname;
        if (error == 0) error = statpath(doc.path, byname);
        if (error != 0) return error;
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
    if (textmodefiles || settings.eol == lineendstyle::ofdocument) return lineendstyle::asis;
    return settings.eol;
}

patternfiles inserterfor(run& current, const document& doc) {
    const bool ofdocument = current.settings.eol == lineendstyle::ofdocument && !textmodefiles;
    return patternfiles(current, doc.path, doc.excluded, ofdocument ? firstlineend(doc.path) : lineendstyle::asis);
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
    bool replaces(const runsettings& settings) const { return changes || !settings.ifchanged; }
};

// Where a new text is made beside its document, and why a file cannot be
// made there (0: it can).
struct placement {
    std::string directory;
    int error = 0;
};

std::string hardlinks(const filestatus& before) { return "has " + std::to_string(before.links) + " hard links"; }

// The verdict on a document whose pass is over, reached in the same order
// by every mode: a failed pass, then a failed sink, then, when a run would
// replace the document, whatever would stop it doing so. place is null for
// --stdout, which replaces nothing; writing says what the output was for.
failure judge(const run& current, const document& doc, const patternfiles& inserter, const passreport& report,
              const char* writing, const placement* place) {
    const passresult& pass = report.pass;
    switch (pass.status) {
    case passstatus::readfailed:
        return {doc.path, "cannot read: " + describe(pass.error)};
    case passstatus::writefailed:
        return {doc.path, std::string(writing) + ": " + describe(pass.error)};
    case passstatus::insertfailed:
        return {inserter.failuresubject(), inserter.failure()};
    case passstatus::unclosed:
        return {fileline(doc.path, pass.regionline),
                pass.losttail ? "the pattern region that starts here has no end directive, so the rest of the "
                                "document would be lost"
                              : "the pattern region that starts here has no end directive"};
    case passstatus::complete:
        break;
    }
    if (report.sinkfailed.failed()) return report.sinkfailed;
    if (place == nullptr || !report.replaces(current.settings)) return {};
    if (place->error != 0)
        return {doc.path, "cannot create a file in " + place->directory + ": " + describe(place->error)};
    if (int error = checkwritable(doc.path, doc.before)) return {doc.path, "cannot write: " + describe(error)};
    if (current.settings.strict && doc.before.links > 1)
        return {doc.path,
                hardlinks(doc.before) + "; only this name would get the new text, the others would keep the old"};
    return {};
}

// After a document was written (or a check found a run would write it).
void warnhardlinks(const document& doc) {
    if (doc.before.links > 1)
        warn(doc.path, hardlinks(doc.before) + "; only this name has the new text, the others keep the old");
}

// Replaces the document by the staged text. Returns why it could not.
std::string commit(stagingfile& staging, const std::string& target, const filestatus& before) {
    filestatus now;
    if (statpath(target, now) != 0 || now.changedsince(before))
        return "it changed while it was being processed";
    if (int error = staging.copymetadata(before))
        return "cannot give the new text the document's permissions: " + describe(error);
    if (int error = staging.finish()) return "cannot write the new text: " + describe(error);
    if (int error = staging.renameto(target)) return "cannot replace it: " + describe(error);
    return {};
}

// Keeps a complete new text that could not replace its document, under
// skelvane.tmp when no file has that name, otherwise beside the document.
std::string leavetext(stagingfile& staging) {
    int error = staging.keepas(stagingname);
    if (error == 0) return std::string("the new text is in ") + stagingname;
    std::string kept;
    if (staging.keep(kept) == 0)
        return "the new text is in " + kept + (error == EEXIST ? " (skelvane.tmp exists already)" : "");
    return "the new text could not be kept";
}

// --stdout: the new text goes to standard output; the document stays.
int printdocument(run& current, document& doc) {
    // Reading a file while its own new text is appended to it would not end.
    if (isstandardoutput(doc.before.id))
        return fail(current, {doc.path, "it is standard output as well, which its new text would be added to; "
                                        "left unchanged"});
    filesink& out = standardoutput();
    patternfiles inserter = inserterfor(current, doc);
    const passreport report(runpass(doc, out, inserter, outputstyle(current.settings)));
    if (out.flush() != 0) return outputlost;
    failure failed = judge(current, doc, inserter, report, "cannot write to standard output", nullptr);
    return failed.failed() ? fail(current, failed) : documentdone;
}

// --check and --diff: nothing is written, and the verdict is the run's.
// The pass goes to the end of the document whatever differs, so that
// everything a run would meet, and warn about, is met. --diff holds its
// difference until the verdict is known, so a document that would fail
// shows none.
int checkdocument(run& current, document& doc) {
    inputfile original;
    std::string target;
    int error = openoriginal(doc, original);
    if (error == 0) error = resolvepath(doc.path, target);
    if (error != 0) return fail(current, {doc.path, describe(error)});
    const placement place{directoryof(target), checkcancreate(directoryof(target))};
    reportleftovers(current, place.directory);

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
    failure failed = judge(current, doc, inserter, report, "cannot make the difference", &place);
    if (failed.failed()) return fail(current, failed);
    if (report.replaces(current.settings)) warnhardlinks(doc);
    if (!report.changes) return documentdone;
    std::printf("would update %s\n", doc.path.c_str());
    if (!diff) return documentwouldchange;
    if (standardoutputerror() != 0) return outputlost;
    filesink& out = standardoutput();
    int spoolerror = held.replay(out);
    if (out.flush() != 0) return outputlost;
    if (spoolerror != 0) return fail(current, {doc.path, "cannot make the difference: " + describe(spoolerror)});
    return documentwouldchange;
}

// A run: the new text goes into a staging file beside the document, which
// then takes the document's place.
int rewritedocument(run& current, document& doc) {
    std::string target;
    if (int error = resolvepath(doc.path, target)) return fail(current, {doc.path, describe(error)});
    placement place{directoryof(target)};
    reportleftovers(current, place.directory);
    stagingfile staging;
    // Without a new file beside the document there is no safe way to
    // replace it; the text is still made, in the current directory, so that
    // the user gets it in skelvane.tmp.
    place.error = staging.create(place.directory);
    if (place.error != 0 && staging.create(".") != 0)
        return fail(current, {doc.path, "cannot create a file in " + place.directory + ": " +
                                            describe(place.error) + "; left unchanged"});
    doc.excluded.push_back(staging.id());

    // With --if-changed the new text is compared with the old as it is made.
    inputfile original;
    std::optional<comparingsink> compare;
    if (current.settings.ifchanged && openoriginal(doc, original) == 0) compare.emplace(original, &staging);
    patternfiles inserter = inserterfor(current, doc);
    passreport report(runpass(doc, compare ? static_cast<bytesink&>(*compare) : staging, inserter,
                              outputstyle(current.settings)));
    if (report.pass.status == passstatus::complete && compare) report.changes = !compare->same();
    failure failed = judge(current, doc, inserter, report, "cannot write the new text", &place);
    if (!failed.failed() && !report.changes) {
        staging.discard();
        showunchanged(current.settings, doc.path);
        return documentdone;
    }
    if (!failed.failed()) {
        doc.in.letreplace();
        original.letreplace();
        failed = {doc.path, commit(staging, target, doc.before)};
    }
    if (failed.failed()) {
        // A whole new text, even one of a region without an end, is kept.
        const bool whole = report.pass.status == passstatus::complete || report.pass.status == passstatus::unclosed;
        failed.reason += whole ? "; left unchanged, " + leavetext(staging) : "; left unchanged";
        return fail(current, failed);
    }
    warnhardlinks(doc);
    return documentdone;
}

}  // namespace

int dofile(run& current, const char* name) {
    showopening(current.settings, name);
    document doc{name};
    if (int error = opendocument(doc)) return fail(current, {doc.path, describe(error)});

    // skelvane.tmp may hold a text a failed run kept: never a document, never
    // a pattern, never replaced, never removed.
    filestatus leftover;
    if (statpath(stagingname, leftover, false) == 0) {
        if (leftover.id == doc.before.id && !current.settings.tostdout)
            return fail(current, {doc.path, "this is the staging file skelvane.tmp; left unchanged"});
        doc.excluded.push_back(leftover.id);
    }
    if (current.settings.tostdout) return printdocument(current, doc);
    if (current.settings.checking()) return checkdocument(current, doc);
    return rewritedocument(current, doc);
}

}  // namespace skelvane

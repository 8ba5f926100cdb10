#include "rewrite.h"

#include "compare.h"
#include "diffsink.h"
#include "directive.h"
#include "lineends.h"
#include "messages.h"
#include "osfile.h"
#include "pattern.h"
#include "pieces.h"
#include "settings.h"
#include "spool.h"
#include "unidiff.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace skelvane {

namespace {

// Directories already looked at for what killed runs left, in this run.
std::set<std::string> lookeddirectories;

void reportleftovers(const std::string& directory) {
    if (!lookeddirectories.insert(directory).second) return;
    for (const std::string& name : findleftovers(directory))
        warn(name, "left behind by a skelvane run that was stopped while it replaced a document; it may hold "
                   "that document's new text, and skelvane never removes it");
}

// Opens and locks the document. Runs over the same document take turns
// this way; the name is checked once the lock is held, because the run
// that held it before may have replaced the file.
int opendocument(const std::string& path, inputfile& fin, filestatus& status) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int error = fin.open(path);
        if (error == 0) error = fin.lock();
        if (error == 0) status = fin.status();
        filestatus byname;
        if (error == 0) error = statpath(path, byname);
        if (error != 0) return error;
        if (byname.id == status.id) return 0;
    }
    return EAGAIN;
}

// Why a document cannot be done, and what the reason is about.
struct failure {
    std::string subject;
    std::string reason;
    bool failed() const { return !reason.empty(); }
};

// The ways a pass fails a document, worded alike in every mode; writing
// says what the sink was for.
failure passfailure(const std::string& path, const passresult& pass, const patternfiles& inserter,
                    const char* writing) {
    switch (pass.status) {
    case passstatus::readfailed:
        return {path, "cannot read: " + describe(pass.error)};
    case passstatus::writefailed:
        return {path, std::string(writing) + ": " + describe(pass.error)};
    case passstatus::insertfailed:
        return {inserter.failuresubject(), inserter.failure()};
    case passstatus::unclosed:
        return {fileline(path, pass.regionline),
                pass.losttail ? "the pattern region that starts here has no end directive, so the rest of the "
                                "document would be lost"
                              : "the pattern region that starts here has no end directive"};
    case passstatus::complete:
        break;
    }
    return {};
}

std::string hardlinks(const filestatus& before) { return "has " + std::to_string(before.links) + " hard links"; }

// Why a run could not put a new text in place of the document, asked
// before it does and by --check and --diff, which must reach the same
// verdict.
std::string replaceproblem(const std::string& path, const filestatus& before) {
    if (int error = checkwritable(path, before)) return "cannot write: " + describe(error);
    if (settings.strict && before.links > 1)
        return hardlinks(before) + "; only this name would get the new text, the others would keep the old";
    return {};
}

// After a document was written (or a check found a run would write it).
void warnhardlinks(const std::string& path, const filestatus& before) {
    if (before.links > 1)
        warn(path, hardlinks(before) + "; only this name has the new text, the others keep the old");
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

// The style --eol gives the whole output document, asis for none.
lineendstyle outputstyle() {
    if (textmodefiles) return lineendstyle::asis;
    if (settings.eol == eolmode::lf) return lineendstyle::lf;
    if (settings.eol == eolmode::crlf) return lineendstyle::crlf;
    return lineendstyle::asis;
}

// The line ends inserted text gets: with --eol=keep, the document's own.
lineendstyle patternstyle(const std::string& path) {
    return settings.eol == eolmode::keep && !textmodefiles ? firstlineend(path) : lineendstyle::asis;
}

// The directive pass, with the line ends --eol asks for unless the sink
// converts them itself.
passresult runpass(inputfile& fin, bytesink& out, patternfiles& inserter, bool sinkconverts = false) {
    piecereader reader(fin);
    if (outputstyle() == lineendstyle::asis || sinkconverts) return processfile(reader, out, inserter);
    lineendsink converted(out, outputstyle());
    passresult pass = processfile(reader, converted, inserter);
    converted.finish();
    if ((pass.status == passstatus::complete || pass.status == passstatus::unclosed) && converted.error() != 0) {
        pass.status = passstatus::writefailed;
        pass.error = converted.error();
    }
    return pass;
}

// Opens the document a second time, to compare the new text with it.
int openoriginal(const std::string& path, const filestatus& before, inputfile& original) {
    int error = original.open(path);
    if (error == 0 && !(original.status().id == before.id)) error = EAGAIN;
    return error;
}

// --check and --diff: nothing is written, and the verdict is the run's:
// 1 when a run would change the document, 0 when it would leave the same
// text, -1 (with the run's reason) when a run would fail. The pass goes to
// the end of the document whatever differs, so that everything a run
// would meet, and warn about, is met. --diff holds its difference until
// the verdict is known, so a document that would fail shows none.
int checkdocument(const std::string& path, inputfile& fin, const filestatus& before,
                  const std::vector<fileid>& unreadable) {
    inputfile original;
    if (int error = openoriginal(path, before, original)) return faildocument(path, describe(error));
    std::string target;
    if (int error = resolvepath(path, target)) return faildocument(path, describe(error));
    reportleftovers(directoryof(target));
    spool held;
    std::optional<unifieddiff> diff;
    std::optional<diffsink> lined;
    std::optional<comparingsink> compare;
    if (settings.diff) {
        diff.emplace(held, original, path);
        lined.emplace(*diff, original, outputstyle());
    } else {
        compare.emplace(original, nullptr);
    }
    patternfiles inserter(path, unreadable, patternstyle(path));
    passresult pass = runpass(fin, lined ? static_cast<bytesink&>(*lined) : *compare, inserter, settings.diff);
    failure failed = passfailure(path, pass, inserter, "cannot make the difference");
    if (!failed.failed() && lined)
        if (int error = lined->finish()) failed = {path, "cannot make the difference: " + describe(error)};
    // A document that cannot be read to the end is no difference.
    if (!failed.failed() && compare && compare->readerror() != 0)
        failed = {path, "cannot read: " + describe(compare->readerror())};
    if (failed.failed()) return faildocument(failed.subject, failed.reason);

    const bool changed = diff ? diff->changed() : !compare->same();
    if (changed || !settings.ifchanged) {
        std::string problem;
        if (int error = checkcancreate(directoryof(target))) {
            problem = "cannot create a file in " + directoryof(target) + ": " + describe(error);
        } else {
            problem = replaceproblem(path, before);
        }
        if (!problem.empty()) return faildocument(path, problem);
        warnhardlinks(path, before);
    }
    if (!changed) return 0;
    std::printf("would update %s\n", path.c_str());
    if (!diff) return 1;
    if (standardoutputerror() != 0) return outputlost;
    filesink& out = standardoutput();
    int spoolerror = held.replay(out);
    if (out.flush() != 0) return outputlost;
    if (spoolerror != 0) return faildocument(path, "cannot make the difference: " + describe(spoolerror));
    return 1;
}

// --stdout: the new text goes to standard output; the document stays.
int printdocument(const std::string& path, inputfile& fin, const filestatus& before,
                  const std::vector<fileid>& unreadable) {
    // Reading a file while its own new text is appended to it would not end.
    if (isstandardoutput(before.id))
        return faildocument(path, "it is standard output as well, which its new text would be added to; "
                                  "left unchanged");
    filesink& out = standardoutput();
    patternfiles inserter(path, unreadable, patternstyle(path));
    passresult pass = runpass(fin, out, inserter);
    if (out.flush() != 0) return outputlost;
    failure failed = passfailure(path, pass, inserter, "cannot write to standard output");
    if (failed.failed()) return faildocument(failed.subject, failed.reason);
    return 0;
}

// A run: the new text goes into a staging file beside the document, which
// then takes the document's place.
int rewritedocument(const std::string& path, inputfile& fin, const filestatus& before,
                    std::vector<fileid> unreadable) {
    std::string target;
    if (int error = resolvepath(path, target)) return faildocument(path, describe(error));
    const std::string directory = directoryof(target);
    reportleftovers(directory);
    stagingfile staging;
    // Without a new file beside the document there is no safe way to
    // replace it; the text is still made, in the current directory, so that
    // the user gets it in skelvane.tmp.
    int unwritabledirectory = staging.create(directory);
    const std::string cannotcreate = "cannot create a file in " + directory + ": " + describe(unwritabledirectory);
    if (unwritabledirectory != 0 && staging.create(".") != 0)
        return faildocument(path, cannotcreate + "; left unchanged");
    unreadable.push_back(staging.id());

    // With --if-changed the new text is compared with the old as it is made.
    inputfile original;
    std::optional<comparingsink> compare;
    if (settings.ifchanged && openoriginal(path, before, original) == 0) compare.emplace(original, &staging);
    patternfiles inserter(path, unreadable, patternstyle(path));
    passresult pass = runpass(fin, compare ? static_cast<bytesink&>(*compare) : staging, inserter);
    failure failed = passfailure(path, pass, inserter, "cannot write the new text");
    if (failed.failed()) {
        // A region without an end still gives a whole text, worth keeping.
        if (pass.status == passstatus::unclosed)
            return faildocument(failed.subject, failed.reason + "; left unchanged, " + leavetext(staging));
        return faildocument(failed.subject, failed.reason + "; left unchanged");
    }
    if (compare && compare->same()) {
        staging.discard();
        showunchanged(path);
        return 0;
    }
    std::string problem = unwritabledirectory != 0 ? cannotcreate : replaceproblem(path, before);
    if (problem.empty()) {
        fin.letreplace();
        original.letreplace();
        problem = commit(staging, target, before);
    }
    if (!problem.empty()) return faildocument(path, problem + "; left unchanged, " + leavetext(staging));
    warnhardlinks(path, before);
    return 0;
}

}  // namespace

int dofile(const char* name) {
    showopening(name);
    const std::string path(name);
    inputfile fin;
    filestatus before;
    if (int error = opendocument(path, fin, before)) return faildocument(path, describe(error));

    // skelvane.tmp may hold a text a failed run kept: never a document, never
    // a pattern, never replaced, never removed.
    std::vector<fileid> unreadable;
    filestatus leftover;
    if (statpath(stagingname, leftover, false) == 0) {
        if (leftover.id == before.id && !settings.tostdout)
            return faildocument(path, "this is the staging file skelvane.tmp; left unchanged");
        unreadable.push_back(leftover.id);
    }
    if (settings.tostdout) return printdocument(path, fin, before, unreadable);
    if (settings.check) return checkdocument(path, fin, before, unreadable);
    return rewritedocument(path, fin, before, unreadable);
}

}  // namespace skelvane

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
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace skelvane {

namespace {

// Directories already cleared of stale staging files in this run.
std::set<std::string> sweptdirectories;

void sweeponce(const std::string& directory) {
    if (sweptdirectories.insert(directory).second) sweepstale(directory);
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

// Replaces the document by the staged text. Returns why it could not.
std::string commit(stagingfile& staging, const std::string& target, const filestatus& before) {
    // Renaming needs no write permission on the document itself, but a user
    // who made a document read-only wants it left alone.
    if (int error = checkwritable(target)) return "cannot write: " + describe(error);
    filestatus now;
    if (statpath(target, now) != 0 || now.changedsince(before))
        return "it changed while it was being processed";
    if (int error = staging.copymetadata(before))
        return "cannot give the new text the document's permissions: " + describe(error);
    if (int error = staging.finish()) return "cannot write the new text: " + describe(error);
    if (int error = staging.renameto(target)) return "cannot replace it: " + describe(error);
    return {};
}

// Keeps a complete new text that could not replace its document.
std::string leavetext(stagingfile& staging) {
    if (staging.leaveas(stagingname) == 0) return std::string("the new text is in ") + stagingname;
    std::string kept;
    if (staging.keep(kept) == 0) return "the new text is in " + kept;
    return "the new text could not be kept";
}

// The style --eol gives the whole output document, asis for none.
lineendstyle outputstyle() {
    if (textmodefiles) return lineendstyle::asis;
    if (settings.eol == eolmode::lf) return lineendstyle::lf;
    if (settings.eol == eolmode::crlf) return lineendstyle::crlf;
    return lineendstyle::asis;
}

// The directive pass, with the line ends --eol asks for unless the sink
// converts them itself.
passresult runpass(const std::string& path, inputfile& fin, bytesink& out, const std::vector<fileid>& unreadable,
                   std::unique_ptr<patternfiles>& inserter, bool sinkconverts = false) {
    lineendstyle patternstyle =
        settings.eol == eolmode::keep && !textmodefiles ? firstlineend(path) : lineendstyle::asis;
    inserter = std::make_unique<patternfiles>(path, unreadable, patternstyle);
    piecereader reader(fin);
    if (outputstyle() == lineendstyle::asis || sinkconverts) return processfile(reader, out, *inserter);
    lineendsink converted(out, outputstyle());
    passresult pass = processfile(reader, converted, *inserter);
    converted.finish();
    if (pass.status == passstatus::complete || pass.status == passstatus::unclosed) {
        if (converted.error() != 0) {
            pass.status = passstatus::writefailed;
            pass.error = converted.error();
        }
    }
    return pass;
}

// The ways a pass can fail a document, reported alike in every mode.
int failedpass(const std::string& path, const passresult& pass, const patternfiles& inserter) {
    switch (pass.status) {
    case passstatus::readfailed:
        return faildocument(path, "cannot read: " + describe(pass.error) + "; left unchanged");
    case passstatus::writefailed:
        return faildocument(path, "cannot write the new text: " + describe(pass.error) + "; left unchanged");
    case passstatus::insertfailed:
        return faildocument(inserter.failuresubject(), inserter.failure() + "; left unchanged");
    default:
        return 0;
    }
}

const char* const unclosedregion =
    "the pattern region that starts here has no end directive, so the rest of the document would be lost";

// Opens the document a second time, to compare the new text with it.
int openoriginal(const std::string& path, const filestatus& before, inputfile& original) {
    int error = original.open(path);
    if (error == 0 && !(original.status().id == before.id)) error = EAGAIN;
    return error;
}

// --diff: as checkdocument, and the change as a unified diff. The diff is
// held until the pass has succeeded, so a document that fails shows none.
int diffdocument(const std::string& path, inputfile& fin, inputfile& original,
                 const std::vector<fileid>& unreadable) {
    spool held;
    unifieddiff diff(held, original, path);
    diffsink lined(diff, original, outputstyle());
    std::unique_ptr<patternfiles> inserter;
    passresult pass = runpass(path, fin, lined, unreadable, inserter, true);
    if (pass.status == passstatus::writefailed)
        return faildocument(path, "cannot make the difference: " + describe(pass.error));
    if (failedpass(path, pass, *inserter) != 0) return -1;
    if (pass.status == passstatus::unclosed) return faildocument(fileline(path, pass.regionline), unclosedregion);
    if (int error = lined.finish()) return faildocument(path, "cannot make the difference: " + describe(error));
    if (!diff.changed()) return 0;
    std::printf("would update %s\n", path.c_str());
    std::fflush(stdout);
    filesink& out = standardoutput();
    int error = held.replay(out);
    if (error == 0) error = out.flush();
    if (error != 0) return faildocument(path, "cannot write the difference to standard output: " + describe(error));
    return 1;
}

// --check: 1 when a run would change the document, 0 when not, -1 when it
// could not be checked or a run would fail. Nothing is written.
int checkdocument(const std::string& path, inputfile& fin, const filestatus& before,
                  const std::vector<fileid>& unreadable) {
    inputfile original;
    if (int error = openoriginal(path, before, original)) return faildocument(path, describe(error));
    if (settings.diff) return diffdocument(path, fin, original, unreadable);
    comparingsink compare(original, nullptr);
    std::unique_ptr<patternfiles> inserter;
    passresult pass = runpass(path, fin, compare, unreadable, inserter);
    // A document that cannot be read to the end is no difference.
    if (compare.readerror() != 0) return faildocument(path, "cannot read: " + describe(compare.readerror()));
    bool stopped = pass.status == passstatus::writefailed && pass.error == differencefound;
    if (!stopped) {
        if (failedpass(path, pass, *inserter) != 0) return -1;
        if (pass.status == passstatus::unclosed)
            return faildocument(fileline(path, pass.regionline), unclosedregion);
    }
    if (!stopped && compare.same()) return 0;
    std::printf("would update %s\n", path.c_str());
    return 1;
}

// --stdout: the new text goes to standard output; the document stays.
int printdocument(const std::string& path, inputfile& fin, const std::vector<fileid>& unreadable) {
    filesink& out = standardoutput();
    std::unique_ptr<patternfiles> inserter;
    passresult pass = runpass(path, fin, out, unreadable, inserter);
    out.flush();
    if (pass.status == passstatus::writefailed)
        return faildocument(path, "cannot write to standard output: " + describe(pass.error));
    if (failedpass(path, pass, *inserter) != 0) return -1;
    if (out.error() != 0) return faildocument(path, "cannot write to standard output: " + describe(out.error()));
    if (pass.status == passstatus::unclosed) return faildocument(fileline(path, pass.regionline), unclosedregion);
    return 0;
}

}  // namespace

int dofile(const char* name) {
    showopening(name);
    const std::string path(name);
    inputfile fin;
    filestatus before;
    if (int error = opendocument(path, fin, before)) return faildocument(path, describe(error));

    filestatus leftover;
    bool hasleftover = statpath(stagingname, leftover, false) == 0;
    if (hasleftover && leftover.id == before.id && !settings.tostdout)
        return faildocument(path, "this is the staging file skelvane.tmp; left unchanged");
    std::vector<fileid> unreadable;
    if (hasleftover) unreadable.push_back(leftover.id);
    if (settings.check) return checkdocument(path, fin, before, unreadable);
    if (settings.tostdout) return printdocument(path, fin, unreadable);

    std::string target;
    if (int error = resolvepath(path, target)) return faildocument(path, describe(error));
    const std::string directory = directoryof(target);
    sweeponce(directory);
    stagingfile staging;
    // Without a new file beside the document there is no safe way to
    // replace it; the text is still made, in the current directory, so that
    // the user gets it in skelvane.tmp.
    int unwritabledirectory = staging.create(directory);
    if (unwritabledirectory != 0) {
        sweeponce(".");
        if (staging.create(".") != 0)
            return faildocument(path, "cannot create a file in " + directory + ": " +
                                          describe(unwritabledirectory) + "; left unchanged");
    }
    unreadable.push_back(staging.id());

    // With --if-changed the new text is compared with the old as it is made.
    inputfile original;
    std::optional<comparingsink> compare;
    if (settings.ifchanged && openoriginal(path, before, original) == 0) compare.emplace(original, &staging);
    std::unique_ptr<patternfiles> inserter;
    passresult pass = runpass(path, fin, compare ? static_cast<bytesink&>(*compare) : staging, unreadable, inserter);
    if (failedpass(path, pass, *inserter) != 0) return -1;
    const bool unchanged = pass.status == passstatus::complete && compare && compare->same();
    std::string subject = path;
    std::string problem;
    if (pass.status == passstatus::unclosed) {
        subject = fileline(path, pass.regionline);
        problem = unclosedregion;
    } else if (unchanged) {
        staging.discard();
        showunchanged(path);
    } else if (unwritabledirectory != 0) {
        problem = "cannot create a file in " + directory + ": " + describe(unwritabledirectory);
    } else {
        fin.letreplace();
        original.letreplace();
        problem = commit(staging, target, before);
    }
    if (!problem.empty())
        return faildocument(subject, problem + "; left unchanged, " + leavetext(staging));

    if (before.links > 1 && !unchanged)
        warn(path, "has " + std::to_string(before.links) +
                       " hard links; only this name has the new text, the others keep the old");
    // A leftover skelvane.tmp goes once the document it may stand for is
    // safe. One that appears meanwhile belongs to a run failing at the same
    // time and stays.
    int removed = hasleftover ? removefile(stagingname) : 0;
    if (removed != 0 && removed != ENOENT)
        warn(stagingname, "cannot remove it: " + describe(removed));
    return 0;
}

}  // namespace skelvane

#include "rewrite.h"

#include "directive.h"
#include "messages.h"
#include "osfile.h"
#include "pattern.h"
#include "pieces.h"

#include <cerrno>
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

}  // namespace

int dofile(const char* name) {
    showopening(name);
    const std::string path(name);
    inputfile fin;
    filestatus before;
    if (int error = opendocument(path, fin, before)) return faildocument(path, describe(error));

    filestatus leftover;
    bool hasleftover = statpath(stagingname, leftover, false) == 0;
    if (hasleftover && leftover.id == before.id)
        return faildocument(path, "this is the staging file skelvane.tmp; left unchanged");

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

    std::vector<fileid> unreadable{staging.id()};
    if (hasleftover) unreadable.push_back(leftover.id);
    patternfiles inserter(path, unreadable);
    piecereader reader(fin);
    passresult pass = processfile(reader, staging, inserter);
    std::string subject = path;
    std::string problem;
    switch (pass.status) {
    case passstatus::readfailed:
        return faildocument(path, "cannot read: " + describe(pass.error) + "; left unchanged");
    case passstatus::writefailed:
        return faildocument(path, "cannot write the new text: " + describe(pass.error) +
                                      "; left unchanged");
    case passstatus::insertfailed:
        return faildocument(path, inserter.failure() + "; left unchanged");
    case passstatus::unclosed:
        subject = fileline(path, pass.regionline);
        problem = "the pattern region that starts here has no end directive, so the rest of "
                  "the document would be lost";
        break;
    case passstatus::complete:
        if (unwritabledirectory != 0)
            problem = "cannot create a file in " + directory + ": " + describe(unwritabledirectory);
        else
            problem = commit(staging, target, before);
        break;
    }
    if (!problem.empty())
        return faildocument(subject, problem + "; left unchanged, " + leavetext(staging));

    if (before.links > 1)
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

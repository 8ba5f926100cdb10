// The in-place rewrite of one document, and the modes that only look.
//
// dofile() runs the directive pass from the document into a new staging
// file beside it, which then, with the others of its batch (see batch.h),
// is renamed over the document, so that the document holds either its
// complete old text or its complete new text at every moment, whatever
// fails and whenever the process dies. With --check or --diff nothing is
// written and the document gets the verdict a run would give it; with
// --stdout the new text goes to standard output.
#ifndef SKELVANE_REWRITE_H
#define SKELVANE_REWRITE_H

#include "run.h"

namespace skelvane {

// What became of a document.
enum class outcome {
    // Rewritten; with --check or --diff: up to date; with --stdout: written out.
    done,
    // --check or --diff only: a run would change the document.
    wouldchange,
    // "File error." was printed, and the reason on standard error: for this
    // document, or for one before it that was still waiting to be put in place.
    failed,
    // Standard output could not be written (standardoutputerror() says
    // why), and nothing was said about it yet.
    outputlost,
    // --watch only: another program has the document open for writing, or
    // opened it while it was processed; it is left for a later pass.
    busy,
};

outcome dofile(run& current, const char* path);
// After the last document: puts what waits in place and makes it durable;
// done, or failed when that failed.
outcome finishdocuments(run& current);

}  // namespace skelvane

#endif

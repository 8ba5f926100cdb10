// The in-place rewrite of one document, and the modes that only look.
//
// dofile() runs the directive pass from the document into a new staging
// file beside it, then renames that file over the document, so that the
// document holds either its complete old text or its complete new text at
// every moment, whatever fails and whenever the process dies. With --check
// or --diff nothing is written and the document gets the verdict a run
// would give it; with --stdout the new text goes to standard output.
//
// "skelvane.tmp" in the current directory is where a failure keeps a new
// text that was complete but could not replace the document, when no file
// of that name exists yet. No run ever replaces or removes it.
#ifndef SKELVANE_REWRITE_H
#define SKELVANE_REWRITE_H

#include "run.h"

namespace skelvane {

inline constexpr char stagingname[] = "skelvane.tmp";

// The results of dofile().
// Rewritten; with --check or --diff: up to date; with --stdout: written out.
inline constexpr int documentdone = 0;
// --check or --diff only: a run would change the document.
inline constexpr int documentwouldchange = 1;
// "File error." was printed, and the reason on standard error.
inline constexpr int documentfailed = -1;
// Standard output could not be written, and nothing was said about it yet.
inline constexpr int outputlost = -2;

int dofile(run& current, const char* path);

}  // namespace skelvane

#endif

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

namespace skelvane {

inline constexpr char stagingname[] = "skelvane.tmp";

// A result of dofile() besides 0, 1 and -1: standard output could not be
// written, and nothing was said about it yet.
inline constexpr int outputlost = -2;

// 0 when the document was rewritten (with --check or --diff: is up to
// date; with --stdout: was written out); 1 with --check or --diff when a
// run would change it; -1 after "File error." was printed, with the reason
// on standard error; outputlost.
int dofile(const char* path);

}  // namespace skelvane

#endif

// The in-place rewrite of one document.
//
// dofile() runs the directive pass from the document into a new staging
// file beside it, then renames that file over the document, so that the
// document holds either its complete old text or its complete new text at
// every moment, whatever fails and whenever the process dies.
//
// "skelvane.tmp" in the current directory is what a failure leaves behind:
// when the new text was complete but could not replace the document, it is
// kept there. After each successful rewrite no "skelvane.tmp" remains.
//
// Result: 0 when the document was rewritten; -1 after "File error." was
// printed, with the reason on standard error.
#ifndef SKELVANE_REWRITE_H
#define SKELVANE_REWRITE_H

namespace skelvane {

inline constexpr char stagingname[] = "skelvane.tmp";

int dofile(const char* path);

}  // namespace skelvane

#endif

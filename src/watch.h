// --watch: keeps documents in sync while their files are edited.
//
// A first pass processes every document, as a run does, except that a
// failed document does not end it. Then, whenever a file that a document
// read changes (one of its pattern files, named ones that did not exist
// yet included, or the document itself), the documents affected are
// processed again, in command-line order, each with the safety of any run.
// A document is affected when a file it read is no longer in the state it
// read it in, so that the program's own rewrites change nothing by
// themselves, while a page that another page includes carries its change
// on to that page. A changed file is read once it has been still for a
// short moment, so that a save under way is not read half made.
#ifndef SKELVANE_WATCH_H
#define SKELVANE_WATCH_H

#include "run.h"

#include <string>
#include <vector>

namespace skelvane {

// Runs until a stop signal; 0 when the last pass over every document
// succeeded, 1 otherwise (also when standard output was lost).
int watchdocuments(run& current, const std::vector<std::string>& names);

}  // namespace skelvane

#endif

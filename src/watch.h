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
// short moment, so that a save under way is not read half made. A folder
// stands for the pages under it, those made later too; a page found there
// that is deleted leaves the watch.
//
// Inside (watchparts.h), one part per job, each holding only its own:
// - filetable, file identity: every followed file in a slot, by the
//   directory entry it is and by the file (device, inode) it was last read
//   as; a document is one of them, by its own name.
// - directorywatch, folders: the directories watched, each as long as
//   something needs it (reference counts), with the ones above them, whose
//   changes may put another folder under a watched name; polled where the
//   system gives no notification.
// - followedfiles, links: the followed files by folder and name, a link
//   also where it leads; turns a notification into the files it stirs.
// - pagefolders: the folders named to the watch and those below them, each
//   walked once by identity; a change in one may bring a page, which then
//   joins as a document and has a first pass of its own once it is still.
// - quiettime: a stirred file is looked at until it has been still for a
//   moment (a document however long that takes), and is then due.
// - readergraph: which documents read which files, as they read them, and
//   what each document's last rewrite by this process left; a due file
//   affects the documents that read it otherwise, unless following it
//   would make a cycle of documents rewrite each other for ever.
// - passes: the affected documents processed in command-line order, a busy
//   one left for a later pass, the batch's commit records read; all it does
//   to the run goes through passrun (begin a pass, observe a document's
//   reads, end the pass), and it reports back through passobserver.
// watch.cpp holds filewatch (filetable, followedfiles and quiettime
// together: a file from its name to its rest) and the watcher, which wires
// a change to a pass and holds the documents.
// A change flows: notification (or poll) -> followedfiles: files stirred
// (and pagefolders: pages joined) -> quiettime: files due, with their state
// -> readergraph: documents affected (a page found in a folder that is
// gone leaves here) -> passes -> what each document read and what became
// of it, back into the reader graph and the file table.
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

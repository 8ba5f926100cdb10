// Everything the program says while it works.
//
// Standard output carries exactly the progress lines and the one error line
// that scripts compare byte for byte; the reasons behind them, and warnings,
// go to standard error as "skelvane: SUBJECT: REASON" so stdout stays exact.
#ifndef SKELVANE_MESSAGES_H
#define SKELVANE_MESSAGES_H

#include "failure.h"
#include "settings.h"
#include "spool.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace skelvane {

// The progress lines of -v, on stdout unless it carries the new texts or
// a check's report (then on stderr).
void showopening(const runsettings& settings, const char* path);
void showincluding(const runsettings& settings, std::string_view name);
// With --if-changed, for a document left as it was.
void showunchanged(const runsettings& settings, std::string_view path);
// --watch: a document put in place by a pass after the first.
void showupdated(std::string_view path);

// Prints "File error." where the progress lines go, and the reason on
// stderr.
void faildocument(const runsettings& settings, const failure& why);

void reportproblem(std::string_view subject, std::string_view reason);
// The same line on standard output, for when standard error is lost.
void reportonstdout(std::string_view subject, std::string_view reason);
void warn(std::string_view subject, std::string_view reason);
// "skelvane: TEXT", for what concerns the command line as a whole.
void complain(std::string_view text);

// What the run says while the new texts of a batch of documents wait to be
// put in place is held here, and said in order as each document is put in
// place, so that the output is that of a run that does one document after
// the other: a run that stops at one of them says nothing of the documents
// after it. Held text beyond a small size waits in a temporary file. One
// holds at a time: the batch (batch.h) is its one user, and calls it so:
//   - a document joins the batch: mark = hold(); what was said of it ends
//     at the mark, and what is said from then on is held;
//   - the batch is put in place: stopholding() first, then for each
//     document sayupto(its mark) before it is put in place, so that what
//     is said of it then follows what was said before;
//   - after the last: sayall(), or drop() when the run stops at one.
class heldoutput {
public:
    heldoutput() = default;
    heldoutput(const heldoutput&) = delete;
    heldoutput& operator=(const heldoutput&) = delete;
    ~heldoutput();

    // Holds what is said from now on; where what is held now ends.
    std::uint64_t hold();
    // What is said from now on is said at once.
    void stopholding();
    // Says what is held, in order, up to a mark.
    void sayupto(std::uint64_t mark);
    void sayall() { sayupto(records_.size()); }
    // Forgets what is held and not yet said, and holds nothing more.
    void drop();

private:
    // Each record is its stream ('o' or 'e'), its length in four bytes,
    // and its text.
    void keep(std::FILE* stream, std::string_view text);
    friend void say(std::FILE* stream, std::string_view text);

    spool records_;
    std::uint64_t said_ = 0;  // where the records not yet said begin
};

// Flushes standard output (the printed lines, and the sink that --stdout
// and --diff write through); the first error it ever gave, 0 for none.
// Standard output belongs to the process, and so does its first error.
int standardoutputerror();
// The first error a message written to standard error gave, 0 for none.
int standarderrorerror();

// A name as a terminal can show it: in C-style quotes, bytes that are not
// printable ASCII as octal escapes, when it holds a control byte (CR, LF,
// ESC...), which would otherwise act on the terminal; with blanks, also
// when it holds a blank, a double quote or a backslash, as diff's header
// lines quote names.
std::string quotename(std::string_view name, bool blanks = false);

// "NAME:LINE", the subject of a message about one line of a file.
std::string fileline(std::string_view name, long line);

}  // namespace skelvane

#endif

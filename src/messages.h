// Everything the program says while it works.
//
// Standard output carries exactly the progress lines and the one error line
// that scripts compare byte for byte; the reasons behind them, and warnings,
// go to standard error as "skelvane: SUBJECT: REASON" so stdout stays exact.
#ifndef SKELVANE_MESSAGES_H
#define SKELVANE_MESSAGES_H

#include <string>
#include <string_view>

namespace skelvane {

// Set to 1 by -v or --verbose, never cleared; adds the progress lines, which
// go to stderr with --stdout, --check and --diff.
extern int verbose;

void showopening(const char* path);
void showincluding(std::string_view name);
// With --if-changed, for a document left as it was.
void showunchanged(std::string_view path);

// Prints "File error." on stdout (on stderr with --check, --diff or
// --stdout, whose stdout is for other things) and the reason on stderr. Returns -1, the
// result of a failed document.
int faildocument(std::string_view path, std::string_view reason);

void reportproblem(std::string_view subject, std::string_view reason);
void warn(std::string_view subject, std::string_view reason);
// "skelvane: TEXT", for what concerns the command line as a whole.
void complain(std::string_view text);

// Flushes standard output (the printed lines, and the sink that --stdout
// and --diff write through); the first error it ever gave, 0 for none.
int standardoutputerror();

// "NAME:LINE", the subject of a message about one line of a file.
std::string fileline(std::string_view name, long line);

}  // namespace skelvane

#endif

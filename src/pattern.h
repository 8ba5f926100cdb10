// Pattern insertion: opens the file that a start directive names and copies
// its text, whole and unchanged, followed by one line end.
//
// A directive that names no file, or a file that cannot be opened, is not
// a regular file, or is one of the run's own staging files, inserts nothing
// and draws a warning; the pass then goes on as if the line were plain text.
// A pattern that fails while it is being read fails the document instead,
// since half a pattern must never reach it; failure() then says why. With
// --strict, everything that draws a warning fails the document as well.
#ifndef SKELVANE_PATTERN_H
#define SKELVANE_PATTERN_H

#include "directive.h"
#include "lineends.h"
#include "osfile.h"
#include "pieces.h"

#include <string>
#include <string_view>
#include <vector>

namespace skelvane {

class patternfiles : public patterninserter {
public:
    // document: the name for messages; unreadable: files that must never be
    // inserted (the staging files, which may hold this very output).
    // style: the line ends that inserted text is given (asis: its own).
    patternfiles(std::string_view document, std::vector<fileid> unreadable,
                 lineendstyle style = lineendstyle::asis);

    insertresult insertpattern(std::string_view rest, long line, bytesink& out) override;
    bool directiveproblem(long line, std::string_view problem) override;
    // Why the document failed, and the file and line it is about.
    const std::string& failure() const { return failure_; }
    const std::string& failuresubject() const { return failuresubject_; }

private:
    // Copies the open pattern, included at where; also into text, when given.
    void copy(const std::string& name, const std::string& where, bytesink& out, bool checklines,
              std::string* text);
    // A warning, or with --strict the document's failure: true then.
    bool problem(const std::string& subject, const std::string& text);

    std::string document_;
    std::vector<fileid> unreadable_;
    inputfile fpat_;
    piecereader reader_;
    std::string failure_;
    std::string failuresubject_;
    lineendconverter converter_;
};

}  // namespace skelvane

#endif

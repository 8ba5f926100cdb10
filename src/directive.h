// The directive pass: copies a document piece by piece, replacing each
// pattern region with the current text of its pattern file.
//
// A start directive is a piece whose first character that is neither a
// space nor a tab begins "<!--#pattern" (any letter case, only those 12
// characters compared); an end directive likewise begins "<!--#endpattern".
// The start directive names its pattern file in its first file="..." after
// the keyword. Keyword tests and the name search stop at the first NUL byte
// of a piece, as C string functions would; the bytes after it are still
// copied.
//
// Calling sequence: processfile() reads a piecereader and writes a bytesink,
// calling patterninserter::insertpattern() for every start directive. Its
// result says whether the pass reached the end of the document cleanly.
#ifndef SKELVANE_DIRECTIVE_H
#define SKELVANE_DIRECTIVE_H

#include "bytestream.h"
#include "pieces.h"

#include <optional>
#include <string_view>

namespace skelvane {

inline constexpr std::string_view startkeyword = "<!--#pattern";
inline constexpr std::string_view endkeyword = "<!--#endpattern";
inline constexpr std::string_view fileattribute = "file=\"";
static_assert(startkeyword.starts_with(keywordstart) && endkeyword.starts_with(keywordstart));

// The part of a piece that the keyword tests see: from its first character
// that is neither a space nor a tab up to its first NUL byte.
std::string_view directivetext(std::string_view piece);
bool isstartdirective(std::string_view piece);
bool isenddirective(std::string_view piece);

// The pattern file's name in the text after the start keyword: everything
// between the first file=" and the next double quote. No name when either is
// missing; the name may be empty.
std::optional<std::string_view> getpatternname(std::string_view rest);

enum class insertresult {
    inserted,  // the pattern text and one line end were written
    skipped,   // nothing was written; the directive acts as plain text
    failed,    // the document must fail (the inserter has said why)
};

class patterninserter {
public:
    virtual ~patterninserter() = default;
    // rest: the start directive's text after the keyword; line: its line
    // number in the document, for messages; directive: its whole piece.
    virtual insertresult insertpattern(std::string_view rest, long line, bytesink& out,
                                       std::string_view directive) = 0;
    // A start directive that works but acts in a way its writer may not
    // expect. Returns true when that fails the document.
    virtual bool directiveproblem(long line, std::string_view problem) {
        (void)line;
        (void)problem;
        return false;
    }
};

enum class passstatus {
    complete,      // the whole document was copied
    readfailed,    // reading the document failed; error holds the reason
    writefailed,   // writing the output failed; error holds the reason
    insertfailed,  // an insertion failed in a way that fails the document
    unclosed,      // the document ended inside a pattern region
};

struct passresult {
    passstatus status = passstatus::complete;
    int error = 0;
    long regionline = 0;  // with unclosed: the start directive that opened it
    bool losttail = false;  // with unclosed: document text after that directive was dropped
};

passresult processfile(piecereader& fin, bytesink& fout, patterninserter& inserter);

}  // namespace skelvane

#endif

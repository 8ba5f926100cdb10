#include "directive.h"

#include <cstdint>
#include <cstring>

namespace skelvane {

namespace {

// ASCII-only case folding: the keywords are ASCII, and the locale must not
// change what counts as a directive.
char lowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool beginsnocase(std::string_view text, std::string_view keyword) {
    if (text.size() < keyword.size()) return false;
    for (std::size_t i = 0; i < keyword.size(); ++i)
        if (lowered(text[i]) != lowered(keyword[i])) return false;
    return true;
}

}  // namespace

std::string_view directivetext(std::string_view piece) {
    if (const void* nul = std::memchr(piece.data(), '\0', piece.size()))
        piece = piece.substr(0, static_cast<const char*>(nul) - piece.data());
    std::size_t first = piece.find_first_not_of(" \t");
    return first == std::string_view::npos ? std::string_view() : piece.substr(first);
}

bool isstartdirective(std::string_view piece) {
    return beginsnocase(directivetext(piece), startkeyword);
}

bool isenddirective(std::string_view piece) {
    return beginsnocase(directivetext(piece), endkeyword);
}

std::optional<std::string_view> getpatternname(std::string_view rest) {
    std::size_t attribute = rest.find(fileattribute);
    if (attribute == std::string_view::npos) return std::nullopt;
    std::size_t first = attribute + fileattribute.size();
    std::size_t quote = rest.find('"', first);
    if (quote == std::string_view::npos) return std::nullopt;
    return rest.substr(first, quote - first);
}

passresult processfile(piecereader& fin, bytesink& fout, patterninserter& inserter) {
    passresult result;
    bool skipping = false;
    std::uint64_t droppedinregion = 0;
    long line = 1;
    std::string_view piece;
    for (;;) {
        // Most of a document is plain text, copied or dropped in runs.
        std::string_view run;
        long lineends = 0;
        if (fin.plainrun(run, lineends)) {
            if (!skipping) {
                fout.write(run);
            } else {
                fout.dropped(run);
                droppedinregion += run.size();
            }
            if (fout.error() != 0) break;
            line += lineends;
            continue;
        }
        // What is left: a piece that may be a directive, or one whose end
        // was not buffered yet.
        if (!fin.next(piece)) break;
        std::string_view text = directivetext(piece);
        // The end keyword is tested before the write so that the end
        // directive itself is copied even though it closes a dropped region.
        if (beginsnocase(text, endkeyword)) skipping = false;
        if (!skipping) {
            fout.write(piece);
        } else {
            fout.dropped(piece);
            droppedinregion += piece.size();
        }
        // The start directive is written before its pattern text, which
        // therefore begins a new line only when the directive's piece ends one.
        if (beginsnocase(text, startkeyword)) {
            if ((skipping &&
                 inserter.directiveproblem(line, "start directive inside a pattern region; it is dropped, "
                                                 "but its pattern is inserted here")) ||
                (!endsline(piece) &&
                 inserter.directiveproblem(line, "start directive without a line end in its first 254 "
                                                 "characters; the pattern text continues its line"))) {
                result.status = passstatus::insertfailed;
                return result;
            }
            fout.patterntext(true);
            insertresult inserted = inserter.insertpattern(text.substr(startkeyword.size()), line, fout, piece);
            fout.patterntext(false);
            switch (inserted) {
            case insertresult::inserted:
                if (!skipping) {
                    result.regionline = line;
                    droppedinregion = 0;
                }
                skipping = true;
                break;
            case insertresult::skipped:
                break;
            case insertresult::failed:
                result.status = passstatus::insertfailed;
                return result;
            }
        }
        if (fout.error() != 0) break;
        if (endsline(piece)) ++line;
    }
    if (fout.error() != 0) {
        result.status = passstatus::writefailed;
        result.error = fout.error();
    } else if (fin.error() != 0) {
        result.status = passstatus::readfailed;
        result.error = fin.error();
    } else if (skipping) {
        result.status = passstatus::unclosed;
        result.losttail = droppedinregion > 0;
    }
    return result;
}

}  // namespace skelvane

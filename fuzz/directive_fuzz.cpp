// Fuzz target for the directive pass: it must give the same bytes,
// insertions and ending as a plain model written the way a C program with
// a 255-byte line buffer would do it; run into the --diff sink, the diff
// it makes, applied to the document, must give the new text exactly.
//
// Input: one byte that sets the largest read the source hands out (and,
// modulo 3, the line ends --diff gives the new text: as they are, LF or
// CR LF), then the document, then the texts of the pattern files "a" and
// "b", separated by lines of "=====". Any other name cannot be opened.
#include "diffsink.h"
#include "directive.h"
#include "pieces.h"
#include "unidiff.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

namespace {

using namespace skelvane;

struct outcome {
    std::string text;
    std::vector<std::string> inserted;
    bool unclosed = false;
    bool losttail = false;  // document text after the unclosed region's start was dropped
};

// The model: pieces cut like a bounded line read, tested like C strings.
outcome model(const std::string& document, const std::map<std::string, std::string>& patterns) {
    outcome result;
    bool skipping = false;
    std::size_t droppedinregion = 0;
    std::size_t position = 0;
    while (position < document.size()) {
        const std::size_t end = std::min(document.find('\n', position), document.size() - 1);
        const std::string piece = document.substr(position, std::min<std::size_t>(end - position + 1, 254));
        position += piece.size();
        const char* p = piece.c_str();  // stops at the first NUL, as C would
        while (*p == ' ' || *p == '\t') ++p;
        bool isend = strncasecmp(p, "<!--#endpattern", 15) == 0;
        bool isstart = strncasecmp(p, "<!--#pattern", 12) == 0;
        if (isend) skipping = false;
        if (!skipping) result.text += piece;
        if (skipping) droppedinregion += piece.size();
        if (!isstart) continue;
        const char* attribute = std::strstr(p + 12, "file=\"");
        if (attribute == nullptr) continue;
        const char* quote = std::strchr(attribute + 6, '"');
        if (quote == nullptr) continue;
        std::string name(attribute + 6, quote);
        auto found = patterns.find(name);
        if (found == patterns.end()) continue;
        result.text += found->second + "\n";
        result.inserted.push_back(name);
        if (!skipping) droppedinregion = 0;
        skipping = true;
    }
    result.unclosed = skipping;
    result.losttail = skipping && droppedinregion > 0;
    return result;
}

struct memorypatterns : patterninserter {
    explicit memorypatterns(const std::map<std::string, std::string>& patterns) : patterns(patterns) {}
    insertresult insertpattern(std::string_view rest, long, bytesink& out, std::string_view) override {
        std::optional<std::string_view> name = getpatternname(rest);
        auto found = name ? patterns.find(std::string(*name)) : patterns.end();
        if (found == patterns.end()) return insertresult::skipped;
        out.write(found->second + "\n");
        inserted.emplace_back(*name);
        return insertresult::inserted;
    }
    const std::map<std::string, std::string>& patterns;
    std::vector<std::string> inserted;
};

// The document's lines, each with its line end.
std::vector<std::string> splitlines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < text.size();) {
        std::size_t end = text.find('\n', from);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(from, end - from));
        from = end;
    }
    return lines;
}

// Applies a unified diff as patch would, checking every removed and kept
// line and every count; aborts on anything malformed.
std::string applydiff(const std::string& old, const std::string& diff, const std::string& name) {
    const std::string header = "--- a/" + name + "\t\n+++ b/" + name + "\t\n";
    if (diff.compare(0, header.size(), header) != 0) std::abort();
    const std::vector<std::string> from = splitlines(old);
    const std::vector<std::string> lines = splitlines(diff.substr(header.size()));
    std::string result;
    std::size_t next = 0;  // the next old line not yet used
    std::size_t at = 0;
    while (at < lines.size()) {
        unsigned long a = 0, b = 1, c = 0, d = 1;
        const char* hunk = lines[at].c_str();
        if (std::sscanf(hunk, "@@ -%lu,%lu +%lu,%lu @@", &a, &b, &c, &d) != 4) {
            b = d = 1;
            if (std::sscanf(hunk, "@@ -%lu +%lu,%lu @@", &a, &c, &d) != 3 &&
                std::sscanf(hunk, "@@ -%lu,%lu +%lu @@", &a, &b, &c) != 3 &&
                std::sscanf(hunk, "@@ -%lu +%lu @@", &a, &c) != 2)
                std::abort();
        }
        ++at;
        std::size_t first = b == 0 ? a : a - 1;  // the first old line of the hunk
        if (first < next || first > from.size()) std::abort();
        while (next < first) result += from[next++];
        unsigned long removed = 0, added = 0;
        while (at < lines.size() && lines[at][0] != '@') {
            std::string line = lines[at].substr(1);
            const char kind = lines[at][0];
            ++at;
            if (at < lines.size() && lines[at] == "\\ No newline at end of file\n") {
                line.pop_back();
                ++at;
            }
            if (kind == '+') {
                result += line;
                ++added;
                continue;
            }
            if (next >= from.size() || from[next] != line || (kind != ' ' && kind != '-')) std::abort();
            ++next;
            ++removed;
            if (kind == ' ') {
                result += line;
                ++added;
            }
        }
        if (removed != b || added != d) std::abort();
    }
    while (next < from.size()) result += from[next++];
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = data[0];  // 0: no limit
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string separator = "\n=====\n";
    std::vector<std::string> parts(3);
    for (std::size_t part = 0, from = 0, at = 0; part < 3; ++part, from = at + separator.size()) {
        at = part < 2 ? std::min(input.find(separator, from), input.size()) : input.size();
        if (from <= input.size()) parts[part] = input.substr(from, at - from);
    }
    const std::map<std::string, std::string> patterns = {{"a", parts[1]}, {"b", parts[2]}};

    stringsource source(parts[0], chunk);
    piecereader reader(source);
    stringsink sink;
    memorypatterns inserter(patterns);
    passresult result = processfile(reader, sink, inserter);

    outcome expected = model(parts[0], patterns);
    if (sink.text != expected.text || inserter.inserted != expected.inserted ||
        (result.status == passstatus::unclosed) != expected.unclosed ||
        (result.status == passstatus::unclosed && result.losttail != expected.losttail) ||
        (result.status != passstatus::unclosed && result.status != passstatus::complete))
        std::abort();

    // The pass once more, into the --diff sink.
    const lineendstyle styles[] = {lineendstyle::asis, lineendstyle::lf, lineendstyle::crlf};
    const lineendstyle style = styles[chunk % 3];
    stringsink newtext;
    lineendsink converted(newtext, style);
    converted.write(sink.text);
    converted.finish();
    stringsource again(parts[0], chunk);
    piecereader rereader(again);
    stringsource original(parts[0]);
    stringsink shown;
    unifieddiff diff(shown, original, "d");
    diffsink lined(diff, original, style);
    memorypatterns reinserter(patterns);
    processfile(rereader, lined, reinserter);
    if (lined.finish() != 0) std::abort();
    if (diff.changed() != (newtext.text != parts[0])) std::abort();
    if (diff.changed() && applydiff(parts[0], shown.text, "d") != newtext.text) std::abort();
    return 0;
}

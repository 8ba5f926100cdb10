// Fuzz target for the directive pass: it must give the same bytes,
// insertions and ending as a plain model written the way a C program with
// a 255-byte line buffer would do it, and the reader the model's pieces;
// the line ends --eol gives must follow their rule in writes of any size;
// the diff the --diff sink makes, applied to the document, must give the
// new text exactly. The tag scanner runs over each pattern text, whole and
// in reads of the same size: the same tags, each checked.
//
// Input: one byte that sets the largest read the source hands out (and,
// modulo 3, the line ends --diff gives the new text: as they are, LF or
// CR LF), then the document, then the texts of the pattern files "a" and
// "b", separated by lines of "=====". Any other name cannot be opened.
#include "diffsink.h"
#include "directive.h"
#include "htmltags.h"
#include "pieces.h"
#include "unidiff.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
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

// Pieces as a bounded line read with a 255-byte buffer cuts them: after a
// line end, after 254 bytes, or at the end.
std::vector<std::string_view> boundedlines(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (std::string_view rest = text; !rest.empty(); rest.remove_prefix(pieces.back().size())) {
        const std::string_view line = rest.substr(0, 254);
        pieces.push_back(line.substr(0, std::min(line.find('\n'), line.size() - 1) + 1));
    }
    return pieces;
}

// The model: those pieces, tested like C strings.
outcome model(const std::vector<std::string_view>& pieces, const std::map<std::string, std::string>& patterns) {
    outcome result;
    bool skipping = false;
    std::size_t droppedinregion = 0;
    for (const std::string_view line : pieces) {
        const std::string piece(line);
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

// The reader hands out those pieces, whether plain runs are taken or not;
// a run holds whole ones, none of which can be a directive, and its count
// of line ends.
void checkpieces(const std::string& document, const std::vector<std::string_view>& expected, std::size_t chunk) {
    for (bool runs : {false, true}) {
        stringsource source(document, chunk);
        piecereader reader(source);
        std::size_t index = 0;
        long lineends = 0, runlineends = 0;
        std::string_view run, piece;
        for (;;) {
            if (runs && reader.plainrun(run, runlineends)) {
                lineends += runlineends;
                for (; !run.empty(); run.remove_prefix(expected[index++].size()))
                    if (index >= expected.size() || !run.starts_with(expected[index]) ||
                        directivetext(expected[index]).starts_with(keywordstart))
                        std::abort();
                continue;
            }
            if (!reader.next(piece)) break;
            if (index >= expected.size() || piece != expected[index++]) std::abort();
            lineends += endsline(piece) ? 1 : 0;
        }
        if (index != expected.size() || lineends != std::count(document.begin(), document.end(), '\n')) std::abort();
    }
    // A read error where the text ends: the pieces but an unfinished last
    // one, which is not handed out as if it were whole; then the error.
    struct : bytesource {
        std::string_view rest;
        std::size_t readsome(char* buffer, std::size_t size) override {
            const std::size_t count = std::min(size, rest.size());
            std::copy_n(rest.begin(), count, buffer);
            rest.remove_prefix(count);
            return count;
        }
        int error() const override { return rest.empty() ? EIO : 0; }
    } failing;
    failing.rest = document;
    piecereader reader(failing);
    std::string_view piece;
    const bool unfinished = !expected.empty() && !endsline(expected.back()) && expected.back().size() < 254;
    for (std::size_t index = 0; index + unfinished < expected.size(); ++index)
        if (!reader.next(piece) || piece != expected[index]) std::abort();
    if (reader.next(piece) || reader.error() != EIO) std::abort();
}

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
    std::size_t next = 0, at = 0;  // the next old line not yet used, the next diff line
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
            const char kind = lines[at][0];
            std::string line = lines[at++].substr(1);
            if (at < lines.size() && lines[at] == "\\ No newline at end of file\n") line.pop_back(), ++at;
            if (kind != '+' && (next >= from.size() || from[next++] != line || (kind != ' ' && kind != '-')))
                std::abort();
            removed += kind != '+';
            added += kind != '-';
            if (kind != '-') result += line;
        }
        if (removed != b || added != d) std::abort();
    }
    while (next < from.size()) result += from[next++];
    return result;
}

// The line ends --eol gives, as a rule on the whole text: to LF, every run
// of CRs before an LF goes; to CR LF, every LF without a CR before it gets one.
std::string convertedlines(std::string_view text, lineendstyle style) {
    std::string out;
    for (char c : text) {
        while (c == '\n' && style == lineendstyle::lf && out.ends_with('\r')) out.pop_back();
        if (c == '\n' && style == lineendstyle::crlf && !out.ends_with('\r')) out += '\r';
        out += c;
    }
    return out;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// What html5lib's test cannot see of a reported tag (it holds the values,
// ends and edits against a tokenizer): a "/>" right after the tag name or a
// closing quote is self-closing; a tag said to end right after an '=' does
// so, blanks aside, at a '>'.
void checktag(std::string_view text, const foundtag& tag) {
    std::size_t nameend = tag.begin + 1;
    while (!blank(text[nameend]) && text[nameend] != '/' && text[nameend] != '>') ++nameend;
    const std::uint64_t slash = tag.end - 2;
    const bool quoted = tag.count > 0 && tag.values[tag.count - 1].end + 1 == slash &&
                        (text[slash - 1] == '"' || text[slash - 1] == '\'');
    if (text[slash] == '/' && (nameend == slash || quoted) && tag.closeat != slash) std::abort();
    std::uint64_t last = tag.closeat;
    while (last > nameend && blank(text[last - 1])) --last;
    if (tag.dangling && (text[tag.closeat] != '>' || text[last - 1] != '=')) std::abort();
}

bool sametag(const foundtag& a, const foundtag& b) {
    auto fields = [](const foundtag& t) {
        return std::tie(t.begin, t.end, t.closeat, t.anchor, t.ariacurrent, t.dangling, t.count);
    };
    auto value = [](const foundvalue& v) { return std::tie(v.name, v.begin, v.end); };
    for (std::uint8_t i = 0; i < a.count && i < b.count; ++i)
        if (value(a.values[i]) != value(b.values[i])) return false;
    return fields(a) == fields(b);
}

// The scanner over the text whole and in reads of chunk bytes (at least 1):
// the same tags, each checked, none before what was settled earlier.
void checktags(std::string_view text, std::size_t chunk) {
    tagscanner whole;
    std::vector<foundtag> tags;
    whole.scan(text, tags);
    tagscanner pieces;
    std::vector<foundtag> again;
    std::uint64_t settled = 0;
    for (std::size_t at = 0; at < text.size(); at += std::max<std::size_t>(chunk, 1)) {
        settled = std::max(settled, pieces.settled());
        const std::size_t before = again.size();
        pieces.scan(text.substr(at, std::max<std::size_t>(chunk, 1)), again);
        if (pieces.settled() > pieces.scanned() || (before < again.size() && again[before].begin < settled))
            std::abort();
    }
    if (tags.size() != again.size() || whole.scanned() != text.size() || whole.settled() != pieces.settled())
        std::abort();
    for (std::size_t i = 0; i < tags.size(); ++i) {
        if (!sametag(tags[i], again[i]) || (i > 0 && tags[i].begin < tags[i - 1].end)) std::abort();
        checktag(text, tags[i]);
    }
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
    checktags(parts[1], chunk);
    checktags(parts[2], chunk);

    stringsource source(parts[0], chunk);
    piecereader reader(source);
    stringsink sink;
    memorypatterns inserter(patterns);
    passresult result = processfile(reader, sink, inserter);

    const std::vector<std::string_view> pieces = boundedlines(parts[0]);
    checkpieces(parts[0], pieces, chunk);
    outcome expected = model(pieces, patterns);
    if (sink.text != expected.text || inserter.inserted != expected.inserted ||
        (result.status == passstatus::unclosed) != expected.unclosed ||
        (result.status == passstatus::unclosed && result.losttail != expected.losttail) ||
        (result.status != passstatus::unclosed && result.status != passstatus::complete))
        std::abort();

    // The pass once more, into the --diff sink.
    const lineendstyle styles[] = {lineendstyle::asis, lineendstyle::lf, lineendstyle::crlf};
    const lineendstyle style = styles[chunk % 3];
    const std::string newtext = convertedlines(sink.text, style);
    stringsink written;
    lineendsink converted(written, style);
    for (std::size_t at = 0; at < sink.text.size(); at += std::max<std::size_t>(chunk, 1))
        converted.write(std::string_view(sink.text).substr(at, std::max<std::size_t>(chunk, 1)));
    converted.finish();
    if (written.text != newtext) std::abort();
    stringsource again(parts[0], chunk);
    piecereader rereader(again);
    stringsource original(parts[0]);
    stringsink shown;
    unifieddiff diff(shown, original, "d");
    diffsink lined(diff, original, style);
    memorypatterns reinserter(patterns);
    processfile(rereader, lined, reinserter);
    if (lined.finish() != 0) std::abort();
    if (diff.changed() != (newtext != parts[0])) std::abort();
    if (diff.changed() && applydiff(parts[0], shown.text, "d") != newtext) std::abort();
    return 0;
}

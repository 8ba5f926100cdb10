// What the tag scanner finds in texts handed over on standard input, for
// tags_html5lib.py to hold against another tokenizer. Each text comes as a
// line with its length, then its bytes; the answer for it is one line per
// reported tag, "tag BEGIN END CLOSEAT ANCHOR ARIACURRENT" followed by
// "NAME BEGIN END xDECODED" for each value (its bytes decoded, in hex), then
// a line "marked SIZE" and the text as --mark-current makes it when every
// <a> with an href leads to the page, "top SIZE" and "down SIZE" and the
// text as --links=relative makes it for a page at the top of the site and
// one folder down, then a line "end".
#include "charrefs.h"
#include "htmltags.h"
#include "linkedit.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

struct stringsink : skelvane::bytesink {
    std::string text;
    void overflow(std::string_view bytes) override { text.append(bytes); }
};

// Every anchor is made to lead to the page index.html at the top: its href
// is read from a '/' put after the text, which is dropped again.
std::string markedall(const std::string& text, const std::vector<skelvane::foundtag>& tags) {
    std::vector<skelvane::textedit> edits;
    for (const skelvane::foundtag& tag : tags) skelvane::planedits(tag, text, 0, false, true, edits);
    for (skelvane::textedit& edit : edits) edit.hrefbegin = text.size(), edit.hrefend = text.size() + 1;
    skelvane::pagelinks page;
    page.markcurrent = true;
    page.place.insite = true;
    page.place.name = "index.html";
    stringsink out;
    skelvane::writeedited(text + "/", 0, edits, page, out);
    out.text.pop_back();
    return out.text;
}

// The text as --links=relative makes it for a page below uptoroot.
std::string linked(const std::string& text, const std::vector<skelvane::foundtag>& tags, const char* uptoroot) {
    std::vector<skelvane::textedit> edits;
    for (const skelvane::foundtag& tag : tags) skelvane::planedits(tag, text, 0, true, false, edits);
    skelvane::pagelinks page;
    page.relativelinks = true;
    page.place.insite = true;
    page.uptoroot = uptoroot;
    stringsink out;
    skelvane::writeedited(text, 0, edits, page, out);
    return out.text;
}

std::string hex(std::string_view bytes) {
    std::string digits = "x";
    for (unsigned char c : bytes) {
        digits += "0123456789abcdef"[c >> 4];
        digits += "0123456789abcdef"[c & 15];
    }
    return digits;
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::size_t size = 0;
    while (std::cin >> size && std::cin.get() == '\n') {
        std::string text(size, '\0');
        if (!std::cin.read(text.data(), static_cast<std::streamsize>(size))) return 1;
        skelvane::tagscanner scanner;
        std::vector<skelvane::foundtag> tags;
        scanner.scan(text, tags);
        for (const skelvane::foundtag& tag : tags) {
            std::cout << "tag " << tag.begin << ' ' << tag.end << ' ' << tag.closeat << ' ' << tag.anchor << ' '
                      << tag.ariacurrent;
            for (std::uint8_t i = 0; i < tag.count; ++i)
                std::cout << ' ' << skelvane::urlattributenames[static_cast<std::size_t>(tag.values[i].name)] << ' '
                          << tag.values[i].begin << ' ' << tag.values[i].end << ' '
                          << hex(skelvane::decodedattribute(std::string_view(text).substr(
                                 tag.values[i].begin, tag.values[i].end - tag.values[i].begin)));
            std::cout << '\n';
        }
        const std::string marked = markedall(text, tags);
        const std::string top = linked(text, tags, ""), down = linked(text, tags, "../");
        std::cout << "marked " << marked.size() << '\n' << marked << "top " << top.size() << '\n' << top << "down "
                  << down.size() << '\n' << down << "end\n";
    }
    return std::cin.eof() ? 0 : 1;
}

// The tag scanner's findings, for tags_html5lib.py. With an argument, the URL attributes' names. Else, for each text on
// stdin (a line with its length, then its bytes), "tag BEGIN END CLOSEAT ANCHOR ARIACURRENT" and "NAME BEGIN END
// xDECODED" (hex) for each value; then "marked xHEX", the text as --mark-current makes it when every <a> with an href
// leads to the page; "top xHEX", "down xHEX": as --links=relative makes it at the top, one folder down.
#include "charrefs.h"
#include "htmltags.h"
#include "linkedit.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace skelvane;

struct stringsink : bytesink {
    std::string text;
    void overflow(std::string_view bytes) override { text.append(bytes); }
};

// The text with the tags' edits: links rebased for a page below uptoroot, or every anchor made to lead to the page
// index.html at the top (its href read from a '/' put after the text, which is dropped again).
std::string edited(const std::string& text, const std::vector<foundtag>& tags, bool mark, const char* uptoroot) {
    std::vector<textedit> edits;
    for (const foundtag& tag : tags) planedits(tag, text, 0, !mark, mark, edits);
    for (textedit& edit : edits) edit.hrefbegin = text.size(), edit.hrefend = text.size() + 1;
    pagelinks page;
    page.markcurrent = mark;
    page.relativelinks = !mark;
    page.place.insite = true;
    page.place.name = "index.html";
    page.uptoroot = uptoroot;
    stringsink out;
    writeedited(text + "/", 0, edits, page, out);
    out.text.pop_back();
    return out.text;
}

std::string hex(std::string_view bytes) {
    std::string digits = "x";
    for (unsigned char c : bytes) digits += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    return digits;
}

}  // namespace

int main(int argc, char**) {
    std::ios::sync_with_stdio(false);
    if (argc > 1) {
        for (std::string_view name : urlattributenames) std::cout << name << '\n';
        return 0;
    }
    std::size_t size = 0;
    while (std::cin >> size && std::cin.get() == '\n') {
        std::string text(size, '\0');
        if (!std::cin.read(text.data(), static_cast<std::streamsize>(size))) return 1;
        tagscanner scanner;
        std::vector<foundtag> tags;
        scanner.scan(text, tags);
        for (const foundtag& tag : tags) {
            std::cout << "tag " << tag.begin << ' ' << tag.end << ' ' << tag.closeat << ' ' << tag.anchor << ' '
                      << tag.ariacurrent;
            for (std::uint8_t i = 0; i < tag.count; ++i)
                std::cout << ' ' << urlattributenames[static_cast<std::size_t>(tag.values[i].name)] << ' '
                          << tag.values[i].begin << ' ' << tag.values[i].end << ' '
                          << hex(decodedattribute(std::string_view(text).substr(
                                 tag.values[i].begin, tag.values[i].end - tag.values[i].begin)));
            std::cout << '\n';
        }
        std::cout << "marked " << hex(edited(text, tags, true, "")) << "\ntop " << hex(edited(text, tags, false, ""))
                  << "\ndown " << hex(edited(text, tags, false, "../")) << '\n';
    }
    return std::cin.eof() ? 0 : 1;
}

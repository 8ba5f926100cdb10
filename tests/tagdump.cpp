// What the tag scanner finds in texts handed over on standard input, for
// tags_html5lib.py to hold against another tokenizer. Each text comes as a
// line with its length, then its bytes; the answer for it is one line per
// reported tag, "tag BEGIN END CLOSEAT ANCHOR ARIACURRENT" followed by
// "NAME BEGIN END" for each value, then a line "end".
#include "htmltags.h"

#include <iostream>
#include <string>
#include <vector>

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
                          << tag.values[i].begin << ' ' << tag.values[i].end;
            std::cout << '\n';
        }
        std::cout << "end\n";
    }
    return std::cin.eof() ? 0 : 1;
}

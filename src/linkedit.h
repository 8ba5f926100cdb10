// The link edits of inserted text: --links=relative writes each
// root-absolute URL of a tag's URL attributes relative to the page, and
// --mark-current adds aria-current="page" to an <a> whose href leads to the
// page itself.
//
// What a pattern's text needs is found once, whatever the page: planedits()
// turns each start tag the scanner found into edits at byte offsets of the
// text. writeedited() then writes the text as one page needs it. A pattern
// that is not kept in memory goes through a linkedsink instead, which scans
// its bytes as they pass and holds each start tag back until its '>' (a tag
// longer than holdlimit goes on unedited, so memory stays bounded); with a
// plan to fill, it also keeps the edits it found, for the text to be used
// again. Nothing here fails: write errors stay with the sinks.
#ifndef SKELVANE_LINKEDIT_H
#define SKELVANE_LINKEDIT_H

#include "bytestream.h"
#include "htmltags.h"
#include "sitepaths.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace skelvane {

struct textedit {
    enum class kind : std::uint8_t {
        rootlink,       // the '/' at at begins a root-absolute URL
        rootlinkattop,  // the same, one that needs "./" at the top of the site
        anchor,         // an <a> may be marked at at; its href lies in [hrefbegin, hrefend)
    };
    kind what = kind::rootlink;
    std::uint64_t at = 0;
    std::uint64_t hrefbegin = 0;
    std::uint64_t hrefend = 0;
};

// What a page asks of its inserted text.
struct pagelinks {
    bool relativelinks = false;  // --links=relative, and the page lies in the site
    bool markcurrent = false;    // --mark-current
    pageplace place;
    std::string uptoroot;        // place.uptoroot()
};

// text holds the tag; its first byte lies at offset textbegin of the whole text.
void planedits(const foundtag& tag, std::string_view text, std::uint64_t textbegin, bool relativelinks,
               bool markcurrent, std::vector<textedit>& edits);
void writeedited(std::string_view text, std::uint64_t textbegin, std::span<const textedit> edits,
                 const pagelinks& page, bytesink& out);

class linkedsink : public bytesink {
public:
    // links: whether the run edits root-absolute URLs at all (the page may
    // still not get them).
    linkedsink(bytesink& out, const pagelinks& page, bool links, std::vector<textedit>* plan = nullptr);
    // Passes on what is held: a tag that the text ends inside, unedited.
    void finish();

    static constexpr std::size_t holdlimit = 256 * 1024;

protected:
    void overflow(std::string_view bytes) override;

private:
    void pass(std::size_t count);

    bytesink& out_;
    const pagelinks& page_;
    bool links_;
    std::vector<textedit>* plan_;
    tagscanner scanner_;
    std::vector<foundtag> found_;
    std::vector<textedit> edits_;
    std::string held_;
    std::uint64_t heldfrom_ = 0;  // the offset of held_'s first byte
};

}  // namespace skelvane

#endif

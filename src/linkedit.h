// The link edits of inserted text: --links=relative writes each
// root-absolute URL of a tag's URL attributes relative to the page, and
// --mark-current adds aria-current="page" to an <a> whose href leads to the
// page itself.
//
// What a pattern's text needs is found once, whatever the page: planedits()
// turns each start tag the scanner found into edits at byte offsets of the
// text. writeedited() then writes the text as one page needs it. Which of
// its links lead to a page depends only on the page's folder: a
// folderanchors, made once per folder, answers it for each page of the
// folder by one lookup of the page's name. A pattern
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
        danglinganchor, // the same, in a tag that ends right after an '=': the mark follows an empty value
    };
    bool isanchor() const { return what == kind::anchor || what == kind::danglinganchor; }
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

// Which of a text's anchors lead to a page of one folder, by the page's name.
class folderanchors {
public:
    folderanchors(std::string_view text, std::uint64_t textbegin, std::span<const textedit> edits,
                  const pageplace& folder);

private:
    friend void writeedited(std::string_view, std::uint64_t, std::span<const textedit>, const pagelinks&,
                            bytesink&, const folderanchors*);
    struct leading {
        std::string name;  // as comparedname() gives it
        std::size_t edit;  // the anchor's index in the edits
        auto operator<=>(const leading&) const = default;
    };
    std::vector<leading> byname_;  // in order
};

// anchors: made for the page's folder from the same text and edits; without
// it, each anchor's href is looked at for this page alone.
void writeedited(std::string_view text, std::uint64_t textbegin, std::span<const textedit> edits,
                 const pagelinks& page, bytesink& out, const folderanchors* anchors = nullptr);

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

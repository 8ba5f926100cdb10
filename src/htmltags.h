// The start tags of HTML text, and where the values of their URL attributes
// and the place for one more attribute lie: what a link rewrite needs, and
// nothing more.
//
// The scanner follows the HTML tokenization rules for what decides where a
// start tag and an attribute value are: comments (also "<!-->" and "--!>"),
// bogus comments and DOCTYPEs, end tags (whose attributes count for
// nothing), quoted and unquoted attribute values (in which '<' and '>' are
// text when quoted), letter case in tag and attribute names, the first of
// two attributes of one name winning, and the contents of script, style,
// xmp, iframe, noembed, noframes (raw text), textarea and title (RCDATA)
// and plaintext, in which no tag begins until the element's own end tag.
// A value is reported by where its bytes lie, its character references as
// they are written (decodedattribute() reads them). Not followed, for want of a tree:
// SVG and MathML content (where <style> and <title> hold markup and CDATA
// sections exist), noscript, which is scanned as markup, as a browser
// without scripts sees it, and the places where a tree would ignore a
// <style>, <title> or <xmp> tag: inside <select>, and in a frameset.
//
// Calling sequence: scan() the text in as many chunks as it comes in; each
// start tag is reported once its '>' has been scanned, with offsets counted
// from the start of the whole text. A tag that the text ends inside is never
// reported. settled() says how far no later report can reach, so a caller
// that edits tags as they come can pass on everything before it.
#ifndef SKELVANE_HTMLTAGS_H
#define SKELVANE_HTMLTAGS_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace skelvane {

// The attributes whose values hold URLs, in any letter case.
enum class urlattribute : std::uint8_t {
    href, src, srcset, action, formaction, poster, data, cite, background, longdesc, manifest, icon, imagesrcset,
};
inline constexpr std::size_t urlattributecount = 13;
inline constexpr std::array<std::string_view, urlattributecount> urlattributenames = {
    "href", "src", "srcset", "action", "formaction", "poster", "data",
    "cite", "background", "longdesc", "manifest", "icon", "imagesrcset"};
// The scanner keeps names up to this long; a longer one never matches.
inline constexpr std::size_t longestname = 12;
static_assert(std::ranges::all_of(urlattributenames,
                                  [](std::string_view name) { return !name.empty() && name.size() <= longestname; }),
              "each URL attribute has a name (urlattributecount counts them) the scanner can hold");

// HTML's blanks: space, tab, LF, form feed, and CR, which HTML reads as LF.
inline bool ishtmlblank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

struct foundvalue {
    urlattribute name{};
    std::uint64_t begin = 0;  // the value's first byte, after an opening quote
    std::uint64_t end = 0;    // one past its last byte, before a closing quote
};

struct foundtag {
    std::uint64_t begin = 0;    // the '<'
    std::uint64_t end = 0;      // one past the '>'
    std::uint64_t closeat = 0;  // the "/>" or ">" that ends it: where an attribute can be added
    bool anchor = false;        // an <a> start tag
    bool ariacurrent = false;   // it has an aria-current attribute
    // It ends right after an attribute's '=' (blanks aside), as in <a class=>:
    // an attribute added before its '>' would be read as that one's value.
    bool dangling = false;
    std::uint8_t count = 0;     // values in use, in the order written
    std::array<foundvalue, urlattributecount> values{};
    // The value of the tag's attribute of that name, when it has one.
    const foundvalue* find(urlattribute name) const;
};

class tagscanner {
public:
    // Scans the next bytes of the text. Each start tag that ends in them and
    // is an <a> or has a URL attribute with a value is appended to found.
    void scan(std::string_view bytes, std::vector<foundtag>& found);
    // Every byte before this offset lies outside any tag reported later.
    std::uint64_t settled() const;
    std::uint64_t scanned() const { return scanned_; }

    enum class state : std::uint8_t;

private:
    bool intag() const;
    void step(char c, std::vector<foundtag>& found);
    void steptag(char c, std::vector<foundtag>& found);
    void stepcomment(char c, std::vector<foundtag>& found);
    void steprawtext(char c, std::vector<foundtag>& found);
    void stepscript(char c, std::vector<foundtag>& found);
    void endname(char c, state text, std::vector<foundtag>& found);
    void openendtag(char c, state text, state name, std::vector<foundtag>& found);
    void startmatch(state next);
    void dashes(char c, state plain, state dash, state dashdash, state less);
    void begintag(bool end);
    void emittag(std::vector<foundtag>& found);
    void beginattribute();
    void endattributename();
    void endvalue();

    struct smallname {  // a tag or attribute name, lower case; long ones only as "long"
        std::array<char, longestname> text{};
        std::uint8_t size = 0;
        bool toolong = false;
        void clear() { size = 0, toolong = false; }
        void add(char c);
        bool is(std::string_view name) const { return !toolong && std::string_view(text.data(), size) == name; }
    };

    std::uint64_t scanned_ = 0;
    state state_{};
    // The tag being read.
    foundtag tag_;
    bool endtag_ = false;
    smallname tagname_;
    std::uint64_t slashat_ = 0;  // the '/' that may make it self-closing
    // The attribute being read: its name, whether it counts (the first of
    // its name), and where its value began.
    smallname attributename_;
    int attribute_ = -1;  // a urlattribute, or -1
    bool counts_ = false;
    std::uint32_t seen_ = 0;  // the attributes of interest the tag had already
    std::uint64_t valuebegin_ = 0;
    // Raw text, RCDATA and script: the element whose end tag ends them, and
    // how much of a candidate end tag (or, in script, of "script") matched.
    std::string_view rawname_;
    std::uint8_t matched_ = 0;
    bool matching_ = false;
};

}  // namespace skelvane

#endif

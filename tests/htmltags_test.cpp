// The tag scanner over hand-picked HTML: which start tags it reports, and
// where their values and their place for one more attribute lie.
#include "htmltags.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace skelvane {
namespace {

// Each reported tag as its text, with "[name:" and "]" around each value
// and "^" at closeat, after "A" for an anchor and "C" for aria-current;
// then where settled() ends up, when short of the end.
std::string render(std::string_view text, const std::vector<foundtag>& tags, std::uint64_t settled) {
    std::string out;
    for (const foundtag& tag : tags) {
        out += std::string(out.empty() ? "" : " ") + (tag.anchor ? "A" : "") + (tag.ariacurrent ? "C" : "");
        for (std::uint64_t at = tag.begin; at <= tag.end; ++at) {
            for (std::uint8_t i = 0; i < tag.count; ++i) {
                if (tag.values[i].begin == at)
                    out.append("[").append(urlattributenames[static_cast<std::size_t>(tag.values[i].name)]).append(":");
                if (tag.values[i].end == at) out += ']';
            }
            if (tag.closeat == at) out += '^';
            if (at < tag.end) out += text[at];
        }
    }
    if (settled != text.size()) out += (out.empty() ? "settled " : " settled ") + std::to_string(settled);
    return out;
}

struct tagcase {
    std::string_view text;
    std::string_view expected;
};

constexpr tagcase cases[] = {
    // Quoting, blanks, letter case, unquoted values and what ends them.
    {"<a href=\"/x\">", "A<a href=\"[href:/x]\"^>"},
    {"x <a href='/x'>y", "A<a href='[href:/x]'^>"},
    {"<a href=/x>", "A<a href=[href:/x]^>"},
    {"<a href = \"/x\" >", "A<a href = \"[href:/x]\" ^>"},
    {"<img\nsrc\t=\n'y'\f>", "<img\nsrc\t=\n'[src:y]'\f^>"},
    {"<A HREF=/x><IMG SrC=\"y\">", "A<A HREF=[href:/x]^> <IMG SrC=\"[src:y]\"^>"},
    {"<img src=a.png alt=x>", "<img src=[src:a.png] alt=x^>"},
    {"<img src=a\"b'c<d=e`>", "<img src=[src:a\"b'c<d=e`]^>"},
    {"<a href=x/>", "A<a href=[href:x/]^>"},
    {"<a x=\"1\"href=/y title='2'src=z>", "A<a x=\"1\"href=[href:/y] title='2'src=[src:z]^>"},
    {"<a href=\"a>b<c\" title='>'>", "A<a href=\"[href:a>b<c]\" title='>'^>"},
    // Every URL attribute; empty values count, missing ones do not; the first of a name wins.
    {"<x action=1 formaction=2 poster=3 data=4 cite=5 background=6 longdesc=7 manifest=8 icon=9>",
     "<x action=[action:1] formaction=[formaction:2] poster=[poster:3] data=[data:4] cite=[cite:5] "
     "background=[background:6] longdesc=[longdesc:7] manifest=[manifest:8] icon=[icon:9]^>"},
    {"<img srcset=\"a.png 1x, b.png 2x\" imagesrcset='c 1x'>",
     "<img srcset=\"[srcset:a.png 1x, b.png 2x]\" imagesrcset='[imagesrcset:c 1x]'^>"},
    {"<img src=\"\"><img src><img src=><img src = >", "<img src=\"[src:]\"^>"},
    {"<a href=1 HREF=2 href=\"3\">", "A<a href=[href:1] HREF=2 href=\"3\"^>"},
    {"<img src src=y><img src= src=y>", "<img src= [src:src=y]^>"},
    {"<a hrefx=1 xhref=2 data-src=3 =href=4 href\"=5 hrefhrefhrefhref=6 aria-currentx>",
     "A<a hrefx=1 xhref=2 data-src=3 =href=4 href\"=5 hrefhrefhrefhref=6 aria-currentx^>"},
    {"<a aria-current=page href=/x><a ARIA-CURRENT><img aria-current src=x><p aria-current>",
     "AC<a aria-current=page href=[href:/x]^> AC<a ARIA-CURRENT^> C<img aria-current src=[src:x]^>"},
    {"<a<img src=x><abbr><b href=y>", "<a<img src=[src:x]^> <b href=[href:y]^>"},
    // Where the place for one more attribute is.
    {"<a/><a href=\"x\"/><img src=x /><a href='x'/ ><a/ href=y>",
     "A<a^/> A<a href=\"[href:x]\"^/> <img src=[src:x] ^/> A<a href='[href:x]'/ ^> A<a/ href=[href:y]^>"},
    // End tags, comments, bogus comments and DOCTYPEs hold no start tags.
    {"</a href=/x><a href=/y>", "A<a href=[href:/y]^>"},
    {"</p title=\">\" src=/x><img src=/y></ a href=1></3<a href=2></><a>", "<img src=[src:/y]^> A<a^>"},
    {"<3 <a href=x> <?x <a href=1> <a href=2>", "A<a href=[href:x]^> A<a href=[href:2]^>"},
    {"<!-- <a href=/x> --><!--><a href=1><!---><a href=2>", "A<a href=[href:1]^> A<a href=[href:2]^>"},
    {"<!-- --!><a href=1><!-- --!x <a href=2> -- > <a href=3> -><a href=4> <!-- <a href=5>--->",
     "A<a href=[href:1]^>"},
    {"<!----><a href=1><!-- a---><a href=2><!x <a href=3><!-x><a href=4>",
     "A<a href=[href:1]^> A<a href=[href:2]^> A<a href=[href:4]^>"},
    {"<![CDATA[<a href=1>]]><a href=2><!DOCTYPE html PUBLIC \"x><a href=3>\">",
     "A<a href=[href:2]^> A<a href=[href:3]^>"},
    // Raw text, RCDATA and script end only at their own end tag.
    {"<script src=/s.js><a href=1></script><a href=2>", "<script src=[src:/s.js]^> A<a href=[href:2]^>"},
    {"<script>x=\"</scrip><a href=1></scripts>\"</SCRIPT\n><a href=2>", "A<a href=[href:2]^>"},
    {"<script><!-- <a href=1> --></script><a href=2>", "A<a href=[href:2]^>"},
    {"<script><!--<script></script><a href=1></script><a href=2>", "A<a href=[href:2]^>"},
    {"<script><!--<SCRIPT>--></script><a href=1>", "A<a href=[href:1]^>"},
    {"<script><!--<scripts></script><a href=1>", "A<a href=[href:1]^>"},
    {"<script><!-- <script>x</script>y</script><a href=1>", "A<a href=[href:1]^>"},
    {"<script><!--><a href=1></script><script><!-x</script><a href=2>", "A<a href=[href:2]^>"},
    {"<script/><a href=1></script ><a href=2>", "A<a href=[href:2]^>"},
    {"<style><a href=1></style><a href=2>", "A<a href=[href:2]^>"},
    {"<textarea><a href=1></textarea><a href=2>", "A<a href=[href:2]^>"},
    {"<title><a href=1></TITLE><a href=2>", "A<a href=[href:2]^>"},
    {"<xmp><a href=1></xmp><iframe src=/f><a href=1></iframe><noembed><a href=1></noembed><a href=2>",
     "<iframe src=[src:/f]^> A<a href=[href:2]^>"},
    {"<noframes><a href=1></style></noframes/><a href=2>", "A<a href=[href:2]^>"},
    {"<style></styles><a href=1></style ><title></textarea><a href=2></title><a href=3>", "A<a href=[href:3]^>"},
    {"<style></style title=\"><a href=1>\"><a href=2>", "A<a href=[href:2]^>"},
    {"<style></sty</style><a href=2>", "A<a href=[href:2]^>"},
    {"<plaintext></plaintext><a href=1>", ""},
    {"<noscript><a href=1></noscript>", "A<a href=[href:1]^>"},
    // A tag that the text ends in.
    {"<a href=\"/x", "settled 0"},
    {"x<a href=x", "settled 1"},
    {"<a href=x>y<", "A<a href=[href:x]^> settled 11"},
    {"<a href=x>y</", "A<a href=[href:x]^>"},
};

TEST(tagscanner, reports_start_tags_whole_and_byte_by_byte) {
    for (const tagcase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        tagscanner whole;
        std::vector<foundtag> tags;
        whole.scan(c.text, tags);
        EXPECT_EQ(render(c.text, tags, whole.settled()), c.expected);
        for (const foundtag& tag : tags) {  // find() gives each value by its name, and only those
            std::uint8_t named = 0;
            for (std::size_t i = 0; i < urlattributecount; ++i) {
                const urlattribute name = static_cast<urlattribute>(i);
                const foundvalue* value = tag.find(name);
                named += value != nullptr && value < tag.values.data() + tag.count && value->name == name ? 1 : 0;
            }
            EXPECT_EQ(named, tag.count);
        }

        // Byte by byte: the same tags, none beginning before what was settled earlier.
        tagscanner bytes;
        std::vector<foundtag> again;
        std::vector<std::pair<std::size_t, std::uint64_t>> settled;  // tags reported so far, and settled()
        for (char byte : c.text) {
            bytes.scan(std::string_view(&byte, 1), again);
            settled.emplace_back(again.size(), bytes.settled());
        }
        EXPECT_EQ(render(c.text, again, bytes.settled()), c.expected);
        for (auto [reported, offset] : settled)
            for (std::size_t later = reported; later < again.size(); ++later) EXPECT_LE(offset, again[later].begin);
    }
}

}  // namespace
}  // namespace skelvane

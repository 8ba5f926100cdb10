#include "linkedit.h"

#include "charrefs.h"

#include <algorithm>
#include <optional>

namespace skelvane {

namespace {

constexpr std::string_view markedcurrent = " aria-current=\"page\"";
// After a dangling '=', an empty value for it first: the attribute keeps
// the empty value HTML gives it, and the mark is read as a mark.
constexpr std::string_view emptyvalue = "\"\"";

// A URL of a value, decoded (written: where each of its bytes is written as
// itself in the value, at offset at of the text). Its '/' is edited only
// when it, what comes before it in the URL and the byte before the URL are
// written as themselves: a reference there may otherwise read differently
// once the '/' is gone, and one that gives the '/' cannot be rebased.
void addrootlink(std::string_view url, std::span<const std::size_t> written, bool afterwritten, std::uint64_t at,
                 std::vector<textedit>& edits, bool candidate = false) {
    if (!rootabsolute(url) || !afterwritten) return;
    const std::size_t slash = url.find('/');
    for (std::size_t i = 0; i <= slash; ++i)
        if (written[i] == fromreference) return;
    edits.push_back({needsdotattop(url, candidate) ? textedit::kind::rootlinkattop : textedit::kind::rootlink,
                     at + written[slash]});
}

// Each candidate URL of a srcset list, as a browser splits the decoded list:
// commas and blanks between candidates, the URL up to a blank (trailing
// commas dropped, which end the candidate), then descriptors up to a comma
// outside parentheses.
void addcandidates(std::string_view list, std::span<const std::size_t> written, std::uint64_t at,
                   std::vector<textedit>& edits) {
    std::size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && (ishtmlblank(list[i]) || list[i] == ',')) ++i;
        const std::size_t start = i;
        while (i < list.size() && !ishtmlblank(list[i])) ++i;
        std::size_t end = i;
        while (end > start && list[end - 1] == ',') --end;
        if (i == start) break;
        addrootlink(list.substr(start, end - start), written.subspan(start, end - start),
                    start == 0 || written[start - 1] != fromreference, at, edits, true);
        if (end < i) continue;
        // Parentheses do not nest: the first ')' closes them.
        for (bool inparentheses = false; i < list.size() && (list[i] != ',' || inparentheses); ++i)
            inparentheses = list[i] == '(' || (inparentheses && list[i] != ')');
    }
}

// An href as a browser reads it, to decide where it leads.
std::string hrefof(std::string_view text, std::uint64_t textbegin, const textedit& edit) {
    return decodedattribute(text.substr(edit.hrefbegin - textbegin, edit.hrefend - edit.hrefbegin));
}

}  // namespace

void planedits(const foundtag& tag, std::string_view text, std::uint64_t textbegin, bool relativelinks,
               bool markcurrent, std::vector<textedit>& edits) {
    auto valueof = [&](const foundvalue& value) {
        return text.substr(value.begin - textbegin, value.end - value.begin);
    };
    if (relativelinks) {
        std::vector<std::size_t> written;
        for (std::uint8_t i = 0; i < tag.count; ++i) {
            const foundvalue& value = tag.values[i];
            const std::string_view raw = valueof(value);
            const std::string decoded = decodedattribute(raw, &written);
            const std::size_t first = edits.size();
            if (value.name == urlattribute::srcset || value.name == urlattribute::imagesrcset)
                addcandidates(decoded, written, value.begin, edits);
            else
                addrootlink(decoded, written, true, value.begin, edits);
            // An unquoted value must not begin with a quote once its '/' is
            // gone: that would begin a quoted one.
            const bool unquoted = value.begin == textbegin || (text[value.begin - textbegin - 1] != '"' &&
                                                               text[value.begin - textbegin - 1] != '\'');
            if (edits.size() > first && edits[first].at == value.begin && unquoted && raw.size() > 1 &&
                (raw[1] == '"' || raw[1] == '\''))
                edits[first].what = textedit::kind::rootlinkattop;
        }
    }
    if (!markcurrent || !tag.anchor || tag.ariacurrent) return;
    if (const foundvalue* href = tag.find(urlattribute::href); href != nullptr && href->end > href->begin)
        edits.push_back({tag.dangling ? textedit::kind::danglinganchor : textedit::kind::anchor, tag.closeat,
                         href->begin, href->end});
}

folderanchors::folderanchors(std::string_view text, std::uint64_t textbegin, std::span<const textedit> edits,
                             const pageplace& folder) {
    for (std::size_t i = 0; i < edits.size(); ++i) {
        const textedit& edit = edits[i];
        if (!edit.isanchor()) continue;
        std::optional<std::string> name = leadsinfolder(hrefof(text, textbegin, edit), folder);
        if (!name) continue;
        if (!name->empty()) {
            byname_.push_back({std::move(*name), i});
        } else {  // the folder itself: its index page
            byname_.push_back({comparedname("index.html"), i});
            byname_.push_back({comparedname("index.htm"), i});
        }
    }
    std::sort(byname_.begin(), byname_.end());
}

void writeedited(std::string_view text, std::uint64_t textbegin, std::span<const textedit> edits,
                 const pagelinks& page, bytesink& out, const folderanchors* anchors) {
    std::uint64_t done = textbegin;
    auto upto = [&](std::uint64_t offset) {
        out.write(text.substr(done - textbegin, offset - done));
        done = offset;
    };
    // The anchors that lead to this page, in the order of the edits.
    std::vector<folderanchors::leading>::const_iterator next{}, last{};
    if (anchors != nullptr && page.markcurrent) {
        const std::string name = comparedname(page.place.name);
        auto byname = [](const folderanchors::leading& a, std::string_view b) { return a.name < b; };
        auto bynameafter = [](std::string_view a, const folderanchors::leading& b) { return a < b.name; };
        next = std::lower_bound(anchors->byname_.begin(), anchors->byname_.end(), name, byname);
        last = std::upper_bound(next, anchors->byname_.end(), name, bynameafter);
    }
    for (std::size_t i = 0; i < edits.size(); ++i) {
        const textedit& edit = edits[i];
        if (edit.isanchor()) {
            if (!page.markcurrent) continue;
            if (anchors != nullptr) {
                if (next == last || next->edit != i) continue;
                ++next;
            } else if (!leadstopage(hrefof(text, textbegin, edit), page.place)) {
                continue;
            }
            upto(edit.at);
            if (edit.what == textedit::kind::danglinganchor) out.write(emptyvalue);
            out.write(markedcurrent);
        } else if (page.relativelinks) {
            upto(edit.at);
            ++done;  // the '/'
            if (!page.uptoroot.empty())
                out.write(page.uptoroot);
            else if (edit.what == textedit::kind::rootlinkattop)
                out.write("./");
        }
    }
    upto(textbegin + text.size());
}

linkedsink::linkedsink(bytesink& out, const pagelinks& page, bool links, std::vector<textedit>* plan)
    : out_(out), page_(page), links_(links), plan_(plan) {}

void linkedsink::pass(std::size_t count) {
    out_.write(std::string_view(held_).substr(0, count));
    held_.erase(0, count);
    heldfrom_ += count;
}

void linkedsink::overflow(std::string_view bytes) {
    scanner_.scan(bytes, found_);
    held_.append(bytes);
    for (const foundtag& tag : found_) {
        if (tag.begin < heldfrom_) continue;  // passed on already, too long to hold
        edits_.clear();
        planedits(tag, held_, heldfrom_, links_, page_.markcurrent, edits_);
        const std::size_t through = tag.end - heldfrom_;
        writeedited(std::string_view(held_).substr(0, through), heldfrom_, edits_, page_, out_);
        held_.erase(0, through);
        heldfrom_ += through;
        if (plan_ != nullptr) plan_->insert(plan_->end(), edits_.begin(), edits_.end());
    }
    found_.clear();
    // What no tag can reach goes on; a tag held past the limit goes on unedited.
    const std::uint64_t settled = scanner_.settled();
    if (settled > heldfrom_) pass(settled - heldfrom_);
    if (held_.size() > holdlimit) pass(held_.size());
    if (out_.error() != 0 && error() == 0) fail(out_.error());
}

void linkedsink::finish() {
    pass(held_.size());
    if (out_.error() != 0 && error() == 0) fail(out_.error());
}

}  // namespace skelvane

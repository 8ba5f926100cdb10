#include "linkedit.h"

namespace skelvane {

namespace {

constexpr std::string_view markedcurrent = " aria-current=\"page\"";

void addrootlink(std::string_view url, std::uint64_t at, std::vector<textedit>& edits) {
    if (!rootabsolute(url)) return;
    std::size_t slash = url.find('/');
    edits.push_back({needsdotattop(url) ? textedit::kind::rootlinkattop : textedit::kind::rootlink, at + slash});
}

// Each candidate URL of a srcset list, as a browser splits it: commas and
// blanks between candidates, the URL up to a blank, then descriptors up to a
// comma outside parentheses.
void addcandidates(std::string_view list, std::uint64_t at, std::vector<textedit>& edits) {
    std::size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && (ishtmlblank(list[i]) || list[i] == ',')) ++i;
        const std::size_t start = i;
        while (i < list.size() && !ishtmlblank(list[i])) ++i;
        std::string_view url = list.substr(start, i - start);
        if (url.empty()) break;
        addrootlink(url, at + start, edits);
        if (url.back() == ',') continue;
        for (int depth = 0; i < list.size() && (list[i] != ',' || depth > 0); ++i)
            depth += list[i] == '(' ? 1 : list[i] == ')' && depth > 0 ? -1 : 0;
    }
}

}  // namespace

void planedits(const foundtag& tag, std::string_view text, std::uint64_t textbegin, bool relativelinks,
               bool markcurrent, std::vector<textedit>& edits) {
    auto valueof = [&](const foundvalue& value) {
        return text.substr(value.begin - textbegin, value.end - value.begin);
    };
    if (relativelinks)
        for (std::uint8_t i = 0; i < tag.count; ++i) {
            const foundvalue& value = tag.values[i];
            if (value.name == urlattribute::srcset || value.name == urlattribute::imagesrcset)
                addcandidates(valueof(value), value.begin, edits);
            else
                addrootlink(valueof(value), value.begin, edits);
        }
    if (!markcurrent || !tag.anchor || tag.ariacurrent) return;
    if (const foundvalue* href = tag.find(urlattribute::href); href != nullptr && href->end > href->begin)
        edits.push_back({textedit::kind::anchor, tag.closeat, href->begin, href->end});
}

void writeedited(std::string_view text, std::uint64_t textbegin, std::span<const textedit> edits,
                 const pagelinks& page, bytesink& out) {
    std::uint64_t done = textbegin;
    auto upto = [&](std::uint64_t offset) {
        out.write(text.substr(done - textbegin, offset - done));
        done = offset;
    };
    for (const textedit& edit : edits) {
        if (edit.what == textedit::kind::anchor) {
            if (!page.markcurrent ||
                !leadstopage(text.substr(edit.hrefbegin - textbegin, edit.hrefend - edit.hrefbegin), page.place))
                continue;
            upto(edit.at);
            out.write(markedcurrent);
        } else if (page.relativelinks) {
            upto(edit.at);
            ++done;  // the '/'
            const bool bare = page.uptoroot.empty();
            out.write(!bare ? std::string_view(page.uptoroot)
                            : edit.what == textedit::kind::rootlinkattop ? std::string_view("./") : std::string_view());
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
    const std::uint64_t settled = scanner_.settled();
    pass(held_.size() > holdlimit ? held_.size() : settled > heldfrom_ ? settled - heldfrom_ : 0);
    if (out_.error() != 0 && error() == 0) fail(out_.error());
}

void linkedsink::finish() {
    pass(held_.size());
    if (out_.error() != 0 && error() == 0) fail(out_.error());
}

}  // namespace skelvane

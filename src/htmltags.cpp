#include "htmltags.h"

#include <algorithm>

namespace skelvane {

// The states of HTML's tokenizer that tell where tags begin and end, by
// their names there, family by family (step() relies on the order).
enum class tagscanner::state : std::uint8_t {
    // Data, tags and their attributes.
    data, tagopen, endtagopen, tagname, beforeattributename, attributename, afterattributename,
    beforeattributevalue, attributevaluedoublequoted, attributevaluesinglequoted, attributevalueunquoted,
    afterattributevaluequoted, selfclosingstarttag,
    // Comments, bogus comments and DOCTYPEs ("<!-" is markupdeclarationdash).
    markupdeclarationopen, markupdeclarationdash, boguscomment, commentstart, commentstartdash, comment,
    commentenddash, commentend, commentendbang,
    // RAWTEXT and RCDATA, told apart by their element.
    rawtext, rawtextlessthansign, rawtextendtagopen, rawtextendtagname,
    // Script data, escaped and double-escaped.
    scriptdata, scriptdatalessthansign, scriptdataendtagopen, scriptdataendtagname, scriptdataescapestart,
    scriptdataescapestartdash, scriptdataescaped, scriptdataescapeddash, scriptdataescapeddashdash,
    scriptdataescapedlessthansign, scriptdataescapedendtagopen, scriptdataescapedendtagname,
    scriptdatadoubleescapestart, scriptdatadoubleescaped, scriptdatadoubleescapeddash,
    scriptdatadoubleescapeddashdash, scriptdatadoubleescapedlessthansign, scriptdatadoubleescapeend,
    plaintext,
};

namespace {

using state = tagscanner::state;

bool isalpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr std::string_view rawtextelements[] = {"style", "xmp", "iframe", "noembed", "noframes", "textarea", "title"};
constexpr std::string_view scriptelement = "script";
constexpr std::string_view ariacurrent = "aria-current";
constexpr int ariacurrentbit = static_cast<int>(urlattributecount);

}  // namespace

const foundvalue* foundtag::find(urlattribute name) const {
    for (std::uint8_t i = 0; i < count; ++i)
        if (values[i].name == name) return &values[i];
    return nullptr;
}

void tagscanner::smallname::add(char c) {
    if (size == text.size()) {
        toolong = true;
        return;
    }
    text[size++] = lower(c);
}

bool tagscanner::intag() const {
    return !endtag_ && state_ >= state::tagname && state_ <= state::selfclosingstarttag;
}

std::uint64_t tagscanner::settled() const {
    if (state_ == state::tagopen) return scanned_ - 1;  // the '<' may begin a start tag
    return intag() ? tag_.begin : scanned_;
}

void tagscanner::scan(std::string_view bytes, std::vector<foundtag>& found) {
    for (char c : bytes) {
        step(c, found);
        ++scanned_;
    }
}

void tagscanner::begintag(bool end) {
    endtag_ = end;
    tagname_.clear();
    tag_ = foundtag{};
    tag_.begin = scanned_ - (end ? 2 : 1);
    seen_ = 0;
}

void tagscanner::beginattribute() {
    attributename_.clear();
    attribute_ = -1;
    counts_ = false;
}

// The name is complete: whether it is one that matters, and the first of it.
void tagscanner::endattributename() {
    if (endtag_) return;
    int bit = -1;
    for (std::size_t i = 0; i < urlattributecount; ++i)
        if (attributename_.is(urlattributenames[i])) bit = static_cast<int>(i);
    if (bit < 0 && attributename_.is(ariacurrent)) bit = ariacurrentbit;
    if (bit < 0 || (seen_ & (1u << bit)) != 0) return;
    seen_ |= 1u << bit;
    if (bit == ariacurrentbit) {
        tag_.ariacurrent = true;
        return;
    }
    attribute_ = bit;
    counts_ = true;
}

void tagscanner::endvalue() {
    if (!counts_) return;
    tag_.values[tag_.count++] = foundvalue{static_cast<urlattribute>(attribute_), valuebegin_, scanned_};
    counts_ = false;
}

// At the '>' of a tag: reports a start tag that matters, and switches to the
// contents its element has.
void tagscanner::emittag(std::vector<foundtag>& found) {
    if (state_ != state::selfclosingstarttag) slashat_ = scanned_;
    state_ = state::data;
    if (endtag_) return;
    tag_.end = scanned_ + 1;
    tag_.closeat = slashat_;
    tag_.anchor = tagname_.is("a");
    if (tag_.anchor || tag_.count > 0) found.push_back(tag_);
    if (tagname_.is(scriptelement)) {
        rawname_ = scriptelement;
        state_ = state::scriptdata;
    } else if (tagname_.is("plaintext")) {
        state_ = state::plaintext;
    } else {
        for (std::string_view element : rawtextelements)
            if (tagname_.is(element)) {
                rawname_ = element;
                state_ = state::rawtext;
            }
    }
}

// One byte in the state it finds the scanner in; a byte that another state
// must see again ("reconsumed") goes round the loop once more.
// Raw text end tags: "</" and letters that may spell the element's name.
// After the name, a blank, '/' or '>' makes it an end tag, as for any tag;
// otherwise the bytes stay text of the state given.
void tagscanner::endname(char c, state text, std::vector<foundtag>& found) {
    if (isalpha(c)) {
        matching_ = matching_ && matched_ < rawname_.size() && lower(c) == rawname_[matched_];
        ++matched_;
        return;
    }
    const bool appropriate = matching_ && matched_ == rawname_.size();
    if (appropriate && (ishtmlblank(c) || c == '/' || c == '>')) {
        begintag(true);
        tag_.begin = scanned_ - 2 - matched_;
        state_ = ishtmlblank(c) ? state::beforeattributename : c == '/' ? state::selfclosingstarttag : state::data;
        return;
    }
    state_ = text;
    step(c, found);
}

// After "</" in text: a letter may begin the element's end tag.
void tagscanner::openendtag(char c, state text, state name, std::vector<foundtag>& found) {
    state_ = isalpha(c) ? name : text;
    step(c, found);
}

void tagscanner::startmatch(state next) {
    matched_ = 0;
    matching_ = true;
    state_ = next;
}

// Escaped and double-escaped script count their dashes, so that "-->" ends
// them; a '<' may begin what changes them.
void tagscanner::dashes(char c, state plain, state dash, state dashdash, state less) {
    if (c == '-')
        state_ = state_ == plain ? dash : dashdash;
    else if (c == '<')
        state_ = less;
    else
        state_ = c == '>' && state_ == dashdash ? state::scriptdata : plain;
}

// One byte. The states come in the families HTML's tokenizer has, each
// stepped by its own function; the enumeration keeps each family together.
void tagscanner::step(char c, std::vector<foundtag>& found) {
    if (state_ <= state::selfclosingstarttag)
        steptag(c, found);
    else if (state_ <= state::commentendbang)
        stepcomment(c, found);
    else if (state_ <= state::rawtextendtagname)
        steprawtext(c, found);
    else if (state_ <= state::scriptdatadoubleescapeend)
        stepscript(c, found);
    // Plain text: nothing ends it.
}

// Data, tags and their attributes.
void tagscanner::steptag(char c, std::vector<foundtag>& found) {
    switch (state_) {
    case state::data:
        if (c == '<') state_ = state::tagopen;
        return;
    case state::tagopen:
        if (c == '!') {
            state_ = state::markupdeclarationopen;
        } else if (c == '/') {
            state_ = state::endtagopen;
        } else if (isalpha(c)) {
            begintag(false);
            state_ = state::tagname;
            tagname_.add(c);
        } else if (c == '?') {
            state_ = state::boguscomment;
        } else {
            state_ = state::data;
            step(c, found);
        }
        return;
    case state::endtagopen:
        if (isalpha(c)) {
            begintag(true);
            state_ = state::tagname;
        } else {
            state_ = c == '>' ? state::data : state::boguscomment;
        }
        return;
    case state::tagname:
        if (ishtmlblank(c)) {
            state_ = state::beforeattributename;
        } else if (c == '/') {
            slashat_ = scanned_;
            state_ = state::selfclosingstarttag;
        } else if (c == '>') {
            emittag(found);
        } else {
            tagname_.add(c);
        }
        return;
    case state::beforeattributename:
        if (ishtmlblank(c)) return;
        if (c == '/' || c == '>') {
            state_ = state::afterattributename;
            step(c, found);
            return;
        }
        beginattribute();
        state_ = state::attributename;
        // A name may begin with '='.
        if (c == '=') attributename_.add(c);
        else step(c, found);
        return;
    case state::attributename:
        if (ishtmlblank(c) || c == '/' || c == '>') {
            endattributename();
            state_ = state::afterattributename;
            step(c, found);
        } else if (c == '=') {
            endattributename();
            state_ = state::beforeattributevalue;
        } else {
            attributename_.add(c);
        }
        return;
    case state::afterattributename:
        if (ishtmlblank(c)) return;
        if (c == '/') {
            slashat_ = scanned_;
            state_ = state::selfclosingstarttag;
        } else if (c == '=') {
            state_ = state::beforeattributevalue;
        } else if (c == '>') {
            emittag(found);
        } else {
            beginattribute();
            state_ = state::attributename;
            step(c, found);
        }
        return;
    case state::beforeattributevalue:
        if (ishtmlblank(c)) return;
        if (c == '"' || c == '\'') {
            valuebegin_ = scanned_ + 1;
            state_ = c == '"' ? state::attributevaluedoublequoted : state::attributevaluesinglequoted;
        } else if (c == '>') {
            counts_ = false;  // no value after all
            tag_.dangling = true;
            emittag(found);
        } else {
            valuebegin_ = scanned_;
            state_ = state::attributevalueunquoted;
            step(c, found);
        }
        return;
    case state::attributevaluedoublequoted:
    case state::attributevaluesinglequoted:
        if (c == (state_ == state::attributevaluedoublequoted ? '"' : '\'')) {
            endvalue();
            state_ = state::afterattributevaluequoted;
        }
        return;
    case state::attributevalueunquoted:
        if (ishtmlblank(c)) {
            endvalue();
            state_ = state::beforeattributename;
        } else if (c == '>') {
            endvalue();
            emittag(found);
        }
        return;
    case state::afterattributevaluequoted:
        if (ishtmlblank(c)) {
            state_ = state::beforeattributename;
        } else if (c == '/') {
            slashat_ = scanned_;
            state_ = state::selfclosingstarttag;
        } else if (c == '>') {
            emittag(found);
        } else {
            state_ = state::beforeattributename;
            step(c, found);
        }
        return;
    case state::selfclosingstarttag:
        if (c == '>') {
            emittag(found);
        } else {
            state_ = state::beforeattributename;
            step(c, found);
        }
        return;
    default:
        return;
    }
}

// Comments, and what ends at the first '>': bogus comments and DOCTYPEs.
void tagscanner::stepcomment(char c, std::vector<foundtag>& found) {
    switch (state_) {
    case state::markupdeclarationopen:
        if (c == '-') {
            state_ = state::markupdeclarationdash;
        } else {
            state_ = state::boguscomment;
            step(c, found);
        }
        return;
    case state::markupdeclarationdash:
        state_ = c == '-' ? state::commentstart : state::boguscomment;
        if (c != '-') step(c, found);
        return;
    case state::boguscomment:
        if (c == '>') state_ = state::data;
        return;
    case state::commentstart:
    case state::commentstartdash:
        if (c == '>') {
            state_ = state::data;
        } else if (c == '-') {
            state_ = state_ == state::commentstart ? state::commentstartdash : state::commentend;
        } else {
            state_ = state::comment;
        }
        return;
    case state::comment:
        if (c == '-') state_ = state::commentenddash;
        return;
    case state::commentenddash:
        state_ = c == '-' ? state::commentend : state::comment;
        return;
    case state::commentend:
        if (c == '>') state_ = state::data;
        else if (c == '!') state_ = state::commentendbang;
        else if (c != '-') state_ = state::comment;
        return;
    case state::commentendbang:
        state_ = c == '>' ? state::data : c == '-' ? state::commentenddash : state::comment;
        return;
    default:
        return;
    }
}

// Raw text and RCDATA end only at their element's end tag.
void tagscanner::steprawtext(char c, std::vector<foundtag>& found) {
    switch (state_) {
    case state::rawtext:
        if (c == '<') state_ = state::rawtextlessthansign;
        return;
    case state::rawtextlessthansign:
        if (c == '/') {
            startmatch(state::rawtextendtagopen);
        } else {
            state_ = state::rawtext;
            step(c, found);
        }
        return;
    case state::rawtextendtagopen:
        openendtag(c, state::rawtext, state::rawtextendtagname, found);
        return;
    case state::rawtextendtagname:
        endname(c, state::rawtext, found);
        return;

    default:
        return;
    }
}

// Script: "<!--" and "<script" inside it change where its end tag counts.
void tagscanner::stepscript(char c, std::vector<foundtag>& found) {
    switch (state_) {
    case state::scriptdata:
        if (c == '<') state_ = state::scriptdatalessthansign;
        return;
    case state::scriptdatalessthansign:
        if (c == '/') {
            startmatch(state::scriptdataendtagopen);
        } else if (c == '!') {
            state_ = state::scriptdataescapestart;
        } else {
            state_ = state::scriptdata;
            step(c, found);
        }
        return;
    case state::scriptdataendtagopen:
        openendtag(c, state::scriptdata, state::scriptdataendtagname, found);
        return;
    case state::scriptdataendtagname:
        endname(c, state::scriptdata, found);
        return;
    case state::scriptdataescapestart:
    case state::scriptdataescapestartdash:
        if (c == '-') {
            state_ = state_ == state::scriptdataescapestart ? state::scriptdataescapestartdash : state::scriptdataescapeddashdash;
        } else {
            state_ = state::scriptdata;
            step(c, found);
        }
        return;
    case state::scriptdataescaped:
    case state::scriptdataescapeddash:
    case state::scriptdataescapeddashdash:
        dashes(c, state::scriptdataescaped, state::scriptdataescapeddash, state::scriptdataescapeddashdash, state::scriptdataescapedlessthansign);
        return;
    case state::scriptdataescapedlessthansign:
        if (c == '/') {
            startmatch(state::scriptdataescapedendtagopen);
        } else if (isalpha(c)) {
            startmatch(state::scriptdatadoubleescapestart);
            step(c, found);
        } else {
            state_ = state::scriptdataescaped;
            step(c, found);
        }
        return;
    case state::scriptdataescapedendtagopen:
        openendtag(c, state::scriptdataescaped, state::scriptdataescapedendtagname, found);
        return;
    case state::scriptdataescapedendtagname:
        endname(c, state::scriptdataescaped, found);
        return;
    case state::scriptdatadoubleescapestart:
    case state::scriptdatadoubleescapeend: {
        const state unchanged = state_ == state::scriptdatadoubleescapestart ? state::scriptdataescaped : state::scriptdatadoubleescaped;
        const state changed = state_ == state::scriptdatadoubleescapestart ? state::scriptdatadoubleescaped : state::scriptdataescaped;
        if (isalpha(c)) {
            matching_ = matching_ && matched_ < scriptelement.size() && lower(c) == scriptelement[matched_];
            ++matched_;
        } else if (ishtmlblank(c) || c == '/' || c == '>') {
            state_ = matching_ && matched_ == scriptelement.size() ? changed : unchanged;
        } else {
            state_ = unchanged;
            step(c, found);
        }
        return;
    }
    case state::scriptdatadoubleescaped:
    case state::scriptdatadoubleescapeddash:
    case state::scriptdatadoubleescapeddashdash:
        dashes(c, state::scriptdatadoubleescaped, state::scriptdatadoubleescapeddash, state::scriptdatadoubleescapeddashdash, state::scriptdatadoubleescapedlessthansign);
        return;
    case state::scriptdatadoubleescapedlessthansign:
        if (c == '/') {
            startmatch(state::scriptdatadoubleescapeend);
        } else {
            state_ = state::scriptdatadoubleescaped;
            step(c, found);
        }
        return;
    default:
        return;
    }
}

}  // namespace skelvane

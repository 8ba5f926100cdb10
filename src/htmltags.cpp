#include "htmltags.h"

#include <algorithm>

namespace skelvane {

enum class tagscanner::state : std::uint8_t {
    data, tagopen, endtagopen, tagname, beforename, name, aftername, beforevalue, doublequoted, singlequoted,
    unquoted, afterquoted, selfclosing,
    markupopen, markupdash, bogus, commentstart, commentstartdash, comment, commentenddash, commentend,
    commentendbang,
    rawtext, rawless, rawendopen, rawendname,  // raw text and RCDATA, by their element
    script, scriptless, scriptendopen, scriptendname, escapestart, escapestartdash, escaped, escapeddash,
    escapeddashdash, escapedless, escapedendopen, escapedendname, doublestart, doubleescaped, doubledash,
    doubledashdash, doubleless, doubleend,
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
    return !endtag_ && state_ >= state::tagname && state_ <= state::selfclosing;
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
    if (state_ != state::selfclosing) slashat_ = scanned_;
    state_ = state::data;
    if (endtag_) return;
    tag_.end = scanned_ + 1;
    tag_.closeat = slashat_;
    tag_.anchor = tagname_.is("a");
    if (tag_.anchor || tag_.count > 0) found.push_back(tag_);
    if (tagname_.is(scriptelement)) {
        rawname_ = scriptelement;
        state_ = state::script;
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
void tagscanner::step(char c, std::vector<foundtag>& found) {
    // Raw text end tags: "</" and letters that may spell the element's name.
    // After the name, a blank, '/' or '>' makes it an end tag, as for any
    // tag; otherwise the bytes stay text of the state given.
    auto endname = [&](state text) {
        if (isalpha(c)) {
            matching_ = matching_ && matched_ < rawname_.size() && lower(c) == rawname_[matched_];
            ++matched_;
            return;
        }
        const bool appropriate = matching_ && matched_ == rawname_.size();
        if (appropriate && (ishtmlblank(c) || c == '/' || c == '>')) {
            begintag(true);
            tag_.begin = scanned_ - 2 - matched_;
            state_ = ishtmlblank(c) ? state::beforename : c == '/' ? state::selfclosing : state::data;
            return;
        }
        state_ = text;
        step(c, found);
    };
    auto startmatch = [&](state next) {
        matched_ = 0;
        matching_ = true;
        state_ = next;
    };
    // Escaped and double-escaped script count their dashes, so that "-->"
    // ends them; a '<' may begin what changes them.
    auto dashes = [&](state plain, state dash, state dashdash, state less) {
        if (c == '-')
            state_ = state_ == plain ? dash : dashdash;
        else if (c == '<')
            state_ = less;
        else
            state_ = c == '>' && state_ == dashdash ? state::script : plain;
    };
    switch (state_) {
    case state::data:
        if (c == '<') state_ = state::tagopen;
        return;
    case state::tagopen:
        if (c == '!') {
            state_ = state::markupopen;
        } else if (c == '/') {
            state_ = state::endtagopen;
        } else if (isalpha(c)) {
            begintag(false);
            state_ = state::tagname;
            tagname_.add(c);
        } else if (c == '?') {
            state_ = state::bogus;
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
            state_ = c == '>' ? state::data : state::bogus;
        }
        return;
    case state::tagname:
        if (ishtmlblank(c)) {
            state_ = state::beforename;
        } else if (c == '/') {
            slashat_ = scanned_;
            state_ = state::selfclosing;
        } else if (c == '>') {
            emittag(found);
        } else {
            tagname_.add(c);
        }
        return;
    case state::beforename:
        if (ishtmlblank(c)) return;
        if (c == '/' || c == '>') {
            state_ = state::aftername;
            step(c, found);
            return;
        }
        beginattribute();
        state_ = state::name;
        // A name may begin with '='.
        if (c == '=') attributename_.add(c);
        else step(c, found);
        return;
    case state::name:
        if (ishtmlblank(c) || c == '/' || c == '>') {
            endattributename();
            state_ = state::aftername;
            step(c, found);
        } else if (c == '=') {
            endattributename();
            state_ = state::beforevalue;
        } else {
            attributename_.add(c);
        }
        return;
    case state::aftername:
        if (ishtmlblank(c)) return;
        if (c == '/') {
            slashat_ = scanned_;
            state_ = state::selfclosing;
        } else if (c == '=') {
            state_ = state::beforevalue;
        } else if (c == '>') {
            emittag(found);
        } else {
            beginattribute();
            state_ = state::name;
            step(c, found);
        }
        return;
    case state::beforevalue:
        if (ishtmlblank(c)) return;
        if (c == '"' || c == '\'') {
            valuebegin_ = scanned_ + 1;
            state_ = c == '"' ? state::doublequoted : state::singlequoted;
        } else if (c == '>') {
            counts_ = false;  // no value after all
            tag_.dangling = true;
            emittag(found);
        } else {
            valuebegin_ = scanned_;
            state_ = state::unquoted;
            step(c, found);
        }
        return;
    case state::doublequoted:
    case state::singlequoted:
        if (c == (state_ == state::doublequoted ? '"' : '\'')) {
            endvalue();
            state_ = state::afterquoted;
        }
        return;
    case state::unquoted:
        if (ishtmlblank(c)) {
            endvalue();
            state_ = state::beforename;
        } else if (c == '>') {
            endvalue();
            emittag(found);
        }
        return;
    case state::afterquoted:
        if (ishtmlblank(c)) {
            state_ = state::beforename;
        } else if (c == '/') {
            slashat_ = scanned_;
            state_ = state::selfclosing;
        } else if (c == '>') {
            emittag(found);
        } else {
            state_ = state::beforename;
            step(c, found);
        }
        return;
    case state::selfclosing:
        if (c == '>') {
            emittag(found);
        } else {
            state_ = state::beforename;
            step(c, found);
        }
        return;

    // Comments, and what ends at the first '>': bogus comments and DOCTYPEs.
    case state::markupopen:
        if (c == '-') {
            state_ = state::markupdash;
        } else {
            state_ = state::bogus;
            step(c, found);
        }
        return;
    case state::markupdash:
        state_ = c == '-' ? state::commentstart : state::bogus;
        if (c != '-') step(c, found);
        return;
    case state::bogus:
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

    // Raw text and RCDATA end only at their element's end tag.
    case state::rawtext:
        if (c == '<') state_ = state::rawless;
        return;
    case state::rawless:
        if (c == '/') {
            startmatch(state::rawendopen);
        } else {
            state_ = state::rawtext;
            step(c, found);
        }
        return;
    case state::rawendopen:
    case state::scriptendopen:
    case state::escapedendopen: {
        const state text = state_ == state::rawendopen      ? state::rawtext
                           : state_ == state::scriptendopen ? state::script
                                                            : state::escaped;
        state_ = !isalpha(c)                  ? text
                 : text == state::rawtext     ? state::rawendname
                 : text == state::script      ? state::scriptendname
                                              : state::escapedendname;
        step(c, found);
        return;
    }
    case state::rawendname:
        endname(state::rawtext);
        return;

    // Script: "<!--" and "<script" inside it change where its end tag counts.
    case state::script:
        if (c == '<') state_ = state::scriptless;
        return;
    case state::scriptless:
        if (c == '/') {
            startmatch(state::scriptendopen);
        } else if (c == '!') {
            state_ = state::escapestart;
        } else {
            state_ = state::script;
            step(c, found);
        }
        return;
    case state::scriptendname:
        endname(state::script);
        return;
    case state::escapestart:
    case state::escapestartdash:
        if (c == '-') {
            state_ = state_ == state::escapestart ? state::escapestartdash : state::escapeddashdash;
        } else {
            state_ = state::script;
            step(c, found);
        }
        return;
    case state::escaped:
    case state::escapeddash:
    case state::escapeddashdash:
        dashes(state::escaped, state::escapeddash, state::escapeddashdash, state::escapedless);
        return;
    case state::escapedless:
        if (c == '/') {
            startmatch(state::escapedendopen);
        } else if (isalpha(c)) {
            startmatch(state::doublestart);
            step(c, found);
        } else {
            state_ = state::escaped;
            step(c, found);
        }
        return;
    case state::escapedendname:
        endname(state::escaped);
        return;
    case state::doublestart:
    case state::doubleend: {
        const state unchanged = state_ == state::doublestart ? state::escaped : state::doubleescaped;
        const state changed = state_ == state::doublestart ? state::doubleescaped : state::escaped;
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
    case state::doubleescaped:
    case state::doubledash:
    case state::doubledashdash:
        dashes(state::doubleescaped, state::doubledash, state::doubledashdash, state::doubleless);
        return;
    case state::doubleless:
        if (c == '/') {
            startmatch(state::doubleend);
        } else {
            state_ = state::doubleescaped;
            step(c, found);
        }
        return;
    case state::plaintext:
        return;
    }
}

}  // namespace skelvane

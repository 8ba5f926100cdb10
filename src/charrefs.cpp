#include "charrefs.h"

#include <array>
#include <cstdint>

namespace skelvane {

namespace {

struct namedreference {
    std::string_view name;  // after the '&', with its ';' when it needs one
    std::string_view text;
};

// The named references that give ASCII characters.
constexpr std::array<namedreference, 54> asciireferences = {{
    {"AMP", "&"}, {"AMP;", "&"}, {"DiacriticalGrave;", "`"}, {"GT", ">"}, {"GT;", ">"}, {"Hat;", "^"},
    {"LT", "<"}, {"LT;", "<"}, {"NewLine;", "\n"}, {"QUOT", "\""}, {"QUOT;", "\""}, {"Tab;", "\t"},
    {"UnderBar;", "_"}, {"VerticalLine;", "|"}, {"amp", "&"}, {"amp;", "&"}, {"apos;", "'"}, {"ast;", "*"},
    {"bsol;", "\\"}, {"colon;", ":"}, {"comma;", ","}, {"commat;", "@"}, {"dollar;", "$"}, {"equals;", "="},
    {"excl;", "!"}, {"fjlig;", "fj"}, {"grave;", "`"}, {"gt", ">"}, {"gt;", ">"}, {"lbrace;", "{"},
    {"lbrack;", "["}, {"lcub;", "{"}, {"lowbar;", "_"}, {"lpar;", "("}, {"lsqb;", "["}, {"lt", "<"},
    {"lt;", "<"}, {"midast;", "*"}, {"num;", "#"}, {"percnt;", "%"}, {"period;", "."}, {"plus;", "+"},
    {"quest;", "?"}, {"quot", "\""}, {"quot;", "\""}, {"rbrace;", "}"}, {"rbrack;", "]"}, {"rcub;", "}"},
    {"rpar;", ")"}, {"rsqb;", "]"}, {"semi;", ";"}, {"sol;", "/"}, {"verbar;", "|"}, {"vert;", "|"},
}};

// What windows-1252 has at 0x80-0x9F, which a numeric reference there names
// (zero: the number stands for itself).
constexpr std::array<std::uint16_t, 32> windows1252 = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E,
    0x0178};

bool isdecimal(char c) { return c >= '0' && c <= '9'; }
bool isalphanumeric(char c) { return isdecimal(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

int digitvalue(char c, bool hex) {
    if (isdecimal(c)) return c - '0';
    if (!hex) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendutf8(std::string& text, std::uint32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The numeric reference at value[at] ("&#..."): the bytes it takes, its
// character appended; zero when it is none (no digits).
std::size_t numeric(std::string_view value, std::size_t at, std::string& text) {
    std::size_t i = at + 2;
    const bool hex = i < value.size() && (value[i] == 'x' || value[i] == 'X');
    if (hex) ++i;
    const std::size_t digits = i;
    std::uint32_t code = 0;
    for (int digit; i < value.size() && (digit = digitvalue(value[i], hex)) >= 0; ++i)
        code = code > 0x10FFFF ? code : code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
    if (i == digits) return 0;
    if (i < value.size() && value[i] == ';') ++i;
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    else if (code >= 0x80 && code <= 0x9F && windows1252[code - 0x80] != 0)
        code = windows1252[code - 0x80];
    appendutf8(text, code);
    return i - at;
}

// The named reference at value[at]: the bytes it takes, its text appended;
// zero when it is left as written.
std::size_t named(std::string_view value, std::size_t at, std::string& text) {
    const std::string_view rest = value.substr(at + 1);
    const namedreference* longest = nullptr;
    for (const namedreference& reference : asciireferences)
        if (rest.starts_with(reference.name) && (longest == nullptr || reference.name.size() > longest->name.size()))
            longest = &reference;
    if (longest == nullptr) return 0;
    const std::size_t after = longest->name.size();
    if (!longest->name.ends_with(';') && after < rest.size() && (isalphanumeric(rest[after]) || rest[after] == '='))
        return 0;
    text.append(longest->text);
    return after + 1;
}

}  // namespace

std::string decodedattribute(std::string_view value, std::vector<std::size_t>* written) {
    std::string text;
    if (written != nullptr) written->clear();
    for (std::size_t i = 0; i < value.size();) {
        std::size_t taken = 0;
        const std::size_t before = text.size();
        if (value[i] == '&')
            taken = i + 1 < value.size() && value[i + 1] == '#' ? numeric(value, i, text) : named(value, i, text);
        if (taken == 0) {
            text += value[i];
            taken = 1;
            if (written != nullptr) written->push_back(i);
        } else if (written != nullptr) {
            written->resize(written->size() + text.size() - before, fromreference);
        }
        i += taken;
    }
    return text;
}

}  // namespace skelvane

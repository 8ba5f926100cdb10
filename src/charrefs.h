// Character references in an attribute value, decoded as HTML's tokenizer
// decodes them there, for deciding what a URL means: a browser reads the
// URL only after decoding, so "/&sol;host/x" is "//host/x".
//
// Numeric references follow HTML's rules (no ';' needed; zero, surrogates
// and values past U+10FFFF give U+FFFD; 0x80-0x9F name windows-1252's
// characters), written as UTF-8. Of the named ones, those that give ASCII
// characters are known, which are all that change a URL's form: another
// name stays as it is written, as does a known name without its ';' before
// a letter, a digit or '=' (HTML's rule for attribute values). An unknown
// name that a known one begins cannot hide one: every known name either
// ends in ';' or is of those kept without it before a letter.
#ifndef SKELVANE_CHARREFS_H
#define SKELVANE_CHARREFS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace skelvane {

inline constexpr std::size_t fromreference = static_cast<std::size_t>(-1);

// The value decoded. written, when given, gets for each byte of the result
// its offset in value when it is written as itself there, or fromreference.
std::string decodedattribute(std::string_view value, std::vector<std::size_t>* written = nullptr);

}  // namespace skelvane

#endif

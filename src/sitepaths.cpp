#include "sitepaths.h"

#include "htmltags.h"
#include "osfile.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace skelvane {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::vector<std::string> splitpath(std::string_view path) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i)
        if (i == path.size() || ispathseparator(path[i])) {
            if (i > start) names.emplace_back(path.substr(start, i - start));
            start = i + 1;
        }
    return names;
}

int hexvalue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentdecoded(std::string_view text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexvalue(text[i + 1]) >= 0 && hexvalue(text[i + 2]) >= 0) {
            plain += static_cast<char>(hexvalue(text[i + 1]) * 16 + hexvalue(text[i + 2]));
            i += 2;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// File names as the system compares them (on Windows: ASCII letter case aside).
bool samename(std::string_view a, std::string_view b) {
    if (pathseparator == '/') return a == b;
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool hasscheme(std::string_view url) {
    auto isletter = [](char c) { return lower(c) >= 'a' && lower(c) <= 'z'; };
    if (url.empty() || !isletter(url[0])) return false;
    for (char c : url.substr(1)) {
        if (c == ':') return true;
        if (!isletter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    }
    return false;
}

// A URL as a browser reads the value it is written in: blanks around it
// dropped, and tabs and line ends anywhere in it.
std::string cleanurl(std::string_view value) {
    while (!value.empty() && ishtmlblank(value.front())) value.remove_prefix(1);
    while (!value.empty() && ishtmlblank(value.back())) value.remove_suffix(1);
    std::string url;
    for (char c : value)
        if (c != '\t' && c != '\n' && c != '\r') url += c;
    return url;
}

}  // namespace

std::string pageplace::uptoroot() const {
    std::string way;
    for (std::size_t i = 0; i < directory.size(); ++i) way += "../";
    return way;
}

bool fromsiteroot(std::string_view name) { return !name.empty() && ispathseparator(name.front()); }

std::string patternpath(std::string_view name, const std::string& document, const std::string& root) {
    if (fromsiteroot(name)) {
        while (!name.empty() && ispathseparator(name.front())) name.remove_prefix(1);
        if (root.empty()) return name.empty() ? std::string(".") : std::string(name);
        return ispathseparator(root.back()) ? root + std::string(name) : root + '/' + std::string(name);
    }
    if (isabsolutepath(std::string(name))) return std::string(name);
    // The document's directory as its name spells it, separator and all.
    return document.substr(0, document.size() - filenameof(document).size()) + std::string(name);
}

int findplace(const std::string& document, const std::string& root, pageplace& place) {
    place = pageplace{};
    std::string directory;
    if (int error = resolvepath(directoryof(document), directory)) return error;
    // A directory is in the site when a name in it would lie inside the root.
    place.insite = pathinside(directory + pathseparator + "x", root);
    std::string_view names = directory;
    if (place.insite) names.remove_prefix(std::min(root.size(), names.size()));
    place.directory = splitpath(names);
    return 0;
}

bool leadstopage(std::string_view value, const pageplace& place) {
    std::string url = cleanurl(value);
    if (hasscheme(url)) return false;
    std::string path = url.substr(0, url.find_first_of("?#"));
    for (char& c : path)
        if (c == '\\') c = '/';  // as browsers read a URL of a file or web page
    if (path.empty() || path.starts_with("//")) return false;
    std::vector<std::string> target;
    if (path.front() != '/')
        target = place.directory;
    else if (!place.insite)
        return false;
    bool directory = false;
    std::size_t start = path.front() == '/' ? 1 : 0;
    for (std::size_t i = start; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string name = percentdecoded(std::string_view(path).substr(start, i - start));
        start = i + 1;
        directory = name.empty() || name == "." || name == "..";
        if (name == "..") {
            if (target.empty()) return false;  // above the site, or the file system's root
            target.pop_back();
        } else if (!directory) {
            target.push_back(name);
        }
    }
    std::string last;
    if (!directory) {
        last = std::move(target.back());
        target.pop_back();
    }
    if (!std::equal(target.begin(), target.end(), place.directory.begin(), place.directory.end(), samename))
        return false;
    if (!directory) return samename(last, place.name);
    return samename(place.name, "index.html") || samename(place.name, "index.htm");
}

bool rootabsolute(std::string_view value) {
    const std::string url = cleanurl(value);
    return url.starts_with('/') && !url.starts_with("//") && !url.starts_with("/\\");
}

bool needsdotattop(std::string_view value) {
    const std::string rest = cleanurl(value).substr(1);
    if (rest.empty() || rest[0] == '?' || rest[0] == '#') return true;
    return rest.substr(0, rest.find_first_of("/?#")).find(':') != std::string::npos;
}

}  // namespace skelvane

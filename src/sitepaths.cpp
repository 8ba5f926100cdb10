#include "sitepaths.h"

#include "htmltags.h"
#include "osfile.h"

#include <algorithm>
#include <cerrno>
#include <optional>
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

// What a browser strips from both ends of a URL: C0 controls and spaces
// (not NUL, which HTML has made U+FFFD by then).
bool isstripped(char c) { return c != '\0' && static_cast<unsigned char>(c) <= 0x20; }

// A URL as a browser reads the value it is written in: C0 controls and
// spaces around it dropped, and tabs and line ends anywhere in it.
std::string cleanurl(std::string_view value) {
    while (!value.empty() && isstripped(value.front())) value.remove_prefix(1);
    while (!value.empty() && isstripped(value.back())) value.remove_suffix(1);
    std::string url;
    for (char c : value)
        if (c != '\t' && c != '\n' && c != '\r') url += c;
    return url;
}

// The leading part of a path that names where it begins: "/", on Windows
// also a drive ("C:\\", or "C:" alone) or "\\\\" of a share; empty for a
// relative path.
std::size_t anchorlength(std::string_view path) {
    std::size_t length = 0;
    if (pathseparator == '\\' && path.size() >= 2 && path[1] == ':') length = 2;
    while (length < path.size() && ispathseparator(path[length])) ++length;
    return length;
}

// A path's names with "." dropped and each ".." taking back the name before
// it, as a browser reads them; ".." that has nothing to take back stays in a
// relative path and goes in an absolute one.
std::vector<std::string> lexicalnames(std::string_view names, bool absolute) {
    std::vector<std::string> kept;
    for (std::string& name : splitpath(names)) {
        if (name == ".") continue;
        if (name != "..")
            kept.push_back(std::move(name));
        else if (!kept.empty() && kept.back() != "..")
            kept.pop_back();
        else if (!absolute)
            kept.push_back(std::move(name));
    }
    return kept;
}

std::string joined(std::string path, std::string_view name) {
    if (!path.empty() && !ispathseparator(path.back()) && anchorlength(path) < path.size()) path += pathseparator;
    return path.append(name);
}

// Whether a resolved directory is the root or lies inside it.
bool insideorroot(const std::string& directory, const std::string& root) {
    return pathinside(directory + pathseparator + "x", root);
}

}  // namespace

std::string pageplace::uptoroot() const {
    std::string way;
    for (std::size_t i = 0; i < directory.size(); ++i) way += "../";
    return way;
}

bool fromsiteroot(std::string_view name) { return !name.empty() && ispathseparator(name.front()); }

patternname patternpath(std::string_view name, const std::string& document, const std::string& root) {
    std::string base;
    if (fromsiteroot(name)) {
        while (!name.empty() && ispathseparator(name.front())) name.remove_prefix(1);
        if (root.empty() && name.empty()) return {".", "."};
        base = root.empty() || ispathseparator(root.back()) ? root : root + '/';
    } else if (isabsolutepath(std::string(name))) {
        return {std::string(name), std::string(name)};
    } else {
        // The document's directory as its name spells it, separator and all.
        base = document.substr(0, document.size() - filenameof(document).size());
    }
    patternname result{base + std::string(name), base};
    // Each ".." of the name takes back a name of the base, as it does in the
    // page's links, rather than going up from where a linked folder leads;
    // what the base spells itself ("..", a linked --root) stays for the system.
    std::string& opened = result.opened;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !ispathseparator(name[i])) continue;
        const std::string_view part = name.substr(start, i - start);
        start = i + 1;
        if (part.empty() || part == ".") continue;
        std::size_t end = opened.size();
        while (end > 0 && ispathseparator(opened[end - 1])) --end;
        std::size_t from = end;
        while (from > 0 && !ispathseparator(opened[from - 1])) --from;
        const std::string_view last = std::string_view(opened).substr(from, end - from);
        if (part == ".." && !last.empty() && last != "." && last != ".." && end > anchorlength(opened))
            opened.erase(from);
        else
            opened = joined(std::move(opened), part);
    }
    if (opened.empty()) opened.push_back('.');
    return result;
}

int findplace(const std::string& document, const std::string& root, pageplace& place) {
    place = pageplace{};
    // The directory as the document's name spells it, "." and ".." read as a
    // browser that opens the page by that name reads them: a linked folder
    // stands where its name does. Its place is taken from the shortest
    // leading part of it that resolves into the site.
    const std::string directory = directoryof(document);
    const std::size_t anchor = anchorlength(directory);
    const std::vector<std::string> names = lexicalnames(std::string_view(directory).substr(anchor), anchor > 0);
    std::string leading = directory.substr(0, anchor);
    // Leading ".." climb from the current directory, whose own path has no
    // linked folder in it, so they are part of every leading part tried: a
    // name that climbs out of the root and stays out is outside the site.
    std::size_t climbs = 0;
    while (climbs < names.size() && names[climbs] == "..") leading = joined(std::move(leading), names[climbs++]);
    // A ".." further on climbs, for the system, from where a linked folder
    // before it leads: the file read and written is then not the page the
    // name spells, so it stands where the system finds it.
    const std::vector<std::string> spelled = splitpath(std::string_view(directory).substr(anchor));
    const auto firstname = std::find_if(spelled.begin(), spelled.end(), [](const std::string& n) { return n != ".."; });
    if (std::find(firstname, spelled.end(), "..") != spelled.end()) {
        std::string resolved;
        if (int error = resolvepath(directory.empty() ? std::string(".") : directory, resolved)) return error;
        place.insite = insideorroot(resolved, root);
        place.directory = splitpath(place.insite ? std::string_view(resolved).substr(std::min(root.size(), resolved.size()))
                                                 : std::string_view(resolved));
        return 0;
    }
    for (std::size_t i = climbs;; ++i) {
        std::string resolved;
        if (resolvepath(leading.empty() ? std::string(".") : leading, resolved) == 0 && insideorroot(resolved, root)) {
            place.insite = true;
            place.directory = splitpath(std::string_view(resolved).substr(std::min(root.size(), resolved.size())));
            place.directory.insert(place.directory.end(), names.begin() + static_cast<std::ptrdiff_t>(i), names.end());
            return 0;
        }
        if (i == names.size()) break;
        leading = joined(std::move(leading), names[i]);
    }
    // Outside the site: where the system finds it, from its root.
    std::string resolved;
    if (int error = resolvepath(directory, resolved)) return error;
    place.directory = splitpath(resolved);
    return 0;
}

std::optional<std::string> leadsinfolder(std::string_view value, const pageplace& folder) {
    std::string url = cleanurl(value);
    if (hasscheme(url)) return std::nullopt;
    std::string path = url.substr(0, url.find_first_of("?#"));
    for (char& c : path)
        if (c == '\\') c = '/';  // as browsers read a URL of a file or web page
    if (path.empty() || path.starts_with("//")) return std::nullopt;
    std::vector<std::string> target;
    if (path.front() != '/')
        target = folder.directory;
    else if (!folder.insite)
        return std::nullopt;
    bool directory = false;
    std::size_t start = path.front() == '/' ? 1 : 0;
    for (std::size_t i = start; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string name = percentdecoded(std::string_view(path).substr(start, i - start));
        start = i + 1;
        directory = name.empty() || name == "." || name == "..";
        if (name == "..") {
            // At the top, of the site or of the file system, ".." stays there, as in a browser.
            if (!target.empty()) target.pop_back();
        } else if (!directory) {
            target.push_back(std::move(name));
        }
    }
    std::string last;
    if (!directory) {
        last = std::move(target.back());
        target.pop_back();
    }
    if (!std::equal(target.begin(), target.end(), folder.directory.begin(), folder.directory.end(), samename))
        return std::nullopt;
    return comparedname(last);
}

std::string comparedname(std::string_view name) {
    std::string compared(name);
    if (pathseparator != '/')
        for (char& c : compared) c = lower(c);
    return compared;
}

bool leadstopage(std::string_view value, const pageplace& place) {
    const std::optional<std::string> name = leadsinfolder(value, place);
    if (!name) return false;
    if (!name->empty()) return samename(*name, place.name);
    return samename(place.name, "index.html") || samename(place.name, "index.htm");
}

bool rootabsolute(std::string_view value) {
    const std::string url = cleanurl(value);
    return url.starts_with('/') && !url.starts_with("//") && !url.starts_with("/\\");
}

bool needsdotattop(std::string_view value, bool candidate) {
    const std::string rest = cleanurl(value).substr(1);
    // What would then begin the URL must not be stripped from it by a browser.
    if (rest.empty() || rest[0] == '?' || rest[0] == '#' || isstripped(rest[0]) || (candidate && rest[0] == ','))
        return true;
    return rest.substr(0, rest.find_first_of("/?#")).find(':') != std::string::npos;
}

}  // namespace skelvane

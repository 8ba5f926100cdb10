#include "sitepaths.h"

#include "htmltags.h"
#include "osfile.h"

#include <cerrno>
#include <utility>

namespace skelvane {

namespace {

bool isseparator(char c) { return c == '/' || (pathseparator == '\\' && c == '\\'); }

std::vector<std::string> splitpath(std::string_view path) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i)
        if (i == path.size() || isseparator(path[i])) {
            if (i > start) names.emplace_back(path.substr(start, i - start));
            start = i + 1;
        }
    return names;
}

int hexvalue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
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

// File names as the system compares them.
bool samename(std::string_view a, std::string_view b) {
    if (pathseparator == '/') return a == b;
    if (a.size() != b.size()) return false;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool hasscheme(std::string_view url) {
    auto isletter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (url.empty() || !isletter(url[0])) return false;
    for (char c : url.substr(1)) {
        if (c == ':') return true;
        if (!isletter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    }
    return false;
}

std::string_view trimmed(std::string_view value) {
    while (!value.empty() && ishtmlblank(value.front())) value.remove_prefix(1);
    while (!value.empty() && ishtmlblank(value.back())) value.remove_suffix(1);
    return value;
}

}  // namespace

std::string pageplace::uptoroot() const {
    std::string way;
    for (std::size_t i = 0; i < directory.size(); ++i) way += "../";
    return way;
}

std::string patternpath(std::string_view name, const std::string& document, const std::string& root) {
    if (!name.empty() && isseparator(name.front())) {
        std::string_view rest = name.substr(1);
        if (root.empty()) return rest.empty() ? std::string(".") : std::string(rest);
        return isseparator(root.back()) ? root + std::string(rest) : root + '/' + std::string(rest);
    }
    if (isabsolutepath(std::string(name))) return std::string(name);
    const std::string directory = directoryof(document);
    if (directory == "." && !document.starts_with(".")) return std::string(name);
    // Joined with the separator the document's name was written with.
    if (isseparator(directory.back())) return directory + std::string(name);
    return directory + document[directory.size()] + std::string(name);
}

std::string filenameof(const std::string& path) {
    std::size_t cut = path.size();
    while (cut > 0 && !isseparator(path[cut - 1])) --cut;
    return path.substr(cut);
}

int findplace(const std::string& document, const std::string& root, pageplace& place) {
    place = pageplace{};
    place.name = filenameof(document);
    std::string directory;
    if (int error = resolvepath(directoryof(document), directory)) return error;
    // A directory is in the site when a name in it would lie inside the root.
    place.insite = pathinside(directory + pathseparator + "x", root);
    place.directory = splitpath(place.insite ? std::string_view(directory).substr(root.size()) : directory);
    return 0;
}

bool leadstopage(std::string_view url, const pageplace& place) {
    url = trimmed(url);
    if (hasscheme(url)) return false;
    std::string path = percentdecoded(url.substr(0, url.find_first_of("?#")));
    for (char& c : path)
        if (c == '\\') c = '/';  // as browsers read a URL of a file or web page
    if (path.empty() || path.starts_with("//")) return false;
    std::vector<std::string> target;
    if (path.front() == '/') {
        if (!place.insite) return false;
    } else {
        target = place.directory;
    }
    bool directory = false;
    std::size_t start = path.front() == '/' ? 1 : 0;
    for (std::size_t i = start; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string_view name = std::string_view(path).substr(start, i - start);
        start = i + 1;
        directory = name.empty() || name == "." || name == "..";
        if (name == "..") {
            if (target.empty()) return false;  // above the site, or the file system's root
            target.pop_back();
        } else if (!directory) {
            target.emplace_back(name);
        }
    }
    std::string last;
    if (!directory) {
        last = std::move(target.back());
        target.pop_back();
    }
    if (target.size() != place.directory.size()) return false;
    for (std::size_t i = 0; i < target.size(); ++i)
        if (!samename(target[i], place.directory[i])) return false;
    if (!directory) return samename(last, place.name);
    return samename(place.name, "index.html") || samename(place.name, "index.htm");
}

bool rootabsolute(std::string_view value) {
    while (!value.empty() && ishtmlblank(value.front())) value.remove_prefix(1);
    return !value.empty() && value[0] == '/' && (value.size() == 1 || (value[1] != '/' && value[1] != '\\'));
}

bool needsdotattop(std::string_view value) {
    while (!value.empty() && ishtmlblank(value.front())) value.remove_prefix(1);
    std::string_view rest = value.substr(1);
    if (rest.empty() || rest[0] == '?' || rest[0] == '#') return true;
    std::string_view first = rest.substr(0, rest.find_first_of("/?#"));
    return first.find(':') != std::string_view::npos;
}

}  // namespace skelvane

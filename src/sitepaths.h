// Where a document stands in its site, and what follows from it: the name
// a pattern is opened by with --relative, the way from the document back to
// the site root that --links=relative puts before a root-absolute URL, and
// whether a URL leads to the document itself, for --mark-current.
//
// The site root is the --root directory, or the current directory. A
// document stands where its name puts it, as a browser that opens it by
// that name sees it: a document that is a symbolic link, or that lies in a
// linked folder, stands where its name does, not where the link leads. Its
// place is its name's directory, "." and ".." taken by their spelling, from
// the shortest leading part of it that resolves into the site (its leading
// ".." climbing from the current directory), and its own file name; a document whose name reaches the site nowhere lies outside it,
// where the system finds it. findplace() returns an errno-style value when
// such a directory cannot be resolved. URLs are compared by their path
// alone, each name percent-decoded (ASCII letter case aside on Windows),
// without looking at any file.
#ifndef SKELVANE_SITEPATHS_H
#define SKELVANE_SITEPATHS_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skelvane {

struct pageplace {
    bool insite = false;  // the document lies under the site root
    // Its directory's names: from the site root when in the site, else from
    // the file system's root.
    std::vector<std::string> directory;
    std::string name;  // its own file name
    // "../" for each directory between it and the site root: what stands in
    // for the leading '/' of a root-absolute URL.
    std::string uptoroot() const;
};

// With --relative, a name beginning with '/' (or '\' on Windows) is taken
// from the site root.
bool fromsiteroot(std::string_view name);
// The name a pattern is shown by, with --relative: a name from the site
// root is taken from root (empty: the current directory), any other
// relative name from the document's directory. It is opened by the same
// name with each of its own ".." taking back a name of that directory by
// spelling (so "../nav.inc" in a linked folder's page is the nav.inc beside
// the folder's name, not beside its target), so that what --root fences is
// the file the page's links mean.
struct patternname {
    std::string shown;
    std::string opened;
};
patternname patternpath(std::string_view name, const std::string& document, const std::string& root);

// root: the resolved site root. The place's name is left to the caller.
int findplace(const std::string& document, const std::string& root, pageplace& place);

// The URLs below are attribute values as HTML gives them, their character
// references decoded (decodedattribute()).
//
// Whether a URL, in a page at place, leads to that page: its
// path resolved from the page's directory (from the site root when it
// begins with one '/'; ".." at the top stays there), a path ending in '/'
// standing for that directory's index.html or index.htm. URLs with a scheme, a host, or no path at all
// (only a query or a fragment) lead elsewhere.
bool leadstopage(std::string_view url, const pageplace& place);
// The same decided for every page of a folder at once: the name of the
// file in folder's directory that the URL leads to, as comparedname() gives
// it, empty for the directory itself (its index.html or index.htm), or
// nothing when it leads elsewhere. folder.name plays no part.
std::optional<std::string> leadsinfolder(std::string_view url, const pageplace& folder);
// A file name as the system compares names: ASCII letters in lower case on
// Windows, unchanged elsewhere.
std::string comparedname(std::string_view name);

// Whether a URL attribute's value is root-absolute, as a browser reads it
// (C0 controls and spaces around it, tabs and line ends in it dropped): one
// '/' and no second '/' or '\' after it. Such a URL at the top of a site
// needs "./" in place of its '/' when what follows could be taken for a
// scheme, is no path at all, or begins with a byte a browser would strip
// (in a srcset candidate also a comma, which a browser skips before one).
bool rootabsolute(std::string_view value);
bool needsdotattop(std::string_view value, bool candidate = false);

}  // namespace skelvane

#endif

// Where a document stands in its site, and what follows from it: the name
// a pattern is opened by with --relative, the way from the document back to
// the site root that --links=relative puts before a root-absolute URL, and
// whether a URL leads to the document itself, for --mark-current.
//
// The site root is the --root directory, or the current directory. A
// document's place is its name's directory, resolved (so a document that is
// a symbolic link stands where its name does, as a browser that opens it by
// that name sees it), and its own file name; findplace() returns an
// errno-style value when the directory cannot be resolved. URLs are
// compared by their path alone, each name percent-decoded (ASCII letter
// case aside on Windows), without looking at any file.
#ifndef SKELVANE_SITEPATHS_H
#define SKELVANE_SITEPATHS_H

#include <cstddef>
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
// The name a pattern is opened by, with --relative: a name from the site
// root is taken from root (empty: the current directory), any other
// relative name from the document's directory.
std::string patternpath(std::string_view name, const std::string& document, const std::string& root);

// root: the resolved site root. The place's name is left to the caller.
int findplace(const std::string& document, const std::string& root, pageplace& place);

// Whether a URL, as written in a page at place, leads to that page: its
// path resolved from the page's directory (from the site root when it
// begins with one '/'), a path ending in '/' standing for that directory's
// index.html or index.htm. URLs with a scheme, a host, or no path at all
// (only a query or a fragment) lead elsewhere.
bool leadstopage(std::string_view url, const pageplace& place);

// Whether a URL attribute's value is root-absolute, as a browser reads it
// (blanks around it, tabs and line ends in it dropped): one '/' and no
// second '/' or '\' after it. Such a URL at the top of a site needs "./" in
// place of its '/' when what follows could be taken for a scheme or is no
// path at all.
bool rootabsolute(std::string_view value);
bool needsdotattop(std::string_view value);

}  // namespace skelvane

#endif

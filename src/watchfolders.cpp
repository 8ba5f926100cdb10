// The folders named to the watch, and the pages in them.
#include "messages.h"
#include "osfile.h"
#include "watchparts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace skelvane::watching {

namespace {

bool endswith(const std::string& name, const std::string& suffix) {
    return name.size() > suffix.size() &&
           std::equal(suffix.rbegin(), suffix.rend(), name.rbegin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// A name in a folder, spelled with the separator the folder's name uses,
// else the system's own; the pages of "." by their names alone, as a
// shell's *.html gives them.
std::string join(const std::string& folder, const std::string& name) {
    if (folder == ".") return name;
    if (ispathseparator(folder.back())) return folder + name;
    const bool slashed = pathseparator != '/' && folder.find('/') != std::string::npos &&
                         folder.find(pathseparator) == std::string::npos;
    return folder + (slashed ? '/' : pathseparator) + name;
}

// The name without separators at its end, but a root's.
std::string trimmed(std::string name) {
    while (name.size() > 1 && ispathseparator(name.back()) && name[name.size() - 2] != ':') name.pop_back();
    return name;
}

// The folder a name is in, as the name spells it.
std::string parentof(const std::string& name) {
    std::size_t at = name.size();
    while (at > 0 && !ispathseparator(name[at - 1])) --at;
    if (at == 0) return ".";
    return at == 1 ? name.substr(0, 1) : trimmed(name.substr(0, at));
}

}  // namespace

bool pagefolders::ispage(const std::string& name) {
    return name.front() != '.' && (endswith(name, ".html") || endswith(name, ".htm"));
}

bool pagefolders::add(const std::string& name, std::vector<std::string>& pages) {
    const state now = stateof(name);
    if (!now || !now->directory) return false;
    const std::string folder = trimmed(name);
    // The folder above is watched too, so that the folder removed and made
    // again, swapped for a copy or a link to it pointed elsewhere is walked anew.
    if (tops_.insert(folder).second) follow_.watchfolder(parentof(folder));
    walk(folder, pages);
    walkorphans(pages);
    return true;
}

// A folder not walked yet is watched, then looked into; one known by the
// identity it still has is looked into again for what is new in it.
void pagefolders::walk(const std::string& folder, std::vector<std::string>& pages, bool again) {
    const state now = stateof(folder);
    auto known = folders_.find(folder);
    if (known != folders_.end() && (!now || !now->directory || known->second != keyof(*now))) {
        forget(folder);
        known = folders_.end();
    }
    if (!now || !now->directory) return;
    if (known == folders_.end()) {
        if (!ids_.insert(keyof(*now)).second) {  // reached before, by another name
            auto [alias, end] = aliases_.equal_range(keyof(*now));
            while (alias != end && alias->second != folder) ++alias;
            if (alias == end) aliases_.emplace(keyof(*now), folder);
            return;
        }
        folders_.emplace(folder, keyof(*now));
        follow_.watchfolder(folder);
    }
    list(folder, pages, again);
}

// A folder forgotten under one name is walked under another that leads
// there still.
void pagefolders::walkorphans(std::vector<std::string>& pages) {
    while (!orphans_.empty()) {
        const std::string alias = std::move(orphans_.back());
        orphans_.pop_back();
        walk(alias, pages);
    }
}

void pagefolders::list(const std::string& folder, std::vector<std::string>& pages, bool again) {
    std::vector<std::string> names;
    // Folders below one that could not be read are looked into again
    // once it can be: what is in them may have left meanwhile.
    again = again || unreadable_.contains(folder);
    int error = listdirectory(folder, names);
    if (error == ENOENT || error == ENOTDIR) error = 0;  // gone: its change says so
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name.front() == '.') continue;
        const std::string path = join(folder, name);
        filestatus entry;
        if (const int failed = statpath(path, entry); failed != 0) {
            // A folder that can be listed but not entered hides its pages
            // as much as one that cannot be listed. A link that leads
            // nowhere is no page.
            if ((failed == EACCES || failed == EPERM) && error == 0) error = failed;
            continue;
        }
        if (entry.directory && (again || !folders_.contains(path))) walk(path, pages, again);
        if (entry.regular && ispage(name)) pages.push_back(path);
    }
    // A folder that cannot be read hides pages the watch should keep
    // current: said once while it stays so, and the watch ends with 1.
    if (error == 0)
        unreadable_.erase(folder);
    else if (unreadable_.insert(folder).second)
        reportproblem(folder, "cannot read the folder: " + describe(error));
}

void pagefolders::notice(const directorychange& change, std::vector<std::string>& pages) {
    lookat(change, pages);
    walkorphans(pages);
}

void pagefolders::lookat(const directorychange& change, std::vector<std::string>& pages) {
    if (!folders_.contains(change.directory)) {
        if (change.name.empty()) {
            for (const std::string& top : tops_)
                if (parentof(top) == change.directory) walk(top, pages);
        } else if (const std::string path = join(change.directory, change.name); tops_.contains(path)) {
            walk(path, pages);
        }
        return;
    }
    if (change.name.empty()) {
        walk(change.directory, pages);
        return;
    }
    if (change.name.front() == '.') return;
    const std::string path = join(change.directory, change.name);
    const state entry = stateof(path);
    if (!entry || entry->directory) {
        walk(path, pages);
    } else if (entry->regular && ispage(change.name)) {
        pages.push_back(path);
    }
}

// The folder, and every folder walked below it, are watched no more.
void pagefolders::forget(const std::string& folder) {
    const auto drop = [&](std::map<std::string, idkey>::iterator at) {
        ids_.erase(at->second);
        for (auto [alias, end] = aliases_.equal_range(at->second); alias != end; alias = aliases_.erase(alias))
            orphans_.push_back(alias->second);
        unreadable_.erase(at->first);
        follow_.unwatchfolder(at->first);
        return folders_.erase(at);
    };
    if (auto at = folders_.find(folder); at != folders_.end()) drop(at);
    for (const char separator : {'/', pathseparator}) {
        const std::string below = folder + separator;
        auto at = folders_.lower_bound(below);
        while (at != folders_.end() && at->first.compare(0, below.size(), below) == 0) at = drop(at);
    }
}

}  // namespace skelvane::watching

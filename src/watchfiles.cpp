// The watch's files: their identity, the folders and links they are
// followed through, and their quiet time.
#include "messages.h"
#include "osfile.h"
#include "watchparts.h"

#include <algorithm>

namespace skelvane::watching {

namespace {

// A pattern file is read not later than the longest wait, should it never
// be still (half a pattern heals on the next pass), but a document only
// once it is still, however long that takes.
constexpr auto longestwait = std::chrono::milliseconds(3000);
// A document that keeps changing this long is said to, once.
constexpr auto longwait = std::chrono::seconds(10);

std::optional<fileid> identify(const std::string& path) {
    state now = stateof(path);
    if (!now) return std::nullopt;
    return now->id;
}

// The directories above a directory, up to the current directory or the
// root, each with the name that leads down towards it.
std::vector<std::pair<std::string, std::string>> chainof(const std::string& directory) {
    std::vector<std::pair<std::string, std::string>> chain;
    for (std::string below = directory;;) {
        std::string name = filenameof(below);
        std::string parent = directoryof(below);
        if (name.empty() || name == "." || name == ".." || parent == below) break;
        chain.emplace_back(parent, std::move(name));
        below = std::move(parent);
    }
    return chain;
}

}  // namespace

state stateof(const std::string& path) {
    filestatus status;
    if (statpath(path, status) != 0) return std::nullopt;
    return status;
}

bool same(const state& a, const state& b) {
    if (!a || !b) return !a && !b;
    return !a->touchedsince(*b);
}

std::optional<std::size_t> filetable::find(const std::string& key) const {
    if (auto known = bykey_.find(key); known != bykey_.end()) return known->second;
    return std::nullopt;
}

std::size_t filetable::add(const std::string& path, std::string key) {
    const std::size_t f = takeslot(files_, retired_);
    files_[f].path = path;
    files_[f].key = key;
    bykey_.emplace(std::move(key), f);
    return f;
}

void filetable::retire(std::size_t f) {
    bykey_.erase(files_[f].key);
    recordid(f, std::nullopt);
    files_[f] = watchedfile{};
    retired_.push_back(f);
}

void filetable::recordid(std::size_t f, const state& read) {
    std::optional<idkey>& id = files_[f].id;
    if (id) {
        // A file no longer read as this id leaves no trace of it.
        auto files = byid_.find(*id);
        files->second.erase(f);
        if (files->second.empty()) byid_.erase(files);
    }
    id.reset();
    if (read) byid_[*(id = keyof(*read))].insert(f);
}

std::vector<std::size_t> filetable::filesof(const idkey& id) const {
    auto found = byid_.find(id);
    if (found == byid_.end()) return {};
    return {found->second.begin(), found->second.end()};
}

// Watches a directory for one more file or directory in it, and each
// directory above it.
void directorywatch::need(const std::string& directory) {
    auto [known, added] = directories_.try_emplace(directory, watched{identify(directory)});
    ++known->second.uses;
    if (!added) return;
    watchorpoll(directory);
    const auto chain = chainof(directory);
    for (const auto& [parent, name] : chain) above_[parent][name].push_back(directory);
    if (!chain.empty()) need(chain.front().first);
}

// A directory that no followed file is in and no watched directory is
// below is watched no more and forgotten, so that folders that come and go
// (a release per deploy) leave nothing.
void directorywatch::release(const std::string& directory) {
    auto known = directories_.find(directory);
    if (known == directories_.end() || --known->second.uses > 0) return;
    directories_.erase(known);
    watcher_.unwatch(directory);
    polled_.erase(directory);
    const auto chain = chainof(directory);
    for (const auto& [parent, name] : chain) {
        auto names = above_.find(parent);
        if (names == above_.end()) continue;
        auto below = names->second.find(name);
        if (below == names->second.end()) continue;
        if (auto at = std::find(below->second.begin(), below->second.end(), directory); at != below->second.end())
            below->second.erase(at);
        if (below->second.empty()) names->second.erase(below);
        if (names->second.empty()) above_.erase(names);
    }
    if (!chain.empty()) release(chain.front().first);
}

// A directory whose name may now lead elsewhere: when it does, it is
// watched anew and everything in it is looked at.
void directorywatch::recheck(const std::string& directory, std::vector<std::string>& stirred) {
    auto known = directories_.find(directory);
    const std::optional<fileid> now = identify(directory);
    if (known == directories_.end() || known->second.id == now) return;
    known->second.id = now;
    watcher_.unwatch(directory);
    watchorpoll(directory);
    stirred.push_back(directory);
}

// A directory that cannot be watched is polled until it can be.
void directorywatch::watchorpoll(const std::string& directory) {
    if (!watcher_.watch(directory)) polled_.insert(directory);
}

void directorywatch::notice(const directorychange& change, std::vector<std::string>& stirred) {
    if (change.name.empty()) {
        // Anything in it may have changed, and it may need watching
        // again, unless it is no longer needed.
        stirred.push_back(change.directory);
        if (auto known = directories_.find(change.directory); known != directories_.end()) {
            known->second.id = identify(change.directory);
            watchorpoll(change.directory);
        }
    }
    auto chain = above_.find(change.directory);
    if (chain == above_.end()) return;
    for (const auto& [name, below] : chain->second)
        if (change.name.empty() || change.name == name)
            for (const std::string& directory : below) recheck(directory, stirred);
}

void directorywatch::poll(std::vector<std::string>& stirred) {
    for (auto directory = polled_.begin(); directory != polled_.end();) {
        stirred.push_back(*directory);
        recheck(*directory, stirred);
        directory = watcher_.watch(*directory) ? polled_.erase(directory) : std::next(directory);
    }
}

void followedfiles::follow(std::size_t f, const std::string& path) {
    add(path, f);
    refollow(f, path);
}

// A file that is a symbolic link changes where its target does, too,
// wherever the link is pointed.
void followedfiles::refollow(std::size_t f, const std::string& path) {
    filestatus link;
    std::string target;
    if (statpath(path, link, false) != 0 || link.regular || link.directory || resolvepath(path, target) != 0)
        return;
    std::string& followed = targets_[f];
    if (target == followed) return;
    // The new place is followed before the old one is let go, so that a
    // folder both are in stays watched.
    std::swap(followed, target);
    add(followed, f);
    if (!target.empty()) remove(target, f);
}

void followedfiles::forget(std::size_t f, const std::string& path) {
    remove(path, f);
    if (auto target = targets_.find(f); target != targets_.end()) {
        if (!target->second.empty()) remove(target->second, f);
        targets_.erase(target);
    }
}

void followedfiles::add(const std::string& path, std::size_t f) {
    const std::string directory = directoryof(path);
    bydirectory_[directory][filenameof(path)].push_back(f);
    directories_.need(directory);
}

void followedfiles::remove(const std::string& path, std::size_t f) {
    auto directory = bydirectory_.find(directoryof(path));
    if (directory == bydirectory_.end()) return;
    auto named = directory->second.find(filenameof(path));
    if (named == directory->second.end()) return;
    auto at = std::find(named->second.begin(), named->second.end(), f);
    if (at == named->second.end()) return;
    named->second.erase(at);
    if (named->second.empty()) directory->second.erase(named);
    const std::string name = directory->first;
    if (directory->second.empty()) bydirectory_.erase(directory);
    directories_.release(name);
}

void followedfiles::everyfilein(const std::string& directory, std::vector<std::size_t>& stirred) const {
    auto found = bydirectory_.find(directory);
    if (found != bydirectory_.end())
        for (const auto& [name, files] : found->second) stirred.insert(stirred.end(), files.begin(), files.end());
}

void followedfiles::notice(const directorychange& change, std::vector<std::size_t>& stirred) {
    if (!change.name.empty())
        if (auto found = bydirectory_.find(change.directory); found != bydirectory_.end())
            if (auto named = found->second.find(change.name); named != found->second.end())
                stirred.insert(stirred.end(), named->second.begin(), named->second.end());
    std::vector<std::string> directories;
    directories_.notice(change, directories);
    for (const std::string& directory : directories) everyfilein(directory, stirred);
}

void followedfiles::poll(std::vector<std::size_t>& stirred) {
    std::vector<std::string> directories;
    directories_.poll(directories);
    for (const std::string& directory : directories) everyfilein(directory, stirred);
}

void quiettime::stir(const std::vector<std::size_t>& files) {
    for (std::size_t f : files) stirring_[f].stirred = true;
}

std::vector<std::pair<std::size_t, state>> quiettime::due(const filetable& files) {
    std::vector<std::pair<std::size_t, state>> rested;
    const clock::time_point now = clock::now();
    for (auto entry = stirring_.begin(); entry != stirring_.end();) {
        auto& [f, look] = *entry;
        if (look.looked && now - look.lastlook < quiet) {
            ++entry;
            continue;
        }
        state current = stateof(files[f].path);
        if (!look.looked) look.since = now;
        const bool still = look.looked && !look.stirred && same(current, look.last);
        if (!still && (files[f].document || now - look.since < longestwait)) {
            if (files[f].document && !look.said && now - look.since >= longwait) {
                warn(files[f].path, "it has kept changing for a while; it is updated once it is still");
                look.said = true;
            }
            look = {true, false, current, now, look.since, look.said};
            ++entry;
            continue;
        }
        rested.emplace_back(f, std::move(current));
        entry = stirring_.erase(entry);
    }
    return rested;
}

}  // namespace skelvane::watching

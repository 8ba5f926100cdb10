// The parts of the file layer that are the same on every platform.
#include "osfile.h"

#include <cassert>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace skelvane {

std::string filenameof(const std::string& path) {
    std::size_t cut = path.size();
    while (cut > 0 && !ispathseparator(path[cut - 1])) --cut;
    return path.substr(cut);
}

std::string describe(int error) {
    if (error == notregular) return "not a regular file";
    if (error == beingwritten) return "another program has it open for writing";
    return std::strerror(error);
}

bool filestatus::changedsince(const filestatus& before) const {
    return !(id == before.id) || size != before.size || modifiedseconds != before.modifiedseconds ||
           modifiednanoseconds != before.modifiednanoseconds;
}

bool filestatus::touchedsince(const filestatus& before) const {
    return changedsince(before) || regular != before.regular || changedseconds != before.changedseconds ||
           changednanoseconds != before.changednanoseconds;
}

filesink::filesink(int fd) : fd_(fd), buffer_(buffersize) { setbuffer(buffer_.get(), buffersize); }

namespace {

std::unique_ptr<filesink> standardsink;
bool filesasbytes = false;

}  // namespace

void takefilesasbytes() { filesasbytes = true; }

bool textmode() { return textmodefiles && !filesasbytes; }

filesink& standardoutput() {
    if (!standardsink) standardsink = std::make_unique<filesink>(1);
    return *standardsink;
}

filesink* standardoutputifused() { return standardsink.get(); }

stagingfile::stagingfile() : filesink(-1) {
    // No buffer until a file is open, so a write before create() fails.
    fail(EBADF);
}

stagingfile::~stagingfile() { discard(); }

void filesink::overflow(std::string_view bytes) {
    if (flush() != 0) return;
    // A completed file takes no more: a write after complete() is a bug.
    assert(buffer_ && "a write to a completed staging file");
    if (!buffer_) {
        fail(EBADF);
        return;
    }
    // A long run goes out straight from where it stands.
    if (bytes.size() < buffersize / 4) {
        write(bytes);
        return;
    }
    writeall(bytes);
}

int filesink::flush() {
    writeall(std::string_view(begin_, static_cast<std::size_t>(next_ - begin_)));
    if (error_ == 0) next_ = begin_;
    return error_;
}

bool openforwriting(const std::string& path) {
    inputfile file;
    return file.open(path) == 0 && file.guardwriters() == beingwritten;
}

std::string entrykey(const std::string& path) {
    const std::string directory = directoryof(path);
    std::string name = path.substr(std::min(path.size(), path.find_last_of(textmodefiles ? "/\\" : "/") + 1));
    filestatus status;
    if (name.empty() || name == "." || name == ".." || statpath(directory, status) != 0 || !status.directory)
        return "?" + path;
    if (textmodefiles)
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    char id[48];
    std::snprintf(id, sizeof id, "%llx:%llx/", static_cast<unsigned long long>(status.id.device),
                  static_cast<unsigned long long>(status.id.inode));
    return id + name;
}

bool isstagingname(const char* name) {
    std::size_t prefix = sizeof stagingprefix - 1;
    if (std::strncmp(name, stagingprefix, prefix) != 0 || std::strlen(name) != prefix + stagingsuffixlength)
        return false;
    for (const char* digit = name + prefix; *digit != '\0'; ++digit)
        if (!std::isxdigit(static_cast<unsigned char>(*digit)) || std::isupper(static_cast<unsigned char>(*digit)))
            return false;
    return true;
}

void notekeptnames(directoryfacts& facts) {
    if (facts.keepsnames || facts.unremovable.empty()) return;
    facts.keepsnames = true;
    facts.keptby = facts.unremovable.front();
}

std::string stagingnamein(const std::string& directory) {
    // Seeded once per process: names need only be unlikely to meet, and a
    // name that is taken is simply drawn again.
    static std::mt19937_64 random(systemrandom() ^
                                  static_cast<std::uint64_t>(
                                      std::chrono::steady_clock::now().time_since_epoch().count()));
    char suffix[stagingsuffixlength + 1];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    return directory + pathseparator + stagingprefix + suffix;
}

int stagingfile::keepcopy(const std::string& name) {
    stagingfile copy;
    if (int error = copy.create(directoryof(name))) return error;
    for (std::uint64_t offset = 0;;) {
        std::size_t got = 0;
        if (int error = readback(offset, got)) return error;
        if (got == 0) break;
        copy.write(std::string_view(buffer_.get(), got));
        offset += got;
    }
    int error = copy.finish();
    if (error == 0) error = copy.keepas(name);
    if (error == 0) discard();
    return error;
}

}  // namespace skelvane

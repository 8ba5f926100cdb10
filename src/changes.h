// Notice of changes to files, for --watch: the system's change notification
// on the directories that hold the watched files (Linux: inotify; Windows:
// directory change notifications), so that the process sleeps while nothing
// happens. Directories are watched rather than files, so that a file that
// an editor replaces by a rename, or that does not exist yet, is noticed
// too. What cannot be watched this way is left to the caller to poll.
//
// Also the stop signals: SIGINT and SIGTERM (Windows: Ctrl-C, Ctrl-Break)
// ask the watch to end instead of ending the process, so that it ends
// between documents; a second one ends it at once.
#ifndef SKELVANE_CHANGES_H
#define SKELVANE_CHANGES_H

#include <map>
#include <string>
#include <vector>

namespace skelvane {

// Something happened in directory, to the file called name there; an empty
// name: to any of its files, or to the directory itself, which is then no
// longer watched.
struct directorychange {
    std::string directory;
    std::string name;
};

class changewatcher {
public:
    changewatcher();
    changewatcher(const changewatcher&) = delete;
    changewatcher& operator=(const changewatcher&) = delete;
    ~changewatcher();

    // Watches the directory, named as its files' names give it. False when
    // it cannot be watched (missing, or no notification on this system).
    bool watch(const std::string& directory);
    // Watches it no more by this name, as the name now leads elsewhere.
    void unwatch(const std::string& directory);
    // Waits until something changes, a stop is asked for, or timeoutms
    // passes (-1: no limit); adds what changed.
    void wait(int timeoutms, std::vector<directorychange>& changes);

private:
#ifdef _WIN32
    std::vector<void*> handles_;
    std::vector<std::string> directories_;
#else
    int fd_ = -1;
    std::map<int, std::vector<std::string>> directories_;  // by watch descriptor
#endif
};

// From now on the stop signals set stopasked() instead of ending the process.
void catchstopsignals();
bool stopasked();

}  // namespace skelvane

#endif

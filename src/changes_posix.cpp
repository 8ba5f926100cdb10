#include "changes.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace skelvane {

namespace {

volatile std::sig_atomic_t stopflag = 0;
int wakefds[2] = {-1, -1};  // the handler writes a byte here to end a wait

extern "C" void onstopsignal(int) {
    const int saved = errno;
    stopflag = 1;
    if (wakefds[1] >= 0) {
        [[maybe_unused]] ssize_t written = ::write(wakefds[1], "x", 1);
    }
    errno = saved;
}

}  // namespace

void catchstopsignals() {
    if (wakefds[0] < 0 && ::pipe(wakefds) == 0)
        for (int fd : wakefds) {
            ::fcntl(fd, F_SETFL, O_NONBLOCK);  // a flood of signals never blocks the handler
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    struct sigaction action {};
    action.sa_handler = onstopsignal;
    sigemptyset(&action.sa_mask);
    // A second signal ends the process as it always would: whatever was
    // being written had no name yet, so nothing half made is left.
    // Calls under way go on: a write to a full pipe is not cut short.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool stopasked() { return stopflag != 0; }

#ifdef __linux__

changewatcher::changewatcher() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

changewatcher::~changewatcher() {
    if (fd_ >= 0) ::close(fd_);
}

bool changewatcher::watch(const std::string& directory) {
    if (fd_ < 0) return false;
    // Every way a file's text can change, by a write, a truncation or a
    // rename over it; a directory replaced or removed stops its watch.
    constexpr std::uint32_t events = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
    int wd = ::inotify_add_watch(fd_, directory.empty() ? "." : directory.c_str(), events);
    if (wd < 0) return false;
    std::vector<std::string>& names = directories_[wd];
    if (std::find(names.begin(), names.end(), directory) == names.end()) names.push_back(directory);
    return true;
}

void changewatcher::unwatch(const std::string& directory) {
    for (auto at = directories_.begin(); at != directories_.end();) {
        std::erase(at->second, directory);
        if (!at->second.empty()) {
            ++at;
            continue;
        }
        ::inotify_rm_watch(fd_, at->first);
        at = directories_.erase(at);
    }
}

void changewatcher::wait(int timeoutms, std::vector<directorychange>& changes) {
    pollfd fds[2] = {{wakefds[0], POLLIN, 0}, {fd_, POLLIN, 0}};
    if (stopasked()) return;
    if (::poll(fds, fd_ >= 0 ? 2 : 1, timeoutms) <= 0 || fd_ < 0) return;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: anything may have changed anywhere.
                for (const auto& [wd, names] : directories_)
                    for (const std::string& name : names) changes.push_back({name, {}});
                continue;
            }
            auto found = directories_.find(event->wd);
            if (found == directories_.end()) continue;
            const bool gone = event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF);
            for (const std::string& name : found->second)
                changes.push_back({name, gone || event->len == 0 ? std::string() : std::string(event->name)});
            if (gone) {
                // A directory moved away is followed no more: its name now
                // means another directory, or none.
                ::inotify_rm_watch(fd_, event->wd);
                directories_.erase(found);
            }
        }
    }
}

#else

// Without inotify every directory is polled.
changewatcher::changewatcher() = default;
changewatcher::~changewatcher() = default;
bool changewatcher::watch(const std::string&) { return false; }
void changewatcher::unwatch(const std::string&) {}

void changewatcher::wait(int timeoutms, std::vector<directorychange>&) {
    pollfd fds[1] = {{wakefds[0], POLLIN, 0}};
    if (!stopasked()) ::poll(fds, 1, timeoutms);
}

#endif

}  // namespace skelvane

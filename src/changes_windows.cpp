#include "changes.h"

#include <windows.h>

namespace skelvane {

namespace {

volatile LONG stopflag = 0;
HANDLE stopevent = nullptr;  // set by the console handler to end a wait

BOOL WINAPI onconsolesignal(DWORD) {
    // A second Ctrl-C ends the process as it always would: whatever was
    // being written is marked for deletion, so nothing half made is left.
    if (InterlockedExchange(&stopflag, 1) != 0) return FALSE;
    if (stopevent != nullptr) SetEvent(stopevent);
    return TRUE;
}

}  // namespace

void catchstopsignals() {
    if (stopevent == nullptr) stopevent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onconsolesignal, TRUE);
}

bool stopasked() { return stopflag != 0; }

changewatcher::changewatcher() = default;

changewatcher::~changewatcher() {
    for (void* handle : handles_) FindCloseChangeNotification(handle);
}

bool changewatcher::watch(const std::string& directory) {
    // One wait covers at most MAXIMUM_WAIT_OBJECTS handles, the stop event
    // among them; further directories are polled.
    if (handles_.size() + 1 >= MAXIMUM_WAIT_OBJECTS) return false;
    for (const std::string& known : directories_)
        if (known == directory) return true;
    HANDLE handle = FindFirstChangeNotificationA(
        directory.empty() ? "." : directory.c_str(), FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE |
            FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_DIR_NAME);  // a folder made in a watched one
    if (handle == INVALID_HANDLE_VALUE) return false;
    handles_.push_back(handle);
    directories_.push_back(directory);
    return true;
}

void changewatcher::unwatch(const std::string& directory) {
    for (std::size_t at = 0; at < directories_.size(); ++at)
        if (directories_[at] == directory) {
            FindCloseChangeNotification(handles_[at]);
            handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(at));
            directories_.erase(directories_.begin() + static_cast<std::ptrdiff_t>(at));
            return;
        }
}

void changewatcher::wait(int timeoutms, std::vector<directorychange>& changes) {
    std::vector<HANDLE> waiton;
    if (stopevent != nullptr) waiton.push_back(stopevent);
    waiton.insert(waiton.end(), handles_.begin(), handles_.end());
    if (stopasked()) return;
    if (waiton.empty()) {
        Sleep(timeoutms < 0 ? INFINITE : static_cast<DWORD>(timeoutms));
        return;
    }
    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(waiton.size()), waiton.data(), FALSE,
                                          timeoutms < 0 ? INFINITE : static_cast<DWORD>(timeoutms));
    if (result < WAIT_OBJECT_0 || result >= WAIT_OBJECT_0 + waiton.size() || stopasked()) return;
    // The notifications say only that something changed in a directory;
    // every signalled one is reported, then waited on again.
    for (std::size_t at = 0; at < handles_.size();) {
        if (WaitForSingleObject(handles_[at], 0) != WAIT_OBJECT_0) {
            ++at;
            continue;
        }
        changes.push_back({directories_[at], {}});
        if (FindNextChangeNotification(handles_[at])) {
            ++at;
            continue;
        }
        FindCloseChangeNotification(handles_[at]);
        handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(at));
        directories_.erase(directories_.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

}  // namespace skelvane

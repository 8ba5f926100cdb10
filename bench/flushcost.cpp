// A flush-cost model for the benchmark, loaded with LD_PRELOAD: every call
// that waits for the disk (fsync, fdatasync, syncfs, sync, and
// sync_file_range when it waits) first sleeps SKELBENCH_FLUSH_US
// microseconds, as a disk that honours cache flushes would make it wait,
// and is counted. At exit the count is appended to SKELBENCH_FLUSH_LOG.
#include <cstdio>
#include <cstdlib>

#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

long flushes = 0;

void flushcost() {
    ++flushes;
    static const long micros = [] {
        const char* value = std::getenv("SKELBENCH_FLUSH_US");
        return value != nullptr ? std::atol(value) : 0L;
    }();
    if (micros <= 0) return;
    timespec wait{micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

template <typename function>
function next(const char* name) {
    return reinterpret_cast<function>(dlsym(RTLD_NEXT, name));
}

__attribute__((destructor)) void report() {
    if (const char* log = std::getenv("SKELBENCH_FLUSH_LOG")) {
        if (std::FILE* out = std::fopen(log, "a")) {
            std::fprintf(out, "%ld\n", flushes);
            std::fclose(out);
        }
    }
}

}  // namespace

extern "C" {

int fsync(int fd) {
    flushcost();
    static auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

int fdatasync(int fd) {
    flushcost();
    static auto real = next<int (*)(int)>("fdatasync");
    return real(fd);
}

int syncfs(int fd) {
    flushcost();
    static auto real = next<int (*)(int)>("syncfs");
    return real(fd);
}

void sync() {
    flushcost();
    static auto real = next<void (*)()>("sync");
    real();
}

int sync_file_range(int fd, off_t offset, off_t count, unsigned int flags) {
    if (flags & (SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER)) flushcost();
    static auto real = next<int (*)(int, off_t, off_t, unsigned int)>("sync_file_range");
    return real(fd, offset, count, flags);
}
}

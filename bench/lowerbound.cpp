// The lower bound of skelvane's job, for the benchmark: reads each named
// document once and writes it once, unchanged, into a new file beside it
// with large buffers, then renames that over the document. With --sync the
// new file is flushed to the disk before the rename, the durability that
// skelvane gives.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t buffersize = 1 << 20;

bool copyover(const char* path, bool sync, char* buffer) {
    std::string staged = std::string(path) + ".lowerbound";
    int in = open(path, O_RDONLY | O_CLOEXEC);
    int out = open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) return false;
    for (;;) {
        ssize_t count = read(in, buffer, buffersize);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        if (count == 0) break;
        for (ssize_t done = 0; done < count;) {
            ssize_t written = write(out, buffer + done, static_cast<std::size_t>(count - done));
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return false;
            done += written;
        }
    }
    if (sync && fsync(out) != 0) return false;
    close(in);
    if (close(out) != 0) return false;
    return rename(staged.c_str(), path) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool sync = argc > 1 && std::strcmp(argv[1], "--sync") == 0;
    std::unique_ptr<char[]> buffer(new char[buffersize]);
    for (int i = sync ? 2 : 1; i < argc; ++i) {
        if (!copyover(argv[i], sync, buffer.get())) {
            std::fprintf(stderr, "lowerbound: %s: %s\n", argv[i], std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

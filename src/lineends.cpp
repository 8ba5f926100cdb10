#include "lineends.h"

#include "osfile.h"

#include <cstring>
#include <memory>

namespace skelvane {

void lineendconverter::write(bytesink& out, std::string_view bytes) {
    if (style_ == lineendstyle::asis) {
        out.write(bytes);
        return;
    }
    const char target = style_ == lineendstyle::lf ? '\r' : '\n';
    while (!bytes.empty()) {
        if (style_ == lineendstyle::lf && lastcr_) {
            // The held-back CR is dropped when an LF follows it.
            if (bytes.front() != '\n') out.write("\r");
            lastcr_ = false;
        }
        const void* found = std::memchr(bytes.data(), target, bytes.size());
        std::size_t run = found ? static_cast<const char*>(found) - bytes.data() : bytes.size();
        out.write(bytes.substr(0, run));
        if (run > 0) lastcr_ = bytes[run - 1] == '\r';
        if (found == nullptr) return;
        if (style_ == lineendstyle::lf) {
            lastcr_ = true;  // held back until the next byte is known
        } else {
            out.write(lastcr_ ? "\n" : "\r\n");
            lastcr_ = false;
        }
        bytes.remove_prefix(run + 1);
    }
}

void lineendconverter::finish(bytesink& out) {
    if (style_ == lineendstyle::lf && lastcr_) out.write("\r");
    lastcr_ = false;
}

void lineendsink::overflow(std::string_view bytes) {
    converter_.write(out_, bytes);
    if (out_.error() != 0 && error() == 0) fail(out_.error());
}

void lineendsink::finish() {
    converter_.finish(out_);
    if (out_.error() != 0 && error() == 0) fail(out_.error());
}

lineendstyle firstlineend(const std::string& path) {
    inputfile in;
    if (in.open(path) != 0) return lineendstyle::asis;
    constexpr std::size_t size = 64 * 1024;
    std::unique_ptr<char[]> buffer(new char[size]);
    char previous = '\0';
    while (std::size_t count = in.readsome(buffer.get(), size)) {
        if (const void* found = std::memchr(buffer.get(), '\n', count)) {
            std::size_t at = static_cast<const char*>(found) - buffer.get();
            char before = at > 0 ? buffer[at - 1] : previous;
            return before == '\r' ? lineendstyle::crlf : lineendstyle::lf;
        }
        previous = buffer[count - 1];
    }
    return lineendstyle::asis;
}

}  // namespace skelvane

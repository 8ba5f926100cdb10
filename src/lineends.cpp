#include "lineends.h"

#include "osfile.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace skelvane {

void lineendconverter::release(bytesink& out) {
    static const std::string crs(4096, '\r');
    for (; heldcrs_ > 0; heldcrs_ -= std::min<std::uint64_t>(heldcrs_, crs.size()))
        out.write(std::string_view(crs).substr(0, std::min<std::uint64_t>(heldcrs_, crs.size())));
}

void lineendconverter::write(bytesink& out, std::string_view bytes) {
    if (style_ == lineendstyle::asis) {
        out.write(bytes);
        return;
    }
    if (style_ == lineendstyle::crlf) {
        while (!bytes.empty()) {
            const void* found = std::memchr(bytes.data(), '\n', bytes.size());
            std::size_t run = found ? static_cast<const char*>(found) - bytes.data() : bytes.size();
            out.write(bytes.substr(0, run));
            if (run > 0) lastcr_ = bytes[run - 1] == '\r';
            if (found == nullptr) return;
            out.write(lastcr_ ? "\n" : "\r\n");
            lastcr_ = false;
            bytes.remove_prefix(run + 1);
        }
        return;
    }
    // To LF: a run of CRs waits until the byte after it shows whether it
    // ends a line; everything between runs goes out as it is.
    while (!bytes.empty()) {
        if (bytes.front() == '\r' || heldcrs_ > 0) {
            std::size_t crs = std::min(bytes.find_first_not_of('\r'), bytes.size());
            heldcrs_ += crs;
            bytes.remove_prefix(crs);
            if (bytes.empty()) return;
            if (bytes.front() == '\n')
                heldcrs_ = 0;  // they end a line: dropped
            else
                release(out);
        }
        const void* cr = std::memchr(bytes.data(), '\r', bytes.size());
        std::size_t run = cr ? static_cast<const char*>(cr) - bytes.data() : bytes.size();
        out.write(bytes.substr(0, run));
        bytes.remove_prefix(run);
    }
}

void lineendconverter::finish(bytesink& out) {
    release(out);
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

void indentsink::overflow(std::string_view bytes) {
    while (!bytes.empty()) {
        if (atlinestart_) {
            const char first = bytes.front();
            if (heldcr_ || first == '\r') {
                if (!heldcr_) {
                    heldcr_ = true;
                    bytes.remove_prefix(1);
                    continue;
                }
                heldcr_ = false;
                if (first == '\n') {  // an empty CR LF line
                    out_.write("\r\n");
                    bytes.remove_prefix(1);
                    continue;
                }
                out_.write(indentation_);
                out_.write("\r");
                atlinestart_ = false;
                continue;
            }
            if (first != '\n') out_.write(indentation_);
            atlinestart_ = false;
        }
        const void* lf = std::memchr(bytes.data(), '\n', bytes.size());
        const std::size_t run = lf ? static_cast<const char*>(lf) - bytes.data() + 1 : bytes.size();
        out_.write(bytes.substr(0, run));
        bytes.remove_prefix(run);
        atlinestart_ = lf != nullptr;
    }
    if (out_.error() != 0 && error() == 0) fail(out_.error());
}

void indentsink::finish() {
    if (heldcr_) {
        out_.write(indentation_);
        out_.write("\r");
        heldcr_ = false;
        atlinestart_ = false;
    }
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

// Byte sources and sinks: what the directive pass reads from and writes to.
//
// The pass never touches files directly; it reads a bytesource and writes a
// bytesink, so the same code runs over real files and over strings in tests.
// Errors are errno-style values: 0 means none, and an error is sticky, so a
// caller may write a whole run of bytes and check once at the end.
#ifndef SKELVANE_BYTESTREAM_H
#define SKELVANE_BYTESTREAM_H

#include <cstddef>
#include <string>
#include <string_view>

namespace skelvane {

class bytesource {
public:
    virtual ~bytesource() = default;
    // Reads up to size bytes. Returns 0 at the end of the input or after a
    // failure; error() tells the two apart.
    virtual std::size_t readsome(char* buffer, std::size_t size) = 0;
    virtual int error() const = 0;
};

class bytesink {
public:
    virtual ~bytesink() = default;
    // Appends bytes. A failure is remembered and later writes are dropped.
    virtual void write(std::string_view bytes) = 0;
    virtual int error() const = 0;
};

// In-memory ends for tests and for callers that already hold the text.
class stringsource : public bytesource {
public:
    explicit stringsource(std::string_view text, std::size_t chunk = 0)
        : text_(text), chunk_(chunk) {}
    std::size_t readsome(char* buffer, std::size_t size) override;
    int error() const override { return 0; }

private:
    std::string_view text_;
    std::size_t chunk_;  // largest read to hand out; 0 means no limit
};

class stringsink : public bytesink {
public:
    void write(std::string_view bytes) override { text.append(bytes); }
    int error() const override { return 0; }
    std::string text;
};

}  // namespace skelvane

#endif

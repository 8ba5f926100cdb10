// Byte sources and sinks: what the directive pass reads from and writes to.
//
// The pass never touches files directly; it reads a bytesource and writes a
// bytesink, so the same code runs over real files and over strings in tests.
// Errors are errno-style values: 0 means none, and an error is sticky, so a
// caller may write a whole run of bytes and check once at the end.
#ifndef SKELVANE_BYTESTREAM_H
#define SKELVANE_BYTESTREAM_H

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// A source that can also be read again at any offset: the original
// document, whose lines a difference shows.
class rereadable {
public:
    virtual ~rereadable() = default;
    // Reads up to size bytes at offset; 0 at the end or after a failure.
    virtual std::size_t readat(std::uint64_t offset, char* buffer, std::size_t size) = 0;
    virtual int error() const = 0;
};

// Writes go into a buffer that the derived class provides and drains, so
// that appending one short piece costs a copy, not a call.
class bytesink {
public:
    virtual ~bytesink() = default;
    // Appends bytes. A failure is remembered and later writes are dropped.
    void write(std::string_view bytes) {
        if (bytes.empty()) return;  // a sink without a buffer has no place to copy to
        if (bytes.size() <= static_cast<std::size_t>(end_ - next_)) {
            std::memcpy(next_, bytes.data(), bytes.size());
            next_ += bytes.size();
        } else {
            overflow(bytes);
        }
    }
    int error() const { return error_; }

    // Besides the new text, the directive pass tells its sink which bytes
    // of the document it leaves out and where pattern text begins and ends:
    // a sink that lines the new text up with the old one needs to know.
    virtual void dropped(std::string_view bytes) { (void)bytes; }
    virtual void patterntext(bool begins) { (void)begins; }

protected:
    // Called when bytes do not fit into the rest of the buffer: drains the
    // buffer and takes the bytes.
    virtual void overflow(std::string_view bytes) = 0;
    void setbuffer(char* begin, std::size_t size) {
        begin_ = next_ = begin;
        end_ = begin + size;
    }
    // A failed sink takes nothing more into its buffer.
    void fail(int error) {
        error_ = error;
        end_ = next_;
    }

    char* begin_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    int error_ = 0;
};

// In-memory ends for tests and for callers that already hold the text.
class stringsource : public bytesource, public rereadable {
public:
    explicit stringsource(std::string_view text, std::size_t chunk = 0)
        : text_(text), whole_(text), chunk_(chunk) {}
    std::size_t readsome(char* buffer, std::size_t size) override;
    std::size_t readat(std::uint64_t offset, char* buffer, std::size_t size) override;
    int error() const override { return 0; }

private:
    std::string_view text_;   // what readsome has not handed out yet
    std::string_view whole_;
    std::size_t chunk_;  // largest read to hand out; 0 means no limit
};

class stringsink : public bytesink {
public:
    std::string text;

protected:
    void overflow(std::string_view bytes) override { text.append(bytes); }
};

}  // namespace skelvane

#endif

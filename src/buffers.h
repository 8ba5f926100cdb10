// Large I/O buffers that are handed back to a small free list instead of
// to the allocator, so that a run over thousands of documents maps and
// faults in its buffers once, not once per document.
#ifndef SKELVANE_BUFFERS_H
#define SKELVANE_BUFFERS_H

#include <cstddef>

namespace skelvane {

class pooledbuffer {
public:
    pooledbuffer() = default;
    explicit pooledbuffer(std::size_t size);
    pooledbuffer(const pooledbuffer&) = delete;
    pooledbuffer& operator=(const pooledbuffer&) = delete;
    ~pooledbuffer() { reset(); }

    char* get() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }
    // Gives the memory back; the buffer is empty afterwards.
    void reset();
    void reset(std::size_t size);

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace skelvane

#endif

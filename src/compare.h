// Comparison of a new text with the file it would replace, as the text is
// made, in constant memory.
//
// A comparingsink takes what the directive pass writes, passes it on to
// another sink if it has one, and compares it with the original file read
// alongside. After the first difference it reads the original no further
// and only swallows what it has no sink for, so that the pass still goes
// to the end of the document and meets whatever would fail a run. same()
// then tells whether the two texts are equal, the rest of the original
// included.
#ifndef SKELVANE_COMPARE_H
#define SKELVANE_COMPARE_H

#include "buffers.h"
#include "bytestream.h"

#include <cstddef>
#include <memory>

namespace skelvane {

class comparingsink : public bytesink {
public:
    comparingsink(bytesource& original, bytesink* forward);
    bool same();
    int readerror() const { return original_.error(); }

protected:
    void overflow(std::string_view bytes) override;

private:
    bool fill();

    static constexpr std::size_t buffersize = 64 * 1024;
    bytesource& original_;
    bytesink* forward_;
    bool differs_ = false;
    pooledbuffer buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace skelvane

#endif

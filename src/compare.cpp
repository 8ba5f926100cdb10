#include "compare.h"

#include <algorithm>
#include <cstring>

namespace skelvane {

comparingsink::comparingsink(bytesource& original, bytesink* forward)
    : original_(original), forward_(forward), buffer_(buffersize) {}

bool comparingsink::fill() {
    begin_ = 0;
    end_ = original_.readsome(buffer_.get(), buffersize);
    return end_ > 0;
}

void comparingsink::overflow(std::string_view bytes) {
    if (forward_ != nullptr) {
        forward_->write(bytes);
        if (forward_->error() != 0) fail(forward_->error());
    }
    while (!bytes.empty() && !differs_) {
        if (begin_ == end_ && !fill()) {
            differs_ = true;  // the new text is longer, or the original unreadable
            break;
        }
        std::size_t part = std::min(bytes.size(), end_ - begin_);
        differs_ = std::memcmp(bytes.data(), buffer_.get() + begin_, part) != 0;
        begin_ += part;
        bytes.remove_prefix(part);
    }
}

bool comparingsink::same() {
    return !differs_ && begin_ == end_ && !fill() && original_.error() == 0;
}

}  // namespace skelvane

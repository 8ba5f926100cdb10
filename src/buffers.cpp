#include "buffers.h"

#include <utility>
#include <vector>

namespace skelvane {

namespace {

// A handful is enough: a document's reader, its pattern's reader, the
// staging file's writer and a comparison's reader are all a run holds.
constexpr std::size_t keptbuffers = 8;

// Never destroyed: buffers held by other statics (standard output's
// writer) come back while the program exits.
std::vector<std::pair<std::size_t, char*>>& freebuffers() {
    static auto* list = new std::vector<std::pair<std::size_t, char*>>;
    return *list;
}

}  // namespace

pooledbuffer::pooledbuffer(std::size_t size) { reset(size); }

void pooledbuffer::reset(std::size_t size) {
    reset();
    auto& list = freebuffers();
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->first == size) {
            data_ = it->second;
            list.erase(it);
            size_ = size;
            return;
        }
    data_ = new char[size];
    size_ = size;
}

void pooledbuffer::reset() {
    if (data_ == nullptr) return;
    auto& list = freebuffers();
    if (list.size() < keptbuffers)
        list.emplace_back(size_, data_);
    else
        delete[] data_;
    data_ = nullptr;
    size_ = 0;
}

}  // namespace skelvane

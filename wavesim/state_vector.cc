#include "state_vector.h"

#include <cstdlib>
#include <cstring>

#include "page_memory.h"

namespace wavesim {

void* allocate_component(size_t bytes, int threads) {
    if (bytes >= kMappedBytes) {
        void* data = map_pages(bytes);
        if (data != nullptr) commit_pages(data, bytes, threads);
        return data;
    }
    const size_t rounded = (bytes + kStateAlignment - 1) / kStateAlignment * kStateAlignment;
    void* data = std::aligned_alloc(kStateAlignment, rounded);
    if (data != nullptr) std::memset(data, 0, bytes);
    return data;
}

void free_component(void* data, size_t bytes) {
    if (data == nullptr) return;
    if (bytes >= kMappedBytes) {
        unmap_pages(data, bytes);
    } else {
        std::free(data);
    }
}

void release_consumed(void* data, size_t bytes, size_t begin, size_t end) {
    if (bytes >= kMappedBytes) release_pages(data, bytes, begin, end);
}

}  // namespace wavesim

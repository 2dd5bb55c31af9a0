#include "state_vector.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace wavesim {
namespace {

size_t page_size() {
    static const size_t kSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return kSize;
}

size_t round_up(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

// MemAvailable plus SwapFree in bytes; `known` is false when /proc/meminfo has no MemAvailable.
uint64_t available_bytes(bool& known) {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    uint64_t total = 0;
    known = false;
    while (std::getline(meminfo, line)) {
        unsigned long long kib = 0;
        if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kib) == 1) {
            total += kib * 1024;
            known = true;
        } else if (std::sscanf(line.c_str(), "SwapFree: %llu kB", &kib) == 1) {
            total += kib * 1024;
        }
    }
    return total;
}

}  // namespace

bool memory_available_for(uint64_t bytes) {
    bool known = false;
    const uint64_t available = available_bytes(known);
    return !known || bytes <= available;  // unknown: leave the decision to the allocator
}

void* allocate_component(size_t bytes) {
    if (bytes >= kMappedComponentBytes) {
        void* data =
            mmap(nullptr, round_up(bytes, page_size()), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return data == MAP_FAILED ? nullptr : data;
    }
    void* data = std::aligned_alloc(kStateAlignment, round_up(bytes, kStateAlignment));
    if (data != nullptr) std::memset(data, 0, bytes);
    return data;
}

void free_component(void* data, size_t bytes) {
    if (data == nullptr) return;
    if (bytes >= kMappedComponentBytes) {
        munmap(data, round_up(bytes, page_size()));
    } else {
        std::free(data);
    }
}

void release_consumed(void* data, size_t bytes, size_t begin, size_t end) {
    if (bytes < kMappedComponentBytes) return;
    const size_t first = begin / page_size() * page_size();
    const size_t last = end >= bytes ? round_up(bytes, page_size()) : end / page_size() * page_size();
    if (first < last) madvise(static_cast<char*>(data) + first, last - first, MADV_DONTNEED);
}

}  // namespace wavesim

// Mapping, committing and releasing the pages of large arrays.
#include "wavesim/base/page_memory.h"

#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace wavesim {
namespace {

// The transparent huge page size on x86-64; mappings start on this boundary
// so that every whole 2 MiB of them can be one huge page.
constexpr size_t kHugePageBytes = size_t{2} << 20;

size_t page_size() {
    static const size_t kSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return kSize;
}

size_t round_up(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

struct KeptBlocks {
    std::mutex lock;
    void* data[kKeptBlocks] = {};
    size_t bytes[kKeptBlocks] = {};
    uint64_t given[kKeptBlocks] = {};  // when each was kept: the oldest makes room
    uint64_t clock = 0;
};

// Never destroyed: an array may be freed while the process exits.
KeptBlocks& kept_blocks() {
    static KeptBlocks* const kKept = new KeptBlocks;
    return *kKept;
}

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

// Writes the pages of [data, data + bytes): asks the kernel to fault them in
// as written, or writes zeros where it cannot (kernels before 5.14).
void commit_range(char* data, size_t bytes) {
    if (bytes == 0) return;
#ifdef MADV_POPULATE_WRITE
    if (madvise(data, bytes, MADV_POPULATE_WRITE) == 0) return;
#endif
    std::memset(data, 0, bytes);
}

}  // namespace

bool memory_available_for(uint64_t bytes) {
    bool known = false;
    const uint64_t available = available_bytes(known);
    return !known || bytes <= available;  // unknown: leave the decision to the allocator
}

void* map_pages(size_t bytes) {
    // Over-map by one huge page and trim both ends, so the mapping starts on a huge page boundary.
    const size_t length = round_up(bytes, page_size());
    const size_t padded = length + kHugePageBytes;
    void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = round_up(start, kHugePageBytes);
    if (aligned > start) munmap(raw, aligned - start);
    const size_t tail = padded - (aligned - start) - length;
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
    void* data = reinterpret_cast<void*>(aligned);
    madvise(data, length, MADV_HUGEPAGE);  // advice only: without huge pages the mapping still works
    return data;
}

void unmap_pages(void* data, size_t bytes) {
    if (data != nullptr) munmap(data, round_up(bytes, page_size()));
}

void commit_pages(void* data, size_t bytes, int threads) {
    const size_t length = round_up(bytes, page_size());
    const size_t unit = length >= kHugePageBytes * size_t(std::max(threads, 1)) ? kHugePageBytes : page_size();
    const size_t units = length / unit;
    char* base = static_cast<char*>(data);
#pragma omp parallel num_threads(threads)
    {
        const size_t t = size_t(omp_get_thread_num());
        const size_t count = size_t(omp_get_num_threads());
        const size_t first = units * t / count;
        const size_t last = t + 1 == count ? units : units * (t + 1) / count;
        const size_t begin = first * unit;
        const size_t end = t + 1 == count ? length : last * unit;
        commit_range(base + begin, end - begin);
    }
}

void release_pages(void* data, size_t bytes, size_t begin, size_t end) {
    const size_t first = round_up(begin, page_size());
    const size_t last = end >= bytes ? round_up(bytes, page_size()) : end / page_size() * page_size();
    if (first < last) madvise(static_cast<char*>(data) + first, last - first, MADV_DONTNEED);
}

void* take_block(size_t bytes) {
    bytes = round_up(std::max(bytes, size_t{1}), kKeptAlignment);
    KeptBlocks& kept = kept_blocks();
    {
        std::lock_guard<std::mutex> hold(kept.lock);
        for (size_t k = 0; k < kKeptBlocks; ++k)
            if (kept.data[k] != nullptr && kept.bytes[k] == bytes) {
                void* block = kept.data[k];
                kept.data[k] = nullptr;
                return block;
            }
    }
    return std::aligned_alloc(kKeptAlignment, bytes);
}

void give_block(void* data, size_t bytes) {
    if (data == nullptr) return;
    bytes = round_up(std::max(bytes, size_t{1}), kKeptAlignment);
    if (bytes >= kMappedBytes) {
        std::free(data);
        return;
    }
    KeptBlocks& kept = kept_blocks();
    void* oldest = nullptr;
    {
        std::lock_guard<std::mutex> hold(kept.lock);
        size_t slot = 0;
        for (size_t k = 0; k < kKeptBlocks; ++k) {
            if (kept.data[k] == nullptr) {
                slot = k;
                break;
            }
            if (kept.given[k] < kept.given[slot]) slot = k;
        }
        oldest = kept.data[slot];
        kept.data[slot] = data;
        kept.bytes[slot] = bytes;
        kept.given[slot] = ++kept.clock;
    }
    std::free(oldest);
}

}  // namespace wavesim

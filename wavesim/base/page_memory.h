// Memory for the large arrays of a call (state components, result rows,
// worker states), taken from the operating system a page range at a time:
// mapped on 2 MiB boundaries with transparent huge pages advised (512 times
// fewer faults and TLB entries than 4 KiB pages), written before it is read,
// and given back in ranges once consumed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wavesim {

// Arrays of at least this many bytes are mapped; smaller ones come from the heap.
constexpr size_t kMappedBytes = size_t{1} << 20;

// Whether `bytes` more fit in the memory the machine has available now (free
// and reclaimable memory plus free swap). Linux grants far larger mappings
// than it can back and kills the process when they are touched, so an array
// that cannot fit is refused before its pages are committed.
bool memory_available_for(uint64_t bytes);

// A mapping of `bytes` bytes whose pages read as zero, or nullptr when the
// address space is not there. Nothing is committed yet.
void* map_pages(size_t bytes);
void unmap_pages(void* data, size_t bytes);

// Commits every page of a mapping by writing it, `threads` threads each
// taking one contiguous share. A page first read and then written costs two
// faults and, on the second, a TLB shootdown on every other CPU the process
// runs on (the shared zero page is unmapped); committing by writes costs one
// fault per page and no shootdown.
void commit_pages(void* data, size_t bytes, int threads);

// The bytes [begin, end) of a mapping of `bytes` bytes are no longer needed:
// gives the pages that lie wholly inside them back to the operating system
// (the last, partial page too when `end` reaches `bytes`); they read as zero
// afterwards. A page shared with bytes outside [begin, end) is kept, so
// threads may release neighbouring ranges in any order.
void release_pages(void* data, size_t bytes, size_t begin, size_t end);

// Heap blocks of a call's arrays, kept for the next call. glibc gives a freed
// block at the top of its heap back to the kernel, so depending on what else
// lies on the heap a loop of calls could fault every page of its arrays in
// again on each call (14 qubits: 100 faults a call, 1.5 times its time). The
// kKeptBlocks blocks freed last (each below kMappedBytes) stay here instead.
// Blocks are `kKeptAlignment`-aligned, their sizes rounded up to a multiple of it.
constexpr size_t kKeptAlignment = 64;
constexpr size_t kKeptBlocks = 8;

// A block of at least `bytes` bytes (contents undefined): a kept one of that size, else
// a fresh one from the heap; nullptr when the memory is not there.
void* take_block(size_t bytes);
// Keeps a block from take_block for a later request of its size, or frees it.
void give_block(void* data, size_t bytes);

}  // namespace wavesim

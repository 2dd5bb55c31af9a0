// What the machine offers a call and how it is shared: the thread rule (the
// thread count of a parallel region depends only on the number of qubits of
// the state it works on), the team value that carries it down to every loop
// that may run in parallel, and the size of the last-level cache.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace wavesim {

// std::thread::hardware_concurrency() read once when the library is loaded.
extern const int kHardwareThreads;

// Threads for a region over a state of `num_qubits` qubits: every hardware
// thread above 14 qubits, one thread at or below (team wake-up costs more than
// the work on at most 16384 amplitudes).
int thread_count_for(int num_qubits);

// The threads a parallel loop opens its region with, passed down as a value
// (the runtime's own count is never set, so the caller's stays as it was).
// One thread: the loop runs on the calling thread, without a region (a block
// of a larger state inside a window's region, a parameter set inside the
// region over the sets, or a state the rule gives one thread).
struct ThreadTeam {
    int threads = 1;
};

// The team the thread rule gives a state of `num_qubits` qubits.
inline ThreadTeam team_for(int num_qubits) { return {thread_count_for(num_qubits)}; }

// work(thread, threads) on every thread of `team`: in a region of its own,
// or as work(0, 1) on the calling thread for a team of one.
template <typename Work>
void on_team(ThreadTeam team, Work&& work) {
    if (team.threads <= 1) {
        work(0, 1);
        return;
    }
#pragma omp parallel num_threads(team.threads)
    work(omp_get_thread_num(), omp_get_num_threads());
}

struct UnitRange {
    uint64_t begin;
    uint64_t end;
};

// Contiguous, as-equal-as-possible share of `units` for thread `thread` of `threads`.
inline UnitRange static_share(uint64_t units, int thread, int threads) {
    const uint64_t q = units / uint64_t(threads);
    const uint64_t r = units % uint64_t(threads);
    const uint64_t t = uint64_t(thread);
    const uint64_t begin = t * q + std::min(t, r);
    return {begin, begin + q + (t < r ? 1 : 0)};
}

// Bytes of the last-level cache, read once: the highest level the kernel
// lists for CPU 0, else what the C library says, else a conservative 8 MiB.
// The kernel's list comes first: under some hypervisors the C library's
// CPUID reading reports several times the real size.
uint64_t last_level_cache_bytes();

// The size of the highest cache level listed under `cache_dir` (laid out as
// /sys/devices/system/cpu/cpu0/cache: index0/level, index0/size, ...), or 0
// when it lists none.
uint64_t listed_last_level_cache(const std::string& cache_dir);

// A cache size as the kernel lists it ("32768K", "8M", "512"): bytes, or 0
// when the text is not a size.
uint64_t parse_cache_size(const std::string& text);

}  // namespace wavesim

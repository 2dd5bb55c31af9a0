// What the machine offers a call and how it is shared: the thread rule (the
// thread count of a parallel region depends only on the number of qubits of
// the state it works on) and the size of the last-level cache.
#pragma once

#include <omp.h>

#include <cstdint>
#include <string>

namespace wavesim {

// std::thread::hardware_concurrency() read once when the library is loaded.
extern const int kHardwareThreads;

// Threads for a region over a state of `num_qubits` qubits: every hardware
// thread above 14 qubits, one thread at or below (team wake-up costs more than
// the work on at most 16384 amplitudes).
int thread_count_for(int num_qubits);

// Kernels set the rule's count on the calling thread and later regions of the
// same call rely on it; when a call into the simulator ends (returned or
// thrown), the caller's own count is put back so that it does not leak into
// the caller's other parallel work.
class ThreadCountGuard {
  public:
    ThreadCountGuard() : saved_(omp_get_max_threads()) {}
    ~ThreadCountGuard() { omp_set_num_threads(saved_); }
    ThreadCountGuard(const ThreadCountGuard&) = delete;
    ThreadCountGuard& operator=(const ThreadCountGuard&) = delete;

  private:
    int saved_;
};

// Bytes of the last-level cache, read once: the highest level the kernel
// lists for CPU 0, else what the C library says, else a conservative 8 MiB.
// The kernel's list comes first: under some hypervisors the C library's
// CPUID reading reports several times the real size.
uint64_t last_level_cache_bytes();

// A cache size as the kernel lists it ("32768K", "8M", "512"): bytes, or 0
// when the text is not a size.
uint64_t parse_cache_size(const std::string& text);

}  // namespace wavesim

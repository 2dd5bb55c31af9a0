#include "state_vector.h"

#include <omp.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <cstring>

#include "threads.h"

bool machine_can_hold(uint64_t bytes) {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return true;  // unknown: leave the decision to the allocator
    const unsigned __int128 total =
        (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * std::max<unsigned>(info.mem_unit, 1);
    return bytes <= total;
}

void zero_fill(void* data, size_t bytes, unsigned num_qubits) {
    auto* base = static_cast<unsigned char*>(data);
    omp_set_num_threads(thread_count_for(static_cast<int>(num_qubits)));
#pragma omp parallel
    {
        const size_t threads = static_cast<size_t>(omp_get_num_threads());
        const size_t thread = static_cast<size_t>(omp_get_thread_num());
        const size_t begin = bytes / threads * thread + std::min(thread, bytes % threads);
        const size_t end = begin + bytes / threads + (thread < bytes % threads ? 1 : 0);
        std::memset(base + begin, 0, end - begin);
    }
}

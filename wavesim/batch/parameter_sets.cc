// The batch thread rule and the memory check of the parameter-set driver.
#include "wavesim/batch/parameter_sets.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "wavesim/base/page_memory.h"

namespace wavesim {
namespace {

// Below this many amplitudes in all batches together a thread team costs
// more than it saves.
constexpr uint64_t kSpreadBatchesWork = uint64_t{1} << 14;

}  // namespace

int batch_thread_count(int num_qubits, int batches) {
    const int rule = thread_count_for(num_qubits);
    if (rule > 1 || kHardwareThreads < 2) return rule;
    const uint64_t work = static_cast<uint64_t>(batches) << num_qubits;  // num_qubits <= 14 here
    if (work < kSpreadBatchesWork) return 1;
    return std::min(kHardwareThreads, batches);
}

template <typename Real>
void check_batch_memory(int num_qubits, uint64_t rows, uint64_t worker_states) {
    // Beyond 2^56 bytes per state no machine has the memory, and byte counts of several would wrap.
    constexpr int kLargestCountedQubits = 52;
    if (num_qubits > kLargestCountedQubits) throw std::runtime_error("Failed to allocate memory for StateVector");
    const uint64_t state_bytes = (uint64_t{2} << num_qubits) * sizeof(Real);
    const uint64_t row_bytes = rows * state_bytes;  // allocate_amplitudes bounded it
    const uint64_t worker_bytes = worker_states * state_bytes;
    if (row_bytes < kMappedBytes && worker_bytes < kMappedBytes) return;
    if (!memory_available_for(row_bytes)) throw std::bad_alloc();
    if (!memory_available_for(row_bytes + worker_bytes))
        throw std::runtime_error("Failed to allocate memory for StateVector");
}

template void check_batch_memory<double>(int, uint64_t, uint64_t);
template void check_batch_memory<float>(int, uint64_t, uint64_t);

}  // namespace wavesim

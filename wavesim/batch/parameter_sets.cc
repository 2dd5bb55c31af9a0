// The run of one parameter set, the batch thread rule and the memory check shared by the batch drivers.
#include "wavesim/batch/parameter_sets.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "wavesim/state/measurement.h"
#include "wavesim/base/page_memory.h"
#include "wavesim/plan/windows.h"

namespace wavesim {
namespace {

// Below this many amplitudes in all batches together a thread team costs
// more than it saves.
constexpr uint64_t kSpreadBatchesWork = uint64_t{1} << 14;

}  // namespace

template <typename Real>
void run_plan(StateVector<Real>& state, const RunPlan& plan) {
    apply_plan(state, plan, reset_random_source<Real>(), window_shape_for<Real>(state.num_qubits));
}

template <typename Real>
void run_circuit(StateVector<Real>& state, const std::vector<CircuitInstruction>& instructions, RunCaches* caches,
                 int batch_index, int fusion) {
    RunPlan plan = compile_run(instructions, 0, instructions.size(), state.num_qubits,
                               caches != nullptr ? &caches->gates : nullptr, batch_index);
    fuse_plan(plan, fusion, caches != nullptr ? &caches->fused : nullptr);
    run_plan(state, plan);
}

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

#define WAVESIM_INSTANTIATE_BATCH_RUNS(Real)                                                                           \
    template void run_plan<Real>(StateVector<Real>&, const RunPlan&);                                                  \
    template void run_circuit<Real>(StateVector<Real>&, const std::vector<CircuitInstruction>&, RunCaches*, int, int); \
    template void check_batch_memory<Real>(int, uint64_t, uint64_t);

WAVESIM_INSTANTIATE_BATCH_RUNS(double)
WAVESIM_INSTANTIATE_BATCH_RUNS(float)

}  // namespace wavesim

#include "cal_states.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "amplitude_buffer.h"
#include "plan_apply.h"
#include "threads.h"

namespace wavesim {
namespace {

// Below this many amplitudes in all batches together a thread team costs
// more than it saves.
constexpr uint64_t kSpreadBatchesWork = uint64_t{1} << 14;

// Matrices shared by the runs of one worker: gate matrices and the fused
// products of them (keyed by their addresses, so they go together).
struct SharedMatrices {
    GateMatrixCache gates;
    FusedMatrixCache fused;
};

// A cache pays only when runs share matrices (the parameter sets of a batch);
// a single run computes each matrix once, without hashing its key.
template <typename Real>
void run_circuit(StateVector<Real>& state, const CircuitData& circuit, SharedMatrices* shared, int batch_index,
                 int fusion) {
    RandomSource& source = reset_random_source<Real>();
    RunPlan plan = compile_run(circuit.instructions, 0, circuit.instructions.size(), state.num_qubits,
                               shared != nullptr ? &shared->gates : nullptr, batch_index);
    if (fusion != kFusionOff) fuse_plan(plan, fusion, shared != nullptr ? &shared->fused : nullptr);
    apply_plan(state, plan, source, window_shape_for<Real>(state.num_qubits));
}

template <typename Real>
AmplitudeBuffer<Real> single_run(const CircuitData& circuit, int fusion) {
    StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
    run_circuit(state, circuit, nullptr, 0, fusion);
    AmplitudeBuffer<Real> buffer = allocate_amplitudes<Real>(circuit.num_qubits, 1, false);
    move_amplitudes(state, buffer.data.get());
    return buffer;
}

// The rows are untouched pages until the workers fill them, so the machine
// would only notice too little memory half-way through: refuse up front what
// the rows and one state per worker cannot all fit.
template <typename Real>
void check_batch_memory(int num_qubits, int batches, int team) {
    const uint64_t state_bytes = (uint64_t{2} << num_qubits) * sizeof(Real);
    const uint64_t row_bytes = static_cast<uint64_t>(batches) * state_bytes;  // allocate_amplitudes bounded it
    if (row_bytes < kMappedBytes) return;
    if (!memory_available_for(row_bytes)) throw std::bad_alloc();
    if (!memory_available_for(row_bytes + static_cast<uint64_t>(team) * state_bytes))
        throw std::runtime_error("Failed to allocate memory for StateVector");
}

template <typename Real>
AmplitudeBuffer<Real> batched_run(const CircuitData& circuit, int batches, int fusion) {
    const int n = circuit.num_qubits;
    AmplitudeBuffer<Real> buffer = allocate_amplitudes<Real>(n, static_cast<uint64_t>(batches), true);
    std::complex<Real>* rows = buffer.data.get();
    const uint64_t dim = uint64_t{1} << n;

    const int team = batch_thread_count(n, batches);
    check_batch_memory<Real>(n, batches, team);
    // One cache per worker: no lock, and matrices are pure functions of their key.
    std::vector<SharedMatrices> caches(static_cast<size_t>(team));
    std::exception_ptr failure;
    std::atomic<bool> failed{false};

    omp_set_num_threads(thread_count_for(n));
#pragma omp parallel num_threads(team)
    {
        // One state per worker, made at its first set and left |0...0> by each copy for the next.
        std::unique_ptr<StateVector<Real>> state;
        SharedMatrices& cache = caches[static_cast<size_t>(omp_get_thread_num())];
#pragma omp for schedule(static)
        for (int b = 0; b < batches; ++b) {
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                if (!state) state = std::make_unique<StateVector<Real>>(static_cast<unsigned>(n));
                run_circuit(*state, circuit, &cache, b, fusion);
                copy_and_clear(*state, rows + static_cast<uint64_t>(b) * dim);
            } catch (...) {
                // Exceptions must not cross the region's boundary: keep the first, rethrow after it.
#pragma omp critical(wavesim_batch_failure)
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
    return buffer;
}

}  // namespace

int batch_thread_count(int num_qubits, int batches) {
    const int rule = thread_count_for(num_qubits);
    if (rule > 1 || kHardwareThreads < 2) return rule;
    const uint64_t work = static_cast<uint64_t>(batches) << num_qubits;  // num_qubits <= 14 here
    if (work < kSpreadBatchesWork) return 1;
    return std::min(kHardwareThreads, batches);
}

template <typename Real>
AmplitudeBuffer<Real> final_amplitudes(const CircuitData& circuit, int batches, int fusion) {
    check_fusion(fusion);
    const ThreadCountGuard caller_threads;
    reset_random_source<Real>();  // seeded on the calling thread now, as on each worker at its first RESET
    if (batches <= 1) return single_run<Real>(circuit, fusion);
    return batched_run<Real>(circuit, batches, fusion);
}

template AmplitudeBuffer<double> final_amplitudes<double>(const CircuitData&, int, int);
template AmplitudeBuffer<float> final_amplitudes<float>(const CircuitData&, int, int);

}  // namespace wavesim

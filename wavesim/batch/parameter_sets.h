// Running a circuit for its parameter sets as every driver does: the run of
// one set (compiled, then applied window by window with this machine's
// shape and the calling thread's reset source), the batch thread rule, the
// memory check made before any worker state is touched, and the region that
// spreads the sets over worker threads.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/plan/compile.h"
#include "wavesim/plan/fusion.h"
#include "wavesim/state/state_vector.h"
#include "wavesim/base/threads.h"

namespace wavesim {

// Matrices the runs of one batch worker share (no lock: matrices are pure
// functions of their key): the gates' and, with fusion on, their products,
// keyed by the gates' matrix addresses, so the two go together.
struct RunCaches {
    GateMatrixCache gates;
    FusedMatrixCache fused;
};

// What a batch worker keeps from set to set: its state (made at its first
// set) and its matrix caches.
template <typename Real>
struct StateWorker {
    std::unique_ptr<StateVector<Real>> state;
    RunCaches caches;
};

// The plan's steps on `state`: apply_plan with the shape window_shape_for
// gives the state's size and the calling thread's reset source.
template <typename Real>
void run_plan(StateVector<Real>& state, const RunPlan& plan);

// Parameter set `batch_index` of the instructions compiled, fused as
// `fusion` says (fuse_plan), and run from the state given. Caches pay only
// when runs share matrices (the parameter sets of a batch); a single run
// (`caches` null) computes each matrix once, without hashing its key.
template <typename Real>
void run_circuit(StateVector<Real>& state, const std::vector<CircuitInstruction>& instructions, RunCaches* caches,
                 int batch_index, int fusion);

// Threads for the region over `batches` parameter sets of `num_qubits` qubits.
// Small states cannot use threads inside their kernels, so their batches are
// spread over the hardware threads instead.
int batch_thread_count(int num_qubits, int batches);

// The workers' pages are untouched until they run, so the machine would only
// notice too little memory half-way through: refuses up front what `rows`
// result rows and `worker_states` states of `num_qubits` qubits cannot all
// fit (rows alone: std::bad_alloc; with the states: std::runtime_error
// "Failed to allocate memory for StateVector"). Sizes below a mapped array
// are not checked.
template <typename Real>
void check_batch_memory(int num_qubits, uint64_t rows, uint64_t worker_states);

// body(worker, b) for every parameter set b in [0, batches), the sets shared
// statically among one thread per worker, each thread with its own worker.
// The thread rule's count for `num_qubits` qubits is set first, as later
// regions (a RESET's) expect. Exceptions must not cross the region's
// boundary: the first is kept, the remaining sets skipped, and it is
// rethrown after the region.
template <typename Worker, typename Body>
void for_each_set(int num_qubits, int batches, std::vector<Worker>& workers, Body&& body) {
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    omp_set_num_threads(thread_count_for(num_qubits));
#pragma omp parallel num_threads(int(workers.size()))
    {
        Worker& worker = workers[size_t(omp_get_thread_num())];
#pragma omp for schedule(static)
        for (int b = 0; b < batches; ++b) {
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                body(worker, b);
            } catch (...) {
#pragma omp critical(wavesim_batch_failure)
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace wavesim

// The one driver of parameter sets. Every entry that runs a circuit once per
// parameter set (cal_states, the expectation values and their gradients, the
// batches of shots) hands it the run of one set; the driver owns what the
// sets share: the seeding of the reset source, the threads (the sets spread
// over worker threads, or each set's kernels over every thread), the memory
// check made before any worker state is touched, and each worker's state and
// matrix caches.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

#include "wavesim/base/random_source.h"
#include "wavesim/base/threads.h"
#include "wavesim/plan/run.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// How a call's sets run.
struct ParameterSets {
    int num_qubits = 0;        // the circuit's: what the thread rule reads
    unsigned state_qubits = 0;  // of each set's state
    int batches = 0;           // batch_count: 0 or 1 is a single run
    uint64_t result_rows = 0;  // rows of results the caller holds beside the worker states (the memory check)
    bool in_turn = false;      // the sets one after another on the calling thread (they share a random stream)
};

// What a worker keeps from set to set: its state (made at its first use) and its matrix caches.
template <typename Real>
struct SetWorker {
    std::optional<StateVector<Real>> state;
    bool used = false;  // the state may hold a set's amplitudes
    RunCaches caches;
};

// What the run of one set is given.
template <typename Real>
struct SetRun {
    int batch_index = 0;
    ThreadTeam team;                       // for the set's kernels and resets
    RunCaches* caches = nullptr;           // null for a single run: its matrices are computed once each
    RandomSource* reset_source = nullptr;  // the executing thread's
    unsigned state_qubits = 0;
    SetWorker<Real>* worker = nullptr;
    bool left_clear = false;  // the run may say it left its state |0...0> again, which saves a pass

    // The set's state, |0...0> of state_qubits qubits: the worker's, made at
    // its first use, so a run that needs none makes none.
    StateVector<Real>& state() {
        if (!worker->state) worker->state.emplace(state_qubits);
        else if (worker->used) set_zero_state(*worker->state);
        worker->used = true;
        return *worker->state;
    }
};

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

// The calling thread's reset source of this precision is seeded (from the
// random device, at its first use on this thread) before any set runs.
template <typename Real>
void seed_reset_source() {
    thread_reset_source<Real>();
}

// body(run, extra) for every set b: one run on the calling thread with the
// thread rule's team for its kernels (a single run, or each set in turn);
// else the sets shared statically among batch_thread_count worker threads,
// each with its own SetWorker and Extra (default-made), the kernels of a set
// on its worker alone when there are several. Exceptions must not cross the
// region's boundary: the first is kept, the remaining sets skipped, and it is
// rethrown after the region.
template <typename Real, typename Extra, typename Body>
void for_each_parameter_set(const ParameterSets& sets, Body&& body) {
    seed_reset_source<Real>();
    const bool single = sets.batches <= 1;
    const int count = single ? 1 : sets.batches;
    const int team = single || sets.in_turn ? 1 : batch_thread_count(sets.num_qubits, sets.batches);
    if (!single && !sets.in_turn)
        check_batch_memory<Real>(int(sets.state_qubits), sets.result_rows, uint64_t(team));
    const auto run_set = [&](SetWorker<Real>& worker, Extra& extra, int b) {
        SetRun<Real> run;
        run.batch_index = b;
        run.team = team > 1 ? ThreadTeam{} : team_for(sets.num_qubits);
        run.caches = single ? nullptr : &worker.caches;
        run.reset_source = &thread_reset_source<Real>();
        run.state_qubits = sets.state_qubits;
        run.worker = &worker;
        body(run, extra);
        if (run.left_clear) worker.used = false;
    };
    if (team == 1) {
        SetWorker<Real> worker;
        Extra extra{};
        for (int b = 0; b < count; ++b) run_set(worker, extra, b);
        return;
    }
    std::vector<SetWorker<Real>> workers(static_cast<size_t>(team));
    std::vector<Extra> extras(static_cast<size_t>(team));
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
#pragma omp parallel num_threads(team)
    {
        const int worker = omp_get_thread_num();
#pragma omp for schedule(static)
        for (int b = 0; b < count; ++b) {
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                run_set(workers[size_t(worker)], extras[size_t(worker)], b);
            } catch (...) {
#pragma omp critical(wavesim_batch_failure)
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
}

// Extra of a body that keeps nothing of its own per worker.
struct NoExtra {};

}  // namespace wavesim

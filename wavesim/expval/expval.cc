// The drivers behind expval_cpp and expval_grad_cpp: one state per worker, read and never returned.
#include "wavesim/expval/expval.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "wavesim/expval/adjoint_gradient.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/expval/expectation.h"
#include "wavesim/state/measurement.h"
#include "wavesim/base/threads.h"

namespace wavesim {
namespace {

// The worker's state of `qubits` qubits: made at its first set, put back to |0...0> for every later one.
template <typename Real>
StateVector<Real>& fresh_state(StateWorker<Real>& worker, unsigned qubits) {
    if (worker.state) set_zero_state(*worker.state);
    else worker.state = std::make_unique<StateVector<Real>>(qubits);
    return *worker.state;
}

// The final state of set b in the lower 2^n amplitudes of `state` (zero above), its observables read off it.
template <typename Real>
std::vector<double> expectation_of_set(StateVector<Real>& state, int num_qubits,
                                       const std::vector<CircuitInstruction>& instructions, RunCaches* caches,
                                       int batch_index, int fusion, const GroupedObservables& observables) {
    StateVector<Real> psi(unsigned(num_qubits), state.re, state.im);
    run_circuit(psi, instructions, caches, batch_index, fusion);
    return expectation_values(state, observables);
}

template <typename Real>
struct GradientWorker {
    StateWorker<Real> run;
    std::vector<ExactSum> slots;  // one per column for each hardware thread
};

// Slots for every thread a kernel region may run with.
size_t slot_threads() { return size_t(std::max(kHardwareThreads, 1)); }

}  // namespace

template <typename Real>
std::vector<double> expectation_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions, int batches,
                                     const GroupedObservables& observables, int fusion) {
    const ThreadCountGuard caller_threads;
    reset_random_source<Real>();  // seeded on the calling thread now, as on each worker at its first RESET
    check_state_qubits(num_qubits);
    const unsigned qubits = std::max(unsigned(num_qubits), kMinPassQubits);
    if (batches <= 1) {
        StateVector<Real> state(qubits);
        return expectation_of_set(state, num_qubits, instructions, nullptr, 0, fusion, observables);
    }
    const size_t count = size_t(observables.count);
    std::vector<double> rows(size_t(batches) * count);
    const int team = batch_thread_count(num_qubits, batches);
    check_batch_memory<Real>(int(qubits), 0, uint64_t(team));
    std::vector<StateWorker<Real>> workers(static_cast<size_t>(team));
    for_each_set(num_qubits, batches, workers, [&](StateWorker<Real>& worker, int b) {
        StateVector<Real>& state = fresh_state(worker, qubits);
        const std::vector<double> values =
            expectation_of_set(state, num_qubits, instructions, &worker.caches, b, fusion, observables);
        std::copy(values.begin(), values.end(), rows.begin() + ptrdiff_t(size_t(b) * count));
    });
    return rows;
}

template <typename Real>
GradientRows gradient_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions, int batches,
                           const GroupedObservables& observable, int fusion) {
    const ThreadCountGuard caller_threads;
    reset_random_source<Real>();
    const DifferentiableCircuit circuit = differentiable_circuit(num_qubits, instructions);
    check_state_qubits(num_qubits);
    const unsigned qubits = adjoint_state_qubits(unsigned(num_qubits));
    // Two states of the largest size cannot be had as one of twice the size.
    if (qubits > kMaxStateQubits) throw std::runtime_error("Failed to allocate memory for StateVector");
    const size_t sets = size_t(std::max(batches, 1));
    GradientRows rows;
    rows.columns = circuit.columns;
    rows.values.resize(sets);
    rows.grads.resize(sets * circuit.columns);
    if (batches <= 1) {
        StateVector<Real> state(qubits);
        std::vector<ExactSum> slots(slot_threads() * circuit.columns);
        rows.values[0] = adjoint_gradient(state, circuit, observable, nullptr, 0, fusion, slots, rows.grads.data());
        return rows;
    }
    const int team = batch_thread_count(num_qubits, batches);
    check_batch_memory<Real>(int(qubits), 0, uint64_t(team));
    std::vector<GradientWorker<Real>> workers(static_cast<size_t>(team));
    for (GradientWorker<Real>& worker : workers) worker.slots.resize(slot_threads() * circuit.columns);
    for_each_set(num_qubits, batches, workers, [&](GradientWorker<Real>& worker, int b) {
        StateVector<Real>& state = fresh_state(worker.run, qubits);
        double* grads = rows.grads.data() + size_t(b) * circuit.columns;
        rows.values[size_t(b)] =
            adjoint_gradient(state, circuit, observable, &worker.run.caches, b, fusion, worker.slots, grads);
    });
    return rows;
}

template std::vector<double> expectation_rows<double>(int, const std::vector<CircuitInstruction>&, int,
                                                      const GroupedObservables&, int);
template std::vector<double> expectation_rows<float>(int, const std::vector<CircuitInstruction>&, int,
                                                     const GroupedObservables&, int);
template GradientRows gradient_rows<double>(int, const std::vector<CircuitInstruction>&, int, const GroupedObservables&,
                                            int);
template GradientRows gradient_rows<float>(int, const std::vector<CircuitInstruction>&, int, const GroupedObservables&,
                                           int);

}  // namespace wavesim

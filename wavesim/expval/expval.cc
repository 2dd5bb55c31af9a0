// The drivers behind expval_cpp and expval_grad_cpp: one state per worker, read and never returned.
#include "wavesim/expval/expval.h"

#include <algorithm>
#include <stdexcept>

#include "wavesim/batch/parameter_sets.h"
#include "wavesim/expval/adjoint_gradient.h"
#include "wavesim/expval/expectation.h"
#include "wavesim/plan/run.h"

namespace wavesim {
namespace {

// The sets of a call whose states have `state_qubits` qubits.
ParameterSets sets_of(int num_qubits, int batches, unsigned state_qubits) {
    ParameterSets sets;
    sets.num_qubits = num_qubits;
    sets.state_qubits = state_qubits;
    sets.batches = batches;
    return sets;
}

// One ExactSum per column for every thread a kernel region may run with.
struct GradientSlots {
    std::vector<ExactSum> slots;
};

size_t slot_threads() { return size_t(std::max(kHardwareThreads, 1)); }

}  // namespace

template <typename Real>
std::vector<double> expectation_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions, int batches,
                                     const GroupedObservables& observables, int fusion) {
    check_state_qubits(num_qubits);
    const size_t count = size_t(observables.count);
    std::vector<double> rows(size_t(std::max(batches, 1)) * count);
    const unsigned qubits = std::max(unsigned(num_qubits), kMinPassQubits);
    for_each_parameter_set<Real, NoExtra>(sets_of(num_qubits, batches, qubits), [&](SetRun<Real>& run, NoExtra&) {
        // The final state in the lower 2^n amplitudes (zero above), its observables read off it.
        StateView<Real>& state = run.state();
        StateView<Real> psi(unsigned(num_qubits), state.re, state.im);
        RunOptions options;
        options.team = run.team;
        options.source = run.reset_source;
        run_circuit(psi, instructions, run.batch_index, fusion, run.caches, options);
        const std::vector<double> values = expectation_values(state, observables, run.team);
        std::copy(values.begin(), values.end(), rows.begin() + ptrdiff_t(size_t(run.batch_index) * count));
    });
    return rows;
}

template <typename Real>
GradientRows gradient_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions, int batches,
                           const GroupedObservables& observable, int fusion) {
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
    for_each_parameter_set<Real, GradientSlots>(
        sets_of(num_qubits, batches, qubits), [&](SetRun<Real>& run, GradientSlots& extra) {
            if (extra.slots.empty()) extra.slots.resize(slot_threads() * circuit.columns);
            double* grads = rows.grads.data() + size_t(run.batch_index) * circuit.columns;
            rows.values[size_t(run.batch_index)] = adjoint_gradient(run.state(), circuit, observable, run.caches,
                                                                    run.batch_index, fusion, run.team, extra.slots,
                                                                    grads);
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

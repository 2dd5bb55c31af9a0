// The drivers behind expval_cpp and expval_grad_cpp: a circuit's parameter
// sets through the parameter-set driver and the one run path (the final
// states cal_states returns, one per worker thread, two for a gradient), each
// final state read by the observables and never returned. Plain C++: the binding copies its inputs out of Python first.
#pragma once

#include <vector>

#include "common/circuit_records.h"
#include "wavesim/expval/observable.h"

namespace wavesim {

// <psi_b|O_k|psi_b> for each of max(batches, 1) parameter sets b, row by row
// (sets x observables); psi_b the final state of set b with `fusion`.
template <typename Real>
std::vector<double> expectation_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions, int batches,
                                     const GroupedObservables& observables, int fusion);

struct GradientRows {
    std::vector<double> values;  // per set
    std::vector<double> grads;   // per set, one per column (param_columns)
    size_t columns = 0;
};

// <O> and its gradient for each of max(batches, 1) parameter sets, by the
// adjoint method; refuses what differentiable_circuit refuses before anything
// runs. `fusion` applies to the forward run (the backward pass is per gate).
template <typename Real>
GradientRows gradient_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions, int batches,
                           const GroupedObservables& observable, int fusion);

}  // namespace wavesim

// Density matrices on the state-vector kernels. rho of an n-qubit circuit is
// held as a state of 2n qubits whose amplitude r 2^n + c is rho[r][c] (the
// row in the high n qubits), so that the state read in index order is rho
// row-major. rho -> U rho U^dagger is U on the row qubits and conj(U) on the
// column qubits: a gate U on qubit q acts as U on qubit q + n and conj(U) on
// qubit q (controls likewise), and a channel as its superoperator on the
// qubits q (and q' for two) and q + n (q' + n). Every MEASURE of a qubit is
// the non-selective measurement (the entries between its outcomes vanish),
// whatever its classical bit; RESET of a qubit is the reset channel. Every
// step is an ordinary gate step, so the windows and, when asked, fusion take
// the whole circuit as one stretch.
#pragma once

#include <cstdint>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/expval/observable.h"
#include "wavesim/plan/compile.h"
#include "wavesim/state/amplitude_buffer.h"

namespace wavesim {

// The steps of parameter set `batch_index` on rho's state (2n qubits, the
// plan's num_qubits), each instruction checked in order as compile_run
// checks it on n qubits (a MEASURE or RESET of a qubit outside the state is
// refused with check_qubit's message); channels must have been checked
// (check_channels). `cache` as for compile_run.
RunPlan density_plan(const std::vector<CircuitInstruction>& instructions, uint32_t num_qubits, GateMatrixCache* cache,
                     int batch_index);

// rho of every parameter set in one buffer: shape (2^n, 2^n) for batches <= 1,
// else (batches, 2^n, 2^n). A 2n-qubit state beyond what a state can have
// is refused as memory is ("Failed to allocate memory for StateVector").
template <typename Real>
AmplitudeBuffer<Real> density_matrices(const CircuitData& circuit, int batches, int fusion);

// Tr(rho_b O_k) for each of max(batches, 1) sets b, row by row (sets x
// observables), each observable given by its checked terms.
template <typename Real>
std::vector<double> density_expectation_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions,
                                             int batches, const std::vector<std::vector<PauliTerm>>& observables,
                                             int fusion);

}  // namespace wavesim

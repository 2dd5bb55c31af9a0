// The driver behind cal_states_cpp: evolve |0...0> through a circuit, once or
// once per parameter set, and return the final amplitudes.
#pragma once

#include <functional>

#include "common/circuit_records.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/plan/fusion.h"
#include "wavesim/state/amplitude_buffer.h"

namespace wavesim {

// The final amplitudes of each of `batches` parameter sets (batch_count),
// in one buffer: shape (2^n) when batches <= 1, else (batches, 2^n).
// Peak memory: the buffer plus one state per worker thread. `fusion` as for
// fused_steps; a product shared by the parameter sets is computed once per worker.
template <typename Real>
AmplitudeBuffer<Real> final_amplitudes(const CircuitData& circuit, int batches, int fusion = kFusionOff);

// Takes the set of `run` from |0...0> to the state to return, on `state`.
template <typename Real>
using SetEvolution = std::function<void(SetRun<Real>& run, StateVector<Real>& state)>;

// The same collection for states of `state_qubits` qubits made by `evolve`
// (the thread rule read for `thread_qubits`): the rows are allocated before
// any state, so a count too large for memory fails first, as std::bad_alloc.
template <typename Real>
AmplitudeBuffer<Real> collect_final_states(int thread_qubits, unsigned state_qubits, int batches,
                                           const SetEvolution<Real>& evolve);

}  // namespace wavesim

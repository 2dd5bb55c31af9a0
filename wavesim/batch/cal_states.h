// The driver behind cal_states_cpp: evolve |0...0> through a circuit, once or
// once per parameter set, and return the final amplitudes.
#pragma once

#include "common/circuit_records.h"
#include "wavesim/plan/fusion.h"
#include "wavesim/state/amplitude_buffer.h"

namespace wavesim {

// The final amplitudes of each of `batches` parameter sets (batch_count),
// in one buffer: shape (2^n) when batches <= 1, else (batches, 2^n).
// Peak memory: the buffer plus one state per worker thread. `fusion` as for
// fused_steps; a product shared by the parameter sets is computed once per worker.
template <typename Real>
AmplitudeBuffer<Real> final_amplitudes(const CircuitData& circuit, int batches, int fusion = kFusionOff);

}  // namespace wavesim

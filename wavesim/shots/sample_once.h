// Counting a batch whose measurements all come after its last gate and RESET:
// the state is simulated once, and every shot is one draw resolved against its
// cumulative probability table.
#pragma once

#include "common/circuit_records.h"
#include "wavesim/state/measurement.h"
#include "wavesim/base/random_source.h"
#include "wavesim/shots/setup.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// The state a sample-once batch samples from: the batch's circuit applied once
// to |0...0> (its RESETs drawing from `source` in circuit order, fused as
// `fusion` says), and its
// cumulative table. Shared with the literal procedure, which searches the
// table once per draw.
template <typename Real>
struct SampleOnceState {
    StateVector<Real> state;
    CumulativeTable table;
    SampleOnceState(const CircuitData& circuit, int batch_index, int fusion, RandomSource& source);
};

// The state made, then the shots' draws taken in order and resolved together
// in one sorted sweep of the table per block of draws: the counts and draws of
// the literal procedure.
template <typename Real>
ShotCounts sample_once_counts(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots,
                              int num_cbits, RandomSource& source);

}  // namespace wavesim

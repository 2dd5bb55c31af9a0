// Counting a batch whose measurements all come after its last gate and RESET:
// the state is simulated once, and every shot is one draw resolved against its
// cumulative probability table.
#pragma once

#include "common/circuit_records.h"
#include "wavesim/base/random_source.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// The set's circuit applied once to its state (its RESETs drawing from
// `source` in circuit order, fused as `fusion` says), then the shots' draws
// taken in order and resolved together in one sorted sweep of the state's
// cumulative table per block of draws: the counts and draws of one table
// search per draw.
template <typename Real>
ShotCounts sample_once_counts(const CircuitData& circuit, const ShotSetup& setup, SetRun<Real>& run, int shots,
                              int num_cbits, RandomSource& source, int fusion);

}  // namespace wavesim

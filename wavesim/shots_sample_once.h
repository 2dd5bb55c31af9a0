// Counting a batch whose measurements all come after its last gate and RESET:
// the state is simulated once, and every shot is one draw resolved against its
// cumulative probability table.
#pragma once

#include "circuit_records.h"
#include "random_source.h"
#include "shots_setup.h"

namespace wavesim {

// The batch's circuit applied once (its RESETs drawing first, in circuit
// order), then the shots' draws taken in order and resolved together in one
// sorted sweep of the table per block of draws: the counts and draws of the
// literal procedure, which searches the table once per draw.
template <typename Real>
ShotCounts sample_once_counts(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots,
                              int num_cbits, RandomSource& source);

}  // namespace wavesim

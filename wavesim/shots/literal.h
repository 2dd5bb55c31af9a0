// The shot procedure in its plainest form: every shot of a per-shot batch on
// a fresh state, its instructions compiled and applied stretch by stretch
// between counted MEASUREs; one table search per draw of a sample-once batch.
// It is the oracle the fast procedures are tested against and the baseline of
// the shots benchmark, and production falls back to it for a per-shot batch
// that the outcome tree refuses, so that the refusal reaches the caller as a
// literal shot raises it.
#pragma once

#include "common/circuit_records.h"
#include "wavesim/base/random_source.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// The counts of batch `batch_index`, with the setup's strategy.
template <typename Real>
ShotCounts literal_counts(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots, int num_cbits,
                          RandomSource& source);

}  // namespace wavesim

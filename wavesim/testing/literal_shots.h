// Test-only: the shot procedure as a shot on its own is defined, instruction
// by instruction on the plain per-gate path (testing/reference_path.h), every
// shot on a fresh state with a fresh matrix cache; and one table search per
// draw for a batch whose measurements are all terminal. The tests compare the
// library's procedures with it: the same counts and draws.
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

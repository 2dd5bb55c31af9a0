// The shot procedure in its plainest form: a fresh state and matrix cache for
// every shot, one table search per draw. Too slow for use; it is the baseline
// of the shots benchmark and the oracle the fast passes are tested against.
#pragma once

#include "circuit_records.h"
#include "measurement.h"
#include "shot_plan.h"

namespace wavesim {

template <typename Real>
ShotCounts literal_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                        RandomSource& source);

}  // namespace wavesim

// The driver behind run_cpp: counts of the measured bit strings over a number
// of shots, one set of counts per parameter set.
#pragma once

#include <vector>

#include "batch_count.h"
#include "circuit_records.h"
#include "plan_fusion.h"
#include "shot_plan.h"

namespace wavesim {

// One ShotCounts per pass: a single one when the circuit has fewer than two
// parameter sets, else one per set. `read_bound_shape` as for batch_count;
// `fusion` as for fuse_plan (check_fusion refuses other values first).
template <typename Real>
std::vector<ShotCounts> run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                  TensorShapeReader read_bound_shape, int fusion = kFusionOff);

}  // namespace wavesim

// The shot procedure in its plainest form: every shot of a per-shot batch
// from |0...0> on one state, the whole circuit run with the shot's own
// register (each counted MEASURE collapsing the state with one draw). It
// needs one state and nothing else, so it counts the batches whose outcome
// tree would not fit in memory.
#pragma once

#include "common/circuit_records.h"
#include "wavesim/base/random_source.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// The counts of the set `run` stands for, shot after shot from `source`; its
// circuit is compiled (and fused as `fusion` says) stretch by stretch as the
// first shot reaches each stretch, so a refusal is raised where a shot meets it.
template <typename Real>
ShotCounts literal_shot_counts(const CircuitData& circuit, SetRun<Real>& run, int shots, int num_cbits,
                               RandomSource& source, int fusion);

// Register entries 0, 1, ... as decimal text, then reversed: bit 0 rightmost.
std::string key_of_register(const std::vector<int>& cbits);

}  // namespace wavesim

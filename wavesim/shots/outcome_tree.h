// Counting a per-shot batch (some gate or RESET follows a measurement) with an
// outcome tree: the shots walk the tree of their measurement and reset
// outcomes together, and a state is made once per node instead of once per shot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/circuit_records.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/plan/fusion.h"
#include "wavesim/base/random_source.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// How much the outcome tree may hold at once (shots_outcome_tree.cc states
// the rule that spends state_bytes).
struct OutcomeTreeLimits {
    uint64_t state_bytes = uint64_t{256} << 20;  // states held beside the root's, which is always kept
    size_t max_nodes = size_t{1} << 21;          // outcome nodes kept from one block of shots to the next
    size_t draws_per_block = size_t{1} << 22;    // draws taken ahead, whole shots at a time
};

// Per-shot strategy: every shot takes one draw per step (a counted MEASURE or
// a RESET of a qubit) in circuit order, so the draws of a block of shots are
// taken ahead and the shots walk an outcome tree together. Each node keeps
// the odds of its step, summed once by measure_odds or reset_odds (on the
// full state's thread team), and sends its shots to the child their draws
// pick by measure_outcome or reset_outcome; a state is made only where a node
// is reached for the first time. Counts and draws taken are those of every
// shot run on its own. Every stretch between steps is compiled once, as the
// walk first reaches it, fused as `fusion` says, so a refusal is raised where
// the first shot meets it; the gates after the last step are compiled, not run.
template <typename Real>
ShotCounts outcome_tree_counts(const CircuitData& circuit, SetRun<Real>& run, int shots, int num_cbits,
                               RandomSource& source, const OutcomeTreeLimits& limits = {}, int fusion = kFusionOff);

}  // namespace wavesim

// One pass of run_cpp (all shots of one parameter set), in the fast forms
// whose counts equal the literal procedure's for the same random stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "circuit_records.h"
#include "measurement.h"
#include "shot_plan.h"

namespace wavesim {

// Sample-once strategy: one simulation, then the pass's draws are taken in
// order and resolved together in one sorted sweep of the cumulative table.
template <typename Real>
ShotCounts sample_once_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                            RandomSource& source);

// How much the per-shot pass may hold at once.
struct OutcomeTreeLimits {
    uint64_t state_bytes = uint64_t{256} << 20;  // states kept for later nodes (the root's is always kept)
    size_t max_nodes = size_t{1} << 21;          // outcome nodes kept from one block of shots to the next
    size_t draws_per_block = size_t{1} << 22;    // draws taken ahead, whole shots at a time
};

// Per-shot strategy: every shot takes one draw per step (a counted MEASURE or
// a RESET of a qubit) in the literal order, so the draws of a block of shots
// are taken ahead and the shots walk an outcome tree together. Each node keeps
// the odds of its step, summed once as the literal operation sums them, and
// sends its shots to the child their draws pick by that operation's own rule;
// a state is derived only where a node is reached for the first time. Counts
// and draws taken equal the literal procedure's; should anything fail, the
// pass is run again literally, from the same stream, so that it fails as a
// literal shot would.
template <typename Real>
ShotCounts per_shot_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                         RandomSource& source, const OutcomeTreeLimits& limits = {});

// The pass of the plan's strategy.
template <typename Real>
ShotCounts count_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                      RandomSource& source);

}  // namespace wavesim

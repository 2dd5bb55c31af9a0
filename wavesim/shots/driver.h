// The driver behind run_cpp: the call's setup, one random stream, and the
// counts of the measured bit strings for every batch, each counted by the
// procedure its strategy takes.
#pragma once

#include <cstdint>
#include <vector>

#include "wavesim/batch/batch_count.h"
#include "common/circuit_records.h"
#include "wavesim/plan/fusion.h"
#include "wavesim/base/random_source.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// The procedure that counted a batch.
enum class CountedBy : uint8_t { kSampleOnce, kOutcomeTree, kLiteral };

// The counts of one batch, from `source`: a sample-once batch by
// sample_once_counts; a per-shot batch by the outcome tree, or, when the tree
// meets one of the simulator's refusals (std::runtime_error: an unknown gate,
// an unsupported configuration, a qubit outside the state, a non-finite state,
// a state too large), by the literal procedure from the same stream, which
// raises the refusal as a literal shot does. Any other exception propagates as
// it is. `counted_by`, when given, tells which procedure counted (or raised).
template <typename Real>
ShotCounts count_batch(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots, int num_cbits,
                       RandomSource& source, CountedBy* counted_by = nullptr);

// One ShotCounts per batch (a single one when the circuit has fewer than two
// parameter sets), the batches drawing in turn from one stream seeded with
// `seed`. `read_bound_shape` as for batch_count; `fusion` as for fuse_plan
// (check_fusion refuses other values first).
template <typename Real>
std::vector<ShotCounts> run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                  TensorShapeReader read_bound_shape, int fusion = kFusionOff);

}  // namespace wavesim

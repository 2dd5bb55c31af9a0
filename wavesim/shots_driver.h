// The driver behind run_cpp: the call's setup, one random stream, and the
// counts of the measured bit strings for every batch, each counted by the
// procedure its strategy takes.
#pragma once

#include <vector>

#include "batch_count.h"
#include "circuit_records.h"
#include "random_source.h"
#include "shots_setup.h"

namespace wavesim {

// The counts of one batch, from `source`: sample-once batches by
// sample_once_counts; per-shot batches by the outcome tree, or by the literal
// procedure from the same stream when the tree refuses the batch.
template <typename Real>
ShotCounts count_batch(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots, int num_cbits,
                       RandomSource& source);

// One ShotCounts per batch (a single one when the circuit has fewer than two
// parameter sets), the batches drawing in turn from one stream seeded with
// `seed`. `read_bound_shape` as for batch_count.
template <typename Real>
std::vector<ShotCounts> run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                  TensorShapeReader read_bound_shape);

}  // namespace wavesim

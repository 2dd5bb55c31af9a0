// The driver behind run_cpp: the call's setup, one random stream, and the
// counts of the measured bit strings for every batch, each counted by the
// procedure its strategy and the machine's memory choose.
#pragma once

#include <cstdint>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/base/random_source.h"
#include "wavesim/batch/batch_count.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// The procedures that count a batch.
enum class CountedBy : uint8_t { kSampleOnce, kOutcomeTree, kLiteral };

// Terminal measurements are sampled from one simulation. A per-shot batch
// goes through the outcome tree when its root state and one state to work on
// fit in the memory available now; where only one state fits, it is counted
// shot by shot on that one state (the literal procedure).
template <typename Real>
CountedBy counting_procedure(const ShotSetup& setup, int num_qubits);

// The counts of the set `run` stands for, from `source`, by its procedure:
// the same counts and draws whichever it is. Each procedure raises the
// simulator's refusals itself, where a shot on its own would meet them.
template <typename Real>
ShotCounts count_batch(const CircuitData& circuit, const ShotSetup& setup, SetRun<Real>& run, int shots, int num_cbits,
                       RandomSource& source, int fusion);

// One ShotCounts per batch (a single one when the circuit has fewer than two
// parameter sets), the batches drawing in turn from one stream seeded with
// `seed`. `read_bound_shape` as for batch_count; `fusion` as for fused_steps.
template <typename Real>
std::vector<ShotCounts> run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                  TensorShapeReader read_bound_shape, int fusion = kFusionOff);

}  // namespace wavesim

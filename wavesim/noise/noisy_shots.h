// run_cpp on a circuit with noise channels or with readout error. A set whose
// channels all have strength 0 is counted by the noiseless procedures
// (shots/driver.h) on its circuit without them, so its counts are those of
// that circuit for the seed; any other set is counted by its trajectories
// (noise/trajectory_tree.h), shot s being trajectory s of the set's streams.
// Readout error then acts on the counts alone: a recorded bit is flipped with
// the probability of its pair, which changes no state.
#pragma once

#include <utility>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/batch/batch_count.h"
#include "wavesim/noise/trajectory_tree.h"
#include "wavesim/shots/setup.h"

namespace wavesim {

// (p(1|0), p(0|1)) pairs: none, one for every classical bit, or one per bit.
using ReadoutError = std::vector<std::pair<double, double>>;

// Refuses (std::invalid_argument "readout_error: ...") a probability that is
// not finite or outside [0, 1], and a count of pairs other than 0, 1 or num_cbits.
void check_readout(const ReadoutError& readout, int num_cbits);

// The counts with every bit that a counted MEASURE records flipped as its
// pair says, drawn from `stream`: for each key in order, bit after bit, the
// number of its shots whose bit flips is one binomial draw.
ShotCounts with_readout_error(const ShotCounts& counts, const ReadoutError& readout, const ShotSetup& setup,
                              DrawStream& stream);

// One ShotCounts per parameter set, as run_shots gives them; refuses what
// run_shots, check_channels and check_readout refuse, before any shot.
template <typename Real>
std::vector<ShotCounts> run_noisy_shots(const CircuitData& circuit, int shots, int num_cbits, int seed,
                                        TensorShapeReader read_bound_shape, int fusion, const ReadoutError& readout,
                                        const TrajectoryLimits& limits = {});

}  // namespace wavesim

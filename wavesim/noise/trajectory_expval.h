// Expectation values of noisy circuits too large for a density matrix: the
// mean of <O> over trajectories on the shared tree (noise/trajectory_tree.h)
// and its standard error measured from them. Trajectory t of every
// parameter set draws from the same stream (the call's key and t alone), so
// wherever the sets' channels are Pauli mixtures of equal strengths their
// trajectories take the same branches, event for event; where strengths
// differ the draws are still the same numbers, compared with other
// probabilities; a branch read off the state (Kraus channels, MEASURE,
// RESET) may differ between sets, and the draws after it stay the same.
#pragma once

#include <vector>

#include "common/circuit_records.h"
#include "wavesim/expval/observable.h"
#include "wavesim/noise/trajectory_tree.h"

namespace wavesim {

struct TrajectoryRows {
    std::vector<double> mean;   // per set, per observable
    std::vector<double> error;  // the standard error of each mean: the trajectories' spread / sqrt(trajectories)
};

// For each of max(batches, 1) parameter sets (row by row, sets x observables)
// over `trajectories` trajectories from the streams of `seed`: every MEASURE
// of a qubit collapses the trajectory's state (so the mean estimates the
// Tr(rho O) of density_matrix_cpp's rho) and RESET resets it. One trajectory
// has no spread: its error is NaN. Channels must have been checked.
template <typename Real>
TrajectoryRows trajectory_expectation_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions,
                                           int batches, const std::vector<std::vector<PauliTerm>>& observables,
                                           int trajectories, int seed, int fusion, const TrajectoryLimits& limits = {});

}  // namespace wavesim

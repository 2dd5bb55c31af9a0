// Trajectory means of observables with their standard errors, set by set on the shared tree.
#include "wavesim/noise/trajectory_expval.h"

#include <algorithm>
#include <cmath>

#include "wavesim/batch/parameter_sets.h"
#include "wavesim/expval/expectation.h"

namespace wavesim {
namespace {

constexpr uint64_t kExpectationStreams = 3;

// Weighted sums of values shifted by the first one (so that equal values sum to exactly nothing), the
// first compensated (Neumaier).
struct Spread {
    bool started = false;
    double first = 0.0;
    double sum = 0.0;
    double compensation = 0.0;
    double squares = 0.0;

    void add(double value, double weight) {
        if (!started) {
            started = true;
            first = value;
        }
        const double d = value - first;
        const double term = weight * d;
        const double t = sum + term;
        compensation += std::fabs(sum) >= std::fabs(term) ? (sum - t) + term : (term - t) + sum;
        sum = t;
        squares += term * d;
    }

    double mean(double count) const { return first + (sum + compensation) / count; }

    // sqrt(sum of (v - mean)^2 / (count - 1) / count); NaN for a single value.
    double error(double count) const {
        const double shift = sum + compensation;
        const double spread = std::max(squares - shift * shift / count, 0.0);
        return std::sqrt(spread / (count - 1.0) / count);
    }
};

}  // namespace

template <typename Real>
TrajectoryRows trajectory_expectation_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions,
                                           int batches, const std::vector<std::vector<PauliTerm>>& observables,
                                           int trajectories, int seed, int fusion, const TrajectoryLimits& limits) {
    check_state_qubits(num_qubits);
    const size_t count = observables.size();
    // The squared norm is read in the same passes, as one more observable.
    std::vector<std::vector<PauliTerm>> with_norm = observables;
    with_norm.push_back({PauliTerm{0, 0, 1.0}});
    const GroupedObservables grouped = group_observables(with_norm);
    const size_t count_with_norm = count + 1;
    const uint64_t streams = derived_key(call_key(seed), kExpectationStreams);
    const size_t sets_count = size_t(std::max(batches, 1));
    TrajectoryRows rows{std::vector<double>(sets_count * count), std::vector<double>(sets_count * count)};
    ParameterSets sets;
    sets.num_qubits = num_qubits;
    sets.state_qubits = std::max(unsigned(num_qubits), kMinPassQubits);
    sets.batches = batches;
    for_each_parameter_set<Real, NoExtra>(sets, [&](SetRun<Real>& run, NoExtra&) {
        const NoisyProgram program =
            compile_noisy(instructions, num_qubits, run.batch_index, 0, NoisyMode::kExpectation, fusion, run.caches);

        // Each trajectory's values (its leaf's), added trajectory by trajectory in their order: the sums do
        // not depend on how the tree or the walks grouped them.
        std::vector<Spread> spreads(count);
        std::vector<std::vector<double>> leaf_values(static_cast<size_t>(kMostWalks));
        std::vector<uint32_t> leaf_of;
        std::vector<uint8_t> walk_of;
        StateVector<Real>& root = run.state();
        for_each_block(uint64_t(trajectories), limits.block, [&](uint32_t first, uint32_t size) {
            leaf_of.assign(size, 0);
            walk_of.assign(size, 0);
            for (std::vector<double>& values : leaf_values) values.clear();
            walk_trajectories<Real>(
                program, root, streams, first, size, "", false, limits, run.team, [&](const Leaf<Real>& leaf, int w) {
                    std::vector<double>& values = leaf_values[size_t(w)];
                    const uint32_t index = uint32_t(values.size() / count_with_norm);
                    const std::vector<double> read = expectation_values(leaf.buffer, grouped, leaf.team);
                    values.insert(values.end(), read.begin(), read.end());
                    for (const Member& m : leaf.members) {
                        leaf_of[m.id - first] = index;
                        walk_of[m.id - first] = uint8_t(w);
                    }
                    if (!leaf.exact_norm)
                        for (size_t k = 0; k < count; ++k) values[index * count_with_norm + k] /= read[count];
                });
            for (uint32_t t = 0; t < size; ++t) {
                const double* values = leaf_values[walk_of[t]].data() + size_t(leaf_of[t]) * count_with_norm;
                for (size_t k = 0; k < count; ++k) spreads[k].add(values[k], 1.0);
            }
        });
        const size_t row = size_t(run.batch_index) * count;
        for (size_t k = 0; k < count; ++k) {
            rows.mean[row + k] = spreads[k].mean(trajectories);
            rows.error[row + k] = spreads[k].error(trajectories);
        }
    });
    return rows;
}

template TrajectoryRows trajectory_expectation_rows<double>(int, const std::vector<CircuitInstruction>&, int,
                                                            const std::vector<std::vector<PauliTerm>>&, int, int, int,
                                                            const TrajectoryLimits&);
template TrajectoryRows trajectory_expectation_rows<float>(int, const std::vector<CircuitInstruction>&, int,
                                                           const std::vector<std::vector<PauliTerm>>&, int, int, int,
                                                           const TrajectoryLimits&);

}  // namespace wavesim

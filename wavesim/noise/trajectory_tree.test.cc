// The trajectory walk: a trajectory's final state is the same bits however
// the trajectories are grouped (blocks, walks, threads, a memory budget that
// forces states to be made again), and the draws follow their distributions.
#include "wavesim/noise/trajectory_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "wavesim/noise/channels.h"
#include "wavesim/testing/shots_circuits.h"

namespace wavesim {
namespace {

using shot_tests::gate;

// A dynamic circuit (measurements, resets) with a channel of every kind after every few instructions.
CircuitData noisy_circuit(uint32_t seed, int n) {
    CircuitData data = shot_tests::random_circuit(seed, n, 30, 0.15);
    std::mt19937 rng(seed);
    const char* names[] = {"DEPOLARIZE1", "AMPLITUDE_DAMPING", "PHASE_DAMPING",
                           "X_ERROR",     "DEPOLARIZE2",       "PAULI_CHANNEL_1"};
    std::vector<CircuitInstruction> out;
    for (const CircuitInstruction& ins : data.instructions) {
        out.push_back(ins);
        if (rng() % 3 != 0) continue;
        const std::string name = names[rng() % (n > 1 ? 6 : 4)];
        const int32_t q = int32_t(rng() % uint32_t(n));
        const double p = 0.05 + 0.3 * double(rng() % 100) / 100;
        if (name == "DEPOLARIZE2") out.push_back(gate(name, {q, (q + 1) % n}, {}, {p}));
        else if (name == "PAULI_CHANNEL_1") out.push_back(gate(name, {q}, {}, {p / 3, p / 4, p / 5}));
        else out.push_back(gate(name, {q}, {}, {p}));
    }
    data.instructions = out;
    return data;
}

// Every trajectory's leaf: its register and a hash of its state's bits; `remade` counts the states made again.
template <typename Real>
std::map<uint32_t, std::pair<std::string, uint64_t>> leaves_of(const NoisyProgram& program, uint32_t count,
                                                               const TrajectoryLimits& limits, ThreadTeam team,
                                                               size_t* remade = nullptr) {
    std::map<uint32_t, std::pair<std::string, uint64_t>> out;
    StateVector<Real> root(program.num_qubits);
    const uint64_t streams = derived_key(call_key(11), 1);
    for_each_block(count, limits.block, [&](uint32_t first, uint32_t size) {
        const WalkReport report =
            walk_trajectories<Real>(program, root, streams, first, size, std::string(program.num_qubits, '0'), true,
                                    limits, team, [&](const Leaf<Real>& leaf, int) {
                                        uint64_t hash = 1469598103934665603ULL;
                                        for (uint64_t i = 0; i < leaf.state.dim; ++i)
                                            for (Real x : {leaf.state.re[i], leaf.state.im[i]}) {
                                                uint64_t bits = 0;
                                                std::memcpy(&bits, &x, sizeof x);
                                                hash = (hash ^ bits) * 1099511628211ULL;
                                            }
#pragma omp critical(trajectory_test_leaves)
                                        for (const Member& m : leaf.members) out[m.id] = {leaf.key, hash};
                                    });
        if (remade != nullptr) *remade += report.remade;
    });
    return out;
}

template <typename Real>
class TrajectoryWalk : public ::testing::Test {};
TYPED_TEST_SUITE(TrajectoryWalk, shot_tests::Precisions);

TYPED_TEST(TrajectoryWalk, GroupingNeverChangesATrajectory) {
    const TrajectoryLimits kinds[] = {{uint64_t{256} << 20, 1 << 20, 1},  // one walk, copies at will
                                      {0, 1 << 20, 1},                    // two states: groups are made again
                                      {0, 7, 2},                          // small blocks, two walks
                                      {uint64_t{1} << 20, 64, 3}};
    size_t remade = 0;
    for (uint32_t seed = 0; seed < 12; ++seed) {
        const int n = 1 + int(seed % 6);
        const CircuitData circuit = noisy_circuit(seed, n);
        check_channels(circuit.instructions, n, 1);
        for (NoisyMode mode : {NoisyMode::kCounts, NoisyMode::kExpectation}) {
            const NoisyProgram program = compile_noisy(circuit.instructions, n, 0, n, mode, 0, nullptr);
            const auto want = leaves_of<TypeParam>(program, 300, kinds[0], ThreadTeam{1});
            ASSERT_EQ(want.size(), 300U);
            for (const TrajectoryLimits& limits : kinds)
                for (int threads : {1, 2})
                    EXPECT_EQ(leaves_of<TypeParam>(program, 300, limits, ThreadTeam{threads}, &remade), want);
        }
    }
    EXPECT_GT(remade, 0U);  // the budget of two states made some groups' states again
}

TEST(TrajectoryDraws, BinomialFollowsItsDistribution) {
    for (const auto& [n, p] : std::vector<std::pair<uint64_t, double>>{{20, 0.1}, {20, 0.7}, {1000, 0.003}, {5, 0.5}}) {
        DrawStream stream{derived_key(call_key(3), n), 0};
        std::vector<double> seen(n + 1, 0.0);
        const int draws = 40000;
        for (int i = 0; i < draws; ++i) seen[binomial(n, p, stream)] += 1;
        // Chi-square over the outcomes expecting at least 20 draws, the rest pooled.
        double chi = 0.0, rest_seen = 0.0, rest_want = 0.0;
        int cells = 0;
        for (uint64_t k = 0; k <= n; ++k) {
            const double want = draws * std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) -
                                                 std::lgamma(n - k + 1.0) + k * std::log(p) + (n - k) * std::log1p(-p));
            if (want < 20) {
                rest_seen += seen[k];
                rest_want += want;
                continue;
            }
            chi += (seen[k] - want) * (seen[k] - want) / want;
            ++cells;
        }
        if (rest_want > 0) chi += (rest_seen - rest_want) * (rest_seen - rest_want) / rest_want, ++cells;
        // Far beyond the 1e-6 quantile for these few degrees of freedom.
        EXPECT_LT(chi, 3.0 * cells + 40) << n << " " << p;
    }
}

// Sites of equal strength: the first event is geometric, P(site s) = (1 - p)^s p.
TEST(TrajectoryDraws, SkipsAreGeometric) {
    CircuitData data;
    data.num_qubits = 1;
    const double p = 0.02;
    for (int i = 0; i < 400; ++i) data.instructions.push_back(gate("Z_ERROR", {0}, {}, {p}));
    const NoisyProgram program = compile_noisy(data.instructions, 1, 0, 0, NoisyMode::kExpectation, 0, nullptr);
    const int draws = 200000;
    std::vector<double> seen(401, 0.0);
    for (int i = 0; i < draws; ++i) seen[next_event(program, 0, stream_uniform(17, uint64_t(i)))] += 1;
    for (int s : {0, 10, 50, 100}) {
        const double want = draws * std::pow(1 - p, s) * p;
        EXPECT_NEAR(seen[size_t(s)], want, 6 * std::sqrt(want)) << s;
    }
    EXPECT_NEAR(seen[400], draws * std::pow(1 - p, 400), 6 * std::sqrt(draws * std::pow(1 - p, 400)));
    EXPECT_EQ(next_event(program, 400, 0.5), 400U);
}

}  // namespace
}  // namespace wavesim

// The outcome tree against the literal procedure: same counts and the same
// number of draws taken from the stream, under the default limits and under
// limits that starve it, and for draws pinned to every step's ties.
#include "wavesim/shots/outcome_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "wavesim/state/measurement.h"
#include "wavesim/testing/reference_path.h"
#include "wavesim/testing/shots_circuits.h"

namespace wavesim {
namespace {

using namespace shot_tests;

template <typename Real>
class OutcomeTree : public ::testing::Test {};
TYPED_TEST_SUITE(OutcomeTree, Precisions);

// Random dynamic circuits on 1 ... 14 qubits, some with two parameter sets,
// under the default limits and under limits small enough that kept states,
// kept nodes and blocks of draws all run out: the tree then makes states
// again from above, starts over between blocks, or takes one shot per block.
TYPED_TEST(OutcomeTree, DynamicCircuitsMatchTheLiteralShots) {
    const OutcomeTreeLimits starved[] = {{0, 1, 1}, {4096, 64, 100}, {uint64_t{1} << 20, 1000, 5000}};
    for (uint32_t seed = 0; seed < 42; ++seed) {
        const int n = 1 + static_cast<int>(seed % 14);
        const int batches = seed % 5 == 4 ? 2 : 1;
        const CircuitData circuit = random_dynamic_circuit(seed, n, 1 + static_cast<int>(seed % 4), batches);
        if (!setup_shots(circuit, n).per_shot) continue;
        const int shots = n <= 8 ? 400 : 120;
        expect_same_as_literal<TypeParam>(circuit, shots, n, static_cast<int>(seed));
        expect_same_as_literal<TypeParam>(circuit, shots, n, static_cast<int>(seed), &starved[seed % 3]);
    }
}

// On 16 qubits a reset sums its odds with every hardware thread.
TYPED_TEST(OutcomeTree, DynamicCircuitAboveTheSerialSize) {
    const CircuitData circuit = random_dynamic_circuit(99, 16, 2, 1);
    ASSERT_TRUE(setup_shots(circuit, 16).per_shot);
    expect_same_as_literal<TypeParam>(circuit, 16, 16, 4);
    const OutcomeTreeLimits none{0, 1, 1};
    expect_same_as_literal<TypeParam>(circuit, 16, 16, 5, &none);
}

// The p0 that the literal procedure compares the draw with at its k-th step
// (a counted MEASURE or a RESET of a qubit) when every draw is r; -1 past the end.
template <typename Real>
double literal_p0_at(const CircuitData& circuit, int num_cbits, double r, int k) {
    StateVector<Real> state(static_cast<unsigned>(circuit.num_qubits));
    GateMatrixCache cache;
    RandomSource unused;
    int step = 0;
    for (const auto& instruction : circuit.instructions) {
        const bool reset = instruction.name == "RESET" && !instruction.qubits.empty();
        if (!reset && !is_counted_measure(instruction, num_cbits)) {
            if (instruction.name != "MEASURE") apply_one_instruction(state, instruction, cache, 0, unused);
            continue;
        }
        const int q = instruction.qubits[0];
        const ThreadTeam team = team_for(circuit.num_qubits);
        const QubitOdds odds = reset ? reset_odds(state, q, team) : measure_odds(state, q);
        if (step++ == k) return odds.p0;
        if (reset) {
            apply_reset_outcome(state, q, reset_outcome(r, odds), odds, team);
        } else {
            collapse_measured(state, q, measure_outcome(r, odds), odds);
        }
    }
    return -1.0;
}

// Every draw pinned to exactly the p0 of one step (found by following the
// path that draw itself takes), and to the double just below it: the two sides
// of that step's tie. The tree decides each step against its own odds, so any
// bit in which they differ from the literal ones turns an outcome around.
TYPED_TEST(OutcomeTree, DrawsAtTheTiesOfEveryStep) {
    for (uint32_t seed = 0; seed < 13; ++seed) {
        const int n = seed < 12 ? 1 + static_cast<int>(seed % 7) : 15;
        CircuitData circuit = random_dynamic_circuit(500 + seed, n, 3, 1);
        if (n == 15) {
            // Resets of superposed qubits on 15 qubits, whose odds are summed on every thread.
            circuit.instructions.clear();
            for (int q = 0; q < n; ++q) circuit.instructions.push_back(gate("H", {q}));
            for (int q = 0; q + 1 < n; ++q) circuit.instructions.push_back(gate("CRY", {q + 1}, {q}, {0.4 + 0.1 * q}));
            for (int q : {3, 9, 3}) {
                circuit.instructions.push_back(gate("RESET", {q}));
                circuit.instructions.push_back(gate("RY", {q}, {}, {1.1}));
                circuit.instructions.push_back(gate("CX", {q + 1}, {q}));
                circuit.instructions.push_back(measure(q + 1, q));
            }
        }
        const ShotSetup setup = setup_shots(circuit, n);
        if (!setup.per_shot) continue;
        for (int k = 0;; ++k) {
            double r = 0.5;
            for (int settle = 0; settle < 3; ++settle) r = std::max(0.0, literal_p0_at<TypeParam>(circuit, n, r, k));
            if (literal_p0_at<TypeParam>(circuit, n, r, k) < 0) break;
            for (double draw : {r, std::nextafter(r, 0.0)}) {
                RandomSource fast = make_seeded_source(0);
                RandomSource literal = make_seeded_source(0);
                fast.low = fast.high = literal.low = literal.high = draw;
                const OutcomeTreeLimits limits{0, 1, 1};
                LoneSetRun<TypeParam> lone(n, 0);
                EXPECT_EQ(outcome_tree_counts<TypeParam>(circuit, lone.run, 2, n, fast, limits),
                          literal_counts<TypeParam>(circuit, setup, 0, 2, n, literal))
                    << "seed " << seed << ", step " << k << ", draw " << draw;
                EXPECT_EQ(count_alone<TypeParam>(circuit, setup, 0, 2, n, fast),
                          literal_counts<TypeParam>(circuit, setup, 0, 2, n, literal));
            }
        }
    }
}

// Thirteen measurements of superposed qubits between gates on 14 qubits: 600
// shots reach thousands of outcome sequences, and with room for four states
// the tree makes most of them again from above.
TYPED_TEST(OutcomeTree, OutcomeTreeBeyondItsBudget) {
    constexpr int kQubits = 14;
    constexpr int kMeasured = 13;
    CircuitData circuit;
    circuit.num_qubits = kQubits;
    for (int q = 0; q < kQubits; ++q) circuit.instructions.push_back(gate("H", {q}));
    for (int q = 0; q < kMeasured; ++q) {
        circuit.instructions.push_back(measure(q, q));
        circuit.instructions.push_back(gate("RY", {q + 1}, {}, {0.3 * (q + 1)}));
    }
    const OutcomeTreeLimits four_states{4 * (uint64_t{2} << kQubits) * sizeof(TypeParam), 1 << 12, 1 << 12};
    expect_same_as_literal<TypeParam>(circuit, 600, kMeasured, 3, &four_states);
}

}  // namespace
}  // namespace wavesim

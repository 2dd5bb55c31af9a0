// The fast shot passes against the literal procedure: same counts and the same
// number of draws taken from the stream, for both strategies and precisions.
#include "shot_passes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "reference_path.h"
#include "shot_reference.h"

namespace wavesim {
namespace {

CircuitInstruction gate(const std::string& name, std::vector<int32_t> qubits, std::vector<int32_t> controls = {},
                        std::vector<double> values = {}) {
    CircuitInstruction ins;
    ins.name = name;
    ins.qubits = std::move(qubits);
    ins.controls = std::move(controls);
    ins.has_param = !values.empty();
    ins.param.value = std::move(values);
    return ins;
}

CircuitInstruction measure(int32_t qubit, int32_t cbit) { return gate("MEASURE", {qubit}, {cbit}); }

// Gates of every kernel family and a sprinkling of measurements and resets.
// `batches` angles per rotation make that many passes.
CircuitData random_circuit(uint32_t seed, int n, int length, double stochastic_share, int batches = 1) {
    std::mt19937 rng(seed);
    auto qubit = [&] { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    auto angles = [&] {
        std::uniform_real_distribution<double> angle(-3.0, 3.0);
        std::vector<double> values;
        for (int b = 0; b < batches; ++b) values.push_back(angle(rng));
        return values;
    };
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    CircuitData data;
    data.num_qubits = n;
    for (int q = 0; q < n; ++q) data.instructions.push_back(gate("H", {q}));
    for (int i = 0; i < length; ++i) {
        const int32_t a = qubit();
        const int32_t b = (a + 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n > 1 ? n - 1 : 1))) % n;
        const double roll = unit(rng);
        if (roll < stochastic_share * 0.8) {
            data.instructions.push_back(measure(a, static_cast<int32_t>(rng() % static_cast<uint32_t>(n + 1))));
        } else if (roll < stochastic_share) {
            data.instructions.push_back(gate("RESET", {a}));
        } else if (n > 1 && roll < 0.6) {
            const char* names[] = {"CX", "CZ", "CRY"};
            const std::string name = names[rng() % 3];
            data.instructions.push_back(gate(name, {b}, {a}, name == "CRY" ? angles() : std::vector<double>{}));
        } else {
            const char* names[] = {"RX", "RY", "H", "T"};
            const std::string name = names[rng() % 4];
            data.instructions.push_back(gate(name, {a}, {}, name[0] == 'R' ? angles() : std::vector<double>{}));
        }
    }
    for (int q = 0; q < n; ++q) data.instructions.push_back(measure(q, q));
    return data;
}

// Rounds of a random gate layer followed by measurements and resets of random
// qubits: some qubits are never put in superposition (resets of definite
// qubits), a qubit is often measured twice or reset right after its
// measurement, classical bits are overwritten or lie beyond the register, and
// a random tail of measurements (with repeats) ends the circuit.
CircuitData random_dynamic_circuit(uint32_t seed, int n, int rounds, int batches) {
    std::mt19937 rng(seed);
    auto pick = [&](int below) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(below)); };
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    auto angles = [&] {
        std::vector<double> values;
        for (int b = 0; b < batches; ++b) values.push_back(angle(rng));
        return values;
    };
    CircuitData data;
    data.num_qubits = n;
    for (int q = 0; q < n; ++q)
        if (pick(3) != 0) data.instructions.push_back(gate("H", {q}));
    for (int round = 0; round < rounds; ++round) {
        const int gates = pick(2 * n + 1);
        for (int g = 0; g < gates; ++g) {
            const int32_t a = pick(n);
            const int32_t b = (a + 1 + pick(n > 1 ? n - 1 : 1)) % n;
            if (n > 1 && pick(3) == 0) {
                data.instructions.push_back(pick(2) == 0 ? gate("CX", {b}, {a}) : gate("CRY", {b}, {a}, angles()));
            } else {
                const char* names[] = {"RX", "RY", "H", "T"};
                const std::string name = names[pick(4)];
                data.instructions.push_back(gate(name, {a}, {}, name[0] == 'R' ? angles() : std::vector<double>{}));
            }
        }
        const int stochastic = 1 + pick(3);
        for (int k = 0; k < stochastic; ++k) {
            const int32_t q = pick(n);
            switch (pick(5)) {
                case 0: data.instructions.push_back(gate("RESET", {q})); break;
                case 1:  // ancilla read-out and reuse
                    data.instructions.push_back(measure(q, pick(n + 1)));
                    data.instructions.push_back(gate("RESET", {q}));
                    break;
                case 2:
                    data.instructions.push_back(measure(q, pick(n + 1)));
                    data.instructions.push_back(gate("BARRIER", {q}));
                    data.instructions.push_back(measure(q, pick(n + 1)));
                    break;
                default: data.instructions.push_back(measure(q, pick(n + 1)));
            }
        }
    }
    const int tail = 1 + pick(n + 2);
    for (int k = 0; k < tail; ++k) data.instructions.push_back(measure(pick(n), pick(n + 1)));
    return data;
}

// Counts equal, and both streams advanced by the same number of draws.
template <typename Real>
void expect_same_as_literal(const CircuitData& circuit, int shots, int num_cbits, int seed,
                            const OutcomeTreeLimits* limits = nullptr) {
    const ShotPlan plan = plan_shots(circuit, num_cbits);
    RandomSource fast = make_seeded_source(seed);
    RandomSource literal = make_seeded_source(seed);
    for (int b = 0; b < plan.passes; ++b) {
        const ShotCounts want = literal_pass<Real>(circuit, plan, b, shots, num_cbits, literal);
        const ShotCounts got = limits == nullptr
                                   ? count_pass<Real>(circuit, plan, b, shots, num_cbits, fast)
                                   : per_shot_pass<Real>(circuit, plan, b, shots, num_cbits, fast, *limits);
        EXPECT_EQ(got, want) << "pass " << b << ", seed " << seed;
        EXPECT_TRUE(fast.engine == literal.engine) << "draws consumed differ in pass " << b;
    }
}

template <typename Real>
class ShotPasses : public ::testing::Test {};
using Precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(ShotPasses, Precisions);

// Random dynamic circuits on 1 ... 14 qubits, some with two parameter sets,
// under the default limits and under limits small enough that kept states,
// kept nodes and blocks of draws all run out: the tree then makes states
// again from above, starts over between blocks, or takes one shot per block.
TYPED_TEST(ShotPasses, DynamicCircuitsMatchTheLiteralShots) {
    const OutcomeTreeLimits starved[] = {{0, 1, 1}, {4096, 64, 100}, {uint64_t{1} << 20, 1000, 5000}};
    for (uint32_t seed = 0; seed < 42; ++seed) {
        const int n = 1 + static_cast<int>(seed % 14);
        const int batches = seed % 5 == 4 ? 2 : 1;
        const CircuitData circuit = random_dynamic_circuit(seed, n, 1 + static_cast<int>(seed % 4), batches);
        if (!plan_shots(circuit, n).per_shot) continue;
        const int shots = n <= 8 ? 400 : 120;
        expect_same_as_literal<TypeParam>(circuit, shots, n, static_cast<int>(seed));
        expect_same_as_literal<TypeParam>(circuit, shots, n, static_cast<int>(seed), &starved[seed % 3]);
    }
}

// On 16 qubits a reset sums its odds with every hardware thread.
TYPED_TEST(ShotPasses, DynamicCircuitAboveTheSerialSize) {
    const CircuitData circuit = random_dynamic_circuit(99, 16, 2, 1);
    ASSERT_TRUE(plan_shots(circuit, 16).per_shot);
    expect_same_as_literal<TypeParam>(circuit, 16, 16, 4);
    const OutcomeTreeLimits none{0, 1, 1};
    expect_same_as_literal<TypeParam>(circuit, 16, 16, 5, &none);
}

TYPED_TEST(ShotPasses, SampleOnceBothTableForms) {
    for (int n : {4, 16, 17}) {
        CircuitData circuit = random_circuit(100 + static_cast<uint32_t>(n), n, 12, 0.0);
        ASSERT_FALSE(plan_shots(circuit, n).per_shot);
        expect_same_as_literal<TypeParam>(circuit, 3000, n, n);
    }
}

TYPED_TEST(ShotPasses, BatchesShareOneStream) {
    const CircuitData per_shot = random_circuit(7, 3, 20, 0.3, 3);
    expect_same_as_literal<TypeParam>(per_shot, 200, 3, 5);
    const CircuitData sample_once = random_circuit(8, 3, 20, 0.0, 3);
    expect_same_as_literal<TypeParam>(sample_once, 200, 3, 5);
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
        const QubitOdds odds = reset ? reset_odds(state, q) : measure_odds(state, q);
        if (step++ == k) return odds.p0;
        if (reset) {
            apply_reset_outcome(state, q, reset_outcome(r, odds), odds);
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
TYPED_TEST(ShotPasses, DrawsAtTheTiesOfEveryStep) {
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
        const ShotPlan plan = plan_shots(circuit, n);
        if (!plan.per_shot) continue;
        for (int k = 0;; ++k) {
            double r = 0.5;
            for (int settle = 0; settle < 3; ++settle) r = std::max(0.0, literal_p0_at<TypeParam>(circuit, n, r, k));
            if (literal_p0_at<TypeParam>(circuit, n, r, k) < 0) break;
            for (double draw : {r, std::nextafter(r, 0.0)}) {
                RandomSource fast = make_seeded_source(0);
                RandomSource literal = make_seeded_source(0);
                fast.low = fast.high = literal.low = literal.high = draw;
                const OutcomeTreeLimits limits{0, 1, 1};
                EXPECT_EQ(per_shot_pass<TypeParam>(circuit, plan, 0, 2, n, fast, limits),
                          literal_pass<TypeParam>(circuit, plan, 0, 2, n, literal))
                    << "seed " << seed << ", step " << k << ", draw " << draw;
                EXPECT_EQ(count_pass<TypeParam>(circuit, plan, 0, 2, n, fast),
                          literal_pass<TypeParam>(circuit, plan, 0, 2, n, literal));
            }
        }
    }
}

// Thirteen measurements of superposed qubits between gates on 14 qubits: 600
// shots reach thousands of outcome sequences, and with room for four states
// the tree makes most of them again from above.
TYPED_TEST(ShotPasses, OutcomeTreeBeyondItsBudget) {
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

TYPED_TEST(ShotPasses, DegenerateShotCounts) {
    const CircuitData circuit = random_circuit(11, 3, 10, 0.3);
    for (int shots : {0, -4, 1}) expect_same_as_literal<TypeParam>(circuit, shots, 3, 1);
    expect_same_as_literal<TypeParam>(circuit, 5, 0, 1);
}

}  // namespace
}  // namespace wavesim

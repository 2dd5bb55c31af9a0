// Blocked application against the per-gate path, bit for bit: random circuits
// over the whole vocabulary on 15 ... 18 qubits in both precisions, and
// refused instructions inside a run raising what the per-gate path raises.
#include "gate_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <typeinfo>

#include "circuit_walk.h"
#include "gate_catalogue.h"

namespace {

constexpr int kBatches = 3;
constexpr int kCircuitGates = 120;
constexpr int kSeed = 20261208;
// Chance in percent that a gate reaches above the block, or is a skip name or RESET.
constexpr int kHighQubitPercent = 10;
constexpr int kSkipPercent = 5;
constexpr int kResetPercent = 2;
constexpr int kMaxExtraControls = 2;

struct Draw {
    std::mt19937 engine;
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(engine); }
    bool percent(int p) { return below(100) < p; }
    double angle() { return std::uniform_real_distribution<double>(-4.0, 4.0)(engine); }
};

// `count` distinct qubits, all below `limit`, none in `taken`.
std::vector<int32_t> distinct_qubits(Draw& draw, int count, int limit, std::vector<int32_t>& taken) {
    std::vector<int32_t> out;
    while (int(out.size()) < count) {
        const int32_t q = draw.below(limit);
        if (std::find(taken.begin(), taken.end(), q) != taken.end()) continue;
        taken.push_back(q);
        out.push_back(q);
    }
    return out;
}

CircuitInstruction random_gate(Draw& draw, int num_qubits) {
    const auto& catalogue = gate_catalogue();
    const GateEntry& gate = catalogue[size_t(draw.below(int(catalogue.size())))];
    const int limit = draw.percent(kHighQubitPercent) ? num_qubits : kBlockQubits;
    const int extra = gate.num_targets == 3 ? 0 : draw.below(kMaxExtraControls + 1);
    CircuitInstruction ins;
    ins.name = gate.name;
    std::vector<int32_t> taken;
    ins.qubits = distinct_qubits(draw, gate.num_targets, limit, taken);
    ins.controls = distinct_qubits(draw, gate.num_controls + extra, limit, taken);
    for (size_t i = 0; i < ins.controls.size(); ++i) ins.ctrl_state += draw.percent(30) ? '0' : '1';
    ins.dagger = draw.percent(25);
    std::vector<double> values;
    for (int k = 0; k < gate.num_params * kBatches; ++k) values.push_back(draw.angle());
    ins.param.value = values;
    ins.has_param = !values.empty();
    return ins;
}

CircuitInstruction named(const std::string& name, std::vector<int32_t> qubits) {
    CircuitInstruction ins;
    ins.name = name;
    ins.qubits = std::move(qubits);
    return ins;
}

std::vector<CircuitInstruction> random_circuit(Draw& draw, int num_qubits) {
    std::vector<CircuitInstruction> out;
    for (int g = 0; g < kCircuitGates; ++g) {
        if (draw.percent(kSkipPercent)) {
            static const char* kSkipNames[] = {"MEASURE", "BARRIER", "QIF", "QWHILE"};
            // Skip names keep a run going whatever their qubits.
            out.push_back(named(kSkipNames[draw.below(4)], {int32_t(draw.below(num_qubits))}));
        } else if (draw.percent(kResetPercent)) {
            out.push_back(named("RESET", {int32_t(draw.below(num_qubits))}));
        } else {
            out.push_back(random_gate(draw, num_qubits));
        }
    }
    return out;
}

template <typename Real>
void fill_random(StateVector<Real>& s, std::mt19937& engine) {
    std::normal_distribution<double> normal;
    for (uint64_t i = 0; i < s.dim; ++i) {
        s.re[i] = Real(normal(engine));
        s.im[i] = Real(normal(engine));
    }
}

template <typename Real>
bool same_bits(const StateVector<Real>& a, const StateVector<Real>& b) {
    return a.dim == b.dim && std::memcmp(a.re, b.re, a.dim * sizeof(Real)) == 0 &&
           std::memcmp(a.im, b.im, a.dim * sizeof(Real)) == 0;
}

template <typename Real>
void expect_blocked_equals_per_gate(int num_qubits, int batch_index, unsigned seed) {
    Draw draw{std::mt19937(seed)};
    const std::vector<CircuitInstruction> circuit = random_circuit(draw, num_qubits);
    size_t blocked_gates = 0;
    for (size_t i = 0; i < circuit.size(); ++i) {
        const size_t end = blockable_run_end(circuit, i, circuit.size());
        if (end > i + 1) blocked_gates += end - i, i = end - 1;
    }
    ASSERT_GT(blocked_gates, circuit.size() / 2) << "the circuit hardly exercises the blocked path";

    StateVector<Real> plain{unsigned(num_qubits)};
    StateVector<Real> blocked{unsigned(num_qubits)};
    std::mt19937 amplitudes(seed);
    fill_random(plain, amplitudes);
    std::memcpy(blocked.re, plain.re, plain.dim * sizeof(Real));
    std::memcpy(blocked.im, plain.im, plain.dim * sizeof(Real));

    GateMatrixCache plain_cache;
    GateMatrixCache blocked_cache;
    RandomSource plain_source = make_seeded_source(int(seed));
    RandomSource blocked_source = make_seeded_source(int(seed));
    for (const auto& ins : circuit) apply_instruction(plain, ins, plain_cache, batch_index, plain_source);
    apply_instructions(blocked, circuit, 0, circuit.size(), blocked_cache, batch_index, blocked_source);
    EXPECT_TRUE(same_bits(plain, blocked));
    EXPECT_EQ(plain_source.engine, blocked_source.engine) << "RESET draws differ";
}

class BlockedRuns : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(BlockedRuns, BitIdenticalToPerGateInDouble) {
    const auto [num_qubits, batch_index] = GetParam();
    expect_blocked_equals_per_gate<double>(num_qubits, batch_index, unsigned(kSeed + num_qubits * 7 + batch_index));
}

TEST_P(BlockedRuns, BitIdenticalToPerGateInFloat) {
    const auto [num_qubits, batch_index] = GetParam();
    expect_blocked_equals_per_gate<float>(num_qubits, batch_index, unsigned(kSeed + num_qubits * 11 + batch_index));
}

INSTANTIATE_TEST_SUITE_P(GateRuns, BlockedRuns,
                         ::testing::Combine(::testing::Values(15, 16, 17, 18), ::testing::Values(0, kBatches - 1)));

TEST(BlockableRunEnd, EndsAtResetAndHighGatesButNotAtSkipNames) {
    const int32_t high = kBlockQubits;
    const std::vector<CircuitInstruction> circuit = {
        named("H", {0}),          named("MEASURE", {high + 3}), named("BARRIER", {-1}), named("X", {kBlockQubits - 1}),
        named("RESET", {0}),      named("H", {1}),              named("H", {high}),     named("H", {2}),
        named("QIF", {high}),     named("H", {-1})};
    EXPECT_EQ(blockable_run_end(circuit, 0, circuit.size()), 4u);
    EXPECT_EQ(blockable_run_end(circuit, 4, circuit.size()), 4u);
    EXPECT_EQ(blockable_run_end(circuit, 5, circuit.size()), 6u);
    EXPECT_EQ(blockable_run_end(circuit, 7, circuit.size()), 9u);
    EXPECT_EQ(blockable_run_end(circuit, 7, 8), 8u);
}

template <typename Real>
std::string failure_of(const std::vector<CircuitInstruction>& circuit, bool blocked) {
    StateVector<Real> state(16u);
    GateMatrixCache cache;
    RandomSource source = make_seeded_source(1);
    try {
        if (blocked) {
            apply_instructions(state, circuit, 0, circuit.size(), cache, 0, source);
        } else {
            for (const auto& ins : circuit) apply_instruction(state, ins, cache, 0, source);
        }
    } catch (const std::exception& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
    return "no exception";
}

class RefusedInsideRun : public ::testing::TestWithParam<CircuitInstruction> {};

TEST_P(RefusedInsideRun, RaisesWhatThePerGatePathRaises) {
    const std::vector<CircuitInstruction> circuit = {named("H", {0}), named("H", {1}), GetParam(), named("X", {2}),
                                                     named("UNKNOWN_LATER", {3})};
    const std::string plain = failure_of<double>(circuit, false);
    EXPECT_NE(plain, "no exception");
    EXPECT_EQ(failure_of<double>(circuit, true), plain);
    EXPECT_EQ(failure_of<float>(circuit, true), failure_of<float>(circuit, false));
}

CircuitInstruction with_controls(CircuitInstruction ins, std::vector<int32_t> controls) {
    ins.controls = std::move(controls);
    return ins;
}

INSTANTIATE_TEST_SUITE_P(GateRuns, RefusedInsideRun,
                         ::testing::Values(named("NOT_A_GATE", {3}), named("H", {16}), named("H", {-2}),
                                           named("H", {40}), with_controls(named("RX", {2}), {2}),
                                           named("RXX", {4, 4}), named("RX", {3, 4, 5}),
                                           with_controls(named("SWAP", {1, 2, 3}), {4}),
                                           with_controls(named("X", {1}), {5, 5})));

}  // namespace

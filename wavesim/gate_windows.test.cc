// Window-by-window application against the plain per-gate path, bit for
// bit: random circuits over the whole vocabulary (controls, open controls
// done the old way with X before and after, daggers, RESET and MEASURE
// between windows) on up to 20 qubits, in both precisions and for several
// block shapes; refused instructions raise what the per-gate path raises.
#include "gate_windows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <typeinfo>

#include "circuit_walk.h"
#include "gate_catalogue.h"

namespace wavesim {
namespace {

constexpr int kBatches = 3;
constexpr int kCircuitGates = 120;
constexpr int kSeed = 20261208;
// Chance in percent that an instruction is a name without unitary action, or RESET.
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
    const int limit = num_qubits;
    const int room = num_qubits - gate.num_targets - gate.num_controls;
    const int extra = draw.below(std::max(0, std::min(kMaxExtraControls, room)) + 1);
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

// The plain path, with open controls as they were first built: X on every
// open control before and after the gate with all its controls closed.
template <typename Real>
void apply_per_gate(StateVector<Real>& state, const CircuitInstruction& ins, GateMatrixCache& cache, int batch_index,
                    RandomSource& source) {
    std::vector<int32_t> open;
    for (size_t i = 0; i < ins.controls.size() && i < ins.ctrl_state.size(); ++i)
        if (ins.ctrl_state[i] == '0') open.push_back(ins.controls[i]);
    CircuitInstruction closed = ins;
    closed.ctrl_state.clear();
    for (int32_t q : open) apply_x(state, q);
    apply_instruction(state, closed, cache, batch_index, source);
    for (int32_t q : open) apply_x(state, q);
}

struct WindowCase {
    int num_qubits;
    WindowShape shape;
};

template <typename Real>
void expect_windows_equal_per_gate(const WindowCase& c, int batch_index, unsigned seed) {
    Draw draw{std::mt19937(seed)};
    const std::vector<CircuitInstruction> circuit = random_circuit(draw, c.num_qubits);
    StateVector<Real> plain{unsigned(c.num_qubits)};
    StateVector<Real> windowed{unsigned(c.num_qubits)};
    std::mt19937 amplitudes(seed);
    fill_random(plain, amplitudes);
    std::memcpy(windowed.re, plain.re, plain.dim * sizeof(Real));
    std::memcpy(windowed.im, plain.im, plain.dim * sizeof(Real));

    GateMatrixCache plain_cache;
    GateMatrixCache plan_cache;
    RandomSource plain_source = make_seeded_source(int(seed));
    RandomSource windowed_source = make_seeded_source(int(seed));
    for (const auto& ins : circuit) apply_per_gate(plain, ins, plain_cache, batch_index, plain_source);
    const RunPlan plan = compile_run(circuit, 0, circuit.size(), unsigned(c.num_qubits), &plan_cache, batch_index);
    apply_plan(windowed, plan, windowed_source, c.shape);
    EXPECT_TRUE(same_bits(plain, windowed));
    EXPECT_EQ(plain_source.engine, windowed_source.engine) << "RESET draws differ";
}

class Windows : public ::testing::TestWithParam<WindowCase> {};

TEST_P(Windows, BitIdenticalToPerGateInDouble) {
    const WindowCase& c = GetParam();
    for (int batch : {0, kBatches - 1})
        expect_windows_equal_per_gate<double>(c, batch,
                                              unsigned(kSeed + c.num_qubits * 7 + c.shape.block_qubits + batch));
}

TEST_P(Windows, BitIdenticalToPerGateInFloat) {
    const WindowCase& c = GetParam();
    for (int batch : {0, kBatches - 1})
        expect_windows_equal_per_gate<float>(c, batch,
                                             unsigned(kSeed + c.num_qubits * 11 + c.shape.block_qubits + batch));
}

// Blocks from barely wider than the widest gates (most gates alone in their
// window) to the default size, gathered or in place, low prefixes from the
// register width up; states of one block run in place on the calling thread;
// regions barely wider than a block up to the whole state.
INSTANTIATE_TEST_SUITE_P(GateWindows, Windows,
                         ::testing::Values(WindowCase{15, {14, 5}}, WindowCase{16, {6, 3}}, WindowCase{17, {9, 4}},
                                           WindowCase{18, {12, 8}}, WindowCase{20, {15, 5}}, WindowCase{19, {8, 3}},
                                           WindowCase{12, {14, 5}}, WindowCase{3, {14, 5}},
                                           WindowCase{18, {6, 3, 11, 5}}, WindowCase{20, {9, 4, 15, 9}},
                                           WindowCase{16, {5, 4, 9, 3}}, WindowCase{17, {8, 3, 17, 8}}));

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

class RefusedInsideWindow : public ::testing::TestWithParam<CircuitInstruction> {};

TEST_P(RefusedInsideWindow, RaisesWhatThePerGatePathRaises) {
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

INSTANTIATE_TEST_SUITE_P(GateWindows, RefusedInsideWindow,
                         ::testing::Values(named("NOT_A_GATE", {3}), named("H", {16}), named("H", {-2}),
                                           named("H", {40}), with_controls(named("RX", {2}), {2}), named("RXX", {4, 4}),
                                           named("RX", {3, 4, 5}), with_controls(named("SWAP", {1, 2, 3}), {4}),
                                           with_controls(named("X", {1}), {5, 5})));

}  // namespace
}  // namespace wavesim

// Window-by-window application with structured kernels against the plain
// per-gate path with dense ones, equal values (==) amplitude by amplitude: random circuits over the whole vocabulary
// (controls, open controls done the old way with X before and after, daggers, RESET and MEASURE between windows) on up
// to 20 qubits, in both precisions and for several block shapes; the sweeps a plan takes on circuits whose windows are
// known; the shape chosen at the cache-size boundaries; refused instructions raise what the per-gate path raises.
#include "wavesim/plan/windows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <typeinfo>

#include "wavesim/kernels/kernel_entries.h"
#include "wavesim/testing/random_circuit.h"
#include "wavesim/testing/reference_path.h"
#include "wavesim/testing/run_plan.h"
#include "wavesim/testing/scalar_reference.h"

namespace wavesim {
namespace {

using random_circuits::Draw;
using random_circuits::kBatches;
using random_circuits::named;
using random_circuits::random_circuit;
using scalar_reference::fill_random;
using scalar_reference::same_values;

constexpr int kSeed = 20261208;

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
    apply_one_instruction(state, closed, cache, batch_index, source);
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
    testing_support::run_plan(windowed, plan, windowed_source, c.shape);
    EXPECT_TRUE(same_values(plain, windowed));
    EXPECT_EQ(plain_source.engine, windowed_source.engine) << "RESET draws differ";
}

class Windows : public ::testing::TestWithParam<WindowCase> {};

TEST_P(Windows, EqualValuesToPerGateInDouble) {
    const WindowCase& c = GetParam();
    for (int batch : {0, kBatches - 1})
        expect_windows_equal_per_gate<double>(c, batch,
                                              unsigned(kSeed + c.num_qubits * 7 + c.shape.block_qubits + batch));
}

TEST_P(Windows, EqualValuesToPerGateInFloat) {
    const WindowCase& c = GetParam();
    for (int batch : {0, kBatches - 1})
        expect_windows_equal_per_gate<float>(c, batch,
                                             unsigned(kSeed + c.num_qubits * 11 + c.shape.block_qubits + batch));
}

// Blocks from barely wider than the widest gates (most gates alone in their
// window) to the default size, gathered, in place or walked where they lie,
// low prefixes from the register width up; states of one block run in place
// on the calling thread; regions barely wider than a block up to the whole
// state; tiles from the register width up, in blocks and in regions.
INSTANTIATE_TEST_SUITE_P(
    GateWindows, Windows,
    ::testing::Values(WindowCase{15, {14, 5}}, WindowCase{16, {6, 3}}, WindowCase{17, {9, 4, 0, 0, 3}},
                      WindowCase{18, {12, 8, 0, 0, 5}}, WindowCase{20, {15, 5}}, WindowCase{19, {8, 3}},
                      WindowCase{12, {14, 5, 0, 0, 6}}, WindowCase{3, {14, 5}}, WindowCase{18, {6, 3, 11, 5}},
                      WindowCase{20, {9, 4, 15, 9, 6}}, WindowCase{16, {5, 4, 9, 3}}, WindowCase{17, {8, 3, 17, 8}},
                      WindowCase{16, {6, 3, 0, 0, 0, true}}, WindowCase{17, {9, 4, 0, 0, 4, true}},
                      WindowCase{19, {14, 11, 0, 0, 11, true}}, WindowCase{20, {16, 12, 0, 0, 12, true}}));

// Circuits whose windows are known: the sweeps apply_plan reports (and the
// stretches it applies tile by tile), and the same bits as the per-gate path.
// Every shape here gives a block of `block_qubits` whatever the machine's
// thread count.
struct SweepCase {
    std::string label;
    int num_qubits;
    WindowShape shape;
    std::vector<CircuitInstruction> circuit;
    size_t sweeps;
    size_t tiled = 0;     // stretches applied tile by tile
    size_t in_place = 0;  // windows walked where they lie
};

std::vector<CircuitInstruction> h_on(std::vector<int32_t> qubits) {
    std::vector<CircuitInstruction> out;
    for (int32_t q : qubits) out.push_back(named("H", {q}));
    return out;
}

std::vector<int32_t> range(int32_t begin, int32_t end) {
    std::vector<int32_t> out;
    for (int32_t q = begin; q < end; ++q) out.push_back(q);
    return out;
}

std::vector<CircuitInstruction> joined(std::vector<std::vector<CircuitInstruction>> parts) {
    std::vector<CircuitInstruction> out;
    for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<SweepCase> sweep_cases() {
    const WindowShape blocks{14, 4};
    const WindowShape regions{6, 3, 12, 4};
    CircuitInstruction ccx = named("CCX", {19});
    ccx.controls = {17, 18};
    CircuitInstruction cswap = named("CSWAP", {18, 19});
    cswap.controls = {17};
    return {
        // Qubits 0-13 fill the first block (the lowest 4 always in it); 14-19 join the lowest 4 in a second.
        {"every_qubit_in_two_blocks", 20, blocks, h_on(range(0, 20)), 2},
        {"alternating_ends_in_one_block", 20, blocks, h_on({19, 0, 19, 0, 18, 1}), 1},
        {"reset_ends_a_window", 20, blocks, joined({h_on({0, 1}), {named("RESET", {5})}, h_on({0, 1})}), 2},
        {"measure_ends_a_window", 20, blocks, joined({h_on({0, 1}), {named("MEASURE", {5})}, h_on({0, 1})}), 2},
        {"names_without_effect_stay_inside", 20, blocks, joined({h_on({0}), {named("BARRIER", {7})}, h_on({1})}), 1},
        // Three qubits with the lowest 4 do not fit a block of 5: the gate is a sweep of its own, and the H
        // after it waits; past a gate that only moves values (X under controls) it moves up to the first H.
        {"gate_wider_than_a_block", 20, {5, 4}, joined({h_on({0}), {cswap}, h_on({0})}), 3},
        {"gates_pass_a_wide_exchange", 20, {5, 4}, joined({h_on({0}), {ccx}, h_on({0})}), 2},
        // And past a sign flip (CZ) where the blocks are the same on any number of threads.
        {"gates_pass_a_wide_sign_flip", 20, {5, 4}, joined({h_on({0}), {named("CZ", {18, 19})}, h_on({0})}), 2},
        // Qubits 0-11 need two blocks of 6 but fit one region of 12; 12-15 join the region's lowest 4.
        {"regions_hold_what_blocks_cannot", 16, regions, h_on(range(0, 16)), 2},
        {"no_gates_no_sweeps", 20, blocks, {named("MEASURE", {1}), named("BARRIER", {2})}, 0},
        // Tiles of the lowest 5 qubits of a block of 12: H on 0-4 is one stretch, H(10) stands alone, and H on
        // 0-1 after it another stretch; a gate alone on the tile's qubits, or on a higher qubit, stays whole.
        {"stretches_on_the_lowest_qubits_go_tile_by_tile",
         16,
         {12, 4, 0, 0, 5},
         joined({h_on(range(0, 5)), h_on({10}), h_on({0, 1}), h_on({11}), h_on({2}), h_on({11, 10})}),
         1,
         2},
        // A state of one block (on one thread, applied without windows) cuts its stretches the same way.
        {"one_block_goes_tile_by_tile",
         10,
         {14, 5, 0, 0, 4},
         joined({h_on(range(0, 4)), h_on({8}), h_on({0, 1})}),
         1,
         2},
        {"no_tiles_without_a_tile_shape", 16, {12, 4}, joined({h_on(range(0, 5)), h_on({10}), h_on({0, 1})}), 1, 0},
        // A region's windows take their stretches from its shape's tiles.
        {"regions_cut_stretches_too", 16, {6, 3, 12, 4, 4}, h_on(range(0, 16)), 2, 1},
        // Blocks walked where they lie: the second window (14-19 with the lowest 4) is, the first (the lowest 14)
        // is in place anyway. Each has a stretch on the tile's qubits: H on 0-3 in the first; H(19) again and H on
        // 0-3 join the second, whose stretch goes tile by tile through the block's 64 chunks of one tile each.
        {"blocks_walked_where_they_lie",
         20,
         {14, 4, 0, 0, 4, true},
         joined({h_on(range(0, 20)), h_on({19}), h_on(range(0, 4))}),
         2,
         2,
         1},
    };
}

class Sweeps : public ::testing::TestWithParam<SweepCase> {};

template <typename Real>
void expect_sweeps(const SweepCase& c) {
    StateVector<Real> plain{unsigned(c.num_qubits)}, windowed{unsigned(c.num_qubits)};
    GateMatrixCache cache;
    RandomSource plain_source = make_seeded_source(3);
    RandomSource windowed_source = make_seeded_source(3);
    apply_one_by_one(plain, c.circuit, 0, c.circuit.size(), cache, 0, plain_source);
    const RunPlan plan = compile_run(c.circuit, 0, c.circuit.size(), unsigned(c.num_qubits), &cache, 0);
    const GatePasses passes = testing_support::run_plan(windowed, plan, windowed_source, c.shape);
    EXPECT_EQ(passes.sweeps, c.sweeps);
    EXPECT_EQ(passes.tiled, c.tiled);
    EXPECT_EQ(passes.in_place, c.in_place);
    EXPECT_TRUE(same_values(plain, windowed));
}

TEST_P(Sweeps, AsManyAsTheWindowsAndEqualValues) {
    expect_sweeps<double>(GetParam());
    expect_sweeps<float>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(GateWindows, Sweeps, ::testing::ValuesIn(sweep_cases()),
                         [](const ::testing::TestParamInfo<SweepCase>& info) { return info.param.label; });

// A moved sign flip may turn the sign of a zero, so the windows move one only
// where they are the same on any number of threads. Here H on qubit 11 makes
// half the amplitudes +0 and CZ(10, 11) turns some of them into -0 before H on
// qubit 0 takes differences of them; H(0) moved past the CZ would leave +0
// there. On two threads the blocks narrow to 11 qubits (the CZ no longer fits
// the window of H(11)); one thread takes the state of one block in order.
template <typename Real>
void expect_sign_flips_independent_of_threads() {
    const int n = 12;
    const std::vector<CircuitInstruction> circuit = {named("H", {11}), named("CZ", {10, 11}), named("H", {0})};
    GateMatrixCache cache;
    const RunPlan plan = compile_run(circuit, 0, circuit.size(), unsigned(n), &cache, 0);
    StateVector<Real> one{unsigned(n)}, two{unsigned(n)};
    for (auto [state, threads] : {std::pair{&one, 1}, std::pair{&two, 2}}) {
        for (int q = 0; q < n; ++q) apply_h(*state, q);
        WindowScratch<Real> scratch;
        apply_gates(*state, plan.steps, 0, plan.steps.size(), WindowShape{n, n - 2}, ThreadTeam{threads}, scratch);
    }
    EXPECT_TRUE(scalar_reference::same_bits(one, two));
}

TEST(Windows, SignFlipsMoveOnlyWhereTheThreadCountChangesNoWindow) {
    expect_sign_flips_independent_of_threads<double>();
    expect_sign_flips_independent_of_threads<float>();
}

bool operator==(const WindowShape& a, const WindowShape& b) {
    return a.block_qubits == b.block_qubits && a.low_qubits == b.low_qubits && a.region_qubits == b.region_qubits &&
           a.region_low_qubits == b.region_low_qubits && a.tile_qubits == b.tile_qubits && a.in_place == b.in_place;
}

// A state below the last-level cache walks its blocks where they lie, with a
// tile of the lowest qubits; from the cache's size on, blocks are gathered;
// beyond eight caches, regions come in. Checked at both sides of each boundary for a 32 MiB cache.
TEST(WindowShapeFor, FollowsTheCacheSizeBoundaries) {
    constexpr uint64_t kCache = uint64_t{32} << 20;
    // Double: 16 bytes an amplitude, so 2^21 amplitudes fill the cache and 2^24 fill eight.
    EXPECT_TRUE((window_shape_for<double>(20, kCache) == WindowShape{14, 11, 0, 0, 11, true}));
    EXPECT_TRUE((window_shape_for<double>(21, kCache) == WindowShape{14, 4, 0, 0, 11}));
    EXPECT_TRUE((window_shape_for<double>(24, kCache) == WindowShape{14, 4, 0, 0, 11}));
    EXPECT_TRUE((window_shape_for<double>(25, kCache) == WindowShape{14, 4, 18, 12, 11}));
    // Float: 8 bytes an amplitude, one qubit more at each boundary.
    EXPECT_TRUE((window_shape_for<float>(21, kCache) == WindowShape{16, 12, 0, 0, 12, true}));
    EXPECT_TRUE((window_shape_for<float>(22, kCache) == WindowShape{16, 6, 0, 0, 12}));
    EXPECT_TRUE((window_shape_for<float>(25, kCache) == WindowShape{16, 6, 0, 0, 12}));
    EXPECT_TRUE((window_shape_for<float>(26, kCache) == WindowShape{16, 6, 20, 12, 12}));
    // A state far larger than any cache still counts its bytes without overflow.
    EXPECT_TRUE((window_shape_for<double>(62, kCache) == WindowShape{14, 4, 18, 12, 11}));
}

template <typename Real>
std::string failure_of(const std::vector<CircuitInstruction>& circuit, bool blocked) {
    StateVector<Real> state(16u);
    GateMatrixCache cache;
    RandomSource source = make_seeded_source(1);
    try {
        if (blocked) {
            RunOptions options;
            options.team = team_for(int(state.num_qubits));
            options.source = &source;
            run_circuit(state, circuit, 0, kFusionOff, nullptr, options);
        } else {
            apply_one_by_one(state, circuit, 0, circuit.size(), cache, 0, source);
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

// The window engine against the per-gate path and this machine's streaming
// bound, measured in the same run, on the layered circuit of the peer suite
// (H on every qubit, then per layer RZ and RX on every qubit and a CX brick).
//
//   build/bench/bench/windows_perf [--layers L] [--shapes] [--shape B/L[/R/RL] ...] [n ...]
//   (default n = 20 24, 3 layers)
//
// Per n and precision: seconds of one read+write sweep of the state (the
// bound), of the per-gate path and of the window engine at its default shape;
// the engine's sweeps over the state per layer; its mean time per gate as a
// fraction of one sweep, with its goal (<= 0.35 from n = 24) and whether it is
// met; and whether both paths gave bit-identical amplitudes (if not, the
// binary exits with status 1). --shapes also times the engine for a range of
// block sizes, low prefixes and regions (how the default shape was chosen);
// --shape times the given shape (block/low, or block/low/region/region low).
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "perf_harness.h"
#include "wavesim/base/threads.h"
#include "wavesim/plan/windows.h"
#include "wavesim/testing/reference_path.h"
#include "wavesim/testing/run_plan.h"

namespace wavesim {
namespace {

constexpr int kDefaultSizes[] = {20, 24};
constexpr int kDefaultLayers = 3;
constexpr int kRepeats = 3;
constexpr double kGoalPerGate = 0.35;
constexpr int kSmallestGoalQubits = 24;
constexpr unsigned kAngleSeed = 7;

CircuitInstruction gate(const char* name, std::vector<int32_t> qubits, double angle = 0.0, bool has_angle = false) {
    CircuitInstruction ins;
    ins.name = name;
    ins.qubits = std::move(qubits);
    if (has_angle) {
        ins.param.value = angle;
        ins.has_param = true;
    }
    return ins;
}

std::vector<CircuitInstruction> layered_circuit(int n, int layers) {
    std::mt19937 engine{kAngleSeed + unsigned(n)};
    std::uniform_real_distribution<double> angle(0.0, 6.283185307179586);
    std::vector<CircuitInstruction> ops;
    for (int q = 0; q < n; ++q) ops.push_back(gate("H", {q}));
    for (int layer = 0; layer < layers; ++layer) {
        for (int q = 0; q < n; ++q) ops.push_back(gate("RZ", {q}, angle(engine), true));
        for (int q = 0; q < n; ++q) ops.push_back(gate("RX", {q}, angle(engine), true));
        for (int first : {0, 1})
            for (int q = first; q + 1 < n; q += 2) ops.push_back(gate("CX", {q, q + 1}));
    }
    return ops;
}

template <typename Real>
bool same_bits(const StateVector<Real>& a, const StateVector<Real>& b) {
    return std::memcmp(a.re, b.re, a.dim * sizeof(Real)) == 0 && std::memcmp(a.im, b.im, a.dim * sizeof(Real)) == 0;
}

struct EngineRun {
    double seconds;
    size_t sweeps;
};

template <typename Real>
EngineRun best_engine_run(StateVector<Real>& state, const RunPlan& plan, WindowShape shape) {
    EngineRun best{1e300, 0};
    for (int r = 0; r < kRepeats; ++r) {
        RandomSource source = make_seeded_source(1);
        size_t sweeps = 0;
        const double seconds = seconds_of([&] { sweeps = testing_support::run_plan(state, plan, source, shape); });
        if (seconds < best.seconds) best = {seconds, sweeps};
    }
    return best;
}

// One row (and one per tried shape); false when the two paths' amplitudes differ.
template <typename Real>
bool run_size(int n, int layers, const std::vector<WindowShape>& shapes, GoalTally& goals) {
    const std::vector<CircuitInstruction> ops = layered_circuit(n, layers);
    StateVector<Real> plain{unsigned(n)};
    StateVector<Real> windowed{unsigned(n)};
    GateMatrixCache cache;
    RandomSource source = make_seeded_source(1);
    double bound = 1e300;
    for (int r = 0; r < kRepeats; ++r) bound = std::min(bound, seconds_of([&] { streaming_sweep(plain); }));
    std::memset(plain.re, 0, plain.dim * sizeof(Real));
    std::memset(plain.im, 0, plain.dim * sizeof(Real));
    plain.re[0] = Real(1);
    const double per_gate = seconds_of([&] {
        for (const auto& ins : ops) apply_one_instruction(plain, ins, cache, 0, source);
    });
    const RunPlan plan = compile_run(ops, 0, ops.size(), unsigned(n), &cache, 0);
    // Timed from |0>: each repeat starts where the previous ended, which changes no cost.
    const EngineRun engine = best_engine_run(windowed, plan, window_shape_for<Real>(unsigned(n)));
    StateVector<Real> check{unsigned(n)};
    RandomSource check_source = make_seeded_source(1);
    testing_support::run_plan(check, plan, check_source, window_shape_for<Real>(unsigned(n)));
    const double per_gate_fraction = engine.seconds / double(ops.size()) / bound;
    const bool identical = same_bits(plain, check);
    const std::string verdict = n >= kSmallestGoalQubits ? goals.check(goal_at_most(kGoalPerGate), per_gate_fraction)
                                                         : "no goal below n = " + std::to_string(kSmallestGoalQubits);
    std::printf("| %d | %s | %.4g | %.4g | %.4g | %.2f | %.1f | %.3f | %s | %s |\n", n,
                sizeof(Real) == 8 ? "double" : "float", bound, per_gate, engine.seconds, per_gate / engine.seconds,
                double(engine.sweeps) / layers, per_gate_fraction, verdict.c_str(), identical ? "yes" : "NO");
    for (const WindowShape& shape : shapes) {
        if (shape.region_qubits >= n) continue;
        const EngineRun run = best_engine_run(windowed, plan, shape);
        std::printf("|   | shape %d/%d, regions %d/%d | | | %.4g | %.2f | %.1f | %.3f | | |\n", shape.block_qubits,
                    shape.low_qubits, shape.region_qubits, shape.region_low_qubits, run.seconds, per_gate / run.seconds,
                    double(run.sweeps) / layers, run.seconds / double(ops.size()) / bound);
    }
    return identical;
}

}  // namespace
}  // namespace wavesim

int main(int argc, char** argv) {
    using namespace wavesim;
    int layers = kDefaultLayers;
    bool shapes = false;
    std::vector<WindowShape> given;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--layers" && i + 1 < argc) layers = std::atoi(argv[++i]);
        else if (arg == "--shapes") shapes = true;
        else if (arg == "--shape" && i + 1 < argc) {
            WindowShape shape{};
            std::sscanf(argv[++i], "%d/%d/%d/%d", &shape.block_qubits, &shape.low_qubits, &shape.region_qubits,
                        &shape.region_low_qubits);
            given.push_back(shape);
        } else sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) sizes.assign(std::begin(kDefaultSizes), std::end(kDefaultSizes));
    std::printf("CPU: %s, %d threads, layered circuit with %d layers\n", cpu_model().c_str(), kHardwareThreads, layers);
    std::printf("| n | precision | sweep (s) | per-gate (s) | windows (s) | speed-up | sweeps per layer | "
                "time per gate / sweep | goal | bit-identical |\n|---|---|---|---|---|---|---|---|---|---|\n");
    std::vector<WindowShape> tried = given;
    if (shapes)
        for (int block : {12, 13, 14, 15, 16}) {
            for (int low : {4, 6, 8, block}) tried.push_back({block, low});  // low == block: in place
            for (int region : {18, 20})
                for (int region_low : {10, 12}) tried.push_back({block, 4, region, region_low});
        }
    GoalTally goals;
    bool identical = true;
    for (int n : sizes) {
        identical = run_size<double>(n, layers, tried, goals) && identical;
        identical = run_size<float>(n, layers, tried, goals) && identical;
    }
    goals.print_summary();
    if (!identical) {
        std::printf("ERROR: the window engine's amplitudes differ from the per-gate path's\n");
        return 1;
    }
    return 0;
}

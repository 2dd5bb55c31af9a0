// Diagonal batches against the plain per-gate path on random circuits rich in
// diagonal gates (every diagonal name of the vocabulary with extra controls,
// open ones among them, daggers, among other gates): within the fusion bounds
// in double, no farther from the double result than the float per-gate path
// times two in float, the same bits through the windows of every shape as
// one by one, and exact where every phase is a whole quarter turn.
#include "wavesim/plan/diagonal_batches.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "wavesim/gates/matrix_form.h"
#include "wavesim/plan/windows.h"
#include "wavesim/testing/random_circuit.h"
#include "wavesim/testing/run_plan.h"
#include "wavesim/testing/scalar_reference.h"

namespace wavesim {
namespace {

using random_circuits::Draw;
using scalar_reference::Amplitudes;

constexpr double kBoundPerGate = 1e-13;  // absolute, per amplitude and gate, on a normalised state
constexpr double kFloatFactor = 2.0;
constexpr int kGates = 150;
constexpr int kOtherPercent = 30;  // chance that a drawn gate that is not diagonal is kept
constexpr unsigned kSeed = 20261211;

bool diagonal_name(const CircuitInstruction& ins) {
    const unsigned form = find_gate(ins.name)->form;
    return (real_kinds(form) | imag_kinds(form)) == kDiagonalEntry;
}

// Gates drawn from the whole vocabulary, most that are not diagonal redrawn;
// with `quarters` only Z, S, SDG and CZ (under any controls).
std::vector<CircuitInstruction> diagonal_rich(Draw& draw, int n, bool quarters = false) {
    std::vector<CircuitInstruction> out;
    while (int(out.size()) < kGates) {
        CircuitInstruction ins = random_circuits::random_gate(draw, n);
        if (quarters && ins.name != "Z" && ins.name != "S" && ins.name != "SDG" && ins.name != "CZ") continue;
        if (diagonal_name(ins) || draw.percent(kOtherPercent)) out.push_back(ins);
    }
    return out;
}

template <typename Real>
Amplitudes one_by_one(const std::vector<PlanStep>& steps, const Amplitudes& start) {
    StateVector<Real> s{unsigned(__builtin_ctzll(start.size()))};
    Amplitudes a = start;
    scalar_reference::load(s, a);
    for (const PlanStep& step : steps)
        if (step.kind == OperationKind::kGate) run_kernel_call(s, step.call, ThreadTeam{});
    return scalar_reference::read(s);
}

double max_difference(const Amplitudes& a, const Amplitudes& b) {
    double most = 0.0;
    for (size_t i = 0; i < a.size(); ++i) most = std::max(most, std::abs(a[i] - b[i]));
    return most;
}

double distance(const Amplitudes& a, const Amplitudes& b) {
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::norm(a[i] - b[i]);
    return std::sqrt(sum);
}

struct Batched {
    RunPlan plan;
    std::vector<PlanStep> steps;
    int batches = 0;
};

Batched batched(const std::vector<CircuitInstruction>& circuit, int n, GateMatrixCache& cache) {
    Batched b{compile_run(circuit, 0, circuit.size(), unsigned(n), &cache, 1), {}, 0};
    b.steps = batch_diagonals(b.plan.steps, kMaxDiagonalTargets, b.plan.matrices.owned);
    for (const PlanStep& step : b.steps) {
        if (step.call.gate != KernelGate::kDiagonal) continue;
        ++b.batches;
        EXPECT_GE(step.call.num_targets, kMinBatchQubits);
        EXPECT_LE(step.call.num_targets, kMaxDiagonalTargets);
        EXPECT_TRUE(std::is_sorted(step.call.targets, step.call.targets + step.call.num_targets));
    }
    return b;
}

TEST(DiagonalBatches, WithinTheBoundsOfThePerGatePathAndTheSameBitsInEveryWindow) {
    int batches = 0;
    for (int n : {3, 5, 8, 12, 16})
        for (unsigned k = 0; k < 4; ++k) {
            const unsigned seed = kSeed + unsigned(n) * 10 + k;
            SCOPED_TRACE("n " + std::to_string(n) + " seed " + std::to_string(seed));
            Draw draw{std::mt19937(seed)};
            GateMatrixCache cache;
            const Batched b = batched(diagonal_rich(draw, n), n, cache);
            batches += b.batches;
            std::mt19937_64 engine(seed);
            const Amplitudes start = scalar_reference::random_state(n, engine);

            const Amplitudes exact = one_by_one<double>(b.plan.steps, start);
            EXPECT_LE(max_difference(one_by_one<double>(b.steps, start), exact), kBoundPerGate * kGates);
            const double plain_float = distance(one_by_one<float>(b.plan.steps, start), exact);
            EXPECT_LE(distance(one_by_one<float>(b.steps, start), exact), kFloatFactor * plain_float);

            const Amplitudes stepped = one_by_one<double>(b.steps, start);
            for (const WindowShape shape :
                 {WindowShape{6, 3}, WindowShape{9, 4}, WindowShape{5, 4, 9, 3}, WindowShape{6, 3, 0, 0, 3, true}}) {
                StateVector<double> windowed{unsigned(n)};
                Amplitudes a = start;
                scalar_reference::load(windowed, a);
                RandomSource source = make_seeded_source(1);
                RunOptions options;
                options.source = &source;
                options.shape = shape;
                run_steps(windowed, b.steps, 0, b.steps.size(), options);
                const Amplitudes got = scalar_reference::read(windowed);
                EXPECT_EQ(std::memcmp(got.data(), stepped.data(), got.size() * sizeof(got[0])), 0)
                    << "block " << shape.block_qubits << " region " << shape.region_qubits;
            }
        }
    EXPECT_GT(batches, 20);  // the batches formed
}

TEST(DiagonalBatches, QuarterTurnsAreExact) {
    for (int n : {3, 6, 10}) {
        const unsigned seed = kSeed + 7 * unsigned(n);
        Draw draw{std::mt19937(seed)};
        GateMatrixCache cache;
        const Batched b = batched(diagonal_rich(draw, n, true), n, cache);
        EXPECT_GT(b.batches, 0);
        std::mt19937_64 engine(seed);
        const Amplitudes start = scalar_reference::random_state(n, engine);
        const Amplitudes want = one_by_one<double>(b.plan.steps, start);
        const Amplitudes got = one_by_one<double>(b.steps, start);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << "n " << n;
    }
}

}  // namespace
}  // namespace wavesim

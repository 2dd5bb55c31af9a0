// Fusion against the plain per-gate path on random circuits over the whole
// vocabulary (controls, open controls, daggers, parameter sets, MEASURE and
// RESET between stretches), for every fusion size: within the accuracy bounds
// in double, no farther from the double result than the float per-gate path
// times two in float; the same bits for every window shape; the grouping's
// order and sizes; products shared by parameter sets exactly where no member
// depends on the set; refused settings.
#include "wavesim/plan/fusion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "wavesim/plan/locality_order.h"
#include "wavesim/plan/windows.h"
#include "wavesim/state/measurement.h"
#include "wavesim/testing/instructions.h"
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
using scalar_reference::Amplitudes;
using scalar_reference::fill_random;
using scalar_reference::read;
using scalar_reference::same_bits;

constexpr double kBoundPerGate = 1e-13;  // absolute, per amplitude and gate, on a normalised state
constexpr double kNormBound = 1e-12;
constexpr double kFloatFactor = 2.0;  // fused float error over per-gate float error, at most
constexpr int kSeeds = 6;
constexpr unsigned kSeed = 20261214;

// The state holds `a`, whose values both precisions hold exactly.
template <typename Real>
void write(StateVector<Real>& s, Amplitudes a) {
    scalar_reference::load(s, a);
}

double norm(const Amplitudes& a) {
    double sum = 0.0;
    for (const auto& x : a) sum += std::norm(x);
    return std::sqrt(sum);
}

double distance(const Amplitudes& a, const Amplitudes& b) {
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::norm(a[i] - b[i]);
    return std::sqrt(sum);
}

double max_difference(const Amplitudes& a, const Amplitudes& b) {
    double most = 0.0;
    for (size_t i = 0; i < a.size(); ++i) most = std::max(most, std::abs(a[i] - b[i]));
    return most;
}

// A normalised random state whose values are exact in float too, so that
// both precisions start from the same amplitudes.
Amplitudes start_state(int num_qubits, unsigned seed) {
    StateVector<float> s{unsigned(num_qubits)};
    std::mt19937 engine(seed);
    fill_random(s, engine);
    Amplitudes a = read(s);
    const double scale = 1.0 / norm(a);
    for (auto& x : a) x = {double(float(x.real() * scale)), double(float(x.imag() * scale))};
    return a;
}

size_t gate_count(const std::vector<CircuitInstruction>& circuit) {
    size_t gates = 0;
    for (const auto& ins : circuit) gates += operation_kind(ins.name) == OperationKind::kGate;
    return gates;
}

template <typename Real>
Amplitudes per_gate(const std::vector<CircuitInstruction>& circuit, const Amplitudes& start, int batch, unsigned seed) {
    StateVector<Real> s{unsigned(__builtin_ctzll(start.size()))};
    write(s, start);
    GateMatrixCache cache;
    RandomSource source = make_seeded_source(int(seed));
    apply_one_by_one(s, circuit, 0, circuit.size(), cache, batch, source);
    return read(s);
}

template <typename Real>
Amplitudes fused(const std::vector<CircuitInstruction>& circuit, const Amplitudes& start, int batch, unsigned seed,
                 int fusion, WindowShape shape) {
    const unsigned n = unsigned(__builtin_ctzll(start.size()));
    StateVector<Real> s{n};
    write(s, start);
    GateMatrixCache cache;
    RunPlan plan = compile_run(circuit, 0, circuit.size(), n, &cache, batch);
    testing_support::fuse_plan(plan, fusion);
    RandomSource source = make_seeded_source(int(seed));
    testing_support::run_plan(s, plan, source, shape);
    return read(s);
}

struct AccuracyCase {
    int num_qubits;
    int fusion;
};

class FusedAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(FusedAccuracy, WithinTheBoundsOfThePerGatePath) {
    const AccuracyCase& c = GetParam();
    for (int k = 0; k < kSeeds; ++k) {
        const unsigned seed = kSeed + unsigned(c.num_qubits * 100 + c.fusion * 10 + k);
        SCOPED_TRACE("seed " + std::to_string(seed));
        Draw draw{std::mt19937(seed)};
        const std::vector<CircuitInstruction> circuit = random_circuit(draw, c.num_qubits);
        const int batch = k % kBatches;
        const Amplitudes start = start_state(c.num_qubits, seed);

        const Amplitudes exact = per_gate<double>(circuit, start, batch, seed);
        const Amplitudes got =
            fused<double>(circuit, start, batch, seed, c.fusion, window_shape_for<double>(unsigned(c.num_qubits)));
        EXPECT_LE(max_difference(got, exact), kBoundPerGate * double(gate_count(circuit)));
        EXPECT_NEAR(norm(got), norm(exact), kNormBound);

        const Amplitudes plain_float = per_gate<float>(circuit, start, batch, seed);
        const Amplitudes fused_float =
            fused<float>(circuit, start, batch, seed, c.fusion, window_shape_for<float>(unsigned(c.num_qubits)));
        EXPECT_LE(distance(fused_float, exact), kFloatFactor * distance(plain_float, exact));
    }
}

INSTANTIATE_TEST_SUITE_P(Fusion, FusedAccuracy,
                         ::testing::Values(AccuracyCase{3, 2}, AccuracyCase{5, 3}, AccuracyCase{5, 4},
                                           AccuracyCase{8, 2}, AccuracyCase{8, 3}, AccuracyCase{8, 4},
                                           AccuracyCase{12, 4}, AccuracyCase{16, 3}, AccuracyCase{3, kFusionAuto},
                                           AccuracyCase{6, kFusionAuto}, AccuracyCase{9, kFusionAuto},
                                           AccuracyCase{14, kFusionAuto},
                                           AccuracyCase{kLocalityMinQubits, kFusionAuto}));

// The fused plan's windows give the bits of its steps applied one by one,
// whatever the shape: blocks barely wider than a fused gate, gathered or in
// place, with and without regions.
template <typename Real>
void expect_same_bits_for_every_shape(int num_qubits, int fusion, unsigned seed) {
    Draw draw{std::mt19937(seed)};
    const std::vector<CircuitInstruction> circuit = random_circuit(draw, num_qubits);
    const Amplitudes start = start_state(num_qubits, seed);
    GateMatrixCache cache;
    RunPlan plan = compile_run(circuit, 0, circuit.size(), unsigned(num_qubits), &cache, 1);
    testing_support::fuse_plan(plan, fusion);

    StateVector<Real> one_by_one{unsigned(num_qubits)};
    write(one_by_one, start);
    RandomSource step_source = make_seeded_source(int(seed));
    for (const PlanStep& step : plan.steps) {
        const ThreadTeam team = team_for(num_qubits);
        if (step.kind == OperationKind::kGate) run_kernel_call(one_by_one, step.call, team);
        if (step.kind == OperationKind::kReset) reset_qubit(one_by_one, step.qubit, step_source, team);
    }
    for (const WindowShape shape :
         {WindowShape{14, 5}, WindowShape{6, 3}, WindowShape{9, 4}, WindowShape{12, 8}, WindowShape{6, 3, 11, 5},
          WindowShape{5, 4, 9, 3}, WindowShape{8, 3, 17, 8}, WindowShape{9, 4, 0, 0, 4, true}}) {
        SCOPED_TRACE("block " + std::to_string(shape.block_qubits) + " region " + std::to_string(shape.region_qubits));
        StateVector<Real> windowed{unsigned(num_qubits)};
        write(windowed, start);
        RandomSource source = make_seeded_source(int(seed));
        testing_support::run_plan(windowed, plan, source, shape);
        EXPECT_TRUE(same_bits(windowed, one_by_one));
    }
}

TEST(Fusion, SameBitsForEveryWindowShape) {
    for (int fusion : {kMinFusion, 3, kMaxFusion, kFusionAuto}) {
        expect_same_bits_for_every_shape<double>(16, fusion, kSeed + unsigned(fusion));
        expect_same_bits_for_every_shape<float>(17, fusion, kSeed + 7 * unsigned(fusion));
    }
}

// Every gate in exactly one group, at most `max` qubits a group (a wider gate
// alone and sealed), and the groups' order keeps every two gates that share a
// qubit in circuit order.
void expect_valid_grouping(const std::vector<PlanStep>& steps, const std::vector<FusionGroup>& groups, int max) {
    std::vector<int> group_of(steps.size(), -1);
    std::vector<size_t> rank(steps.size());  // position in the fused order
    size_t position = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        uint64_t qubits = 0;
        for (size_t i = 0; i < groups[g].members.size(); ++i) {
            const size_t m = groups[g].members[i];
            ASSERT_EQ(group_of[m], -1) << "step " << m << " in two groups";
            if (i > 0) {
                EXPECT_LT(groups[g].members[i - 1], m);
            }
            group_of[m] = int(g);
            rank[m] = position++;
            qubits |= steps[m].qubits;
        }
        EXPECT_EQ(qubits, groups[g].qubits);
        if (groups[g].sealed) {
            EXPECT_EQ(groups[g].members.size(), 1u);
            EXPECT_GT(__builtin_popcountll(qubits), max);
        } else {
            EXPECT_LE(__builtin_popcountll(qubits), max);
        }
    }
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(group_of[i] >= 0, steps[i].kind == OperationKind::kGate) << "step " << i;
        if (group_of[i] < 0) continue;
        for (size_t j = i + 1; j < steps.size(); ++j)
            if (group_of[j] >= 0 && (steps[i].qubits & steps[j].qubits) != 0) {
                EXPECT_LT(rank[i], rank[j]) << "steps " << i << " and " << j;
            }
    }
}

TEST(GroupStretch, KeepsSharedQubitsInOrderAndGroupsWithinTheLimit) {
    for (int max = kMinFusion; max <= kMaxFusion; ++max)
        for (int n : {3, 4, 7, 12}) {
            Draw draw{std::mt19937(kSeed + unsigned(10 * n + max))};
            std::vector<CircuitInstruction> circuit;
            for (const auto& ins : random_circuit(draw, n))
                if (operation_kind(ins.name) != OperationKind::kReset && ins.name != "MEASURE") circuit.push_back(ins);
            GateMatrixCache cache;
            const RunPlan plan = compile_run(circuit, 0, circuit.size(), unsigned(n), &cache, 0);
            SCOPED_TRACE("n " + std::to_string(n) + " max " + std::to_string(max));
            expect_valid_grouping(plan.steps, group_stretch(plan.steps, 0, plan.steps.size(), max), max);
        }
}

std::vector<uint64_t> group_qubits(const std::vector<CircuitInstruction>& circuit, int num_qubits, int max) {
    GateMatrixCache cache;
    const RunPlan plan = compile_run(circuit, 0, circuit.size(), unsigned(num_qubits), &cache, 0);
    std::vector<uint64_t> out;
    for (const FusionGroup& g : group_stretch(plan.steps, 0, plan.steps.size(), max)) out.push_back(g.qubits);
    return out;
}

CircuitInstruction cx(int32_t control, int32_t target) { return testing_support::gate("CX", {target}, {control}); }

// The rule on small circuits: untouched qubits fill the last group; a gate
// joins the latest group on its qubits while it fits; a gate past the limit
// stays alone and closes its qubits to the groups before it.
TEST(GroupStretch, GreedyInCircuitOrder) {
    const std::vector<CircuitInstruction> layer = {named("H", {0}), named("H", {1}), named("H", {2}),
                                                   named("H", {3}), cx(1, 2),        named("H", {0})};
    EXPECT_EQ(group_qubits(layer, 4, 2), (std::vector<uint64_t>{0b0011, 0b1100, 0b0110}));
    EXPECT_EQ(group_qubits(layer, 4, 3), (std::vector<uint64_t>{0b0111, 0b1000}));
    EXPECT_EQ(group_qubits(layer, 4, 4), (std::vector<uint64_t>{0b1111}));
    CircuitInstruction ccx = named("CCX", {2});
    ccx.controls = {0, 1};
    const std::vector<CircuitInstruction> wide = {named("H", {0}), ccx, named("H", {0}), named("H", {3})};
    EXPECT_EQ(group_qubits(wide, 4, 2), (std::vector<uint64_t>{0b0001, 0b0111, 0b1001}));
}

// MEASURE and RESET stay where they were and end a stretch; a lone gate keeps
// its own kernel call; names without effect go.
TEST(FusePlan, StretchesEndAtMeasureAndReset) {
    const std::vector<CircuitInstruction> circuit = {named("H", {0}),     named("H", {1}), named("BARRIER", {0}),
                                                     named("RESET", {2}), named("X", {0}), named("MEASURE", {1}),
                                                     named("H", {0}),     named("H", {1})};
    GateMatrixCache cache;
    RunPlan plan = compile_run(circuit, 0, circuit.size(), 3, &cache, 0);
    testing_support::fuse_plan(plan, 2);
    ASSERT_EQ(plan.steps.size(), 5u);
    EXPECT_EQ(plan.steps[0].call.num_targets, 2);
    EXPECT_EQ(plan.steps[1].kind, OperationKind::kReset);
    EXPECT_EQ(plan.steps[2].call.gate, KernelGate::kX);
    EXPECT_EQ(plan.steps[3].kind, OperationKind::kMeasure);
    EXPECT_EQ(plan.steps[4].qubits, 0b011u);
}

TEST(FusePlan, RefusesSizesOutsideTheRange) {
    for (int fusion : {kFusionAuto, -2, 1, kMaxFusion + 1, 64})
        EXPECT_THROW(check_fusion(fusion), std::invalid_argument);
    for (int fusion : {kFusionOff, kMinFusion, kMaxFusion}) EXPECT_NO_THROW(check_fusion(fusion));
}

// Two parameter sets through one pair of caches: a group without a per-set
// value gets the same product (computed once), a group with one a product of
// its own set, in the run's store.
TEST(FusePlan, SharesProductsOnlyWhereNoMemberDependsOnTheSet) {
    CircuitInstruction fixed_angle = named("RX", {0});
    fixed_angle.param.value = 0.25;
    fixed_angle.has_param = true;
    CircuitInstruction per_set = named("RY", {3});
    per_set.param.value = std::vector<double>{0.5, -1.5};
    per_set.has_param = true;
    const std::vector<CircuitInstruction> circuit = {fixed_angle, cx(0, 1), named("H", {2}), per_set, cx(2, 3)};
    GateMatrixCache cache;
    FusedMatrixCache shared;
    // Plans stay where they are made: their steps point into their own stores.
    RunPlan first = compile_run(circuit, 0, circuit.size(), 4, &cache, 0);
    testing_support::fuse_plan(first, 2, &shared);
    RunPlan second = compile_run(circuit, 0, circuit.size(), 4, &cache, 1);
    testing_support::fuse_plan(second, 2, &shared);
    ASSERT_EQ(first.steps.size(), 2u);
    ASSERT_EQ(second.steps.size(), 2u);
    EXPECT_EQ(first.steps[0].call.matrix, second.steps[0].call.matrix);
    EXPECT_EQ(shared.products.size(), 1u);
    EXPECT_NE(*first.steps[1].call.matrix, *second.steps[1].call.matrix);
}

}  // namespace
}  // namespace wavesim

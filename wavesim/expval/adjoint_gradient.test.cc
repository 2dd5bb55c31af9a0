// The backward plan undoes the forward run for every name of the
// vocabulary (fixed kernels by their inverse kernels, matrices daggered)
// plain, daggered and under closed and open controls, on states below and
// above the thread rule's size, in both precisions; gradients of circuits
// whose expectation values are known in closed form; the columns of a
// circuit and what cannot be differentiated.
#include "wavesim/expval/adjoint_gradient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/state/measurement.h"
#include "wavesim/plan/windows.h"
#include "wavesim/testing/run_plan.h"
#include "wavesim/testing/instructions.h"

namespace wavesim {
namespace {

template <typename Real>
constexpr double kTolerance = std::is_same_v<Real, double> ? 1e-12 : 2e-5;
constexpr double kAngle = 0.83;

using testing_support::gate;

// H on every qubit, then every name three ways: plain, daggered, and with one
// more closed and one open control (parameters distinct throughout).
std::vector<CircuitInstruction> whole_vocabulary(int n) {
    std::vector<CircuitInstruction> out;
    for (int q = 0; q < n; ++q) out.push_back(gate("H", {q}));
    double angle = kAngle;
    for (const GateEntry& entry : gate_catalogue())
        for (int way = 0; way < 3; ++way) {
            std::vector<int32_t> order;
            for (int q = 0; q < n; ++q)
                order.push_back((q * 7 + way + int(out.size())) % n);  // 7 is prime to both sizes used
            const int controls = entry.num_controls + (way == 2 ? 2 : 0);
            std::vector<double> values;
            for (int p = 0; p < entry.num_params; ++p) values.push_back(angle += 0.37);
            const std::vector<int32_t> targets(order.begin(), order.begin() + entry.num_targets);
            const std::vector<int32_t> control(order.begin() + entry.num_targets,
                                               order.begin() + entry.num_targets + controls);
            out.push_back(gate(entry.name, targets, control, values, way == 1,
                               way == 2 ? std::string(size_t(controls - 1), '1') + "0" : ""));
        }
    out.push_back(gate("Tdg", {0}));
    out.push_back(gate("CX", {0, 1}));  // the two-target form of the pair fast path
    return out;
}

template <typename Real>
class AdjointTest : public ::testing::Test {};
using testing_support::Precisions;
TYPED_TEST_SUITE(AdjointTest, Precisions);

TYPED_TEST(AdjointTest, BackwardPlanUndoesTheForwardRun) {
    using Real = TypeParam;
    for (int n : {5, 15}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const std::vector<CircuitInstruction> circuit = whole_vocabulary(n);
        StateVector<Real> stacked(unsigned(n + 1));
        StateView<Real> psi(unsigned(n), stacked.re, stacked.im);
        const RunPlan forward = compile_run(circuit, 0, circuit.size(), unsigned(n), nullptr, 0);
        RandomSource& source = thread_reset_source<Real>();
        testing_support::run_plan(psi, forward, source, window_shape_for<Real>(unsigned(n)));
        ASSERT_LT(std::fabs(double(psi.re[0])), 0.99);  // the circuit moved the state
        const std::vector<int> no_columns(circuit.size(), -1);
        const RunPlan back = backward_plan(forward, circuit, 0, no_columns, n, {});
        testing_support::run_plan(stacked, back, source, window_shape_for<Real>(unsigned(n + 1)));
        for (uint64_t i = 0; i < stacked.dim; ++i) {
            EXPECT_NEAR(double(stacked.re[i]), i == 0 ? 1.0 : 0.0, kTolerance<Real>) << i;
            EXPECT_NEAR(double(stacked.im[i]), 0.0, kTolerance<Real>) << i;
        }
    }
}

// <Z> = cos(theta) after RX or RY on |0>, <X> = sin(theta) cos(phi) after U3(theta, phi, lambda):
// their derivatives read off the formulas.
TYPED_TEST(AdjointTest, GradientsOfClosedForms) {
    using Real = TypeParam;
    const double theta = 0.7, phi = -1.1, lambda = 0.4;
    const std::vector<CircuitInstruction> circuit = {gate("RX", {0}, {}, {theta}), gate("RY", {1}, {}, {theta}),
                                                     gate("U3", {2}, {}, {theta, phi, lambda})};
    const DifferentiableCircuit differentiable = differentiable_circuit(3, circuit);
    ASSERT_EQ(differentiable.columns, 5u);
    EXPECT_EQ(differentiable.first_column, (std::vector<int>{0, 1, 2}));
    const GroupedObservables observable =
        group_observables({{{0, 0b001, 1.0}, {0, 0b010, 2.0}, {0b100, 0, 3.0}}});  // Z0 + 2 Z1 + 3 X2
    StateVector<Real> state(adjoint_state_qubits(3));
    std::vector<ExactSum> slots(size_t(kHardwareThreads) * differentiable.columns);
    std::vector<double> grads(differentiable.columns);
    const double value =
        adjoint_gradient(state, differentiable, observable, nullptr, 0, kFusionOff, team_for(int(state.num_qubits)), slots,
                         grads.data());
    EXPECT_NEAR(value, 3 * std::cos(theta) + 3 * std::sin(theta) * std::cos(phi), kTolerance<Real>);
    const std::vector<double> want = {-std::sin(theta), -2 * std::sin(theta), 3 * std::cos(theta) * std::cos(phi),
                                      -3 * std::sin(theta) * std::sin(phi), 0.0};
    for (size_t j = 0; j < want.size(); ++j) EXPECT_NEAR(grads[j], want[j], kTolerance<Real>) << j;
}

TEST(DifferentiableCircuit, ColumnsOfParametrisedInstructionsOnly) {
    CircuitInstruction fixed = gate("RY", {0}, {}, {0.3});
    fixed.has_param = false;
    const std::vector<CircuitInstruction> circuit = {gate("CU", {0}, {1}, {0.1, 0.2, 0.3, 0.4}), fixed,
                                                     gate("MEASURE", {0}, {0}), gate("H", {1}, {}, {0.5}),
                                                     gate("RZZ", {0, 1}, {}, {0.1, 0.2, 0.3})};
    const DifferentiableCircuit d = differentiable_circuit(2, circuit);
    EXPECT_EQ(d.columns, 5u);
    EXPECT_EQ(d.first_column, (std::vector<int>{0, -1, -1, -1, 4}));
    const std::vector<ParamColumn> columns = param_columns(circuit);
    ASSERT_EQ(columns.size(), 5u);
    EXPECT_EQ(columns[3].instruction, 0u);
    EXPECT_EQ(columns[3].slot, 3);
    EXPECT_EQ(columns[4].instruction, 4u);
}

TEST(DifferentiableCircuit, RefusesResetsAndShortValueLists) {
    const std::vector<std::pair<CircuitInstruction, std::string>> refused = {
        {gate("RESET", {0}),
         "instruction 1 (RESET) is a RESET, which is not unitary: the circuit cannot be differentiated"},
        {gate("U2", {0}, {}, {0.1}),
         "instruction 1 (U2) has 1 parameter values, fewer than the 2 its gate takes: it cannot be differentiated"},
    };
    for (const auto& [bad, message] : refused) {
        try {
            differentiable_circuit(1, {gate("H", {0}), bad});
            ADD_FAILURE() << message;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

}  // namespace
}  // namespace wavesim

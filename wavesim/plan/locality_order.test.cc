// The fast setting's order on random circuits over the whole vocabulary:
// every gate once, every two gates that share a qubit in circuit order, and
// the windows it is made for as long as the qubits allow.
#include "wavesim/plan/locality_order.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "wavesim/base/bits.h"
#include "wavesim/testing/random_circuit.h"

namespace wavesim {
namespace {

using random_circuits::Draw;
using random_circuits::named;
using random_circuits::random_circuit;

TEST(LocalityOrder, EveryGateOnceAndSharedQubitsInOrder) {
    for (int n : {3, 5, 9, 16, 24}) {
        Draw draw{std::mt19937(20261220 + unsigned(n))};
        std::vector<CircuitInstruction> circuit;
        for (const auto& ins : random_circuit(draw, n, 400))
            if (operation_kind(ins.name) != OperationKind::kReset && ins.name != "MEASURE") circuit.push_back(ins);
        GateMatrixCache cache;
        const RunPlan plan = compile_run(circuit, 0, circuit.size(), unsigned(n), &cache, 0);
        const std::vector<size_t> order = locality_order(plan.steps, 0, plan.steps.size());
        std::vector<size_t> rank(plan.steps.size(), plan.steps.size());
        for (size_t r = 0; r < order.size(); ++r) {
            ASSERT_EQ(rank[order[r]], plan.steps.size()) << "step " << order[r] << " twice";
            rank[order[r]] = r;
        }
        for (size_t i = 0; i < plan.steps.size(); ++i) {
            EXPECT_EQ(rank[i] < plan.steps.size(), plan.steps[i].kind == OperationKind::kGate) << "step " << i;
            for (size_t j = i + 1; j < plan.steps.size(); ++j) {
                if (rank[i] < order.size() && rank[j] < order.size() && (plan.steps[i].qubits & plan.steps[j].qubits)) {
                    EXPECT_LT(rank[i], rank[j]) << "steps " << i << " and " << j;
                }
            }
        }
    }
}

// Layers of one-qubit gates on 20 qubits: each window holds the lowest 4
// qubits and 10 others, and takes every layer's gates on them before the
// gates left behind.
TEST(LocalityOrder, WindowsTakeEveryLayerOnTheirQubits) {
    std::vector<CircuitInstruction> circuit;
    for (int layer = 0; layer < 3; ++layer)
        for (int32_t q = 0; q < 20; ++q) circuit.push_back(named("H", {q}));
    GateMatrixCache cache;
    const RunPlan plan = compile_run(circuit, 0, circuit.size(), 20, &cache, 0);
    const std::vector<size_t> order = locality_order(plan.steps, 0, plan.steps.size());
    ASSERT_EQ(order.size(), circuit.size());
    uint64_t first_window = 0;
    for (size_t r = 0; r < 3 * 14; ++r) first_window |= plan.steps[order[r]].qubits;
    EXPECT_EQ(first_window, bit(kLocalityQubits) - 1);
    uint64_t second_window = 0;
    for (size_t r = 3 * 14; r < order.size(); ++r) second_window |= plan.steps[order[r]].qubits;
    EXPECT_EQ(second_window, (bit(20) - 1) & ~(bit(kLocalityQubits) - 1));
}

}  // namespace
}  // namespace wavesim

// The driver of parameter sets behind cal_states: rows of a batch, whose
// workers share their matrix caches and fused products from set to set, are
// bit for bit the runs of each set alone with matrices of their own, with
// fusion off and on.
#include "wavesim/batch/cal_states.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "wavesim/testing/random_circuit.h"
#include "wavesim/testing/run_plan.h"
#include "wavesim/testing/scalar_reference.h"

namespace wavesim {
namespace {

using random_circuits::Draw;
using random_circuits::kBatches;
using random_circuits::random_circuit;
using scalar_reference::same_bits;

constexpr unsigned kSeed = 20261214;

// Rows of a batch, whose shared products are computed once per worker, are
// bit for bit the runs of each set alone with products of their own.
template <typename Real>
void expect_batch_rows_equal_single_runs(int num_qubits, int fusion, unsigned seed) {
    Draw draw{std::mt19937(seed)};
    CircuitData circuit;
    circuit.num_qubits = num_qubits;
    for (const auto& ins : random_circuit(draw, num_qubits))
        if (operation_kind(ins.name) != OperationKind::kReset) circuit.instructions.push_back(ins);
    const AmplitudeBuffer<Real> rows = final_amplitudes<Real>(circuit, kBatches, fusion);
    for (int b = 0; b < kBatches; ++b) {
        StateVector<Real> alone{unsigned(num_qubits)};
        RunPlan plan =
            compile_run(circuit.instructions, 0, circuit.instructions.size(), unsigned(num_qubits), nullptr, b);
        testing_support::fuse_plan(plan, fusion);
        RandomSource source = make_seeded_source(0);
        testing_support::run_plan(alone, plan, source, window_shape_for<Real>(unsigned(num_qubits)));
        const Real* row = reinterpret_cast<const Real*>(rows.data.get()) + (uint64_t{2} << num_qubits) * uint64_t(b);
        StateVector<Real> stored{unsigned(num_qubits)};
        for (uint64_t i = 0; i < alone.dim; ++i) {
            stored.re[i] = row[2 * i];
            stored.im[i] = row[2 * i + 1];
        }
        EXPECT_TRUE(same_bits(stored, alone)) << "row " << b;
    }
}

TEST(FinalAmplitudes, BatchRowsEqualSingleRuns) {
    for (int fusion : {kFusionOff, 2, 3, kMaxFusion, kFusionAuto}) {
        expect_batch_rows_equal_single_runs<double>(6, fusion, kSeed + unsigned(fusion));
        expect_batch_rows_equal_single_runs<float>(15, fusion, kSeed + 3 * unsigned(fusion));
    }
}

}  // namespace
}  // namespace wavesim

// Every row of the gate table that takes a dedicated kernel: the kernel,
// reached through the compiled call of an instruction of that name, against
// the scalar reference applying the row's catalogue matrix, on random states,
// in every shape the kernel is taken in (the row's own, and two targets for a
// name with one control), on every target position inside and above the
// register, both precisions. Exchanges and sign flips are exact; H adds
// before it multiplies, and T and TDG multiply by the rounded 1/sqrt(2), one
// unit in the last place above the catalogue's entries.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/kernels/kernel_call.h"
#include "wavesim/plan/compile.h"
#include "wavesim/testing/instructions.h"
#include "wavesim/testing/scalar_reference.h"

namespace wavesim {
namespace {

using namespace scalar_reference;
using testing_support::gate;
using testing_support::Precisions;

constexpr int kQubits = 5;

template <typename Real>
class DedicatedKernels : public ::testing::Test {};
TYPED_TEST_SUITE(DedicatedKernels, Precisions);

// The instruction written with `qubits` (controls first, as the row's shape
// orders them), or, for a name with one control, the control as the first of two targets.
CircuitInstruction written(const GateEntry& row, const std::vector<int>& qubits, bool as_targets) {
    const auto q = [&](size_t i) { return int32_t(qubits[i]); };
    if (as_targets) return gate(row.name, {q(0), q(1)});
    std::vector<int32_t> controls, targets;
    for (int i = 0; i < row.num_controls; ++i) controls.push_back(q(size_t(i)));
    for (int i = 0; i < row.num_targets; ++i) targets.push_back(q(size_t(row.num_controls + i)));
    return gate(row.name, targets, controls);
}

template <typename Real>
void expect_kernel_is_the_matrix(const GateEntry& row, const std::vector<int>& qubits, bool as_targets,
                                 std::mt19937_64& rng) {
    const CircuitInstruction ins = written(row, qubits, as_targets);
    MatrixStore store;
    const KernelCall call = resolve_gate(ins, kQubits, store, 0);
    ASSERT_EQ(call.gate, row.kernel) << row.name << " takes its kernel";
    Amplitudes psi = random_state(kQubits, rng);
    StateVector<Real> state(kQubits);
    load(state, psi);
    run_kernel_call(state, call, ThreadTeam{});
    std::vector<Control> controls;
    for (int i = 0; i < row.num_controls; ++i) controls.push_back(qubits[size_t(i)]);
    const std::vector<int> targets(qubits.begin() + row.num_controls, qubits.end());
    const Amplitudes want = apply(psi, targets, controls, row.target({}));
    const Amplitudes got = read(state);
    const bool exact = row.kernel != KernelGate::kH && row.kernel != KernelGate::kT && row.kernel != KernelGate::kTdg;
    const double tolerance = std::is_same_v<Real, double> ? 1e-15 : 1e-6;
    for (size_t k = 0; k < want.size(); ++k) {
        if (exact) {
            EXPECT_EQ(got[k], want[k]) << row.name << " amplitude " << k;
        } else {
            EXPECT_LE(std::abs(got[k] - want[k]), tolerance) << row.name << " amplitude " << k;
        }
    }
}

TYPED_TEST(DedicatedKernels, EqualTheCatalogueMatrixOnEveryPosition) {
    std::mt19937_64 rng(20261211);
    for (const GateEntry& row : gate_catalogue()) {
        if (row.kernel == KernelGate::kMatrix) continue;
        const size_t width = size_t(row.num_controls + row.num_targets);
        // Every ordered choice of distinct qubits, the targets landing in the lanes and above them.
        std::vector<int> qubits(width);
        const auto each = [&](auto&& self, size_t at) -> void {
            if (at == width) {
                expect_kernel_is_the_matrix<TypeParam>(row, qubits, false, rng);
                if (row.num_controls == 1 && row.num_targets == 1)
                    expect_kernel_is_the_matrix<TypeParam>(row, qubits, true, rng);
                return;
            }
            for (int q = 0; q < kQubits; ++q) {
                bool taken = false;
                for (size_t i = 0; i < at; ++i) taken = taken || qubits[i] == q;
                if (taken) continue;
                qubits[at] = q;
                self(self, at + 1);
            }
        };
        each(each, 0);
    }
}

}  // namespace
}  // namespace wavesim

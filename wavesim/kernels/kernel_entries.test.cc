// The named kernels are the kernel calls they name: bit for bit the same
// state on random amplitudes, the control-count dispatchers included; and
// every input outside the state is refused before anything is touched.
#include "wavesim/kernels/kernel_entries.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "wavesim/testing/scalar_reference.h"
#include "wavesim/testing/instructions.h"

namespace wavesim {
namespace {

namespace ref = scalar_reference;
using ref::fill_random;
constexpr unsigned kQubits = 5;
constexpr uint32_t kSeed = 20261209;

Matrix random_matrix(int targets, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    Matrix m(size_t{1} << (2 * targets));
    for (auto& x : m) x = {normal(rng), normal(rng)};
    return m;
}

KernelCall call_of(KernelGate gate, std::vector<int> targets, std::vector<int> controls, const Matrix* m = nullptr) {
    KernelCall call;
    call.gate = gate;
    call.num_targets = int(targets.size());
    for (size_t j = 0; j < targets.size(); ++j) call.targets[j] = targets[j];
    for (int c : controls) call.ones |= bit(c);
    call.matrix = m;
    return call;
}

template <typename Real>
using Entry = std::function<void(StateVector<Real>&)>;

template <typename Real>
void expect_entry_is_call(const std::string& name, const Entry<Real>& entry, const KernelCall& call) {
    SCOPED_TRACE(name);
    std::mt19937_64 rng(kSeed);
    StateVector<Real> by_name(kQubits), by_call(kQubits);
    fill_random(by_name, rng);
    std::memcpy(by_call.re, by_name.re, by_name.dim * sizeof(Real));
    std::memcpy(by_call.im, by_name.im, by_name.dim * sizeof(Real));
    entry(by_name);
    run_kernel_call(by_call, call, team_for(int(by_call.num_qubits)));
    EXPECT_TRUE(ref::same_bits(by_name, by_call));
}

template <typename Real>
class KernelEntries : public ::testing::Test {};
using testing_support::Precisions;
TYPED_TEST_SUITE(KernelEntries, Precisions);

TYPED_TEST(KernelEntries, EachNameIsItsKernelCall) {
    using Real = TypeParam;
    using S = StateVector<Real>;
    std::mt19937_64 rng(kSeed);
    const Matrix m1 = random_matrix(1, rng), m2 = random_matrix(2, rng), m3 = random_matrix(3, rng);
    using G = KernelGate;
    expect_entry_is_call<Real>(
        "x", [](S& s) { apply_x(s, 3); }, call_of(G::kX, {3}, {}));
    expect_entry_is_call<Real>(
        "y", [](S& s) { apply_y(s, 0); }, call_of(G::kY, {0}, {}));
    expect_entry_is_call<Real>(
        "z", [](S& s) { apply_z(s, 4); }, call_of(G::kZ, {4}, {}));
    expect_entry_is_call<Real>(
        "h", [](S& s) { apply_h(s, 1); }, call_of(G::kH, {1}, {}));
    expect_entry_is_call<Real>(
        "s", [](S& s) { apply_s(s, 2); }, call_of(G::kS, {2}, {}));
    expect_entry_is_call<Real>(
        "sdg", [](S& s) { apply_sdg(s, 2); }, call_of(G::kSdg, {2}, {}));
    expect_entry_is_call<Real>(
        "t", [](S& s) { apply_t(s, 0); }, call_of(G::kT, {0}, {}));
    expect_entry_is_call<Real>(
        "tdg", [](S& s) { apply_tdg(s, 4); }, call_of(G::kTdg, {4}, {}));
    expect_entry_is_call<Real>(
        "cx", [](S& s) { apply_cx(s, 4, 1); }, call_of(G::kX, {1}, {4}));
    expect_entry_is_call<Real>(
        "cz", [](S& s) { apply_cz(s, 0, 3); }, call_of(G::kZ, {3}, {0}));
    expect_entry_is_call<Real>(
        "cz on one qubit is z", [](S& s) { apply_cz(s, 2, 2); }, call_of(G::kZ, {2}, {}));
    expect_entry_is_call<Real>(
        "swap", [](S& s) { apply_swap(s, 4, 0); }, call_of(G::kSwap, {4, 0}, {}));
    expect_entry_is_call<Real>(
        "ccx", [](S& s) { apply_ccx(s, 0, 3, 2); }, call_of(G::kX, {2}, {0, 3}));
    expect_entry_is_call<Real>(
        "matrix", [&](S& s) { apply_single_qubit_matrix(s, 3, m1); }, call_of(G::kMatrix, {3}, {}, &m1));
    expect_entry_is_call<Real>(
        "controlled matrix", [&](S& s) { apply_controlled_single_qubit_matrix(s, 0, 3, m1); },
        call_of(G::kMatrix, {3}, {0}, &m1));
    expect_entry_is_call<Real>(
        "multi-controlled matrix",
        [&](S& s) {
            apply_multi_controlled_single_qubit_matrix(s, 1, {4, 2}, m1);
        },
        call_of(G::kMatrix, {1}, {4, 2}, &m1));
    expect_entry_is_call<Real>(
        "two-qubit", [&](S& s) { apply_two_qubit_matrix(s, 4, 1, m2); }, call_of(G::kMatrix, {4, 1}, {}, &m2));
    expect_entry_is_call<Real>(
        "multi-controlled two-qubit", [&](S& s) { apply_multi_controlled_two_qubit_matrix(s, 0, 2, {3}, m2); },
        call_of(G::kMatrix, {0, 2}, {3}, &m2));
    expect_entry_is_call<Real>(
        "three-qubit", [&](S& s) { apply_three_qubit_matrix(s, 0, 2, 4, m3); },
        call_of(G::kMatrix, {0, 2, 4}, {}, &m3));
    for (const std::vector<int>& controls : {std::vector<int>{}, {4}, {4, 2}, {4, 2, 3}}) {
        const std::string count = " with " + std::to_string(controls.size()) + " controls";
        expect_entry_is_call<Real>(
            "single-qubit dispatch" + count, [&](S& s) { apply_single_qubit_matrix_ctrl(s, 0, controls, m1); },
            call_of(G::kMatrix, {0}, controls, &m1));
        expect_entry_is_call<Real>(
            "two-qubit dispatch" + count, [&](S& s) { apply_two_qubit_matrix_ctrl(s, 1, 0, controls, m2); },
            call_of(G::kMatrix, {1, 0}, controls, &m2));
    }
}

TYPED_TEST(KernelEntries, RefuseInputOutsideTheStateBeforeTouchingIt) {
    using Real = TypeParam;
    using S = StateVector<Real>;
    const Matrix m1(4), m2(16), m3(64);
    const std::vector<std::pair<std::function<void(S&)>, std::string>> cases = {
        {[](S& s) { apply_z(s, 3); }, "apply_z addresses qubit 3, outside a state of 3 qubits"},
        {[](S& s) { apply_h(s, -1); }, "apply_h addresses qubit -1, outside a state of 3 qubits"},
        {[](S& s) { apply_cx(s, 5, 0); }, "apply_cx addresses qubit 5, outside a state of 3 qubits"},
        {[](S& s) { apply_swap(s, 0, 3); }, "apply_swap addresses qubit 3, outside a state of 3 qubits"},
        {[](S& s) { apply_ccx(s, 0, 1, 70); }, "apply_ccx addresses qubit 70, outside a state of 3 qubits"},
        {[&](S& s) {
             apply_multi_controlled_single_qubit_matrix(s, 0, {1, 3}, m1);
         },
         "apply_multi_controlled_single_qubit_matrix addresses qubit 3, outside a state of 3 qubits"},
        {[&](S& s) { apply_multi_controlled_two_qubit_matrix(s, 0, 1, {-2}, m2); },
         "apply_multi_controlled_two_qubit_matrix addresses qubit -2, outside a state of 3 qubits"},
        {[&](S& s) { apply_two_qubit_matrix(s, 1, 1, m2); }, "apply_two_qubit_matrix: target qubit 1 given twice"},
        {[&](S& s) { apply_three_qubit_matrix(s, 0, 2, 2, m3); },
         "apply_three_qubit_matrix: target qubit 2 given twice"},
        {[&](S& s) { apply_single_qubit_matrix(s, 0, m2); },
         "apply_single_qubit_matrix: matrix has 16 entries, expected 4"},
        {[&](S& s) { apply_two_qubit_matrix(s, 0, 1, m1); },
         "apply_two_qubit_matrix: matrix has 4 entries, expected 16"},
        {[&](S& s) { apply_three_qubit_matrix(s, 0, 1, 2, m2); },
         "apply_three_qubit_matrix: matrix has 16 entries, expected 64"},
    };
    for (const auto& [entry, message] : cases) {
        S s(3);
        try {
            entry(s);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
        EXPECT_EQ(ref::read(s), (ref::Amplitudes{1, 0, 0, 0, 0, 0, 0, 0}));
    }
}

}  // namespace
}  // namespace wavesim

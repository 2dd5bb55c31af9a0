// Every kernel against plain scalar references: the shared index loop over
// std::complex<double> (scalar_reference.test.h, checked here against
// Kronecker-expanded full matrices) and pair updates written here from the
// gate definitions; both precisions, every target and control position on
// small states and on 16 qubits, where several threads share the work.
#include "kernels.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "scalar_reference.test.h"
#include "threads.h"

namespace wavesim {
namespace {

using C = scalar_reference::Complex;
using Amps = scalar_reference::Amplitudes;

constexpr double kH = 0.7071067811865475;
constexpr double kT = 0.7071067811865476;
constexpr int kThreadedQubits = 16;
constexpr uint32_t kSeed = 20240611;

template <typename Real>
constexpr double kTolerance = std::is_same_v<Real, double> ? 1e-13 : 2e-6;

Amps random_state(int n, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    Amps a(size_t{1} << n);
    double norm = 0;
    for (C& x : a) {
        x = {normal(rng), normal(rng)};
        norm += std::norm(x);
    }
    for (C& x : a) x /= std::sqrt(norm);
    return a;
}

Matrix random_matrix(int k, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    Matrix m(size_t{1} << (2 * k));
    for (C& x : m) x = {normal(rng), normal(rng)};
    return m;
}

template <typename Real>
Matrix rounded(const Matrix& m) {
    Matrix r(m.size());
    for (size_t k = 0; k < m.size(); ++k) r[k] = {double(Real(m[k].real())), double(Real(m[k].imag()))};
    return r;
}

// --- references -----------------------------------------------------------

namespace ref = scalar_reference;
using ref::bit_of;
using ref::Control;
using ref::load;
using ref::read;

std::vector<Control> closed(const std::vector<int>& qubits) { return {qubits.begin(), qubits.end()}; }

// Fixed gates written directly from their definitions on (a0, a1).
using PairUpdate = std::function<void(C&, C&)>;

Amps reference_pair(const Amps& a, int t, const std::vector<int>& controls, const PairUpdate& update) {
    Amps out = a;
    for (size_t i = 0; i < a.size(); ++i) {
        if (bit_of(i, t)) continue;
        bool active = true;
        for (int c : controls) active = active && bit_of(i, c);
        if (active) update(out[i], out[i | (size_t{1} << t)]);
    }
    return out;
}

C negate(C x) { return {-x.real(), -x.imag()}; }

const PairUpdate kRefX = [](C& a0, C& a1) { std::swap(a0, a1); };
const PairUpdate kRefY = [](C& a0, C& a1) {
    const C n0 = {a1.imag(), -a1.real()}, n1 = {-a0.imag(), a0.real()};
    a0 = n0, a1 = n1;
};
const PairUpdate kRefZ = [](C&, C& a1) { a1 = negate(a1); };
const PairUpdate kRefH = [](C& a0, C& a1) {
    const C n0 = {(a0.real() + a1.real()) * kH, (a0.imag() + a1.imag()) * kH};
    const C n1 = {(a0.real() - a1.real()) * kH, (a0.imag() - a1.imag()) * kH};
    a0 = n0, a1 = n1;
};
const PairUpdate kRefS = [](C&, C& a1) { a1 = {-a1.imag(), a1.real()}; };
const PairUpdate kRefSdg = [](C&, C& a1) { a1 = {a1.imag(), -a1.real()}; };
const PairUpdate kRefT = [](C&, C& a1) { a1 *= C(kT, kT); };
const PairUpdate kRefTdg = [](C&, C& a1) { a1 *= C(kT, -kT); };

// H with the constant of the state's precision: the float kernel scales by 0.70710677f.
template <typename Real>
PairUpdate reference_h() {
    if constexpr (std::is_same_v<Real, double>) return kRefH;
    return [](C& a0, C& a1) {
        constexpr float kFloatH = 0.70710677f;
        const C n0 = {double(float(float(a0.real()) + float(a1.real())) * kFloatH),
                      double(float(float(a0.imag()) + float(a1.imag())) * kFloatH)};
        const C n1 = {double(float(float(a0.real()) - float(a1.real())) * kFloatH),
                      double(float(float(a0.imag()) - float(a1.imag())) * kFloatH)};
        a0 = n0, a1 = n1;
    };
}

// --- comparison helpers ----------------------------------------------------

void expect_exact(const Amps& got, const Amps& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k) {
        // Bitwise: also tells -0 from +0.
        ASSERT_EQ(std::memcmp(&got[k], &want[k], sizeof(C)), 0) << "index " << k << ": " << got[k] << " vs " << want[k];
    }
}

void expect_near(const Amps& got, const Amps& want, double tolerance) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k) ASSERT_LE(std::abs(got[k] - want[k]), tolerance) << "index " << k;
}

std::vector<int> qubit_positions(int n) {
    if (n <= 6) {
        std::vector<int> all(static_cast<size_t>(n));
        for (int q = 0; q < n; ++q) all[size_t(q)] = q;
        return all;
    }
    return {0, 1, 2, 3, 4, n / 2, n - 2, n - 1};
}

template <typename Real>
class KernelTest : public ::testing::Test {};
using Precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(KernelTest, Precisions);

constexpr int kSmallSizes[] = {1, 2, 3, 4, 5, 6};
constexpr int kAllSizes[] = {1, 2, 3, 4, 5, 6, kThreadedQubits};

// --- the reference itself --------------------------------------------------

// The shared reference against a full operator built from Kronecker products,
// closed and open controls (value 0) included.
TEST(ReferenceTest, MatchesKroneckerExpansion) {
    std::mt19937_64 rng(kSeed);
    struct Case {
        int n;
        std::vector<int> targets;
        std::vector<Control> controls;
    };
    const Control open0(0, 0), open2(2, 0), open3(3, 0);
    const std::vector<Case> cases = {
        {1, {0}, {}},        {3, {1}, {}},      {4, {3}, {0}},        {5, {2}, {4, 0}},     {3, {0, 2}, {}},
        {3, {2, 0}, {}},     {4, {1, 3}, {2}},  {5, {4, 1}, {0, 3}},  {3, {0, 1, 2}, {}},   {5, {3, 0, 4}, {}},
        {5, {1, 2, 4}, {3}}, {3, {1}, {open0}}, {4, {1}, {open3, 0}}, {4, {0, 1}, {open2}}, {5, {1, 2, 4}, {open3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n));
        const Matrix m = random_matrix(int(c.targets.size()), rng);
        const Amps a = random_state(c.n, rng);
        const Amps want = ref::multiply(ref::full_operator(c.n, c.targets, c.controls, m), a);
        expect_near(ref::apply(a, c.targets, c.controls, m), want, 1e-12);
    }
}

TEST(ReferenceTest, FixedGatesMatchTheirMatrices) {
    std::mt19937_64 rng(kSeed);
    const std::vector<std::pair<PairUpdate, Matrix>> gates = {
        {kRefX, {0, 1, 1, 0}},         {kRefY, {0, C(0, -1), C(0, 1), 0}}, {kRefZ, {1, 0, 0, -1}},
        {kRefH, {kH, kH, kH, -kH}},    {kRefS, {1, 0, 0, C(0, 1)}},        {kRefSdg, {1, 0, 0, C(0, -1)}},
        {kRefT, {1, 0, 0, C(kT, kT)}}, {kRefTdg, {1, 0, 0, C(kT, -kT)}},
    };
    for (const auto& [update, m] : gates)
        for (int t = 0; t < 3; ++t) {
            const Amps a = random_state(3, rng);
            expect_near(reference_pair(a, t, {}, update), ref::apply(a, {t}, {}, m), 1e-15);
        }
}

// --- fixed gates -----------------------------------------------------------

template <typename Real>
struct FixedSingle {
    const char* name;
    void (*kernel)(StateVector<Real>&, int);
    PairUpdate update;
    bool exact;
};

template <typename Real>
std::vector<FixedSingle<Real>> fixed_single_gates() {
    return {
        {"x", apply_x<Real>, kRefX, true},  {"y", apply_y<Real>, kRefY, true},
        {"z", apply_z<Real>, kRefZ, true},  {"h", apply_h<Real>, reference_h<Real>(), true},
        {"s", apply_s<Real>, kRefS, true},  {"sdg", apply_sdg<Real>, kRefSdg, true},
        {"t", apply_t<Real>, kRefT, false}, {"tdg", apply_tdg<Real>, kRefTdg, false},
    };
}

TYPED_TEST(KernelTest, FixedSingleQubitGates) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kAllSizes)
        for (int t : qubit_positions(n))
            for (const auto& gate : fixed_single_gates<Real>()) {
                SCOPED_TRACE(std::string(gate.name) + " n=" + std::to_string(n) + " t=" + std::to_string(t));
                StateVector<Real> s{unsigned(n)};
                Amps a = random_state(n, rng);
                load(s, a);
                gate.kernel(s, t);
                const Amps want = reference_pair(a, t, {}, gate.update);
                if (gate.exact) expect_exact(read(s), want);
                else expect_near(read(s), want, kTolerance<Real>);
            }
}

TYPED_TEST(KernelTest, ControlledFixedGates) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kSmallSizes)
        for (int c : qubit_positions(n))
            for (int t : qubit_positions(n)) {
                SCOPED_TRACE("n=" + std::to_string(n) + " c=" + std::to_string(c) + " t=" + std::to_string(t));
                Amps a = random_state(n, rng);
                StateVector<Real> s{unsigned(n)};
                load(s, a);
                apply_cx(s, c, t);
                // Equal control and target: the pair has bit t = 0, so the control never holds.
                expect_exact(read(s), c == t ? a : reference_pair(a, t, {c}, kRefX));
                load(s, a);
                apply_cz(s, c, t);
                // Equal qubits: every index with that bit 1 has both bits 1, so CZ acts as Z.
                expect_exact(read(s), c == t ? reference_pair(a, t, {}, kRefZ) : reference_pair(a, t, {c}, kRefZ));
                load(s, a);
                apply_swap(s, c, t);
                Amps want = a;
                if (c != t) want = ref::apply(a, {c, t}, {}, {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1});
                expect_exact(read(s), want);
            }
}

TYPED_TEST(KernelTest, Toffoli) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kSmallSizes) {
        if (n < 3) continue;
        for (int c0 : qubit_positions(n))
            for (int c1 : qubit_positions(n))
                for (int t : qubit_positions(n)) {
                    SCOPED_TRACE("n=" + std::to_string(n) + " c0=" + std::to_string(c0) + " c1=" + std::to_string(c1) +
                                 " t=" + std::to_string(t));
                    Amps a = random_state(n, rng);
                    StateVector<Real> s{unsigned(n)};
                    load(s, a);
                    apply_ccx(s, c0, c1, t);
                    const bool never = c0 == t || c1 == t;
                    expect_exact(read(s), never ? a : reference_pair(a, t, {c0, c1}, kRefX));
                }
    }
}

// --- matrix kernels --------------------------------------------------------

TYPED_TEST(KernelTest, SingleQubitMatrixWithAnyControls) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kSmallSizes)
        for (int t : qubit_positions(n)) {
            const Matrix m = random_matrix(1, rng);
            Amps a = random_state(n, rng);
            StateVector<Real> s{unsigned(n)};
            load(s, a);
            apply_single_qubit_matrix(s, t, m);
            expect_near(read(s), ref::apply(a, {t}, {}, rounded<Real>(m)), kTolerance<Real>);
            for (int c : qubit_positions(n)) {
                SCOPED_TRACE("n=" + std::to_string(n) + " t=" + std::to_string(t) + " c=" + std::to_string(c));
                load(s, a);
                apply_controlled_single_qubit_matrix(s, c, t, m);
                const Amps want = c == t ? a : ref::apply(a, {t}, {c}, rounded<Real>(m));
                expect_near(read(s), want, kTolerance<Real>);
                for (int c2 : qubit_positions(n)) {
                    const std::vector<int> controls = {c2, c};
                    load(s, a);
                    apply_multi_controlled_single_qubit_matrix(s, t, controls, m);
                    const bool never = c == t || c2 == t;
                    expect_near(read(s), never ? a : ref::apply(a, {t}, closed(controls), rounded<Real>(m)),
                                kTolerance<Real>);
                }
            }
        }
}

TYPED_TEST(KernelTest, TwoQubitMatrixWithAnyControls) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kSmallSizes) {
        if (n < 2) continue;
        for (int q0 : qubit_positions(n))
            for (int q1 : qubit_positions(n)) {
                if (q0 == q1) continue;
                SCOPED_TRACE("n=" + std::to_string(n) + " q0=" + std::to_string(q0) + " q1=" + std::to_string(q1));
                const Matrix m = random_matrix(2, rng);
                Amps a = random_state(n, rng);
                StateVector<Real> s{unsigned(n)};
                load(s, a);
                apply_two_qubit_matrix(s, q0, q1, m);
                expect_near(read(s), ref::apply(a, {q0, q1}, {}, rounded<Real>(m)), kTolerance<Real>);
                for (int c : qubit_positions(n)) {
                    const std::vector<int> controls = {c, (c + 3) % n};
                    load(s, a);
                    apply_multi_controlled_two_qubit_matrix(s, q0, q1, controls, m);
                    bool never = false;
                    for (int x : controls) never = never || x == q0 || x == q1;
                    expect_near(read(s), never ? a : ref::apply(a, {q0, q1}, closed(controls), rounded<Real>(m)),
                                kTolerance<Real>);
                }
            }
    }
}

TYPED_TEST(KernelTest, ThreeQubitMatrix) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kSmallSizes) {
        if (n < 3) continue;
        const std::vector<int> positions = qubit_positions(n);
        for (size_t x = 0; x < positions.size(); ++x)
            for (size_t y = x + 1; y < positions.size(); ++y)
                for (size_t z = y + 1; z < positions.size(); ++z) {
                    const int lo = positions[x], mid = positions[y], hi = positions[z];
                    SCOPED_TRACE("n=" + std::to_string(n) + " targets " + std::to_string(lo) + "," +
                                 std::to_string(mid) + "," + std::to_string(hi));
                    const Matrix m = random_matrix(3, rng);
                    Amps a = random_state(n, rng);
                    StateVector<Real> s{unsigned(n)};
                    load(s, a);
                    apply_three_qubit_matrix(s, lo, mid, hi, m);
                    expect_near(read(s), ref::apply(a, {lo, mid, hi}, {}, rounded<Real>(m)), kTolerance<Real>);
                }
    }
}

TYPED_TEST(KernelTest, DispatchByControlCount) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    constexpr int kQubits = 5;
    const Matrix m1 = random_matrix(1, rng), m2 = random_matrix(2, rng);
    for (const std::vector<int>& controls : {std::vector<int>{}, {4}, {4, 2}, {4, 2, 3}}) {
        Amps a = random_state(kQubits, rng);
        StateVector<Real> s(kQubits);
        load(s, a);
        apply_single_qubit_matrix_ctrl(s, 0, controls, m1);
        expect_near(read(s), ref::apply(a, {0}, closed(controls), rounded<Real>(m1)), kTolerance<Real>);
        load(s, a);
        apply_two_qubit_matrix_ctrl(s, 1, 0, controls, m2);
        expect_near(read(s), ref::apply(a, {1, 0}, closed(controls), rounded<Real>(m2)), kTolerance<Real>);
    }
}

// --- threads ---------------------------------------------------------------

// Runs `kernel` inside a two-thread team on its first thread only, so the
// kernel's own region is nested and serial.
template <typename Real>
Amps serial_result(const Amps& start, const std::function<void(StateVector<Real>&)>& kernel) {
    Amps a = start;
    StateVector<Real> s(unsigned(std::log2(double(a.size()))));
    load(s, a);
#pragma omp parallel num_threads(2)
    {
        if (omp_get_thread_num() == 0) kernel(s);
    }
    return read(s);
}

TYPED_TEST(KernelTest, ThreadedRunsMatchReferenceAndSerialBitForBit) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    ASSERT_GT(thread_count_for(kThreadedQubits), 1) << "needs a machine with at least two hardware threads";
    const Matrix m1 = random_matrix(1, rng), m2 = random_matrix(2, rng), m3 = random_matrix(3, rng);
    const Matrix r1 = rounded<Real>(m1), r2 = rounded<Real>(m2), r3 = rounded<Real>(m3);
    using Kernel = std::function<void(StateVector<Real>&)>;
    struct Case {
        std::string name;
        Kernel kernel;
        std::function<Amps(const Amps&)> reference;
        bool exact;
    };
    std::vector<Case> cases;
    // Top-qubit pivots (target or controls on the highest qubit) leave a single block: the split runs inside it.
    for (int t : {0, 1, 2, 3, 7, kThreadedQubits - 1}) {
        const int c = t == kThreadedQubits - 1 ? 0 : kThreadedQubits - 1;
        const int u = (t + 1) % kThreadedQubits, v = (t + 2) % kThreadedQubits;
        const std::string at = " t=" + std::to_string(t);
        cases.push_back({"h" + at, [=](auto& s) { apply_h(s, t); },
                         [=](const Amps& a) { return reference_pair(a, t, {}, reference_h<Real>()); }, true});
        cases.push_back({"z" + at, [=](auto& s) { apply_z(s, t); },
                         [=](const Amps& a) { return reference_pair(a, t, {}, kRefZ); }, true});
        cases.push_back({"t" + at, [=](auto& s) { apply_t(s, t); },
                         [=](const Amps& a) { return reference_pair(a, t, {}, kRefT); }, false});
        cases.push_back({"cx" + at, [=](auto& s) { apply_cx(s, c, t); },
                         [=](const Amps& a) { return reference_pair(a, t, {c}, kRefX); }, true});
        cases.push_back({"cz" + at, [=](auto& s) { apply_cz(s, c, t); },
                         [=](const Amps& a) { return reference_pair(a, t, {c}, kRefZ); }, true});
        cases.push_back({"ccx" + at, [=](auto& s) { apply_ccx(s, c, u == c ? v : u, t); },
                         [=](const Amps& a) {
                             return reference_pair(a, t, {c, u == c ? v : u}, kRefX);
                         },
                         true});
        cases.push_back({"swap" + at, [=](auto& s) { apply_swap(s, t, c); },
                         [=](const Amps& a) {
                             return ref::apply(a, {t, c}, {}, {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1});
                         },
                         true});
        cases.push_back({"matrix" + at, [=](auto& s) { apply_single_qubit_matrix(s, t, m1); },
                         [=](const Amps& a) { return ref::apply(a, {t}, {}, r1); }, false});
        cases.push_back({"controlled matrix" + at, [=](auto& s) { apply_controlled_single_qubit_matrix(s, c, t, m1); },
                         [=](const Amps& a) { return ref::apply(a, {t}, {c}, r1); }, false});
        cases.push_back({"multi-controlled matrix" + at,
                         [=](auto& s) {
                             apply_multi_controlled_single_qubit_matrix(s, t, {c, 5 + (t == 5)}, m1);
                         },
                         [=](const Amps& a) {
                             return ref::apply(a, {t}, {c, 5 + (t == 5)}, r1);
                         },
                         false});
        cases.push_back({"two-qubit" + at, [=](auto& s) { apply_two_qubit_matrix(s, c, t, m2); },
                         [=](const Amps& a) {
                             return ref::apply(a, {c, t}, {}, r2);
                         },
                         false});
        cases.push_back({"multi-controlled two-qubit" + at,
                         [=](auto& s) { apply_multi_controlled_two_qubit_matrix(s, t, c, {8 + (t == 8)}, m2); },
                         [=](const Amps& a) {
                             return ref::apply(a, {t, c}, {8 + (t == 8)}, r2);
                         },
                         false});
        cases.push_back({"three-qubit" + at, [=](auto& s) { apply_three_qubit_matrix(s, v, t, u, m3); },
                         [=](const Amps& a) {
                             return ref::apply(a, {v, t, u}, {}, r3);
                         },
                         false});
    }
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Amps a = random_state(kThreadedQubits, rng);
        StateVector<Real> s(kThreadedQubits);
        load(s, a);
        k.kernel(s);
        const Amps got = read(s);
        expect_exact(got, serial_result<Real>(a, k.kernel));
        if (k.exact) expect_exact(got, k.reference(a));
        else expect_near(got, k.reference(a), kTolerance<Real>);
    }
}

// --- edge cases ------------------------------------------------------------

TYPED_TEST(KernelTest, FreshStates) {
    using Real = TypeParam;
    StateVector<Real> empty(0);
    EXPECT_EQ(empty.dim, 1u);
    EXPECT_EQ(read(empty), Amps{1});
    StateVector<Real> three(3);
    EXPECT_EQ(three.num_qubits, 3u);
    EXPECT_EQ(read(three), (Amps{1, 0, 0, 0, 0, 0, 0, 0}));
    StateVector<Real> threaded(kThreadedQubits);
    Amps want(threaded.dim);
    want[0] = 1;
    EXPECT_EQ(read(threaded), want);
    for (const Real* p : {three.re, three.im, threaded.re, threaded.im})
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kStateAlignment, 0u);
}

TYPED_TEST(KernelTest, SwapOfEqualQubitsIsNoOperation) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int q = 0; q < 4; ++q) {
        Amps a = random_state(4, rng);
        StateVector<Real> s(4);
        load(s, a);
        apply_swap(s, q, q);
        expect_exact(read(s), a);
    }
}

TYPED_TEST(KernelTest, TwoTargetOrderFollowsTheFirstListedQubit) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    const Matrix swap = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    Amps a = random_state(3, rng);
    StateVector<Real> s(3);
    load(s, a);
    apply_two_qubit_matrix(s, 2, 0, swap);
    const Amps reversed = read(s);
    load(s, a);
    apply_two_qubit_matrix(s, 0, 2, swap);
    expect_near(read(s), reversed, kTolerance<Real>);
    // Non-symmetric: |0> on qubit 2 and |1> on qubit 0 (index 1) goes to row 1 of column 2 of M,
    // since qubit 2 carries bit 0 of the matrix index.
    Matrix m(16);
    m[1 * 4 + 2] = 1;
    StateVector<Real> basis(3);
    apply_x(basis, 0);
    apply_two_qubit_matrix(basis, 2, 0, m);
    Amps want(8);
    want[4] = 1;
    expect_exact(read(basis), want);
}

TYPED_TEST(KernelTest, ControlledZIsSymmetric) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int c = 0; c < 5; ++c)
        for (int t = 0; t < 5; ++t) {
            Amps a = random_state(5, rng);
            StateVector<Real> x(5), y(5);
            load(x, a);
            load(y, a);
            apply_cz(x, c, t);
            apply_cz(y, t, c);
            expect_exact(read(x), read(y));
        }
}

TYPED_TEST(KernelTest, SignFlipsTurnPositiveZeroNegative) {
    using Real = TypeParam;
    for (int n : {1, 5}) {
        StateVector<Real> s{unsigned(n)};
        apply_z(s, 0);  // amplitude 1 has qubit 0 clear and keeps its value
        for (uint64_t k = 1; k < s.dim; k += 2) {
            EXPECT_TRUE(std::signbit(s.re[k]));
            EXPECT_TRUE(std::signbit(s.im[k]));
        }
        EXPECT_FALSE(std::signbit(s.re[0]));
        EXPECT_EQ(s.re[0], Real(1));
    }
}

TYPED_TEST(KernelTest, XTwiceRestoresTheState) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kAllSizes)
        for (int t : qubit_positions(n)) {
            SCOPED_TRACE("n=" + std::to_string(n) + " t=" + std::to_string(t));
            Amps a = random_state(n, rng);
            StateVector<Real> s{unsigned(n)};
            load(s, a);
            apply_x(s, t);
            apply_x(s, t);
            expect_exact(read(s), a);
        }
}

TEST(KernelPrecisionTest, FloatFollowsDouble) {
    std::mt19937_64 rng(kSeed);
    constexpr int kQubits = 7;
    const Matrix m1 = random_matrix(1, rng), m2 = random_matrix(2, rng);
    Amps a = random_state(kQubits, rng);
    StateVector<float> f(kQubits);
    load(f, a);  // a now holds float-exact values for both states
    StateVector<double> d(kQubits);
    load(d, a);
    auto circuit = [&](auto& s) {
        for (int q = 0; q < kQubits; ++q) {
            apply_h(s, q);
            apply_t(s, (q + 2) % kQubits);
            apply_single_qubit_matrix(s, q, m1);
            apply_cx(s, q, (q + 1) % kQubits);
            apply_two_qubit_matrix(s, (q + 3) % kQubits, q, m2);
        }
    };
    circuit(f);
    circuit(d);
    const Amps fd = read(f), dd = read(d);
    double norm = 0;
    for (const C& x : dd) norm = std::max(norm, std::abs(x));
    expect_near(fd, dd, 1e-5 * norm * kQubits);
}

TYPED_TEST(KernelTest, MultiControlledWithControlOnTargetNeverActs) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    const Matrix m = random_matrix(1, rng);
    for (int t = 0; t < 5; ++t) {
        Amps a = random_state(5, rng);
        StateVector<Real> s(5);
        load(s, a);
        apply_multi_controlled_single_qubit_matrix(s, t, {(t + 1) % 5, t}, m);
        expect_exact(read(s), a);
    }
}

TYPED_TEST(KernelTest, RefusesInputOutsideTheState) {
    using Real = TypeParam;
    StateVector<Real> s(3);
    const Matrix m1(4), m2(16), m3(64);
    EXPECT_THROW(apply_x(s, 3), std::out_of_range);
    EXPECT_THROW(apply_h(s, -1), std::out_of_range);
    EXPECT_THROW(apply_cx(s, 5, 0), std::out_of_range);
    EXPECT_THROW(apply_swap(s, 0, 3), std::out_of_range);
    EXPECT_THROW(apply_ccx(s, 0, 1, 7), std::out_of_range);
    EXPECT_THROW(apply_multi_controlled_single_qubit_matrix(s, 0, {1, 3}, m1), std::out_of_range);
    EXPECT_THROW(apply_multi_controlled_two_qubit_matrix(s, 0, 1, {-2}, m2), std::out_of_range);
    EXPECT_THROW(apply_two_qubit_matrix(s, 1, 1, m2), std::invalid_argument);
    EXPECT_THROW(apply_three_qubit_matrix(s, 0, 2, 2, m3), std::invalid_argument);
    EXPECT_THROW(apply_single_qubit_matrix(s, 0, m2), std::invalid_argument);
    EXPECT_THROW(apply_two_qubit_matrix(s, 0, 1, m1), std::invalid_argument);
    EXPECT_THROW(apply_three_qubit_matrix(s, 0, 1, 2, m2), std::invalid_argument);
    try {
        apply_z(s, 4);
        ADD_FAILURE() << "apply_z accepted qubit 4 of 3";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "apply_z: qubit 4 out of range for 3 qubits");
    }
    EXPECT_EQ(read(s), (Amps{1, 0, 0, 0, 0, 0, 0, 0}));
}

// --- state vector limits ---------------------------------------------------

template <typename Real>
std::string construction_error(unsigned n) {
    try {
        StateVector<Real> s(n);
        return "";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

TYPED_TEST(KernelTest, StateVectorRefusesUnsupportedSizes) {
    using Real = TypeParam;
    for (unsigned n : {63u, 64u, 1000u, unsigned(-1), unsigned(-62)})
        EXPECT_EQ(construction_error<Real>(n), "StateVector: num_qubits out of supported range") << n;
    // 2^61 or 2^62 amplitudes cannot be held here; a wrapped byte count would have
    // returned an undersized state instead of this error.
    // 45 qubits need more than any machine this runs on: refused before the allocator overcommits.
    for (unsigned n : {45u, 61u, 62u})
        EXPECT_EQ(construction_error<Real>(n), "Failed to allocate memory for StateVector") << n;
}

}  // namespace
}  // namespace wavesim

// Every kernel call against plain scalar references: the shared index loop
// over std::complex<double> (scalar_reference.test.h, checked here against
// Kronecker-expanded full matrices) and pair updates written here from the
// gate definitions; both precisions, every target and control position
// (closed and open controls) on small states and on 16 qubits, where a
// parallel region's shares and the calling thread give the same bits.
#include "wavesim/kernels/kernel_call.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "wavesim/base/threads.h"
#include "wavesim/kernels/unit_walk.h"
#include "wavesim/testing/instructions.h"
#include "wavesim/testing/scalar_reference.h"

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

using scalar_reference::random_state;

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

// --- kernel calls ---------------------------------------------------------

uint64_t mask_of(const std::vector<int>& qubits) {
    uint64_t mask = 0;
    for (int q : qubits) mask |= bit(q);
    return mask;
}

KernelCall fixed(KernelGate gate, int t, const std::vector<int>& ones = {}, const std::vector<int>& zeros = {}) {
    KernelCall call;
    call.gate = gate;
    call.targets[0] = t;
    call.ones = mask_of(ones);
    call.zeros = mask_of(zeros);
    return call;
}

KernelCall swap_call(int q0, int q1) {
    KernelCall call = fixed(KernelGate::kSwap, q0);
    call.num_targets = 2;
    call.targets[1] = q1;
    return call;
}

KernelCall matrix_call(const Matrix& m, const std::vector<int>& targets, const std::vector<int>& ones = {},
                       const std::vector<int>& zeros = {}) {
    KernelCall call = fixed(KernelGate::kMatrix, targets[0], ones, zeros);
    call.num_targets = int(targets.size());
    for (size_t j = 0; j < targets.size(); ++j) call.targets[j] = targets[j];
    call.matrix = &m;
    return call;
}

template <typename Real>
void run(StateVector<Real>& s, const KernelCall& call, ThreadTeam team = {kHardwareThreads}) {
    run_kernel_call(s, call, team);
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
using testing_support::Precisions;
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
    KernelGate gate;
    PairUpdate update;
    bool exact;
};

template <typename Real>
std::vector<FixedSingle<Real>> fixed_single_gates() {
    return {
        {"x", KernelGate::kX, kRefX, true},  {"y", KernelGate::kY, kRefY, true},
        {"z", KernelGate::kZ, kRefZ, true},  {"h", KernelGate::kH, reference_h<Real>(), true},
        {"s", KernelGate::kS, kRefS, true},  {"sdg", KernelGate::kSdg, kRefSdg, true},
        {"t", KernelGate::kT, kRefT, false}, {"tdg", KernelGate::kTdg, kRefTdg, false},
    };
}

// Every fixed gate, alone and under a closed and an open control.
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
                run(s, fixed(gate.gate, t));
                const Amps want = reference_pair(a, t, {}, gate.update);
                if (gate.exact) expect_exact(read(s), want);
                else expect_near(read(s), want, kTolerance<Real>);
                if (n < 3) continue;
                const int c = (t + 1) % n, o = (t + 2) % n;
                load(s, a);
                run(s, fixed(gate.gate, t, {c}, {o}));
                Amps flipped = a;  // the open control is a closed one between two X gates
                flipped = reference_pair(flipped, o, {}, kRefX);
                flipped = reference_pair(flipped, t, {c, o}, gate.update);
                flipped = reference_pair(flipped, o, {}, kRefX);
                if (gate.exact) expect_exact(read(s), flipped);
                else expect_near(read(s), flipped, kTolerance<Real>);
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
                run(s, fixed(KernelGate::kX, t, {c}));
                // Equal control and target: the pair has bit t = 0, so the control never holds.
                expect_exact(read(s), c == t ? a : reference_pair(a, t, {c}, kRefX));
                load(s, a);
                run(s, fixed(KernelGate::kZ, t, {c}));
                // Equal qubits: every index with that bit 1 has both bits 1, so CZ acts as Z.
                expect_exact(read(s), c == t ? reference_pair(a, t, {}, kRefZ) : reference_pair(a, t, {c}, kRefZ));
                load(s, a);
                run(s, swap_call(c, t));
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
                    run(s, fixed(KernelGate::kX, t, {c0, c1}));
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
            const Matrix r = rounded<Real>(m);
            Amps a = random_state(n, rng);
            StateVector<Real> s{unsigned(n)};
            load(s, a);
            run(s, matrix_call(m, {t}));
            expect_near(read(s), ref::apply(a, {t}, {}, r), kTolerance<Real>);
            for (int c : qubit_positions(n)) {
                SCOPED_TRACE("n=" + std::to_string(n) + " t=" + std::to_string(t) + " c=" + std::to_string(c));
                load(s, a);
                run(s, matrix_call(m, {t}, {c}));
                expect_near(read(s), c == t ? a : ref::apply(a, {t}, {c}, r), kTolerance<Real>);
                for (int c2 : qubit_positions(n)) {
                    const std::vector<int> controls = {c2, c};
                    const bool never = c == t || c2 == t;
                    load(s, a);
                    run(s, matrix_call(m, {t}, controls));
                    expect_near(read(s), never ? a : ref::apply(a, {t}, closed(controls), r), kTolerance<Real>);
                    if (c2 == c) continue;
                    load(s, a);
                    run(s, matrix_call(m, {t}, {c}, {c2}));
                    expect_near(read(s), never ? a : ref::apply(a, {t}, {Control(c), Control(c2, 0)}, r),
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
                const Matrix r = rounded<Real>(m);
                Amps a = random_state(n, rng);
                StateVector<Real> s{unsigned(n)};
                load(s, a);
                run(s, matrix_call(m, {q0, q1}));
                expect_near(read(s), ref::apply(a, {q0, q1}, {}, r), kTolerance<Real>);
                for (int c : qubit_positions(n)) {
                    const int other = (c + 3) % n;
                    const bool never = c == q0 || c == q1 || other == q0 || other == q1;
                    load(s, a);
                    run(s, matrix_call(m, {q0, q1}, {c, other}));
                    expect_near(read(s), never ? a : ref::apply(a, {q0, q1}, closed({c, other}), r), kTolerance<Real>);
                    if (other == c) continue;
                    load(s, a);
                    run(s, matrix_call(m, {q0, q1}, {other}, {c}));
                    expect_near(read(s), never ? a : ref::apply(a, {q0, q1}, {Control(other), Control(c, 0)}, r),
                                kTolerance<Real>);
                }
            }
    }
}

// Three and four targets (fused gates) at every set of positions of small
// states, in and above the register, each set in a scrambled order.
TYPED_TEST(KernelTest, ThreeAndFourQubitMatrices) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int n : kSmallSizes)
        for (int k : {3, 4}) {
            const std::vector<int> positions = qubit_positions(n);
            for (unsigned subset = 0; subset < (1u << positions.size()); ++subset) {
                if (__builtin_popcount(subset) != k) continue;
                std::vector<int> targets;
                for (size_t p = 0; p < positions.size(); ++p)
                    if ((subset >> p) & 1u) targets.push_back(positions[p]);
                // Any order of the targets: bit j of the matrix index is targets[j].
                std::rotate(targets.begin(), targets.begin() + 1, targets.end());
                std::swap(targets[0], targets[k - 1]);
                std::string trace = "n=" + std::to_string(n) + " targets";
                for (int t : targets) trace += " " + std::to_string(t);
                SCOPED_TRACE(trace);
                const Matrix m = random_matrix(k, rng);
                Amps a = random_state(n, rng);
                StateVector<Real> s{unsigned(n)};
                load(s, a);
                run(s, matrix_call(m, targets));
                expect_near(read(s), ref::apply(a, targets, {}, rounded<Real>(m)), kTolerance<Real>);
            }
        }
}

// A diagonal on 1 ... 8 targets anywhere (lanes and above, any order): every
// amplitude times the entry its bits at the targets pick, one complex
// product in the state's precision, bit for bit.
TYPED_TEST(KernelTest, DiagonalOnManyTargets) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    std::normal_distribution<double> normal;
    for (int n : kAllSizes)
        for (int k = 1; k <= std::min(n, kMaxDiagonalTargets); ++k) {
            std::vector<int> targets(static_cast<size_t>(n), 0);
            for (int q = 0; q < n; ++q) targets[size_t(q)] = q;
            std::shuffle(targets.begin(), targets.end(), rng);
            targets.resize(size_t(k));
            SCOPED_TRACE("n=" + std::to_string(n) + " k=" + std::to_string(k) + " first " +
                         std::to_string(targets[0]));
            Matrix entries(size_t{1} << k);
            for (C& e : entries) e = {normal(rng), normal(rng)};
            KernelCall call;
            call.gate = KernelGate::kDiagonal;
            call.num_targets = k;
            std::copy(targets.begin(), targets.end(), call.targets);
            call.matrix = &entries;
            StateVector<Real> s{unsigned(n)};
            Amps start = random_state(n, rng);
            load(s, start);
            Amps want = read(s);
            for (size_t i = 0; i < want.size(); ++i) {
                size_t e = 0;
                for (int j = 0; j < k; ++j) e |= size_t((i >> targets[size_t(j)]) & 1) << j;
                const Real er = Real(entries[e].real()), ei = Real(entries[e].imag());
                const Real r = Real(want[i].real()), m = Real(want[i].imag());
                const Real m_ei = m * ei, m_er = m * er;
                want[i] = {double(std::fma(r, er, -m_ei)), double(std::fma(r, ei, m_er))};
            }
            run(s, call);
            expect_exact(read(s), want);
        }
}

// --- structured forms ------------------------------------------------------

// A random matrix on `targets` targets whose entries of the kinds outside
// real_kinds (imag_kinds) have a zero real (imaginary) part.
Matrix structured_matrix(int targets, unsigned real_kinds, unsigned imag_kinds, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    const size_t size = size_t{1} << targets;
    Matrix m(size * size);
    for (size_t r = 0; r < size; ++r)
        for (size_t c = 0; c < size; ++c) {
            const unsigned kind = entry_kind(r, c, size);
            m[r * size + c] = {real_kinds & kind ? normal(rng) : 0.0, imag_kinds & kind ? normal(rng) : 0.0};
        }
    return m;
}

// Amplitudes with exact zeros of both signs among them.
Amps state_with_zeros(int n, std::mt19937_64& rng) {
    Amps a = random_state(n, rng);
    std::uniform_int_distribution<int> pick(0, 3);
    for (C& x : a) {
        const int which = pick(rng);
        if (which == 1) x = {0.0, x.imag()};
        if (which == 2) x = {x.real(), -0.0};
        if (which == 3) x = {-0.0, 0.0};
    }
    return a;
}

bool equal_values(const Amps& a, const Amps& b) {
    for (size_t k = 0; k < a.size(); ++k)
        if (!(a[k] == b[k])) return false;
    return true;
}

// A random dense matrix on `targets` targets whose sums repeat as `sums` says
// (gates/matrix_form.h); row relations are for one target only.
Matrix shared_sums_matrix(int targets, unsigned sums, std::mt19937_64& rng) {
    Matrix m = random_matrix(targets, rng);
    for (C& x : m) {
        if (sums == kImagRepeatsReal) x = {x.real(), x.real()};
        if (sums == kImagNegatesReal) x = {x.real(), -x.real()};
    }
    for (size_t c = 0; c < 2 && targets == 1; ++c) {
        if (sums == kRowRepeatsReal) m[2 + c] = std::conj(m[c]);
        if (sums == kRowRepeatsImag) m[2 + c] = -std::conj(m[c]);
    }
    return m;
}

// Whatever form kernel_form_of picks for a matrix with known zero entries or
// repeated sums, its kernel gives values equal to the dense kernel's, on one
// and two targets at every position, alone and under closed and open
// controls, on random states and on states with exact zeros.
TYPED_TEST(KernelTest, StructuredFormsEqualTheDenseKernel) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    constexpr int kQubits = 7;
    std::uniform_int_distribution<unsigned> kinds(0, kAllEntries);
    std::vector<Matrix> matrices;
    int structured = 0;
    for (int targets = 1; targets <= 2; ++targets) {
        for (int trial = 0; trial < 40; ++trial) {
            matrices.push_back(structured_matrix(targets, kinds(rng), kinds(rng), rng));
            structured += kernel_form_of(matrices.back()) != kDenseForm;
        }
        for (unsigned sums : {kImagRepeatsReal, kImagNegatesReal, kRowRepeatsReal, kRowRepeatsImag})
            if (targets == 1 || sums == kImagRepeatsReal || sums == kImagNegatesReal) {
                matrices.push_back(shared_sums_matrix(targets, sums, rng));
                EXPECT_EQ(kernel_form_of(matrices.back()), with_shared_sums(kDenseForm, sums));
            }
    }
    EXPECT_GT(structured, 12);  // a good share of random structures have a kernel of their own
    for (const Matrix& m : matrices) {
        const int targets = m.size() == 4 ? 1 : 2;
        const unsigned form = kernel_form_of(m);
        for (int t : qubit_positions(kQubits)) {
            std::vector<int> on = {t};
            if (targets == 2) on.push_back((t + 3) % kQubits);
            const int c = (t + 1) % kQubits, o = (t + 5) % kQubits;
            for (const KernelCall& dense : {matrix_call(m, on), matrix_call(m, on, {c}, {o})}) {
                SCOPED_TRACE("form " + std::to_string(form) + " t=" + std::to_string(t));
                KernelCall shaped = dense;
                shaped.form = form;
                for (Amps a : {random_state(kQubits, rng), state_with_zeros(kQubits, rng)}) {
                    StateVector<Real> x(kQubits), y(kQubits);
                    load(x, a);
                    load(y, a);
                    run(x, shaped);
                    run(y, dense);
                    EXPECT_TRUE(equal_values(read(x), read(y)));
                }
            }
        }
    }
}

// --- the adjoint step --------------------------------------------------------

// Above any cross form of a random matrix of normal entries on normalised halves.
constexpr double kSumBound = 64.0;

// Re sum over the groups where the controls hold of conj(bra_r) m[r][c] ket_c:
// m applied with a zero matrix subtracted leaves m ket on those groups and 0 elsewhere.
double cross_reference(const Amps& ket, const Amps& bra, const std::vector<int>& targets,
                       const std::vector<Control>& controls, const Matrix& m) {
    const Amps with = ref::apply(ket, targets, controls, m);
    const Amps without = ref::apply(ket, targets, controls, Matrix(m.size()));
    double sum = 0;
    for (size_t k = 0; k < ket.size(); ++k) sum += (std::conj(bra[k]) * (with[k] - without[k])).real();
    return sum;
}

// kCrossFormThenMatrix on a state whose halves (bra qubit n) hold a ket and a
// bra: its sums are the scalar cross forms, the same bits from a region and
// from the calling thread, and each half afterwards is, bit for bit, what the
// matrix kernel makes of it alone; every form, 1 and 2 targets at every
// position, closed and open controls, up to four reads.
TYPED_TEST(KernelTest, CrossFormThenMatrixReadsThenAppliesToBothHalves) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    std::uniform_int_distribution<unsigned> kinds(0, kAllEntries);
    std::uniform_int_distribution<int> reads(1, kMaxCrossForms);
    for (int n : {3, 6, kThreadedQubits - 1})
        for (int targets = 1; targets <= 2; ++targets)
            for (int t : qubit_positions(n)) {
                const std::vector<int> on = targets == 1 ? std::vector<int>{t} : std::vector<int>{t, (t + 1) % n};
                const Matrix u = structured_matrix(targets, kinds(rng), kinds(rng), rng);
                const unsigned form = kernel_form_of(u);
                Matrix all = u;
                std::vector<Matrix> forms;
                for (int m = reads(rng); m > 0; --m) {
                    forms.push_back(structured_matrix(targets, real_kinds(read_form_of(form)),
                                                      imag_kinds(read_form_of(form)), rng));
                    all.insert(all.end(), forms.back().begin(), forms.back().end());
                }
                const int c = (t + 2) % n, o = (t + 3) % n;
                const bool controlled = targets == 1 && n > 3;
                std::vector<Control> controls;
                if (controlled) controls = {Control(c), Control(o, 0)};
                SCOPED_TRACE("n=" + std::to_string(n) + " t=" + std::to_string(t) + " form " + std::to_string(form));
                Amps ket = random_state(n, rng), bra = random_state(n, rng);
                StateVector<Real> ket_alone{unsigned(n)}, bra_alone{unsigned(n)};
                load(ket_alone, ket);
                load(bra_alone, bra);
                KernelCall alone = matrix_call(u, on, controlled ? std::vector<int>{c} : std::vector<int>{},
                                               controlled ? std::vector<int>{o} : std::vector<int>{});
                alone.form = form;
                run(ket_alone, alone);
                run(bra_alone, alone);
                for (ThreadTeam team : {ThreadTeam{kHardwareThreads}, ThreadTeam{1}}) {
                    StateVector<Real> both(unsigned(n + 1));
                    for (uint64_t k = 0; k < ket.size(); ++k) {
                        both.re[k] = Real(ket[k].real()), both.im[k] = Real(ket[k].imag());
                        both.re[k + ket.size()] = Real(bra[k].real()), both.im[k + ket.size()] = Real(bra[k].imag());
                    }
                    std::vector<ExactSum> slots(size_t(kHardwareThreads) * forms.size(), ExactSum(kSumBound));
                    KernelCall call = alone;
                    call.gate = KernelGate::kCrossFormThenMatrix;
                    call.targets[call.num_targets++] = n;
                    call.matrix = &all;
                    call.sums = {slots.data(), forms.size()};
                    run_kernel_call(both, call, team);
                    for (size_t m = 0; m < forms.size(); ++m) {
                        ExactSum total(kSumBound);
                        for (size_t at = m; at < slots.size(); at += forms.size()) total.add(slots[at]);
                        const double want = cross_reference(ket, bra, on, controls, rounded<Real>(forms[m]));
                        EXPECT_NEAR(total.value(), want, 100 * kTolerance<Real>);
                    }
                    EXPECT_EQ(std::memcmp(both.re, ket_alone.re, ket_alone.component_bytes()), 0);
                    EXPECT_EQ(std::memcmp(both.im, ket_alone.im, ket_alone.component_bytes()), 0);
                    EXPECT_EQ(std::memcmp(both.re + ket.size(), bra_alone.re, bra_alone.component_bytes()), 0);
                    EXPECT_EQ(std::memcmp(both.im + ket.size(), bra_alone.im, bra_alone.component_bytes()), 0);
                }
            }
}

// The reads of the two runs of one call are the same bits: partial sums over
// fixed unit ranges, added exactly.
TYPED_TEST(KernelTest, CrossFormSumsDoNotDependOnTheThreads) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    const int n = kThreadedQubits;
    Amps a = random_state(n + 1, rng);
    const Matrix u = random_matrix(1, rng);
    Matrix all = u;
    for (int m = 0; m < 2; ++m) {
        const Matrix form = random_matrix(1, rng);
        all.insert(all.end(), form.begin(), form.end());
    }
    double first[2] = {};
    for (ThreadTeam team : {ThreadTeam{kHardwareThreads}, ThreadTeam{1}}) {
        StateVector<Real> s(unsigned(n + 1));
        load(s, a);
        std::vector<ExactSum> slots(size_t(kHardwareThreads) * 2, ExactSum(kSumBound));
        KernelCall call = matrix_call(u, {n - 2, n});
        call.gate = KernelGate::kCrossFormThenMatrix;
        call.matrix = &all;
        call.sums = {slots.data(), 2};
        run_kernel_call(s, call, team);
        for (size_t m = 0; m < 2; ++m) {
            ExactSum total(kSumBound);
            for (size_t at = m; at < slots.size(); at += 2) total.add(slots[at]);
            const double value = total.value();
            if (team.threads > 1) first[m] = value;
            else EXPECT_EQ(std::memcmp(&first[m], &value, sizeof value), 0);
        }
    }
}

TEST(KernelForm, CoversTheEntriesWithTheFewestProducts) {
    const C i(0, 1);
    const double c = std::cos(0.3), s = std::sin(0.3);
    const unsigned diagonal = matrix_form(kDiagonalEntry, kDiagonalEntry);
    EXPECT_EQ(kernel_form_of({C(c, -s), 0, 0, C(c, s)}), diagonal);                                      // RZ
    EXPECT_EQ(kernel_form_of({c, -s, s, c}), matrix_form(kDiagonalEntry | kAntiDiagonalEntry, 0));       // RY
    EXPECT_EQ(kernel_form_of({c, -i * s, -i * s, c}), matrix_form(kDiagonalEntry, kAntiDiagonalEntry));  // RX
    EXPECT_EQ(kernel_form_of({0, 1, 1, 0}), matrix_form(kAntiDiagonalEntry, 0));                         // X
    EXPECT_EQ(kernel_form_of({0, -i, i, 0}), matrix_form(0, kAntiDiagonalEntry));                        // Y
    EXPECT_EQ(kernel_form_of({1, 0, 0, -1}), matrix_form(kDiagonalEntry, 0));                            // Z
    EXPECT_EQ(kernel_form_of({C(c, -s), 0, 0, 0, 0, C(c, s), 0, 0, 0, 0, C(c, s), 0, 0, 0, 0, C(c, -s)}),
              diagonal);  // RZZ
    EXPECT_EQ(kernel_form_of({c, 0, 0, -i * s, 0, c, -i * s, 0, 0, -i * s, c, 0, -i * s, 0, 0, c}),
              matrix_form(kDiagonalEntry, kAntiDiagonalEntry));  // RXX
    EXPECT_EQ(kernel_form_of({1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}),
              matrix_form(kDiagonalEntry | kAntiDiagonalEntry, 0));                                         // SWAP
    EXPECT_EQ(kernel_form_of({0.5, 0.5, 0.5, -0.5}), matrix_form(kDiagonalEntry | kAntiDiagonalEntry, 0));  // H
    EXPECT_EQ(kernel_form_of({C(0.5, 0.5), C(0.5, -0.5), C(0.5, -0.5), C(0.5, 0.5)}),
              with_shared_sums(kDenseForm, kRowRepeatsReal));  // SX
    EXPECT_EQ(kernel_form_of({C(0.5, 0.5), C(-0.5, -0.5), C(0.5, 0.5), C(0.5, 0.5)}),
              with_shared_sums(kDenseForm, kImagRepeatsReal));  // SY
    EXPECT_EQ(kernel_form_of({C(0.5, -0.5), C(0.5, -0.5), C(-0.5, 0.5), C(0.5, -0.5)}),
              with_shared_sums(kDenseForm, kImagNegatesReal));  // SY dagger
    EXPECT_EQ(kernel_form_of({C(0.6, 0.8), C(0.0, 0.0), C(0.3, 0.1), C(0.2, 0.7)}), kDenseForm);
    EXPECT_EQ(kernel_form_of({C(c, std::nan("")), 0, 0, 1}), kDenseForm);
    EXPECT_EQ(kernel_form_of({std::numeric_limits<double>::infinity(), 0, 0, 1}), kDenseForm);
    EXPECT_EQ(kernel_form_of(Matrix(64, 0.0)), kDenseForm);  // three targets: always dense
}

// --- threads ---------------------------------------------------------------

// The static shares of a region cover every unit once, in order, as equal as
// the division allows, whatever the team.
TEST(StaticShare, CoversEveryUnitOnceInOrder) {
    for (uint64_t units : {0u, 1u, 2u, 7u, 64u, 1000u})
        for (int threads : {1, 2, 3, 5, 8}) {
            uint64_t next = 0;
            uint64_t smallest = units, largest = 0;
            for (int t = 0; t < threads; ++t) {
                const UnitRange share = static_share(units, t, threads);
                EXPECT_EQ(share.begin, next);
                smallest = std::min(smallest, share.end - share.begin);
                largest = std::max(largest, share.end - share.begin);
                next = share.end;
            }
            EXPECT_EQ(next, units);
            EXPECT_LE(largest - smallest, 1u);
        }
}

// A call in its own region (shares split among the rule's threads) and on
// the calling thread alone give the same bits, and the scalar reference's
// values, on 16 qubits with pivots at both ends.
TYPED_TEST(KernelTest, ParallelAndCallingThreadRunsAgreeBitForBit) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    const Matrix m1 = random_matrix(1, rng), m2 = random_matrix(2, rng), m3 = random_matrix(3, rng);
    const Matrix r1 = rounded<Real>(m1), r2 = rounded<Real>(m2), r3 = rounded<Real>(m3);
    const Matrix m4 = random_matrix(4, rng), r4 = rounded<Real>(m4);
    const Matrix swap = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    struct Case {
        std::string name;
        KernelCall call;
        std::function<Amps(const Amps&)> reference;
        bool exact;
    };
    std::vector<Case> cases;
    // Top-qubit pivots (target or controls on the highest qubit) leave a single block: the split runs inside it.
    for (int t : {0, 1, 2, 3, 7, kThreadedQubits - 1}) {
        const int c = t == kThreadedQubits - 1 ? 0 : kThreadedQubits - 1;
        const int u = (t + 1) % kThreadedQubits, v = (t + 2) % kThreadedQubits;
        const int w = u == c ? v : u;
        const std::string at = " t=" + std::to_string(t);
        cases.push_back({"h" + at, fixed(KernelGate::kH, t),
                         [=](const Amps& a) { return reference_pair(a, t, {}, reference_h<Real>()); }, true});
        cases.push_back(
            {"z" + at, fixed(KernelGate::kZ, t), [=](const Amps& a) { return reference_pair(a, t, {}, kRefZ); }, true});
        cases.push_back({"t" + at, fixed(KernelGate::kT, t),
                         [=](const Amps& a) { return reference_pair(a, t, {}, kRefT); }, false});
        cases.push_back({"cx" + at, fixed(KernelGate::kX, t, {c}),
                         [=](const Amps& a) { return reference_pair(a, t, {c}, kRefX); }, true});
        cases.push_back({"cz" + at, fixed(KernelGate::kZ, t, {c}),
                         [=](const Amps& a) { return reference_pair(a, t, {c}, kRefZ); }, true});
        cases.push_back({"ccx" + at, fixed(KernelGate::kX, t, {c, w}),
                         [=](const Amps& a) {
                             return reference_pair(a, t, {c, w}, kRefX);
                         },
                         true});
        cases.push_back({"swap" + at, swap_call(t, c),
                         [=](const Amps& a) {
                             return ref::apply(a, {t, c}, {}, swap);
                         },
                         true});
        cases.push_back(
            {"matrix" + at, matrix_call(m1, {t}), [=](const Amps& a) { return ref::apply(a, {t}, {}, r1); }, false});
        cases.push_back({"controlled matrix" + at, matrix_call(m1, {t}, {c}),
                         [=](const Amps& a) { return ref::apply(a, {t}, {c}, r1); }, false});
        cases.push_back({"open-controlled matrix" + at, matrix_call(m1, {t}, {c}, {w}),
                         [=](const Amps& a) {
                             return ref::apply(a, {t}, {Control(c), Control(w, 0)}, r1);
                         },
                         false});
        cases.push_back({"two-qubit" + at, matrix_call(m2, {c, t}),
                         [=](const Amps& a) {
                             return ref::apply(a, {c, t}, {}, r2);
                         },
                         false});
        cases.push_back({"controlled two-qubit" + at, matrix_call(m2, {t, c}, {8 + (t == 8)}),
                         [=](const Amps& a) {
                             return ref::apply(a, {t, c}, {8 + (t == 8)}, r2);
                         },
                         false});
        cases.push_back({"three-qubit" + at, matrix_call(m3, {v, t, u}),
                         [=](const Amps& a) {
                             return ref::apply(a, {v, t, u}, {}, r3);
                         },
                         false});
        const int x = (t + 3) % kThreadedQubits;
        cases.push_back({"four-qubit" + at, matrix_call(m4, {u, x, t, v}),
                         [=](const Amps& a) {
                             return ref::apply(a, {u, x, t, v}, {}, r4);
                         },
                         false});
    }
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Amps a = random_state(kThreadedQubits, rng);
        StateVector<Real> s(kThreadedQubits), alone(kThreadedQubits);
        load(s, a);
        load(alone, a);
        run(s, k.call);
        run(alone, k.call, ThreadTeam{1});
        const Amps got = read(s);
        expect_exact(got, read(alone));
        if (k.exact) expect_exact(got, k.reference(a));
        else expect_near(got, k.reference(a), kTolerance<Real>);
    }
}

// --- edge cases ------------------------------------------------------------

TYPED_TEST(KernelTest, SwapOfEqualQubitsIsNoOperation) {
    using Real = TypeParam;
    std::mt19937_64 rng(kSeed);
    for (int q = 0; q < 4; ++q) {
        Amps a = random_state(4, rng);
        StateVector<Real> s(4);
        load(s, a);
        run(s, swap_call(q, q));
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
    run(s, matrix_call(swap, {2, 0}));
    const Amps reversed = read(s);
    load(s, a);
    run(s, matrix_call(swap, {0, 2}));
    expect_near(read(s), reversed, kTolerance<Real>);
    // Non-symmetric: |0> on qubit 2 and |1> on qubit 0 (index 1) goes to row 1 of column 2 of M,
    // since qubit 2 carries bit 0 of the matrix index.
    Matrix m(16);
    m[1 * 4 + 2] = 1;
    StateVector<Real> basis(3);
    run(basis, fixed(KernelGate::kX, 0));
    run(basis, matrix_call(m, {2, 0}));
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
            run(x, fixed(KernelGate::kZ, t, {c}));
            run(y, fixed(KernelGate::kZ, c, {t}));
            expect_exact(read(x), read(y));
        }
}

TYPED_TEST(KernelTest, SignFlipsTurnPositiveZeroNegative) {
    using Real = TypeParam;
    for (int n : {1, 5}) {
        StateVector<Real> s{unsigned(n)};
        run(s, fixed(KernelGate::kZ, 0));  // amplitude 1 has qubit 0 clear and keeps its value
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
            run(s, fixed(KernelGate::kX, t));
            run(s, fixed(KernelGate::kX, t));
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
            run(s, fixed(KernelGate::kH, q));
            run(s, fixed(KernelGate::kT, (q + 2) % kQubits));
            run(s, matrix_call(m1, {q}));
            run(s, fixed(KernelGate::kX, (q + 1) % kQubits, {q}));
            run(s, matrix_call(m2, {(q + 3) % kQubits, q}));
        }
    };
    circuit(f);
    circuit(d);
    const Amps fd = read(f), dd = read(d);
    double norm = 0;
    for (const C& x : dd) norm = std::max(norm, std::abs(x));
    expect_near(fd, dd, 1e-5 * norm * kQubits);
}

}  // namespace
}  // namespace wavesim

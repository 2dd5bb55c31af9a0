// Measurement, reset and sampling against plain scalar loops written here,
// with draws pinned exactly (a source with low == high always returns low).
#include "wavesim/state/measurement.h"
#include "wavesim/testing/instructions.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace wavesim {
namespace {

using Amplitudes = std::vector<std::pair<double, double>>;

constexpr int kThreadsForLargeResets = 4;

// A source whose every draw is exactly r: fma(0, u, r) = r.
RandomSource pinned(double r) {
    RandomSource source;
    source.low = r;
    source.high = r;
    return source;
}

template <typename Real>
void fill_random(StateVector<Real>& s, uint32_t seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal;
    std::vector<double> values(2 * s.dim);
    double norm = 0.0;
    for (double& v : values) {
        v = normal(engine);
        norm += v * v;
    }
    for (uint64_t i = 0; i < s.dim; ++i) {
        s.re[i] = static_cast<Real>(values[2 * i] / std::sqrt(norm));
        s.im[i] = static_cast<Real>(values[2 * i + 1] / std::sqrt(norm));
    }
}

template <typename Real>
void set_basis(StateVector<Real>& s, uint64_t index) {
    std::fill(s.re, s.re + s.dim, Real(0));
    std::fill(s.im, s.im + s.dim, Real(0));
    s.re[index] = Real(1);
}

template <typename Real>
Amplitudes read(const StateVector<Real>& s) {
    Amplitudes a(s.dim);
    for (uint64_t i = 0; i < s.dim; ++i) a[i] = {s.re[i], s.im[i]};
    return a;
}

template <typename Real>
double prob(const StateVector<Real>& s, uint64_t i) {
    return double(s.re[i]) * double(s.re[i]) + double(s.im[i]) * double(s.im[i]);
}

template <typename Real>
double norm_of(const StateVector<Real>& s) {
    double total = 0.0;
    for (uint64_t i = 0; i < s.dim; ++i) total += prob(s, i);
    return total;
}

template <typename Real>
double p_zero(const StateVector<Real>& s, int q) {
    double p = 0.0;
    for (uint64_t i = 0; i < s.dim; ++i) {
        if (((i >> q) & 1u) == 0) p += prob(s, i);
    }
    return p;
}

// Independent linear scan: first index whose running probability reaches r.
template <typename Real>
uint64_t linear_search(const StateVector<Real>& s, double r) {
    double running = 0.0;
    for (uint64_t i = 0; i < s.dim; ++i) {
        running += prob(s, i);
        if (running >= r) return i;
    }
    return s.dim - 1;
}

template <typename T>
class Stochastic : public ::testing::Test {};
using testing_support::Precisions;
TYPED_TEST_SUITE(Stochastic, Precisions);

TYPED_TEST(Stochastic, MeasureCertainOutcomesLeaveTheStateUnchanged) {
    // Amplitudes +-0.5 on the four indices whose qubit 1 is `certain`: p0 is exactly 1 or 0.
    for (int certain : {0, 1}) {
        for (double r : {0.0, 0.5, 0.9999999999999999}) {
            StateVector<TypeParam> s(3);
            s.re[0] = TypeParam(0);
            for (uint64_t i = 0; i < s.dim; ++i) {
                if (int((i >> 1) & 1u) == certain) s.re[i] = TypeParam(i % 3 == 0 ? -0.5 : 0.5);
            }
            const Amplitudes before = read(s);
            RandomSource source = pinned(r);
            EXPECT_EQ(measure_qubit(s, 1, source), certain) << r;
            EXPECT_EQ(read(s), before) << r;
        }
    }
}

TYPED_TEST(Stochastic, MeasureCollapsesAndRenormalisesLikeAScalarLoop) {
    for (int q = 0; q < 5; ++q) {
        for (double r : {0.1, 0.45, 0.8}) {
            StateVector<TypeParam> s(5);
            fill_random(s, 10 + q);
            const Amplitudes before = read(s);
            const double p0 = p_zero(s, q);
            const int want = r >= p0 ? 1 : 0;
            const double k = 1.0 / std::sqrt(want == 0 ? p0 : 1.0 - p0);
            RandomSource source = pinned(r);
            ASSERT_EQ(measure_qubit(s, q, source), want);
            for (uint64_t i = 0; i < s.dim; ++i) {
                const bool kept = int((i >> q) & 1u) == want;
                const double re = kept ? before[i].first * k : 0.0;
                const double im = kept ? before[i].second * k : 0.0;
                EXPECT_NEAR(s.re[i], re, 1e-6 * std::abs(re) + 1e-15);
                EXPECT_NEAR(s.im[i], im, 1e-6 * std::abs(im) + 1e-15);
            }
            EXPECT_NEAR(norm_of(s), 1.0, 1e-6);
        }
    }
}

// Four equal amplitudes 0.5: p0 of qubit 0 is exactly 0.5.
template <typename Real>
void set_uniform_two_qubits(StateVector<Real>& s) {
    for (uint64_t i = 0; i < 4; ++i) {
        s.re[i] = Real(0.5);
        s.im[i] = Real(0);
    }
}

TYPED_TEST(Stochastic, TiesGoToOneForMeasureAndToZeroForReset) {
    StateVector<TypeParam> s(2);
    set_uniform_two_qubits(s);
    RandomSource tie = pinned(0.5);
    const TypeParam renormalised = TypeParam(0.5 * (1.0 / std::sqrt(0.5)));
    EXPECT_EQ(measure_qubit(s, 0, tie), 1);
    EXPECT_EQ(s.re[1], renormalised);
    EXPECT_EQ(s.re[0], TypeParam(0));

    set_uniform_two_qubits(s);
    reset_qubit(s, 0, tie, team_for(int(s.num_qubits)));  // outcome 0: the bit-0 half is kept and renormalised
    EXPECT_EQ(s.re[0], renormalised);
    EXPECT_EQ(s.re[2], renormalised);
    EXPECT_EQ(s.re[1], TypeParam(0));
}

TYPED_TEST(Stochastic, MeasureOfAnImpossibleBranchLeavesTheZeroVector) {
    StateVector<TypeParam> s(2);
    RandomSource one = pinned(1.0);  // r >= p0 = 1 picks outcome 1, whose probability is 0
    EXPECT_EQ(measure_qubit(s, 0, one), 1);
    EXPECT_EQ(norm_of(s), 0.0);
    RandomSource zero = pinned(0.0);
    EXPECT_EQ(measure_qubit(s, 1, zero), 1);  // p0 = 0 now: every draw gives 1
    EXPECT_EQ(norm_of(s), 0.0);
}

// An amplitude (re, im) whose probability fma(re, re, im * im) is exactly the
// floor 1e-15 (no single square rounds to it, so the imaginary part tops it up).
std::pair<double, double> amplitude_at_floor() {
    constexpr double kFloor = 1e-15;
    double re = std::sqrt(kFloor);
    while (re * re >= kFloor) re = std::nextafter(re, 0.0);
    for (int step = 0; step < 64; ++step, re = std::nextafter(re, 0.0)) {
        const double im = std::sqrt(kFloor - re * re);
        if (std::fma(re, re, im * im) == kFloor) return {re, im};
    }
    return {std::nan(""), std::nan("")};
}

TEST(Measurement, FloorIsExclusiveForMeasureAndInclusiveForReset) {
    const auto a = amplitude_at_floor();
    ASSERT_FALSE(std::isnan(a.first));
    StateVector<double> s(1);
    s.re[0] = a.first;
    s.im[0] = a.second;
    s.re[1] = 1.0;
    RandomSource zero = pinned(0.0);
    EXPECT_EQ(measure_qubit(s, 0, zero), 0);
    EXPECT_EQ(s.re[0], 0.0);  // p = 1e-15 does not pass "greater than the floor"

    s.re[0] = a.first;
    s.im[0] = a.second;
    s.re[1] = 1.0;
    reset_qubit(s, 0, zero, team_for(int(s.num_qubits)));
    EXPECT_NEAR(std::hypot(s.re[0], s.im[0]), 1.0, 1e-12);  // p = 1e-15 passes "at least the floor"
    EXPECT_EQ(s.re[1], 0.0);
}

TYPED_TEST(Stochastic, ResetOfACertainOneMovesAmplitudesUnchanged) {
    StateVector<TypeParam> s(3);
    fill_random(s, 5);
    for (uint64_t i = 0; i < s.dim; ++i) {
        if (((i >> 2) & 1u) == 0) s.re[i] = s.im[i] = TypeParam(0);
    }
    const Amplitudes before = read(s);
    // P0 = 0, so the factor is 1 / sqrt(1 - 0) = 1 whatever the state's actual weight.
    RandomSource source = pinned(1e-300);
    reset_qubit(s, 2, source, team_for(int(s.num_qubits)));
    for (uint64_t i = 0; i < 4; ++i) {
        EXPECT_EQ(s.re[i], TypeParam(before[i + 4].first));
        EXPECT_EQ(s.im[i], TypeParam(before[i + 4].second));
        EXPECT_EQ(s.re[i + 4], TypeParam(0));
        EXPECT_EQ(s.im[i + 4], TypeParam(0));
    }
}

TYPED_TEST(Stochastic, ResetOfPlusGivesZeroUpToPhaseWithUnitNorm) {
    constexpr double kH = 0.7071067811865475;
    for (double r : {0.25, 0.75}) {
        StateVector<TypeParam> s(1);
        s.re[0] = TypeParam(kH);
        s.re[1] = TypeParam(-kH);  // |-> so the two branches differ in sign
        RandomSource source = pinned(r);
        reset_qubit(s, 0, source, team_for(int(s.num_qubits)));
        EXPECT_NEAR(std::abs(double(s.re[0])), 1.0, 1e-7) << r;
        EXPECT_EQ(s.re[0] > 0, r < 0.5) << r;
        EXPECT_EQ(s.re[1], TypeParam(0));
        EXPECT_NEAR(norm_of(s), 1.0, 1e-6);
    }
}

TYPED_TEST(Stochastic, ResetOfAnImpossibleBranchZeroesEverything) {
    StateVector<TypeParam> s(3);
    RandomSource above = pinned(2.0);  // r > P0 = 1 picks the empty |1> branch
    reset_qubit(s, 1, above, team_for(int(s.num_qubits)));
    EXPECT_EQ(norm_of(s), 0.0);
}

// 17 qubits on several threads: the parallel sum and move agree with a scalar loop.
TYPED_TEST(Stochastic, ParallelResetMatchesScalarLoop) {
    for (int q : {0, 3, 16}) {
        StateVector<TypeParam> s(17);
        fill_random(s, 30 + q);
        const Amplitudes before = read(s);
        const double p0 = p_zero(s, q);
        RandomSource source = pinned(0.5);
        const int outcome = 0.5 > p0 ? 1 : 0;
        const double k = 1.0 / std::sqrt(outcome == 0 ? p0 : 1.0 - p0);
        reset_qubit(s, q, source, ThreadTeam{kThreadsForLargeResets});
        const uint64_t half = uint64_t{1} << q;
        for (uint64_t i = 0; i < s.dim; ++i) {
            if (i & half) {
                ASSERT_EQ(s.re[i], TypeParam(0));
                ASSERT_EQ(s.im[i], TypeParam(0));
            } else {
                const auto& src = before[i + (outcome ? half : 0)];
                ASSERT_NEAR(s.re[i], src.first * k, 1e-6 * std::abs(src.first * k) + 1e-14);
                ASSERT_NEAR(s.im[i], src.second * k, 1e-6 * std::abs(src.second * k) + 1e-14);
            }
        }
    }
}

template <typename Real>
void expect_refused(void (*op)(StateVector<Real>&, int, RandomSource&), const char* name) {
    for (int q : {3, 4, -1, 62}) {
        StateVector<Real> s(3);
        fill_random(s, 4);
        const Amplitudes before = read(s);
        RandomSource source = make_seeded_source(1);
        try {
            op(s, q, source);
            FAIL() << name << " accepted qubit " << q;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()),
                      std::string(name) + " addresses qubit " + std::to_string(q) + ", outside a state of 3 qubits");
        }
        EXPECT_EQ(read(s), before);
        EXPECT_EQ(source.engine, make_seeded_source(1).engine) << "no draw for a refused qubit";
    }
}

template <typename Real>
void measure_discarding(StateVector<Real>& s, int q, RandomSource& source) {
    measure_qubit(s, q, source);
}

template <typename Real>
void reset_on_team(StateVector<Real>& s, int q, RandomSource& source) {
    reset_qubit(s, q, source, team_for(int(s.num_qubits)));
}

TYPED_TEST(Stochastic, QubitsOutsideTheStateAreRefused) {
    expect_refused<TypeParam>(measure_discarding<TypeParam>, "measure_qubit");
    expect_refused<TypeParam>(reset_on_team<TypeParam>, "reset_qubit");
}

TYPED_TEST(Stochastic, TableForms) {
    StateVector<TypeParam> full(16);
    fill_random(full, 40);
    const CumulativeTable t16 = build_cumulative(full);
    EXPECT_FALSE(t16.chunked);
    ASSERT_EQ(t16.sums.size(), 65536u);
    double running = 0.0;
    for (uint64_t i = 0; i + 1 < full.dim; ++i) {
        running += prob(full, i);
        ASSERT_NEAR(t16.sums[i], running, 1e-12);
    }
    EXPECT_EQ(t16.sums.back(), 1.0);

    StateVector<TypeParam> chunked(17);
    fill_random(chunked, 41);
    const CumulativeTable t17 = build_cumulative(chunked);
    EXPECT_TRUE(t17.chunked);
    ASSERT_EQ(t17.sums.size(), 2u);
    double first = 0.0;
    for (uint64_t i = 0; i < 65536; ++i) first += prob(chunked, i);
    EXPECT_NEAR(t17.sums[0], first, 1e-12);
    EXPECT_EQ(t17.sums[1], 1.0);
}

class BasisSampling : public ::testing::TestWithParam<std::pair<int, uint64_t>> {};

TEST_P(BasisSampling, EveryPositiveDrawGivesTheBasisIndex) {
    const int n = GetParam().first;
    const uint64_t index = GetParam().second;
    StateVector<double> s(n);
    set_basis(s, index);
    const CumulativeTable t = build_cumulative(s);
    for (double r : {1e-300, 1.1102230246251565e-16, 0.25, 0.5, 0.9999999999999999}) {
        RandomSource source = pinned(r);
        EXPECT_EQ(sample_index(s, t, source), index) << "n=" << n << " r=" << r;
    }
    EXPECT_EQ(sample_indices(s, t, {0.7, 1e-300, 0.3}), (std::vector<uint64_t>{index, index, index}));
}

INSTANTIATE_TEST_SUITE_P(Sampling, BasisSampling,
                         ::testing::Values(std::make_pair(3, uint64_t{0}), std::make_pair(3, uint64_t{5}),
                                           std::make_pair(16, uint64_t{65535}), std::make_pair(16, uint64_t{1234}),
                                           std::make_pair(17, uint64_t{0}), std::make_pair(17, uint64_t{65535}),
                                           std::make_pair(17, uint64_t{65536}), std::make_pair(18, uint64_t{200000}),
                                           std::make_pair(18, uint64_t{262143})));

TEST(Sampling, DrawOfZeroSelectsIndexZeroWhateverItsProbability) {
    for (int n : {4, 17}) {
        StateVector<double> s(n);
        set_basis(s, s.dim - 1);
        const CumulativeTable t = build_cumulative(s);
        RandomSource zero = pinned(0.0);
        EXPECT_EQ(sample_index(s, t, zero), 0u) << n;
        EXPECT_EQ(sample_indices(s, t, {0.0}), std::vector<uint64_t>{0}) << n;
    }
}

TEST(Sampling, MissingWeightGoesToTheEnd) {
    StateVector<double> small(3);
    small.re[0] = 0.0;  // the zero vector: only the forced last entry reaches r
    const CumulativeTable ts = build_cumulative(small);
    RandomSource half = pinned(0.5);
    EXPECT_EQ(sample_index(small, ts, half), 7u);

    StateVector<double> large(17);
    large.re[0] = 0.0;
    const CumulativeTable tl = build_cumulative(large);
    EXPECT_EQ(sample_index(large, tl, half), large.dim - 1);  // last chunk, position 65535
}

TYPED_TEST(Stochastic, PerDrawSearchMatchesALinearScan) {
    for (int n : {5, 16, 17}) {
        StateVector<TypeParam> s(n);
        fill_random(s, 50 + n);
        const CumulativeTable t = build_cumulative(s);
        RandomSource source = make_seeded_source(n);
        for (int k = 0; k < 200; ++k) {
            RandomSource copy = source;
            const double r = draw_uniform(copy);
            const uint64_t got = sample_index(s, t, source);
            const uint64_t want = linear_search(s, r);
            // The table's sums may be ordered differently from this scan: allow a neighbour at a boundary.
            EXPECT_LE(got > want ? got - want : want - got, 1u) << "n=" << n << " r=" << r;
        }
    }
}

TEST(Sampling, ForeignTableIsRefused) {
    StateVector<double> a(3), b(4), c(17);
    const CumulativeTable ta = build_cumulative(a);
    const CumulativeTable tc = build_cumulative(c);
    RandomSource source = make_seeded_source(0);
    EXPECT_THROW(sample_index(b, ta, source), std::runtime_error);
    EXPECT_THROW(sample_index(a, tc, source), std::runtime_error);
    EXPECT_THROW(sample_indices(c, ta, {0.5}), std::runtime_error);
    EXPECT_THROW(sample_index(a, CumulativeTable{}, source), std::runtime_error);
    try {
        sample_index(b, ta, source);
        ADD_FAILURE() << "sample_index accepted the table of another state";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "sample_index: cumulative table does not belong to this state");
    }
}

// Draws that land exactly on table entries and chunk-sum boundaries, beside random ones.
template <typename Real>
std::vector<double> draws_for(const StateVector<Real>& s, const CumulativeTable& t, uint32_t seed) {
    std::vector<double> draws;
    RandomSource source = make_seeded_source(static_cast<int>(seed));
    for (int k = 0; k < 3000; ++k) draws.push_back(draw_uniform(source));
    for (size_t k = 0; k < t.sums.size(); k += std::max<size_t>(1, t.sums.size() / 64)) {
        draws.push_back(t.sums[k]);
        draws.push_back(std::nextafter(t.sums[k], 0.0));
        draws.push_back(std::nextafter(t.sums[k], 2.0));
    }
    if (t.chunked) {
        // Residuals equal to running sums inside chunk 1.
        double running = 0.0;
        for (uint64_t j = 0; j < kSamplingChunk; ++j) {
            running += prob(s, kSamplingChunk + j);
            if (j % 4096 == 0) draws.push_back(t.sums[0] + running);
        }
    }
    // Out-of-range draws too (a pinned source cannot give an infinity: inf - inf is NaN).
    for (double r : {0.0, -0.0, 0.5, 0.5, 0.9999999999999999, 1.0, 1.5, -0.25, 1e300, std::nan("")}) {
        draws.push_back(r);
    }
    return draws;
}

template <typename Real>
void expect_sweep_matches_per_draw(const StateVector<Real>& s, uint32_t seed, const std::string& what) {
    const CumulativeTable t = build_cumulative(s);
    const std::vector<double> draws = draws_for(s, t, seed);
    const std::vector<uint64_t> swept = sample_indices(s, t, draws);
    ASSERT_EQ(swept.size(), draws.size());
    for (size_t d = 0; d < draws.size(); ++d) {
        RandomSource source = pinned(draws[d]);
        ASSERT_EQ(swept[d], sample_index(s, t, source)) << what << " draw " << d << " r=" << draws[d];
        ASSERT_LT(swept[d], s.dim);
    }
}

TYPED_TEST(Stochastic, SortedSweepIsBitIdenticalToPerDrawSearch) {
    for (int n : {1, 3, 10, 16, 17, 18}) {
        StateVector<TypeParam> s(n);
        fill_random(s, 60 + n);
        expect_sweep_matches_per_draw(s, n, "random n=" + std::to_string(n));
    }
}

// Exact boundaries: powers of two sum without rounding, spread over chunks
// (with empty stretches), and an over-weight state whose table is not monotone at its end.
TYPED_TEST(Stochastic, SortedSweepOnExactAndUnnormalisedStates) {
    StateVector<TypeParam> s(18);
    for (uint64_t i : {uint64_t{3}, uint64_t{70000}, uint64_t{70001}, uint64_t{262143}}) s.re[i] = TypeParam(0.5);
    s.re[0] = TypeParam(0);
    expect_sweep_matches_per_draw(s, 7, "exact");
    for (int n : {4, 17}) {
        StateVector<TypeParam> heavy(n);
        fill_random(heavy, 70 + n);
        for (uint64_t i = 0; i < heavy.dim; ++i) heavy.re[i] *= TypeParam(1.5);
        expect_sweep_matches_per_draw(heavy, 8, "heavy n=" + std::to_string(n));
    }
}

TEST(Sampling, NoDrawsNoIndices) {
    StateVector<double> s(2);
    EXPECT_TRUE(sample_indices(s, build_cumulative(s), {}).empty());
}

}  // namespace
}  // namespace wavesim

#include "random_su4.h"

#include <gtest/gtest.h>

#include <Eigen/LU>

#include <algorithm>
#include <cmath>
#include <random>

namespace brickgen {
namespace {

constexpr double kUnitarityTolerance = 1e-12;
constexpr double kGaussianTolerance = 1e-11;
constexpr int kSeedsChecked = 2000;

Matrix4c from_column_major(const std::vector<std::complex<double>>& entries) {
    Matrix4c u;
    for (int j = 0; j < 16; ++j) u(j % 4, j / 4) = entries[j];
    return u;
}

std::vector<uint64_t> sample_seeds() {
    std::mt19937_64 rng(20240607);
    std::vector<uint64_t> seeds{0, 1, ~0ULL, kGoldenGamma};
    while (seeds.size() < kSeedsChecked) seeds.push_back(rng());
    return seeds;
}

// Z(0,0), Z(0,1), Z(1,0) for seed 0, from an independent pure-Python
// evaluation of the recipe (the reference model in tests/test_brickgen.py).
TEST(GaussianMatrix, EntriesForSeedZero) {
    XorShift128Plus g = make_xorshift128plus(0);
    const Matrix4c z = gaussian_matrix(g);
    EXPECT_NEAR(z(0, 0).real(), 0.502169293485, kGaussianTolerance);
    EXPECT_NEAR(z(0, 0).imag(), 1.114520045696, kGaussianTolerance);
    EXPECT_NEAR(z(0, 1).real(), 0.695778832882, kGaussianTolerance);
    EXPECT_NEAR(z(0, 1).imag(), 0.201282690447, kGaussianTolerance);
    EXPECT_NEAR(z(1, 0).real(), 0.299717092879, kGaussianTolerance);
    EXPECT_NEAR(z(1, 0).imag(), 0.863367644469, kGaussianTolerance);
}

// The recipe one variate at a time, written out plainly.
double reference_gaussian(XorShift128Plus& g) {
    const double u1 = static_cast<double>(next_output(g) & 0xFFFFFFFFULL) * 2.3283064365386963e-10;
    const double angle = static_cast<double>(next_output(g) & 0xFFFFFFFFULL) * 1.4629180792671596e-9;
    return std::sqrt(std::log(std::max(u1, 1e-15)) * -2.0) * std::cos(angle);
}

TEST(GaussianMatrix, BitIdenticalToTheOneVariateRecipe) {
    for (uint64_t seed : sample_seeds()) {
        XorShift128Plus g = make_xorshift128plus(seed);
        XorShift128Plus reference = g;
        const Matrix4c z = gaussian_matrix(g);
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                const double imag = reference_gaussian(reference);
                ASSERT_EQ(z(r, c).imag(), imag) << seed;
                ASSERT_EQ(z(r, c).real(), reference_gaussian(reference)) << seed;
            }
        }
    }
}

TEST(GaussianMatrix, ConsumesExactly64Outputs) {
    XorShift128Plus g = make_xorshift128plus(42);
    XorShift128Plus reference = g;
    gaussian_matrix(g);
    for (int i = 0; i < kOutputsPerUnitary; ++i) next_output(reference);
    EXPECT_EQ(g.s0, reference.s0);
    EXPECT_EQ(g.s1, reference.s1);
}

TEST(GaussianMatrix, ZeroUniformIsClampedNotInfinite) {
    XorShift128Plus zeros{0, 0};  // all-zero state emits zeros forever
    const double clamped = std::sqrt(-2.0 * std::log(1e-15));
    EXPECT_EQ(gaussian_matrix(zeros), Matrix4c::Constant(std::complex<double>(clamped, clamped)));
}

TEST(RandomSu4, UnitaryWithUnitDeterminantAndFinite) {
    std::vector<std::complex<double>> out;
    for (uint64_t seed : sample_seeds()) {
        random_su4(seed, out);
        ASSERT_EQ(out.size(), 16u);
        for (const auto& e : out) ASSERT_TRUE(std::isfinite(e.real()) && std::isfinite(e.imag())) << seed;
        const Matrix4c u = from_column_major(out);
        EXPECT_LT((u.adjoint() * u - Matrix4c::Identity()).cwiseAbs().maxCoeff(), kUnitarityTolerance) << seed;
        EXPECT_NEAR(std::abs(u.determinant()), 1.0, kUnitarityTolerance) << seed;
    }
}

// Z = U R with R upper triangular and a positive real diagonal pins U down
// uniquely; a transposed layout or a missing phase step breaks it.
TEST(RandomSu4, ColumnMajorFactorOfTheGaussianMatrix) {
    std::vector<std::complex<double>> out;
    for (uint64_t seed : sample_seeds()) {
        random_su4(seed, out);
        XorShift128Plus g = make_xorshift128plus(seed);
        const Matrix4c z = gaussian_matrix(g);
        const Matrix4c r = from_column_major(out).adjoint() * z;
        for (int row = 0; row < 4; ++row) {
            EXPECT_GT(r(row, row).real(), 0.0) << seed;
            EXPECT_NEAR(r(row, row).imag(), 0.0, kUnitarityTolerance * 10) << seed;
            for (int col = 0; col < row; ++col) EXPECT_LT(std::abs(r(row, col)), kUnitarityTolerance * 10) << seed;
        }
    }
}

TEST(RandomSu4, SameSeedIsBitIdenticalAndOverwritesOldContents) {
    std::vector<std::complex<double>> first;
    random_su4(12345, first);
    std::vector<std::complex<double>> second(40, {9.0, 9.0});
    random_su4(12345, second);
    EXPECT_EQ(first, second);
}

TEST(RandomSu4, NeighbouringRecordSeedsGiveDifferentMatrices) {
    std::vector<std::complex<double>> a, b;
    random_su4(record_seed(0, 0), a);
    random_su4(record_seed(0, 1), b);
    for (int j = 0; j < 16; ++j) EXPECT_NE(a[j], b[j]);
}

}  // namespace
}  // namespace brickgen

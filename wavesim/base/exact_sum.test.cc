// Order independence bit for bit over permutations and splits into partial
// sums, accuracy against a sum in long double of terms that are exact there,
// and what happens to terms outside the grid.
#include "wavesim/base/exact_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace wavesim {
namespace {

constexpr int kRounds = 40;
constexpr int kTerms = 2000;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Terms of every magnitude from the bound down to far below the grid step.
std::vector<double> random_terms(std::mt19937& engine, double bound) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> scale(0, 140);
    std::vector<double> terms;
    for (int t = 0; t < kTerms; ++t) terms.push_back(bound * std::ldexp(unit(engine), -scale(engine)));
    return terms;
}

// The terms shared out in a random order among a random number of partial sums, merged in a random order.
double split_sum(std::vector<double> terms, double bound, std::mt19937& engine) {
    std::shuffle(terms.begin(), terms.end(), engine);
    const int parts = std::uniform_int_distribution<int>(1, 9)(engine);
    std::vector<ExactSum> partial(static_cast<size_t>(parts), ExactSum(bound));
    std::uniform_int_distribution<int> pick(0, parts - 1);
    for (double t : terms) partial[size_t(pick(engine))].add(t);
    std::shuffle(partial.begin(), partial.end(), engine);
    ExactSum total(bound);
    for (const ExactSum& p : partial) total.add(p);
    return total.value();
}

TEST(ExactSum, SameBitsInAnyOrderAndSplit) {
    std::mt19937 engine(7);
    for (int round = 0; round < kRounds; ++round) {
        const double bound = std::ldexp(1.0, round % 30 - 15) * 3.0;
        const std::vector<double> terms = random_terms(engine, bound);
        const double first = split_sum(terms, bound, engine);
        for (int again = 0; again < 5; ++again) EXPECT_TRUE(same_bits(first, split_sum(terms, bound, engine)));
    }
}

TEST(ExactSum, RoundsTheTrueSumOnce) {
    // Terms on a grid of 2^-40 times the bound, at most 2^20 of it: their sum is exact in long double
    // (64-bit mantissa), so the result must be that sum rounded to double.
    std::mt19937 engine(11);
    std::uniform_int_distribution<int64_t> grid(-(int64_t{1} << 40), int64_t{1} << 40);
    for (int round = 0; round < kRounds; ++round) {
        const double bound = 1.5 * std::ldexp(1.0, round - 20);
        ExactSum sum(bound);
        long double exact = 0;
        for (int t = 0; t < kTerms; ++t) {
            const double term = std::ldexp(double(grid(engine)), -40) * bound;
            sum.add(term);
            exact += term;
        }
        EXPECT_TRUE(same_bits(sum.value(), double(exact))) << round;
    }
}

TEST(ExactSum, TermsOutsideTheGridStillCount) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    ExactSum with_nan(1.0);
    with_nan.add(0.5);
    with_nan.add(nan);
    EXPECT_TRUE(std::isnan(with_nan.value()));
    ExactSum with_inf(1.0);
    with_inf.add(-inf);
    with_inf.add(0.25);
    EXPECT_EQ(with_inf.value(), -inf);
    ExactSum large(1.0);
    large.add(1e6);  // beyond the headroom: added beside the grid
    large.add(0.125);
    EXPECT_EQ(large.value(), 1e6 + 0.125);
    ExactSum empty(0.0);
    empty.add(0.0);
    EXPECT_EQ(empty.value(), 0.0);
}

TEST(ExactSum, TinyTermsVanishBelowTheStep) {
    ExactSum sum(1.0);
    sum.add(std::ldexp(1.0, -120));
    EXPECT_EQ(sum.value(), 0.0);
    sum.add(std::ldexp(1.0, -90));
    EXPECT_EQ(sum.value(), std::ldexp(1.0, -90));
}

}  // namespace
}  // namespace wavesim

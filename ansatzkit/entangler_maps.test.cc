// Entanglement maps against an independent enumeration: every k-subset is
// found by scanning bit masks, and each map's order is checked from its rule.
#include "entangler_maps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace ansatzkit {
namespace {

using Tuple = std::vector<int32_t>;

std::vector<Tuple> as_tuples(const QubitTuples& tuples) {
    std::vector<Tuple> out;
    for (size_t t = 0; t < tuple_count(tuples); ++t) {
        auto first = tuples.qubits.begin() + static_cast<std::ptrdiff_t>(t * tuples.arity);
        out.emplace_back(first, first + tuples.arity);
    }
    return out;
}

// All k-subsets in increasing order, from the bit masks with k bits set.
std::vector<Tuple> subsets_by_mask(int n, int k) {
    std::vector<Tuple> out;
    for (uint32_t mask = 0; mask < (1u << n); ++mask) {
        if (__builtin_popcount(mask) != k) continue;
        Tuple subset;
        for (int q = 0; q < n; ++q) {
            if (mask >> q & 1u) subset.push_back(q);
        }
        out.push_back(subset);
    }
    return out;
}

std::vector<Tuple> windows(int n, int k) {
    std::vector<Tuple> out;
    for (int i = 0; i + k <= n; ++i) {
        Tuple window(static_cast<size_t>(k));
        for (int j = 0; j < k; ++j) window[j] = i + j;
        out.push_back(window);
    }
    return out;
}

constexpr int kMaxQubits = 9;
constexpr int kMaxArity = 4;

TEST(EntanglerMaps, FullIsEveryKSubsetInDecreasingLexicographicOrder) {
    for (int k = 2; k <= kMaxArity; ++k) {
        for (int n = 0; n <= kMaxQubits; ++n) {
            auto expected = subsets_by_mask(n, k);
            std::sort(expected.rbegin(), expected.rend());
            EXPECT_EQ(as_tuples(entangler_tuples("full", n, k)), expected) << "n=" << n << " k=" << k;
            EXPECT_EQ(entangler_gate_count("full", n, k), static_cast<int64_t>(expected.size()));
        }
    }
}

TEST(EntanglerMaps, LinearAndReverseLinearAreTheWindowsBothWays) {
    for (int k = 2; k <= kMaxArity; ++k) {
        for (int n = 0; n <= kMaxQubits; ++n) {
            auto expected = windows(n, k);
            EXPECT_EQ(as_tuples(entangler_tuples("linear", n, k)), expected);
            std::reverse(expected.begin(), expected.end());
            EXPECT_EQ(as_tuples(entangler_tuples("reverse_linear", n, k)), expected);
            for (const char* map : {"linear", "reverse_linear"}) {
                EXPECT_EQ(entangler_gate_count(map, n, k), n - k + 1);
            }
        }
    }
}

TEST(EntanglerMaps, PairwiseIsEvenPairsThenOddPairs) {
    for (int n = 0; n <= kMaxQubits; ++n) {
        std::vector<Tuple> even, odd;
        for (const Tuple& pair : windows(n, 2)) (pair[0] % 2 == 0 ? even : odd).push_back(pair);
        even.insert(even.end(), odd.begin(), odd.end());
        EXPECT_EQ(as_tuples(entangler_tuples("pairwise", n, 2)), even);
        EXPECT_EQ(entangler_gate_count("pairwise", n, 2), n - 1);
    }
}

TEST(EntanglerMaps, CircularEndsEveryWindowOnItsQubit) {
    for (int k = 2; k <= kMaxArity; ++k) {
        for (int n = 0; n <= kMaxQubits; ++n) {
            std::vector<Tuple> expected;
            for (int i = 0; i < n; ++i) {
                Tuple window;
                for (int j = k - 1; j >= 0; --j) window.push_back(((i - j) % n + n) % n);
                expected.push_back(window);
            }
            EXPECT_EQ(as_tuples(entangler_tuples("circular", n, k)), expected);
            EXPECT_EQ(entangler_gate_count("circular", n, k), n);
        }
    }
    EXPECT_EQ(as_tuples(entangler_tuples("circular", 1, 2)), (std::vector<Tuple>{{0, 0}}));
}

TEST(EntanglerMaps, UnknownMapPredictsZeroAndFailsWhenBuilt) {
    for (const char* map : {"Linear", "", "fully"}) {
        EXPECT_EQ(entangler_gate_count(map, 4, 2), 0);
        try {
            entangler_tuples(map, 4, 2);
            FAIL() << map;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "entanglement type " + std::string(map) + " not supported");
        }
    }
}

TEST(EntanglerMaps, PairwiseRefusesGatesOfMoreThanTwoQubits) {
    for (auto call : {+[] { entangler_gate_count("pairwise", 5, 3); }, +[] { entangler_tuples("pairwise", 5, 3); }}) {
        try {
            call();
            FAIL();
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Pairwise entanglement gate need less than 3 qubits.");
        }
    }
}

TEST(EntanglerMaps, RefusesArityBelowTwo) {
    EXPECT_THROW(entangler_tuples("full", 4, 1), std::invalid_argument);
    EXPECT_THROW(entangler_gate_count("circular", 4, 0), std::invalid_argument);
}

TEST(EntanglerMaps, ExtremeQubitCountsStayInRange) {
    constexpr int kMost = std::numeric_limits<int>::max();
    EXPECT_EQ(entangler_gate_count("full", kMost, 2), int64_t{kMost} * (kMost - 1) / 2);
    EXPECT_EQ(entangler_gate_count("linear", std::numeric_limits<int>::min(), 2),
              int64_t{std::numeric_limits<int>::min()} - 1);
    EXPECT_TRUE(entangler_tuples("linear", std::numeric_limits<int>::min(), 2).qubits.empty());
    EXPECT_THROW(entangler_gate_count("full", kMost, 40), std::length_error);
}

}  // namespace
}  // namespace ansatzkit

#include "uniform_below.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace cliffmix {
namespace {

constexpr uint64_t kWordRange = uint64_t{1} << 32;

// Hands out a fixed list of words, so that the rejection branch can be driven exactly.
struct ScriptedEngine {
    using result_type = uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return UINT32_MAX; }
    std::deque<uint32_t> words;
    size_t consumed = 0;
    result_type operator()() {
        const uint32_t w = words.at(0);
        words.pop_front();
        ++consumed;
        return w;
    }
};

// A word is accepted when the low half of word * m is at least 2^32 mod m;
// the result is then the high half.
struct Expected {
    uint32_t value;
    size_t words_used;
};

Expected reference_draw(std::mt19937 copy, uint32_t m) {
    const uint64_t threshold = kWordRange % m;
    for (size_t used = 1;; ++used) {
        const uint64_t product = uint64_t{copy()} * m;
        if (product % kWordRange >= threshold) return {static_cast<uint32_t>(product / kWordRange), used};
    }
}

}  // namespace

TEST(UniformBelow, MatchesReferenceOverMt19937Outputs) {
    // 2^31 + 1 and 2^32/3 + 2 reject close to half and a third of the words.
    const std::vector<uint32_t> moduli{1, 2, 3, 7, 10, 1000, 0x55555557u, 0x80000001u, 0xfffffffeu, 0xffffffffu};
    std::mt19937 engine(20240607u);
    size_t rejections = 0;
    for (uint32_t m : moduli) {
        for (int i = 0; i < 2000; ++i) {
            const Expected expected = reference_draw(engine, m);
            std::mt19937 advanced = engine;
            for (size_t k = 0; k < expected.words_used; ++k) advanced();
            const uint32_t got = uniform_below(engine, m);
            ASSERT_EQ(got, expected.value) << "m=" << m << " draw " << i;
            ASSERT_LT(got, m);
            ASSERT_EQ(engine, advanced) << "m=" << m << " consumed a different number of words";
            rejections += expected.words_used - 1;
        }
    }
    EXPECT_GT(rejections, 1000u);  // the rejection loop really ran
}

TEST(UniformBelow, OneConsumesOneWordAndGivesZero) {
    ScriptedEngine engine{{UINT32_MAX, 0, 12345}};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(uniform_below(engine, 1), 0u);
    EXPECT_EQ(engine.consumed, 3u);
}

TEST(UniformBelow, LargestModulusRejectsOnlyTheZeroWord) {
    // m = 2^32 - 1: threshold 1, and x * m is 0 mod 2^32 only for x = 0.
    ScriptedEngine engine{{0, 0, 5, 7}};
    EXPECT_EQ(uniform_below(engine, UINT32_MAX), 4u);  // (5 * (2^32 - 1)) >> 32
    EXPECT_EQ(engine.consumed, 3u);
}

TEST(UniformBelow, LowProductBelowModulusButAboveThresholdIsKept) {
    // m = 2^31 + 1: threshold 2^31 - 1. x = 2^31 - 1 gives low half 2^31 - 1 (kept, below m),
    // x = 1 gives low half 2^31 + 1 (kept, not below m), x = 2 gives low half 2 (rejected).
    const uint32_t m = 0x80000001u;
    ScriptedEngine engine{{2, 0x7fffffffu, 1}};
    EXPECT_EQ(uniform_below(engine, m), 0x3fffffffu);
    EXPECT_EQ(engine.consumed, 2u);
    EXPECT_EQ(uniform_below(engine, m), 0u);
    EXPECT_EQ(engine.consumed, 3u);
}

}  // namespace cliffmix

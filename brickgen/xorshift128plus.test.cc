#include "xorshift128plus.h"

#include <gtest/gtest.h>

#include <array>

namespace brickgen {
namespace {

struct OutputVector {
    uint64_t value;
    std::array<uint64_t, 3> first_outputs;
};

// First outputs of xorshift128+ (shifts 23, 17, 26) from the state
// s0 = value ^ kGoldenGamma, s1 = value * kMixMultiplier + kMixIncrement (mod 2^64),
// computed outside this code from the generator's published definition:
//   M = 2**64 - 1; s0, s1 = v ^ 0x9E3779B97F4A7C15, (v * 0xBF58476D1CE4E5B9 + 0x94D049BB133111EB) & M
//   repeat: t, u = s0, s1; s0 = u; t ^= (t << 23) & M; s1 = t ^ u ^ (t >> 17) ^ (u >> 26); print((s1 + u) & M)
const OutputVector kVectors[] = {
    {0, {0x6B28FE184FDBCBCAULL, 0x7559F654E15A0602ULL, 0x06C91EAA6C04ADA3ULL}},
    {1, {0x6AC8FE26514E72BDULL, 0xED31042E4817BD58ULL, 0x95B0EA4E7E026632ULL}},
};

class XorShiftVectors : public testing::TestWithParam<OutputVector> {};

TEST_P(XorShiftVectors, FirstOutputsMatchReference) {
    XorShift128Plus g = make_xorshift128plus(GetParam().value);
    for (uint64_t expected : GetParam().first_outputs) EXPECT_EQ(next_output(g), expected);
}

INSTANTIATE_TEST_SUITE_P(Values, XorShiftVectors, testing::ValuesIn(kVectors));

TEST(XorShift, ConstructionWrapsModulo64Bits) {
    const XorShift128Plus g = make_xorshift128plus(~0ULL);
    EXPECT_EQ(g.s0, ~0ULL ^ kGoldenGamma);
    EXPECT_EQ(g.s1, kMixIncrement - kMixMultiplier);  // (-1) * m + c mod 2^64
}

TEST(Seeds, NegativeSeedsAreSignExtended) {
    EXPECT_EQ(widen_seed(-1), ~0ULL);
    EXPECT_EQ(widen_seed(INT32_MIN), 0xFFFFFFFF80000000ULL);
    EXPECT_EQ(widen_seed(INT32_MAX), 0x7FFFFFFFULL);
}

TEST(Seeds, RecordSeedsStepByTheGoldenGamma) {
    EXPECT_EQ(record_seed(0, 0), 0u);
    EXPECT_EQ(record_seed(0, 1), kGoldenGamma);
    EXPECT_EQ(record_seed(-1, 0), ~0ULL);
    EXPECT_EQ(record_seed(-1, 1), kGoldenGamma - 1);
    EXPECT_EQ(record_seed(7, 3), 7 + 3 * kGoldenGamma);
}

TEST(Seeds, QubitGeneratorValueWraps) {
    EXPECT_EQ(qubit_generator_value(0), kMixMultiplier);
    EXPECT_EQ(qubit_generator_value(-1), kMixMultiplier - 1);
}

}  // namespace
}  // namespace brickgen

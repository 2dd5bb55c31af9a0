#include "xorshift128plus.h"

#include <gtest/gtest.h>

#include <array>

namespace brickgen {
namespace {

struct OutputVector {
    uint64_t value;
    std::array<uint64_t, 3> first_outputs;
};

// Reference outputs of xorshift128+ (23, 17, 26) after the construction above,
// taken from the generator's published definition.
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

// The seeded source's stream and draw against values computed outside it, and
// the per-thread reset sources.
#include "wavesim/base/random_source.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace wavesim {
namespace {

TEST(DrawUniform, CombinesTwoEngineOutputsIntoOneDraw) {
    // The first two outputs of a default-seeded mt19937 (seed 5489).
    std::mt19937 reference;
    ASSERT_EQ(reference(), 3499211612u);
    ASSERT_EQ(reference(), 581869302u);
    // m = 581869302 * 2^21 + (3499211612 >> 11) = 1220268372136503; u = m * 2^-53
    // (computed with Python integers: m * 2.0**-53).
    RandomSource source;
    EXPECT_EQ(draw_uniform(source), 0.13547700429678045);
    // Exactly two outputs were consumed.
    std::mt19937 after;
    after.discard(2);
    EXPECT_EQ(source.engine, after);
}

TEST(DrawUniform, ScalesIntoTheSourceRange) {
    RandomSource plain;
    RandomSource shifted;
    shifted.low = -2.0;
    shifted.high = 6.0;
    for (int k = 0; k < 100; ++k) {
        const double u = draw_uniform(plain);
        EXPECT_GE(u, 0.0);
        EXPECT_LT(u, 1.0);
        EXPECT_EQ(draw_uniform(shifted), std::fma(8.0, u, -2.0));
    }
}

TEST(MakeSeededSource, SeedsWithTheSeedsBitPattern) {
    EXPECT_EQ(make_seeded_source(0).engine, std::mt19937(0));
    EXPECT_EQ(make_seeded_source(7).engine, std::mt19937(7));
    EXPECT_EQ(make_seeded_source(2147483647).engine, std::mt19937(2147483647u));
    EXPECT_FALSE(make_seeded_source(0).engine == make_seeded_source(1).engine);
    const RandomSource s = make_seeded_source(3);
    EXPECT_EQ(s.low, 0.0);
    EXPECT_EQ(s.high, 1.0);
    // Negative: a fresh random-device value per source (equal with probability 2^-32).
    EXPECT_FALSE(make_seeded_source(-1).engine == make_seeded_source(-1).engine);
}

TEST(ThreadResetSource, OnePerThreadAndPrecision) {
    RandomSource* d = &thread_reset_source<double>();
    RandomSource* f = &thread_reset_source<float>();
    EXPECT_NE(static_cast<void*>(d), static_cast<void*>(f));
    EXPECT_EQ(d, &thread_reset_source<double>());
    const std::mt19937 before = d->engine;
    draw_uniform(*d);
    EXPECT_FALSE(d->engine == before) << "the same instance keeps its stream";
    RandomSource* other = nullptr;
    std::mt19937 other_engine;
    std::thread([&] {
        other = &thread_reset_source<double>();
        other_engine = other->engine;
    }).join();
    EXPECT_NE(other, d);
    EXPECT_FALSE(other_engine == before);
    EXPECT_EQ(d->low, 0.0);
    EXPECT_EQ(d->high, 1.0);
}

}  // namespace
}  // namespace wavesim

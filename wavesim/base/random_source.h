// The simulator's random source: a seeded Mersenne Twister, the one uniform
// draw every stochastic operation takes from it, and the per-thread source of
// the resets that no seeded call drives.
#pragma once

#include <random>

namespace wavesim {

struct RandomSource {
    std::mt19937 engine;
    double low = 0.0;
    double high = 1.0;
};

// seed >= 0: its 32-bit pattern; seed < 0: one value from std::random_device.
RandomSource make_seeded_source(int seed);

// Exactly two engine outputs x1, x2: m = x2 * 2^21 + (x1 >> 11), u = m * 2^-53,
// result fma(high - low, u, low). Fixed so that a seed gives the same stream everywhere.
double draw_uniform(RandomSource& source);

// The calling thread's reset source for this precision: thread_local, seeded
// from std::random_device at its first use on the thread, never re-seeded.
template <typename Real>
RandomSource& thread_reset_source();

}  // namespace wavesim

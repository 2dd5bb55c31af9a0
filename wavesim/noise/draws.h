// The draws of the noisy procedures. Every trajectory draws from a stream of
// its own: a counter-based generator (SplitMix64's mixer over a key and a
// counter), so a trajectory's draws do not depend on the order trajectories
// are taken in, on the tree that groups them or on the thread count, and
// parameter sets given the same keys draw the same numbers (common random
// numbers). Fixed integer arithmetic: a key gives the same stream everywhere.
#pragma once

#include <cstdint>

namespace wavesim {

// The key of a call: a seed >= 0 as its bits, a negative one from std::random_device.
uint64_t call_key(int seed);

// A key made of a parent key and two numbers (a purpose, a parameter set, a trajectory).
uint64_t derived_key(uint64_t key, uint64_t a, uint64_t b = 0);

// Draw `index` of the stream `key`: a uniform double in [0, 1) with 53 random bits.
double stream_uniform(uint64_t key, uint64_t index);

// A stream read in order.
struct DrawStream {
    uint64_t key = 0;
    uint64_t drawn = 0;
};

inline double next_uniform(DrawStream& stream) { return stream_uniform(stream.key, stream.drawn++); }

// Binomial(n, p) by geometric gaps between successes (of the rarer outcome):
// min(n p, n (1 - p)) + 1 draws on average.
uint64_t binomial(uint64_t n, double p, DrawStream& stream);

}  // namespace wavesim

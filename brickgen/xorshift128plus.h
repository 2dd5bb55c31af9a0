// xorshift128+ generator behind every random number of brickgen, and the
// seed arithmetic that derives per-record and per-thread generators from a
// call's seed. All arithmetic is modulo 2^64 on unsigned words.
#pragma once

#include <cstdint>

namespace brickgen {

// Golden-ratio increment: spreads consecutive record indices over the seed space.
constexpr uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;
// splitmix64 multipliers, reused to decorrelate the two state words.
constexpr uint64_t kMixMultiplier = 0xBF58476D1CE4E5B9ULL;
constexpr uint64_t kMixIncrement = 0x94D049BB133111EBULL;

struct XorShift128Plus {
    uint64_t s0 = 0;
    uint64_t s1 = 0;
};

constexpr XorShift128Plus make_xorshift128plus(uint64_t value) {
    return XorShift128Plus{value ^ kGoldenGamma, value * kMixMultiplier + kMixIncrement};
}

constexpr uint64_t next_output(XorShift128Plus& g) {
    uint64_t t = g.s0;
    const uint64_t u = g.s1;
    g.s0 = u;
    t ^= t << 23;
    g.s1 = t ^ u ^ (t >> 17) ^ (u >> 26);
    return g.s1 + u;
}

// The seed argument is sign-extended, so -1 becomes 0xFFFF...FFFF.
constexpr uint64_t widen_seed(int32_t seed) { return static_cast<uint64_t>(static_cast<int64_t>(seed)); }

// Depends only on the seed and the record's position, never on the thread.
constexpr uint64_t record_seed(int32_t seed, uint64_t index) { return widen_seed(seed) + index * kGoldenGamma; }

// Every thread's qubit generator starts from this same value.
constexpr uint64_t qubit_generator_value(int32_t seed) { return widen_seed(seed) + kMixMultiplier; }

}  // namespace brickgen

// The counter-based streams and the binomial draw.
#include "wavesim/noise/draws.h"

#include <cmath>
#include <random>

namespace wavesim {
namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
constexpr double kTwoPowMinus53 = 1.1102230246251565e-16;
constexpr int kDroppedBits = 11;

// SplitMix64's output function.
uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

uint64_t call_key(int seed) {
    if (seed >= 0) return mix64(uint64_t(uint32_t(seed)) + kGolden);
    std::random_device device;
    return mix64((uint64_t(device()) << 32) ^ device());
}

uint64_t derived_key(uint64_t key, uint64_t a, uint64_t b) {
    return mix64(mix64(key ^ mix64(a + kGolden)) + b * kGolden);
}

double stream_uniform(uint64_t key, uint64_t index) {
    return double(mix64(key + (index + 1) * kGolden) >> kDroppedBits) * kTwoPowMinus53;
}

uint64_t binomial(uint64_t n, double p, DrawStream& stream) {
    if (n == 0 || !(p > 0.0)) return 0;
    if (p >= 1.0) return n;
    if (p > 0.5) return n - binomial(n, 1.0 - p, stream);
    const double log_q = std::log1p(-p);
    uint64_t count = 0;
    uint64_t position = 0;  // trials used so far
    for (;;) {
        // Failures before the next success: floor(log(1 - u) / log(1 - p)).
        const double gap = std::floor(std::log1p(-next_uniform(stream)) / log_q);
        if (!(gap < double(n - position))) return count;
        position += uint64_t(gap) + 1;
        ++count;
    }
}

}  // namespace wavesim

// The seeded source, its uniform draw and the per-thread reset sources.
#include "wavesim/base/random_source.h"

#include <cmath>
#include <cstdint>

namespace wavesim {
namespace {

constexpr double kTwoPowMinus53 = 1.1102230246251565e-16;
constexpr int kDroppedLowBits = 11;
constexpr int kHighWordShift = 21;

}  // namespace

RandomSource make_seeded_source(int seed) {
    RandomSource source;
    source.engine.seed(seed >= 0 ? static_cast<uint32_t>(seed) : std::random_device{}());
    return source;
}

double draw_uniform(RandomSource& source) {
    const uint64_t x1 = source.engine();
    const uint64_t x2 = source.engine();
    const uint64_t m = (x2 << kHighWordShift) + (x1 >> kDroppedLowBits);
    const double u = static_cast<double>(m) * kTwoPowMinus53;
    return std::fma(source.high - source.low, u, source.low);
}

template <typename Real>
RandomSource& thread_reset_source() {
    thread_local RandomSource source = make_seeded_source(-1);
    return source;
}

template RandomSource& thread_reset_source<double>();
template RandomSource& thread_reset_source<float>();

}  // namespace wavesim

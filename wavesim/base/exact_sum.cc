// ExactSum: sums of doubles in fixed point, the same whatever the order of the terms.
#include "wavesim/base/exact_sum.h"

#include <cmath>

namespace wavesim {
namespace {

// Grid values stay below 2^kLimitBits: kFractionBits plus the headroom's bits.
constexpr int kLimitBits = ExactSum::kFractionBits + 4;
static_assert(ExactSum::kHeadroom == 16.0, "the headroom is 2^(kLimitBits - kFractionBits)");

}  // namespace

ExactSum::ExactSum(double bound) {
    int e = 0;
    const double magnitude = std::fabs(bound);
    if (std::isfinite(magnitude) && magnitude > 0.0) std::frexp(magnitude, &e);  // magnitude < 2^e
    exponent_ = e - kFractionBits;
}

void ExactSum::add(double term) {
    const double scaled = std::ldexp(term, -exponent_);
    if (!(std::fabs(scaled) < std::ldexp(1.0, kLimitBits))) {
        beside_ += term;
        return;
    }
    fixed_ += static_cast<__int128>(std::nearbyint(scaled));
}

void ExactSum::add(const ExactSum& other) {
    fixed_ += other.fixed_;
    beside_ += other.beside_;
}

double ExactSum::value() const { return std::ldexp(static_cast<double>(fixed_), exponent_) + beside_; }

}  // namespace wavesim

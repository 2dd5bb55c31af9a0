// A sum of doubles whose value does not depend on the order its terms are
// added in, so that partial sums taken by any number of threads, or by a
// batch worker instead of a whole team, give the same bits.
#pragma once

#include <cstdint>

namespace wavesim {

// Each term is rounded once to a fixed-point grid whose step is 2^-kFractionBits
// times the power of two above `bound`; the grid values add exactly as
// integers. Terms below kHeadroom times the bound join the exact sum (2^26 of
// them at most); a larger or non-finite term is added to a plain double
// beside it, so NaN and infinities still propagate.
class ExactSum {
  public:
    static constexpr int kFractionBits = 96;
    static constexpr double kHeadroom = 16.0;

    explicit ExactSum(double bound = 1.0);

    void add(double term);
    // Both sums must have been made with the same bound.
    void add(const ExactSum& other);
    // The exact sum rounded once to a double, plus the terms beside it.
    double value() const;

  private:
    int exponent_;  // grid step 2^exponent_
    __int128 fixed_ = 0;
    double beside_ = 0.0;
};

}  // namespace wavesim

// The pieces every gate formula is built from: a parameter read with its
// default, the half angle of a rotation with its derivative, a phase, and
// the one-qubit matrix written out.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "wavesim/base/matrix.h"
#include "wavesim/gates/gate_constants.h"

namespace wavesim {
namespace gate_formulas {

inline const Complex kZero{0.0, 0.0};
inline const Complex kOne{1.0, 0.0};
inline const Complex kI{0.0, 1.0};
inline const Complex kMinusI{-0.0, -1.0};

// Missing parameters read as 0.0.
inline double param_at(const std::vector<double>& params, size_t index) {
    return index < params.size() ? params[index] : 0.0;
}

// cos and sin of theta/2 from the one argument theta * 0.5, and their
// derivatives with respect to theta (dc = -s/2, ds = c/2).
struct HalfAngle {
    double c;
    double s;
    double dc;
    double ds;
};

inline HalfAngle half_angle(double theta) {
    const double half = theta * kHalf;
    const double c = std::cos(half);
    const double s = std::sin(half);
    return {c, s, -kHalf * s, kHalf * c};
}

// e^{i angle}
inline Complex phase(double angle) { return {std::cos(angle), std::sin(angle)}; }

inline Matrix one_qubit(Complex m00, Complex m01, Complex m10, Complex m11) { return {m00, m01, m10, m11}; }

}  // namespace gate_formulas
}  // namespace wavesim

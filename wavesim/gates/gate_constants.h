// The constants the gates are defined with, shared by the matrices, their
// derivatives and the fixed kernels.
#pragma once

#include <complex>

namespace wavesim {

// One unit in the last place below the rounded 1/sqrt(2) (bits
// 0x3FE6A09E667F3BCC): the value the H, CH, U2, CU2, T and TDG matrices are
// defined with, and the H kernel's factor.
constexpr double kInvSqrt2 = 0.7071067811865475;

// The factor of the T and TDG kernels: the rounded 1/sqrt(2) (bits
// 0x3FE6A09E667F3BCD), one unit in the last place above kInvSqrt2.
constexpr double kTPhaseComponent = 0.7071067811865476;

// Half of an angle: rotations take cos and sin of theta * kHalf.
constexpr double kHalf = 0.5;

// The kernels' factors in each precision (one float for both in single precision).
template <typename Real>
struct GateConstants;

template <>
struct GateConstants<double> {
    static constexpr double kH = kInvSqrt2;
    static constexpr double kT = kTPhaseComponent;
};

template <>
struct GateConstants<float> {
    static constexpr float kH = 0.70710677f;  // bits 0x3F3504F3
    static constexpr float kT = 0.70710677f;
};

}  // namespace wavesim

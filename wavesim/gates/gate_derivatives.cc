// Each builder differentiates its catalogue formula entry by entry: with
// c = cos(theta/2) and s = sin(theta/2), dc = -s/2 and ds = c/2; a phase
// e^{i a} gives i e^{i a}.
#include "wavesim/gates/gate_derivatives.h"

#include <cmath>

#include "wavesim/gates/angles.h"

namespace wavesim {
namespace gate_derivatives {

using namespace gate_formulas;

namespace {

// The two-qubit rotations: `diagonal` on the diagonal, `anti[r]` at (r, 3 - r).
Matrix diagonal_and_anti(const Complex (&diagonal)[4], const Complex (&anti)[4]) {
    Matrix m(16, kZero);
    for (int r = 0; r < 4; ++r) {
        m[size_t(r * 4 + r)] = diagonal[r];
        m[size_t(r * 4 + 3 - r)] = anti[r];
    }
    return m;
}

}  // namespace

Derivatives d_rx(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return {one_qubit(a.dc, -kI * a.ds, -kI * a.ds, a.dc)};
}

Derivatives d_ry(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return {one_qubit(a.dc, -a.ds, a.ds, a.dc)};
}

Derivatives d_rz(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return {one_qubit(Complex(a.dc, -a.ds), kZero, kZero, Complex(a.dc, a.ds))};
}

Derivatives d_p(const std::vector<double>& p) { return {one_qubit(kZero, kZero, kZero, kI * phase(param_at(p, 0)))}; }

Derivatives d_r(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex down = phase(-param_at(p, 1));
    const Complex up = phase(param_at(p, 1));
    return {one_qubit(a.dc, -kI * down * a.ds, -kI * up * a.ds, a.dc), one_qubit(kZero, -down * a.s, up * a.s, kZero)};
}

Derivatives d_u2(const std::vector<double>& p) {
    const Complex phi = phase(param_at(p, 0));
    const Complex lambda = phase(param_at(p, 1));
    const Complex both = phase(param_at(p, 0) + param_at(p, 1));
    return {one_qubit(kZero, kZero, kI * kInvSqrt2 * phi, kI * kInvSqrt2 * both),
            one_qubit(kZero, -kI * kInvSqrt2 * lambda, kZero, kI * kInvSqrt2 * both)};
}

Derivatives d_u3(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex phi = phase(param_at(p, 1));
    const Complex lambda = phase(param_at(p, 2));
    const Complex both = phase(param_at(p, 1) + param_at(p, 2));
    return {one_qubit(a.dc, -a.ds * lambda, a.ds * phi, a.dc * both),
            one_qubit(kZero, kZero, kI * a.s * phi, kI * a.c * both),
            one_qubit(kZero, -kI * a.s * lambda, kZero, kI * a.c * both)};
}

// U3 times e^{i gamma}: the U3 derivatives times that phase, and i times the whole for gamma.
Derivatives d_cu(const std::vector<double>& p) {
    const Complex g = phase(param_at(p, 3));
    Derivatives out = d_u3(p);
    for (Matrix& m : out)
        for (Complex& entry : m) entry *= g;
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex phi = phase(param_at(p, 1));
    const Complex lambda = phase(param_at(p, 2));
    const Complex both = phase(param_at(p, 1) + param_at(p, 2));
    out.push_back(one_qubit(kI * g * a.c, -kI * g * a.s * lambda, kI * g * a.s * phi, kI * g * a.c * both));
    return out;
}

Derivatives d_rxx(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex off = -kI * a.ds;
    return {diagonal_and_anti({a.dc, a.dc, a.dc, a.dc}, {off, off, off, off})};
}

Derivatives d_ryy(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex plus = kI * a.ds;
    return {diagonal_and_anti({a.dc, a.dc, a.dc, a.dc}, {plus, -plus, -plus, plus})};
}

Derivatives d_rzz(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex minus{a.dc, -a.ds};
    const Complex plus{a.dc, a.ds};
    return {diagonal_and_anti({minus, plus, plus, minus}, {kZero, kZero, kZero, kZero})};
}

}  // namespace gate_derivatives
}  // namespace wavesim

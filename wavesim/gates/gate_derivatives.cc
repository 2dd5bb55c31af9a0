// Each builder differentiates its catalogue formula entry by entry: with
// c = cos(theta/2) and s = sin(theta/2), dc = -s/2 and ds = c/2; a phase
// e^{i a} gives i e^{i a}.
#include "wavesim/gates/gate_derivatives.h"

#include <cmath>
#include <complex>
#include <unordered_map>

namespace wavesim {
namespace {

using Derivatives = std::vector<Matrix>;

constexpr double kH = 0.7071067811865475;  // the catalogue's 1/sqrt(2) (U2, CU2)
constexpr double kHalf = 0.5;
const Complex kZero{0.0, 0.0};
const Complex kI{0.0, 1.0};

double param_at(const std::vector<double>& params, size_t index) { return index < params.size() ? params[index] : 0.0; }

// cos and sin of theta/2 and their derivatives with respect to theta.
struct HalfAngle {
    double c;
    double s;
    double dc;
    double ds;
};

HalfAngle half_angle(double theta) {
    const double half = theta * kHalf;
    const double c = std::cos(half);
    const double s = std::sin(half);
    return {c, s, -kHalf * s, kHalf * c};
}

Complex phase(double angle) { return {std::cos(angle), std::sin(angle)}; }

Matrix one_qubit(Complex m00, Complex m01, Complex m10, Complex m11) { return {m00, m01, m10, m11}; }

// The two-qubit rotations: `diagonal` on the diagonal, `anti[r]` at (r, 3 - r).
Matrix diagonal_and_anti(const Complex (&diagonal)[4], const Complex (&anti)[4]) {
    Matrix m(16, kZero);
    for (int r = 0; r < 4; ++r) {
        m[size_t(r * 4 + r)] = diagonal[r];
        m[size_t(r * 4 + 3 - r)] = anti[r];
    }
    return m;
}

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
    return {one_qubit(kZero, kZero, kI * kH * phi, kI * kH * both),
            one_qubit(kZero, -kI * kH * lambda, kZero, kI * kH * both)};
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

using DerivativeBuilder = Derivatives (*)(const std::vector<double>&);

}  // namespace

std::vector<Matrix> target_matrix_derivatives(std::string_view name, const std::vector<double>& params) {
    static const std::unordered_map<std::string_view, DerivativeBuilder> kBuilders = {
        {"RX", d_rx},   {"CRX", d_rx},  {"RY", d_ry},       {"CRY", d_ry},  {"RZ", d_rz}, {"CRZ", d_rz},
        {"P", d_p},     {"U1", d_p},    {"CP", d_p},        {"CU1", d_p},   {"R", d_r},   {"U2", d_u2},
        {"CU2", d_u2},  {"U3", d_u3},   {"U", d_u3},        {"CU3", d_u3},  {"CU", d_cu}, {"RXX", d_rxx},
        {"RYY", d_ryy}, {"RZZ", d_rzz}, {"ISINGZZ", d_rzz}, {"IZZ", d_rzz},
    };
    const auto found = kBuilders.find(name);
    return found == kBuilders.end() ? Derivatives{} : found->second(params);
}

}  // namespace wavesim

// The gate formulas: each builder writes out its matrix from the half angle and phases of its parameters.
#include "wavesim/gates/gate_matrices.h"

#include <cmath>

#include "wavesim/gates/angles.h"

namespace wavesim {
namespace gate_matrices {

using namespace gate_formulas;

namespace {

Matrix diagonal(const std::vector<Complex>& entries) {
    const size_t d = entries.size();
    Matrix m(d * d, kZero);
    for (size_t i = 0; i < d; ++i) m[i * d + i] = entries[i];
    return m;
}

}  // namespace

Matrix identity_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, kOne); }
Matrix h_gate(const std::vector<double>&) { return one_qubit(kInvSqrt2, kInvSqrt2, kInvSqrt2, -kInvSqrt2); }
Matrix x_gate(const std::vector<double>&) { return one_qubit(kZero, kOne, kOne, kZero); }
Matrix y_gate(const std::vector<double>&) { return one_qubit(kZero, kMinusI, kI, kZero); }
Matrix z_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, -1.0); }
Matrix s_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, kI); }
Matrix sdg_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, kMinusI); }
Matrix t_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, Complex(kInvSqrt2, kInvSqrt2)); }
Matrix tdg_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, Complex(kInvSqrt2, -kInvSqrt2)); }

Matrix sx_gate(const std::vector<double>&) {
    const Complex plus{kHalf, kHalf};
    const Complex minus{kHalf, -kHalf};
    return one_qubit(plus, minus, minus, plus);
}

Matrix sy_gate(const std::vector<double>&) {
    const Complex plus{kHalf, kHalf};
    return one_qubit(plus, -plus, plus, plus);
}

Matrix swap_gate(const std::vector<double>&) {
    Matrix m(16, kZero);
    m[0 * 4 + 0] = kOne;
    m[1 * 4 + 2] = kOne;
    m[2 * 4 + 1] = kOne;
    m[3 * 4 + 3] = kOne;
    return m;
}

Matrix iswap_gate(const std::vector<double>&) {
    Matrix m(16, kZero);
    m[0 * 4 + 0] = kOne;
    m[1 * 4 + 2] = kI;
    m[2 * 4 + 1] = kI;
    m[3 * 4 + 3] = kOne;
    return m;
}

Matrix rx_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return one_qubit(a.c, kMinusI * a.s, kMinusI * a.s, a.c);
}

Matrix ry_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return one_qubit(a.c, -a.s, a.s, a.c);
}

Matrix rz_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return one_qubit(Complex(a.c, -a.s), kZero, kZero, Complex(a.c, a.s));
}

Matrix p_gate(const std::vector<double>& p) { return one_qubit(kOne, kZero, kZero, phase(param_at(p, 0))); }

Matrix r_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const double phi = param_at(p, 1);
    return one_qubit(a.c, kMinusI * phase(-phi) * a.s, kMinusI * phase(phi) * a.s, a.c);
}

Matrix u2_gate(const std::vector<double>& p) {
    const double phi = param_at(p, 0);
    const double lambda = param_at(p, 1);
    return one_qubit(kInvSqrt2, -kInvSqrt2 * phase(lambda), kInvSqrt2 * phase(phi), kInvSqrt2 * phase(phi + lambda));
}

Matrix u3_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const double phi = param_at(p, 1);
    const double lambda = param_at(p, 2);
    return one_qubit(a.c, -a.s * phase(lambda), a.s * phase(phi), a.c * phase(phi + lambda));
}

namespace {

// g e^{i x} with its two fused multiply-adds written out (this file is
// compiled without contraction, so nothing else is fused): each part rounds
// its first product inside the fma and the other on its own, in the order
// each entry of CU is defined with.
enum class FusedPart : uint8_t { kFirst, kSecond };

Complex fused_product(Complex g, Complex e, FusedPart real, FusedPart imag) {
    const double re = real == FusedPart::kFirst ? std::fma(g.real(), e.real(), -(g.imag() * e.imag()))
                                                : std::fma(-g.imag(), e.imag(), g.real() * e.real());
    const double im = imag == FusedPart::kFirst ? std::fma(g.real(), e.imag(), g.imag() * e.real())
                                                : std::fma(g.imag(), e.real(), g.real() * e.imag());
    return {re, im};
}

}  // namespace

// U3 times the global phase e^{i gamma}, each entry a complex product with it.
Matrix cu_target(const std::vector<double>& p) {
    using P = FusedPart;
    const HalfAngle a = half_angle(param_at(p, 0));
    const double phi = param_at(p, 1);
    const double lambda = param_at(p, 2);
    const Complex g = phase(param_at(p, 3));
    return one_qubit(a.c * g, -a.s * fused_product(g, phase(lambda), P::kFirst, P::kSecond),
                     a.s * fused_product(g, phase(phi), P::kSecond, P::kSecond),
                     a.c * fused_product(g, phase(phi + lambda), P::kSecond, P::kFirst));
}

namespace {

// c on the diagonal, `corner` at (0, 3) and (3, 0), `middle` at (1, 2) and (2, 1).
Matrix two_qubit_rotation(double c, Complex corner, Complex middle) {
    Matrix m = diagonal({c, c, c, c});
    m[0 * 4 + 3] = corner;
    m[1 * 4 + 2] = middle;
    m[2 * 4 + 1] = middle;
    m[3 * 4 + 0] = corner;
    return m;
}

}  // namespace

Matrix rxx_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return two_qubit_rotation(a.c, kMinusI * a.s, kMinusI * a.s);
}

Matrix ryy_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return two_qubit_rotation(a.c, kI * a.s, kMinusI * a.s);
}

Matrix rzz_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex minus{a.c, -a.s};
    const Complex plus{a.c, a.s};
    return diagonal({minus, plus, plus, minus});
}

}  // namespace gate_matrices

Matrix controlled(const Matrix& target, int num_controls) {
    using gate_formulas::kOne;
    using gate_formulas::kZero;
    const size_t target_dim = static_cast<size_t>(std::lround(std::sqrt(static_cast<double>(target.size()))));
    const size_t dim = target_dim << num_controls;
    Matrix m(dim * dim, kZero);
    const size_t offset = dim - target_dim;
    for (size_t i = 0; i < offset; ++i) m[i * dim + i] = kOne;
    for (size_t r = 0; r < target_dim; ++r) {
        for (size_t c = 0; c < target_dim; ++c) m[(offset + r) * dim + offset + c] = target[r * target_dim + c];
    }
    return m;
}


}  // namespace wavesim

// Random 4x4 unitaries for quantum-volume records.
#include "random_su4.h"

#include <Eigen/QR>

#include <algorithm>
#include <cmath>

namespace brickgen {

namespace {

constexpr uint64_t kLow32Mask = 0xFFFFFFFFULL;
constexpr double kTwoToMinus32 = 2.3283064365386963e-10;
// 2*pi*2^-32: the angle in one multiplication from the raw 32 bits.
constexpr double kTwoPiTwoToMinus32 = 1.4629180792671596e-9;
// Keeps ln() finite when the uniform is exactly 0 (radius then at most ~8.31).
constexpr double kMinUniform = 1e-15;
// Below this a diagonal entry of R carries no usable phase.
constexpr double kPhaseThreshold = 1e-15;

}  // namespace

double gaussian_variate(XorShift128Plus& g) {
    const double u1 = static_cast<double>(next_output(g) & kLow32Mask) * kTwoToMinus32;
    const double angle = static_cast<double>(next_output(g) & kLow32Mask) * kTwoPiTwoToMinus32;
    const double radius = std::sqrt(std::log(std::max(u1, kMinUniform)) * -2.0);
    return radius * std::cos(angle);
}

Matrix4c gaussian_matrix(XorShift128Plus& g) {
    Matrix4c z;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const double imag = gaussian_variate(g);
            const double real = gaussian_variate(g);
            z(r, c) = std::complex<double>(real, imag);
        }
    }
    return z;
}

void random_su4(uint64_t seed, std::vector<std::complex<double>>& out) {
    XorShift128Plus g = make_xorshift128plus(seed);
    const Eigen::HouseholderQR<Matrix4c> qr(gaussian_matrix(g));
    Matrix4c q = qr.householderQ();
    const Matrix4c& packed = qr.matrixQR();
    // Q * diag(conj(d)/|d|) is the unique unitary factor with a positive
    // diagonal in R, which makes the distribution Haar rather than QR-biased.
    for (int k = 0; k < 4; ++k) {
        const std::complex<double> d = packed(k, k);
        const double m = std::hypot(d.real(), d.imag());
        if (m > kPhaseThreshold) {
            const double f = 1.0 / m;
            q.col(k) *= std::complex<double>(d.real() * f, -(d.imag() * f));
        }
    }
    static_assert(!Matrix4c::IsRowMajor, "records carry their matrix column-major");
    out.resize(Matrix4c::SizeAtCompileTime);
    std::copy(q.data(), q.data() + Matrix4c::SizeAtCompileTime, out.begin());
}

}  // namespace brickgen

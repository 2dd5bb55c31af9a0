// Identity, conjugate transpose and the product that applies a matrix to some positions of another.
#include "wavesim/base/matrix.h"

#include <cmath>
#include <stdexcept>

#include "wavesim/base/bits.h"

namespace wavesim {

Matrix identity_matrix(uint64_t dim) {
    Matrix m(dim * dim);
    for (uint64_t d = 0; d < dim; ++d) m[d * dim + d] = 1.0;
    return m;
}

Matrix dagger_matrix(const Matrix& m) {
    const size_t n = m.size();
    const size_t d = static_cast<size_t>(std::sqrt(static_cast<double>(n)));
    if (d * d != n) throw std::runtime_error("dagger_matrix: matrix is not square");
    Matrix out(n, Complex(0.0, 0.0));
    for (size_t i = 0; i < d; ++i) {
        for (size_t j = 0; j < d; ++j) out[i * d + j] = std::conj(m[j * d + i]);
    }
    return out;
}

void multiply_from_left(Matrix& product, uint64_t dim, const Matrix& u, const int* targets, int count, uint64_t ones,
                        uint64_t zeros) {
    constexpr size_t kMaxSize = size_t{1} << kMaxMatrixTargets;
    const size_t size = size_t{1} << count;
    uint64_t target_bits = 0;
    for (int j = 0; j < count; ++j) target_bits |= bit(targets[j]);
    if ((ones | zeros) & target_bits) return;
    uint64_t offset[kMaxSize] = {};
    for (size_t a = 0; a < size; ++a)
        for (int j = 0; j < count; ++j)
            if ((a >> j) & 1) offset[a] |= bit(targets[j]);
    // Real and imaginary parts of the rows a group of U reads, then writes (size * dim <= kMaxSize^2).
    double in_re[kMaxSize * kMaxSize], in_im[kMaxSize * kMaxSize];
    double out_re[kMaxSize * kMaxSize], out_im[kMaxSize * kMaxSize];
    // Row by row, so that the innermost loop runs along contiguous entries.
    for (uint64_t row = 0; row < dim; ++row) {
        if ((row & target_bits) != 0 || (row & ones) != ones || (row & zeros) != 0) continue;
        for (size_t a = 0; a < size; ++a)
            for (uint64_t col = 0; col < dim; ++col) {
                in_re[a * dim + col] = product[(row | offset[a]) * dim + col].real();
                in_im[a * dim + col] = product[(row | offset[a]) * dim + col].imag();
            }
        for (size_t b = 0; b < size; ++b) {
            double* re = &out_re[b * dim];
            double* im = &out_im[b * dim];
            for (uint64_t col = 0; col < dim; ++col) re[col] = im[col] = 0.0;
            for (size_t a = 0; a < size; ++a) {
                const double m_re = u[b * size + a].real();
                const double m_im = u[b * size + a].imag();
                const double* x_re = &in_re[a * dim];
                const double* x_im = &in_im[a * dim];
                for (uint64_t col = 0; col < dim; ++col) {
                    re[col] += m_re * x_re[col] - m_im * x_im[col];
                    im[col] += m_re * x_im[col] + m_im * x_re[col];
                }
            }
        }
        for (size_t b = 0; b < size; ++b)
            for (uint64_t col = 0; col < dim; ++col)
                product[(row | offset[b]) * dim + col] = {out_re[b * dim + col], out_im[b * dim + col]};
    }
}

Matrix multiply(const Matrix& a, const Matrix& b) {
    size_t d = 1;
    while (d * d < a.size()) ++d;
    Matrix out(a.size());
    for (size_t r = 0; r < d; ++r)
        for (size_t c = 0; c < d; ++c) {
            Complex sum = 0.0;
            for (size_t k = 0; k < d; ++k) sum += a[r * d + k] * b[k * d + c];
            out[r * d + c] = sum;
        }
    return out;
}

}  // namespace wavesim

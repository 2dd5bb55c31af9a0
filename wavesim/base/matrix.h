// The simulator's matrix type and the products taken of matrices: gate
// matrices, their derivatives, fused products. Double precision whatever the
// state's, row-major.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace wavesim {

using Complex = std::complex<double>;

// Row-major, (2^k)^2 entries for a matrix on k qubits; bit j of a row or
// column index is the j-th qubit it acts on.
using Matrix = std::vector<Complex>;

// Qubits a dense matrix kernel takes (a fused gate may use all of them).
constexpr int kMaxMatrixTargets = 4;

// The identity on `dim` basis states.
Matrix identity_matrix(uint64_t dim);

// Conjugate transpose of a square matrix; refuses (std::runtime_error
// "dagger_matrix: matrix is not square") any other.
Matrix dagger_matrix(const Matrix& m);

// product <- U product for a square `product` of dimension `dim`, where U is
// `u` (on `count` <= kMaxMatrixTargets qubits) on the index positions
// targets[0 ... count-1] (bit j of u's index is position targets[j]) for the
// rows whose `ones` bits are set and whose `zeros` bits are clear, and the
// identity elsewhere; dim <= 2^kMaxMatrixTargets. As the kernels do, a u
// whose controls meet its targets has no effect. Each entry is the sum over
// u's columns in order, written out (std::complex's product takes a slow
// path for non-finite values).
void multiply_from_left(Matrix& product, uint64_t dim, const Matrix& u, const int* targets, int count, uint64_t ones,
                        uint64_t zeros);

// a b, both square of one size, each entry summed in std::complex arithmetic
// over k in order (the adjoint gradient's read matrices are made this way;
// multiply_from_left's sums, written out, may round differently).
Matrix multiply(const Matrix& a, const Matrix& b);

}  // namespace wavesim

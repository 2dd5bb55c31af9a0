// Haar-random 4x4 unitaries: a complex Gaussian matrix made unitary by
// Householder QR with the phases of R's diagonal divided out of Q.
#pragma once

#include <Eigen/Core>

#include <complex>
#include <cstdint>
#include <vector>

#include "xorshift128plus.h"

namespace brickgen {

using Matrix4c = Eigen::Matrix<std::complex<double>, 4, 4>;

// Outputs of the matrix generator consumed per unitary: 16 entries, two
// Gaussians each, two outputs per Gaussian.
constexpr int kOutputsPerUnitary = 64;

// One standard normal variate from two outputs (Box-Muller, cosine branch).
double gaussian_variate(XorShift128Plus& g);

// Row by row; in each entry the imaginary part is drawn before the real part.
Matrix4c gaussian_matrix(XorShift128Plus& g);

// Replaces `out` by the 16 entries of the unitary for `seed`, column-major.
// Pure function of the seed; safe to call from many threads at once.
void random_su4(uint64_t seed, std::vector<std::complex<double>>& out);

}  // namespace brickgen

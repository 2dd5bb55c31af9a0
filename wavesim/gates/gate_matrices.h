// The target matrices of the vocabulary's gates, one builder per formula:
// row-major, double precision, global phases included; missing parameters
// read as 0.0, extra ones are ignored. The catalogue's rows name them.
#pragma once

#include <vector>

#include "wavesim/base/matrix.h"

namespace wavesim {
namespace gate_matrices {

Matrix identity_gate(const std::vector<double>& params);
Matrix h_gate(const std::vector<double>& params);
Matrix x_gate(const std::vector<double>& params);
Matrix y_gate(const std::vector<double>& params);
Matrix z_gate(const std::vector<double>& params);
Matrix s_gate(const std::vector<double>& params);
Matrix sdg_gate(const std::vector<double>& params);
Matrix t_gate(const std::vector<double>& params);
Matrix tdg_gate(const std::vector<double>& params);
Matrix sx_gate(const std::vector<double>& params);
Matrix sy_gate(const std::vector<double>& params);
Matrix swap_gate(const std::vector<double>& params);
Matrix iswap_gate(const std::vector<double>& params);
Matrix rx_gate(const std::vector<double>& params);
Matrix ry_gate(const std::vector<double>& params);
Matrix rz_gate(const std::vector<double>& params);
Matrix p_gate(const std::vector<double>& params);
Matrix r_gate(const std::vector<double>& params);
Matrix u2_gate(const std::vector<double>& params);
Matrix u3_gate(const std::vector<double>& params);
Matrix cu_target(const std::vector<double>& params);
Matrix rxx_gate(const std::vector<double>& params);
Matrix ryy_gate(const std::vector<double>& params);
Matrix rzz_gate(const std::vector<double>& params);

}  // namespace gate_matrices

// diag(I, U): the controls are the most significant index bits, so U fills
// the last block of the identity.
Matrix controlled(const Matrix& target, int num_controls);

}  // namespace wavesim

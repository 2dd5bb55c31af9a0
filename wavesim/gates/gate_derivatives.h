// The analytic derivatives of the catalogue's parametrised target matrices,
// one matrix per parameter, each differentiating the formula its matrix is
// built with (gates/gate_matrices.cc) entry by entry; missing parameters read
// as 0.0. The catalogue's rows name them.
#pragma once

#include <vector>

#include "wavesim/base/matrix.h"

namespace wavesim {
namespace gate_derivatives {

using Derivatives = std::vector<Matrix>;

Derivatives d_rx(const std::vector<double>& params);
Derivatives d_ry(const std::vector<double>& params);
Derivatives d_rz(const std::vector<double>& params);
Derivatives d_p(const std::vector<double>& params);
Derivatives d_r(const std::vector<double>& params);
Derivatives d_u2(const std::vector<double>& params);
Derivatives d_u3(const std::vector<double>& params);
Derivatives d_cu(const std::vector<double>& params);
Derivatives d_rxx(const std::vector<double>& params);
Derivatives d_ryy(const std::vector<double>& params);
Derivatives d_rzz(const std::vector<double>& params);

}  // namespace gate_derivatives
}  // namespace wavesim

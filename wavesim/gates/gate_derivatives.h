// The analytic derivatives of the catalogue's parametrised target matrices,
// one matrix per parameter, written from the formulas gate_catalogue.cc
// builds each entry with.
#pragma once

#include <string_view>
#include <vector>

#include "wavesim/base/matrix.h"

namespace wavesim {

// d target_matrix(name, params) / d params[p] for p = 0 ... gate_param_count(name) - 1
// (missing parameters read as 0.0, as in the catalogue); empty for a name
// without parameters or outside the vocabulary.
std::vector<Matrix> target_matrix_derivatives(std::string_view name, const std::vector<double>& params);

}  // namespace wavesim

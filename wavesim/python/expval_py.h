// The binding of the expectation-value entries (expval_cpp, expval_grad_cpp,
// param_columns): what they need is copied out of Python first, then the
// computation runs without the interpreter lock.
#pragma once

#include <pybind11/pybind11.h>

namespace wavesim {

void bind_expval(pybind11::module_& m);

}  // namespace wavesim

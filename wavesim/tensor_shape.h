// The shape of a bound-values tensor, read through torch's own Python API so
// that the module needs no libtorch of its own (and so no libtorch ABI).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

struct TensorShape {
    int64_t dims = 0;
    int64_t size1 = 0;  // extent of dimension 1; 0 when dims < 2
};

// Fails, as a failed tensor cast would, for anything that is not a torch.Tensor
// (and for every object when torch has not been imported).
TensorShape tensor_shape(pybind11::handle tensor);

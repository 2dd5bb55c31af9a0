// The shape of a bound-values tensor, read through torch's own Python API so
// that the module needs no libtorch of its own (and so no libtorch ABI).
// Binding code: needs the interpreter lock.
#pragma once

#include "wavesim/batch/batch_count.h"

namespace wavesim {

// The shape of `circuit.bound_values`. Fails, as a failed tensor cast would,
// for anything that is not a torch.Tensor (and for every object when torch
// has not been imported).
TensorShape read_bound_shape(const CircuitData& circuit);

}  // namespace wavesim

// What the kernels cost on this machine: the time per amplitude of each kind
// of kernel call on a block that stays in a core's cache, measured once per
// process at first use, so that the fast setting (fusion.h, kFusionAuto)
// fuses gates only where the fused kernel costs less than the gates it
// replaces. The measured numbers only steer which steps a plan holds; every
// kernel still gives its own results.
#pragma once

#include "wavesim/kernels/kernel_call.h"

namespace wavesim {

// Nanoseconds per amplitude of the state that `call` takes on a block in
// cache, with its controls opening the share of the state they do. Measured
// in double precision: a plan is the same for both precisions, and the
// kernels' costs keep their ratios in single precision (each scales with
// the register's width).
double kernel_cost(const KernelCall& call);

}  // namespace wavesim

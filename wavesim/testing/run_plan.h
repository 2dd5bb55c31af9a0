// Test-only: a compiled plan's steps run as a single run runs them, in a given window shape.
#pragma once

#include <cstddef>

#include "wavesim/base/random_source.h"
#include "wavesim/base/threads.h"
#include "wavesim/plan/run.h"

namespace wavesim {
namespace testing_support {

// Every step of `plan` on `state` with the thread rule's team, RESET drawing
// from `source`, in `shape` (block_qubits 0: this machine's); what the gates took.
template <typename Real>
GatePasses run_plan(StateView<Real>& state, const RunPlan& plan, RandomSource& source, WindowShape shape = {0, 0}) {
    RunOptions options;
    options.team = team_for(int(state.num_qubits));
    options.source = &source;
    options.shape = shape;
    return run_steps(state, plan.steps, 0, plan.steps.size(), options);
}

// The plan's gate steps fused in place, as a program's stretches are.
inline void fuse_plan(RunPlan& plan, int fusion, FusedMatrixCache* shared = nullptr) {
    plan.steps = fused_steps(plan, 0, fusion, shared);
}

}  // namespace testing_support
}  // namespace wavesim

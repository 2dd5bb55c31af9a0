// The plain per-gate path: each instruction applied on its own, a gate with
// its fast-path kernel or its dense matrix kernel in a parallel region of its
// own, a RESET with the given random source. It is what a circuit means: every
// faster way of running one (windows, regions, structured kernels) returns
// values equal to it (==, so -0 equals +0) for finite inputs, and the tests
// compare them with it. The library's runs compile a whole stretch instead
// (plan/run.h).
#pragma once

#include <vector>

#include "common/circuit_records.h"
#include "wavesim/plan/compile.h"
#include "wavesim/base/random_source.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// One instruction with the checks of resolve_gate, run before the state is
// touched; a matrix always takes the dense kernel, each kernel and reset on
// the thread rule's team. "MEASURE", "RESET",
// "BARRIER", "QIF" and "QWHILE" have no unitary action and are skipped.
template <typename Real>
void apply_gate_single_batch(StateView<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                             int batch_index);

// RESET acts on its first qubit (none: no effect) with `source`; every other
// name goes to apply_gate_single_batch.
template <typename Real>
void apply_one_instruction(StateView<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                           int batch_index, RandomSource& source);

// Instructions [begin, end) one by one.
template <typename Real>
void apply_one_by_one(StateView<Real>& state, const std::vector<CircuitInstruction>& instructions, size_t begin,
                      size_t end, GateMatrixCache& cache, int batch_index, RandomSource& source);

}  // namespace wavesim

// One step of a run: what both drivers do with an instruction that is not a
// counted measurement, applied on its own (the plain per-instruction path).
#pragma once

#include <cstdint>

#include "circuit_records.h"
#include "gate_application.h"
#include "measurement.h"
#include "state_vector.h"

namespace wavesim {

// RESET acts on its first qubit (none: no effect) with `source`; every other
// name goes to gate application, which skips MEASURE, BARRIER, QIF and QWHILE.
template <typename Real>
void apply_instruction(StateVector<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                       int batch_index, RandomSource& source);

}  // namespace wavesim

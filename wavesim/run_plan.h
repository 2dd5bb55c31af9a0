// A run (the instructions one state goes through for one parameter set)
// compiled before the state is touched: every instruction checked in order,
// its kind taken from the catalogue, its kernel and matrix resolved, so that
// applying the plan cannot fail and a refused instruction leaves the state
// as it was.
#pragma once

#include <cstdint>
#include <vector>

#include "circuit_records.h"
#include "gate_application.h"
#include "gate_catalogue.h"

namespace wavesim {

struct PlanStep {
    OperationKind kind = OperationKind::kNoEffect;
    KernelCall call;          // kGate
    int32_t reset_qubit = 0;  // kReset
    uint64_t qubits = 0;      // every qubit the step reads or writes (targets and controls)
};

struct RunPlan {
    uint32_t num_qubits = 0;
    std::vector<PlanStep> steps;
    MatrixStore matrices;  // holds the matrices the steps point at
};

// Instructions [begin, end) for a state of `num_qubits` qubits, checked in
// order with the messages and exception types of applying them one by one:
// a RESET with a qubit refuses one outside the state (a RESET without qubits
// has no effect), gates are checked by gate application. Matrices that may
// repeat are shared through `cache` when given.
RunPlan compile_run(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end, uint32_t num_qubits,
                    GateMatrixCache* cache, int batch_index);

}  // namespace wavesim

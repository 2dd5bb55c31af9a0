#include "run_plan.h"

#include "circuit_walk.h"

namespace wavesim {

RunPlan compile_run(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end, uint32_t num_qubits,
                    GateMatrixCache* cache, int batch_index) {
    RunPlan plan;
    plan.num_qubits = num_qubits;
    plan.matrices.cache = cache;
    plan.steps.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        const CircuitInstruction& instruction = instructions[i];
        PlanStep step;
        step.kind = operation_kind(instruction.name);
        if (step.kind == OperationKind::kReset) {
            if (instruction.qubits.empty()) {
                step.kind = OperationKind::kNoEffect;
            } else {
                step.reset_qubit = instruction.qubits[0];
                check_qubit("RESET", step.reset_qubit, num_qubits);
                step.qubits = uint64_t{1} << step.reset_qubit;
            }
        } else if (step.kind == OperationKind::kGate) {
            step.call = plan_gate(instruction, num_qubits, plan.matrices, batch_index);
            step.qubits = step.call.ones | step.call.zeros;
            for (int j = 0; j < step.call.num_targets; ++j) step.qubits |= uint64_t{1} << step.call.targets[j];
        }
        plan.steps.push_back(step);
    }
    return plan;
}

}  // namespace wavesim

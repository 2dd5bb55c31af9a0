#include "circuit_walk.h"

#include <stdexcept>
#include <string>

#include "gate_catalogue.h"

namespace wavesim {

template <typename Real>
void apply_instruction(StateVector<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                       int batch_index, RandomSource& source) {
    if (operation_kind(instruction.name) == OperationKind::kReset) {
        if (instruction.qubits.empty()) return;
        const int32_t qubit = instruction.qubits[0];
        check_qubit("RESET", qubit, state.num_qubits);
        reset_qubit(state, qubit, source);
        return;
    }
    apply_gate_single_batch(state, instruction, cache, batch_index);
}

template void apply_instruction<double>(StateVector<double>&, const CircuitInstruction&, GateMatrixCache&, int,
                                        RandomSource&);
template void apply_instruction<float>(StateVector<float>&, const CircuitInstruction&, GateMatrixCache&, int,
                                       RandomSource&);

}  // namespace wavesim

// The plain per-gate path: one instruction at a time, dense matrix kernels.
#include "wavesim/testing/reference_path.h"

#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/state/measurement.h"

namespace wavesim {

template <typename Real>
void apply_gate_single_batch(StateView<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                             int batch_index) {
    if (operation_kind(instruction.name) != OperationKind::kGate) return;
    MatrixStore store{&cache, {}};
    KernelCall call = resolve_gate(instruction, state.num_qubits, store, batch_index);
    call.form = kDenseForm;
    run_kernel_call(state, call, team_for(int(state.num_qubits)));
}

template <typename Real>
void apply_one_instruction(StateView<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                           int batch_index, RandomSource& source) {
    if (operation_kind(instruction.name) == OperationKind::kReset) {
        if (instruction.qubits.empty()) return;
        const int32_t qubit = instruction.qubits[0];
        check_qubit("RESET", qubit, state.num_qubits);
        reset_qubit(state, qubit, source, team_for(int(state.num_qubits)));
        return;
    }
    apply_gate_single_batch(state, instruction, cache, batch_index);
}

template <typename Real>
void apply_one_by_one(StateView<Real>& state, const std::vector<CircuitInstruction>& instructions, size_t begin,
                      size_t end, GateMatrixCache& cache, int batch_index, RandomSource& source) {
    for (size_t i = begin; i < end; ++i) apply_one_instruction(state, instructions[i], cache, batch_index, source);
}

#define WAVESIM_INSTANTIATE_REFERENCE_PATH(Real)                                                                       \
    template void apply_gate_single_batch<Real>(StateView<Real>&, const CircuitInstruction&, GateMatrixCache&, int); \
    template void apply_one_instruction<Real>(StateView<Real>&, const CircuitInstruction&, GateMatrixCache&, int,    \
                                              RandomSource&);                                                          \
    template void apply_one_by_one<Real>(StateView<Real>&, const std::vector<CircuitInstruction>&, size_t, size_t,   \
                                         GateMatrixCache&, int, RandomSource&);

WAVESIM_INSTANTIATE_REFERENCE_PATH(double)
WAVESIM_INSTANTIATE_REFERENCE_PATH(float)

}  // namespace wavesim

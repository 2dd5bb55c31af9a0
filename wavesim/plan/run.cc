// Programs compiled as runs reach them, and the run of a range of steps.
#include "wavesim/plan/run.h"

#include <stdexcept>

#include "wavesim/state/measurement.h"

namespace wavesim {

bool ends_stretch(const CircuitInstruction& instruction) {
    const OperationKind kind = operation_kind(instruction.name);
    return kind == OperationKind::kMeasure || (kind == OperationKind::kReset && !instruction.qubits.empty());
}

Program make_program(const std::vector<CircuitInstruction>& instructions, uint32_t num_qubits, int batch_index,
                     int fusion, RunCaches* caches) {
    Program program;
    program.instructions = &instructions;
    program.num_qubits = num_qubits;
    program.batch_index = batch_index;
    program.fusion = fusion;
    program.caches = caches;
    program.compiled.num_qubits = num_qubits;
    program.compiled.matrices.cache = caches != nullptr ? &caches->gates : nullptr;
    if (fusion != kFusionOff) program.step_of.assign(instructions.size(), 0);
    return program;
}

void compile_through(Program& program, size_t last) {
    const size_t done = program.compiled.steps.size();
    const size_t end = std::min(last + 1, program.instructions->size());
    if (end <= done) return;
    compile_into(program.compiled, *program.instructions, done, end, program.batch_index);
    if (program.fusion == kFusionOff) return;
    std::vector<PlanStep> fused = fused_steps(program.compiled, done, program.fusion,
                                              program.caches != nullptr ? &program.caches->fused : nullptr);
    // Fusion keeps every MEASURE and RESET step, in order: find where each went.
    size_t at = program.fused.size();
    for (size_t i = done; i < end; ++i) {
        const OperationKind kind = program.compiled.steps[i].kind;
        if (kind != OperationKind::kMeasure && kind != OperationKind::kReset) continue;
        while (fused[at - program.fused.size()].kind != kind) ++at;
        program.step_of[i] = at++;
    }
    program.fused.insert(program.fused.end(), fused.begin(), fused.end());
}

template <typename Real>
GatePasses run_steps(StateView<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                     const RunOptions& options) {
    const WindowShape shape = options.shape.block_qubits > 0 ? options.shape : window_shape_for<Real>(state.num_qubits);
    WindowScratch<Real> scratch;
    GatePasses passes;
    for (size_t i = begin; i < end;) {
        const PlanStep& step = steps[i];
        if (step.kind == OperationKind::kGate) {
            size_t stretch = i;
            while (stretch < end && steps[stretch].kind != OperationKind::kReset &&
                   steps[stretch].kind != OperationKind::kMeasure)
                ++stretch;
            const GatePasses gates = apply_gates(state, steps, i, stretch, shape, options.team, scratch);
            passes.sweeps += gates.sweeps;
            passes.tiled += gates.tiled;
            passes.in_place += gates.in_place;
            i = stretch;
            continue;
        }
        if (step.kind == OperationKind::kReset) {
            reset_qubit(state, step.qubit, *options.source, options.team);
        } else if (step.kind == OperationKind::kMeasure && options.shot_register != nullptr && step.qubit >= 0 &&
                   size_t(step.cbit) < options.shot_register->size()) {
            (*options.shot_register)[size_t(step.cbit)] = measure_qubit(state, step.qubit, *options.source);
        }
        ++i;
    }
    return passes;
}

template <typename Real>
GatePasses run_program(StateView<Real>& state, Program& program, size_t begin, size_t end, const RunOptions& options) {
    const size_t size = program.instructions->size();
    compile_through(program, end < size ? end : size);
    const std::vector<PlanStep>& steps = run_steps_of(program);
    const size_t first = begin == 0 ? 0 : step_of(program, begin - 1) + 1;
    const size_t last = end < size ? step_of(program, end) : steps.size();
    return run_steps(state, steps, first, last, options);
}

template <typename Real>
void run_circuit(StateView<Real>& state, const std::vector<CircuitInstruction>& instructions, int batch_index,
                 int fusion, RunCaches* caches, const RunOptions& options) {
    Program program = make_program(instructions, state.num_qubits, batch_index, fusion, caches);
    run_program(state, program, 0, instructions.size(), options);
}

#define WAVESIM_INSTANTIATE_RUN(Real)                                                                               \
    template GatePasses run_steps<Real>(StateView<Real>&, const std::vector<PlanStep>&, size_t, size_t,             \
                                        const RunOptions&);                                                         \
    template GatePasses run_program<Real>(StateView<Real>&, Program&, size_t, size_t, const RunOptions&);           \
    template void run_circuit<Real>(StateView<Real>&, const std::vector<CircuitInstruction>&, int, int, RunCaches*, \
                                    const RunOptions&);

WAVESIM_INSTANTIATE_RUN(double)
WAVESIM_INSTANTIATE_RUN(float)

}  // namespace wavesim

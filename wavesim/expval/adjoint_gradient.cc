// The adjoint gradient: the columns of a circuit, the backward plan of its inverse gates and derivative reads, and the
// pass over one parameter set.
#include "wavesim/expval/adjoint_gradient.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "wavesim/base/bits.h"
#include "wavesim/batch/batch_count.h"
#include "wavesim/expval/expectation.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/plan/run.h"

namespace wavesim {
namespace {

// The inverse of a gate step: a fixed kernel by the kernel of its row's
// inverse (S and SDG, T and TDG trade places), a matrix daggered.
PlanStep inverse_step(const PlanStep& step, MatrixStore& store) {
    PlanStep inverse = step;
    KernelCall& call = inverse.call;
    if (step.call.gate == KernelGate::kMatrix) {
        call.matrix = &store.owned.emplace_back(dagger_matrix(*step.call.matrix));
        call.form = kernel_form_of(*call.matrix);
    } else {
        call.gate = inverse_kernel(step.call.gate);
    }
    return inverse;
}

// The kernel form for U^dagger and its reads (stored after it, `entries`
// each): U^dagger's own (sharing no sums: the adjoint step has no such
// kernels) when the reads fit read_form_of it, else dense.
unsigned adjoint_form(const Matrix& matrices, size_t entries) {
    const unsigned form =
        without_shared_sums(kernel_form_of(Matrix(matrices.begin(), matrices.begin() + ptrdiff_t(entries))));
    Matrix reads(entries);
    for (size_t e = entries; e < matrices.size(); ++e) {
        const std::complex<double> entry = matrices[e];
        reads[e % entries] += std::complex<double>(std::fabs(entry.real()), std::fabs(entry.imag()));
    }
    const unsigned needed = kernel_form_of(reads);
    const unsigned allowed = read_form_of(form);
    const bool fits =
        (real_kinds(needed) & ~real_kinds(allowed)) == 0 && (imag_kinds(needed) & ~imag_kinds(allowed)) == 0;
    return fits ? form : kDenseForm;
}

// A parametrised gate step with applied matrix A (the catalogue's, daggered
// for a daggered instruction) as one kCrossFormThenMatrix call: A^dagger,
// then one read matrix dA A^dagger per parameter, dA the catalogue
// derivative (daggered likewise).
PlanStep adjoint_step(const PlanStep& step, const CircuitInstruction& ins, int batch_index, int bra_qubit,
                      SumSlots slots, MatrixStore& store) {
    const ValueSlice values = batch_slice(ins, find_gate(ins.name), batch_index);
    const Matrix& applied = *step.call.matrix;
    Matrix matrices = dagger_matrix(applied);
    const Matrix undo = matrices;
    for (const Matrix& d : target_matrix_derivatives(ins.name, std::vector<double>(values.begin, values.end))) {
        const Matrix m = multiply(ins.dagger ? dagger_matrix(d) : d, undo);
        matrices.insert(matrices.end(), m.begin(), m.end());
    }
    PlanStep adjoint = step;
    KernelCall& call = adjoint.call;
    call.gate = KernelGate::kCrossFormThenMatrix;
    call.form = adjoint_form(matrices, applied.size());
    call.targets[call.num_targets++] = bra_qubit;
    call.matrix = &store.owned.emplace_back(std::move(matrices));
    call.sums = slots;
    adjoint.qubits |= bit(bra_qubit);
    return adjoint;
}

// The windows of the backward pass: this machine's shape for the stacked
// state, but never wholly in place, so that the bra qubit (the highest) can
// join the lowest qubits in a window and a run of parametrised gates takes
// one sweep. Blocks are never walked where they lie: the sums go by fixed
// ranges of a block's units, and a state in the cache keeps them those of
// the whole state (a block of the lowest qubits and the bra qubit).
template <typename Real>
WindowShape backward_shape(unsigned num_qubits) {
    WindowShape shape = window_shape_for<Real>(num_qubits);
    if (shape.in_place) shape.low_qubits = shape.block_qubits;
    shape.in_place = false;
    shape.low_qubits = std::min(shape.low_qubits, shape.block_qubits - 1);
    return shape;
}

}  // namespace

std::vector<ParamColumn> param_columns(const std::vector<CircuitInstruction>& instructions) {
    std::vector<ParamColumn> columns;
    for (size_t i = 0; i < instructions.size(); ++i) {
        const CircuitInstruction& ins = instructions[i];
        if (!ins.has_param) continue;
        const int k = gate_param_count(ins.name);
        for (int slot = 0; slot < k; ++slot) columns.push_back({i, ins.param.name, slot});
    }
    return columns;
}

DifferentiableCircuit differentiable_circuit(int num_qubits, const std::vector<CircuitInstruction>& instructions) {
    for (size_t i = 0; i < instructions.size(); ++i) {
        const CircuitInstruction& ins = instructions[i];
        const std::string which = "instruction " + std::to_string(i) + " (" + ins.name + ")";
        if (operation_kind(ins.name) == OperationKind::kReset)
            throw std::invalid_argument(which +
                                        " is a RESET, which is not unitary: the circuit cannot be differentiated");
        const int k = gate_param_count(ins.name);
        if (!ins.has_param || k == 0) continue;
        const size_t values = value_count(ins.param.value);
        if (values < size_t(k))
            throw std::invalid_argument(which + " has " + std::to_string(values) +
                                        " parameter values, fewer than the " + std::to_string(k) +
                                        " its gate takes: it cannot be differentiated");
    }
    DifferentiableCircuit circuit;
    circuit.num_qubits = num_qubits;
    circuit.instructions = &instructions;
    circuit.first_column.assign(instructions.size(), -1);
    for (const ParamColumn& c : param_columns(instructions)) {
        if (c.slot == 0) circuit.first_column[c.instruction] = int(circuit.columns);
        ++circuit.columns;
    }
    return circuit;
}

unsigned adjoint_state_qubits(unsigned num_qubits) { return std::max(num_qubits, kMinPassQubits) + 1; }

RunPlan backward_plan(const RunPlan& forward, const std::vector<CircuitInstruction>& instructions, int batch_index,
                      const std::vector<int>& first_column, int bra_qubit, SumSlots slots) {
    RunPlan back;
    back.num_qubits = unsigned(bra_qubit + 1);
    for (size_t i = forward.steps.size(); i-- > 0;) {
        const PlanStep& step = forward.steps[i];
        if (step.kind != OperationKind::kGate) continue;
        if (first_column[i] < 0) {
            back.steps.push_back(inverse_step(step, back.matrices));
        } else {
            const SumSlots columns{slots.sums + first_column[i], slots.stride};
            back.steps.push_back(adjoint_step(step, instructions[i], batch_index, bra_qubit, columns, back.matrices));
        }
        // The reads sum block by block, so the blocks a window gathers set the
        // sums' last bits: the backward windows keep the steps in their order
        // (no gate moves past another), so that the gradients do not change
        // when the windows learn to move gates.
        back.steps.back().commutes = Commutes::kNo;
    }
    return back;
}

template <typename Real>
double adjoint_gradient(StateView<Real>& state, const DifferentiableCircuit& circuit,
                        const GroupedObservables& observable, RunCaches* caches, int batch_index, int fusion,
                        ThreadTeam team, std::vector<ExactSum>& slots, double* grads) {
    const std::vector<CircuitInstruction>& instructions = *circuit.instructions;
    const unsigned half = state.num_qubits - 1;
    const uint64_t half_dim = uint64_t{1} << half;
    StateView<Real> psi(unsigned(circuit.num_qubits), state.re, state.im);
    StateView<Real> ket(half, state.re, state.im);
    StateView<Real> bra(half, state.re + half_dim, state.im + half_dim);

    // No RESET in a differentiable circuit, and MEASURE has no effect: the run needs no source.
    RunOptions options;
    options.team = team;
    Program program = make_program(instructions, psi.num_qubits, batch_index, fusion, caches);
    run_program(psi, program, 0, instructions.size(), options);
    const double value = apply_observable(ket, observable, bra, team);

    const double bound = observable.bound.front();
    std::fill(slots.begin(), slots.end(), ExactSum(bound));
    const SumSlots sums{slots.data(), circuit.columns};
    // The backward pass takes the gates one by one (one step per instruction); fusion speeds up only the forward run.
    const RunPlan backward =
        backward_plan(program.compiled, instructions, batch_index, circuit.first_column, int(half), sums);
    options.shape = backward_shape<Real>(state.num_qubits);
    run_steps(state, backward.steps, 0, backward.steps.size(), options);
    for (size_t j = 0; j < circuit.columns; ++j) {
        ExactSum total(bound);
        for (size_t at = j; at < slots.size(); at += circuit.columns) total.add(slots[at]);
        grads[j] = 2.0 * total.value();
    }
    return value;
}

template double adjoint_gradient<double>(StateView<double>&, const DifferentiableCircuit&, const GroupedObservables&,
                                         RunCaches*, int, int, ThreadTeam, std::vector<ExactSum>&, double*);
template double adjoint_gradient<float>(StateView<float>&, const DifferentiableCircuit&, const GroupedObservables&,
                                        RunCaches*, int, int, ThreadTeam, std::vector<ExactSum>&, double*);

}  // namespace wavesim

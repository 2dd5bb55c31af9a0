// rho as a 2n-qubit state: the doubled plan of a circuit, the density matrices of its sets and Tr(rho O).
#include "wavesim/noise/density_matrix.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "wavesim/base/bits.h"
#include "wavesim/batch/cal_states.h"
#include "wavesim/batch/parameter_sets.h"
#include "wavesim/gates/matrix_form.h"
#include "wavesim/noise/channels.h"
#include "wavesim/plan/run.h"

namespace wavesim {
namespace {

Matrix conjugated(const Matrix& m) {
    Matrix out(m.size());
    std::transform(m.begin(), m.end(), out.begin(), [](const Complex& e) { return std::conj(e); });
    return out;
}

uint64_t qubits_of(const KernelCall& call) {
    uint64_t mask = call.ones | call.zeros;
    for (int j = 0; j < call.num_targets; ++j) mask |= bit(call.targets[j]);
    return mask;
}

PlanStep matrix_step(const Matrix& m, const int* targets, int count) {
    PlanStep step;
    step.kind = OperationKind::kGate;
    step.call.gate = KernelGate::kMatrix;
    step.call.num_targets = count;
    std::copy(targets, targets + count, step.call.targets);
    step.call.matrix = &m;
    step.call.form = kernel_form_of(m);
    step.qubits = qubits_of(step.call);
    return step;
}

// The gate on rho's rows: every qubit moved up by n.
PlanStep row_step(PlanStep step, uint32_t n) {
    KernelCall& call = step.call;
    for (int j = 0; j < call.num_targets; ++j) call.targets[j] += int(n);
    call.ones <<= n;
    call.zeros <<= n;
    step.qubits <<= n;
    return step;
}

// The gate on rho's columns: its conjugate. A fixed kernel's conjugate is the
// kernel itself (real matrices) or its inverse (diagonal phases); any other
// (Y's is -Y) is applied as a matrix.
PlanStep column_step(PlanStep step, MatrixStore& store) {
    KernelCall& call = step.call;
    if (call.gate == KernelGate::kMatrix) {
        call.matrix = &store.owned.emplace_back(conjugated(*call.matrix));
        call.form = kernel_form_of(*call.matrix);
        return step;
    }
    const Matrix conjugate = conjugated(fixed_kernel_matrix(call.gate));
    if (conjugate == fixed_kernel_matrix(call.gate)) return step;
    if (conjugate == fixed_kernel_matrix(inverse_kernel(call.gate))) {
        call.gate = inverse_kernel(call.gate);
        return step;
    }
    call.gate = KernelGate::kMatrix;
    call.matrix = &store.owned.emplace_back(conjugate);
    call.form = kernel_form_of(*call.matrix);
    return step;
}

// An action's superoperator on its column qubits q and row qubits q + n.
PlanStep superoperator_step(const ChannelAction& action, uint32_t n, MatrixStore& store) {
    int targets[2 * 2];
    for (int j = 0; j < action.width; ++j) {
        targets[j] = action.qubits[j];
        targets[j + action.width] = action.qubits[j] + int(n);
    }
    return matrix_step(store.owned.emplace_back(superoperator(action)), targets, 2 * action.width);
}

bool has_finite_entries(const Matrix& m) {
    return std::all_of(m.begin(), m.end(),
                       [](const Complex& e) { return std::isfinite(e.real()) && std::isfinite(e.imag()); });
}

template <typename Real>
void evolve_density(StateView<Real>& rho, const std::vector<CircuitInstruction>& instructions, uint32_t n,
                    const SetRun<Real>& run, int fusion) {
    RunPlan plan = density_plan(instructions, n, run.caches != nullptr ? &run.caches->gates : nullptr, run.batch_index);
    const std::vector<PlanStep> steps =
        fused_steps(plan, 0, fusion, run.caches != nullptr ? &run.caches->fused : nullptr);
    RunOptions options;
    options.team = run.team;
    run_steps(rho, steps, 0, steps.size(), options);
}

// Tr(rho P) summed over the terms with their coefficients: sum_i rho[i][i ^ x] phase(i),
// P|i> = phase(i) |i ^ x> with phase(i) = i^(number of Y) (-1)^(parity of i & z), in ascending i.
template <typename Real>
double trace_with(const StateView<Real>& rho, uint32_t n, const std::vector<PauliTerm>& terms) {
    double total = 0.0;
    const uint64_t dim = uint64_t{1} << n;
    for (const PauliTerm& term : terms) {
        const int ys = popcount(term.x_bits & term.z_bits) % 4;
        double sum = 0.0;
        for (uint64_t i = 0; i < dim; ++i) {
            const uint64_t at = (i << n) | (i ^ term.x_bits);
            const double re = rho.re[at];
            const double im = rho.im[at];
            const double part = ys == 0 ? re : ys == 1 ? -im : ys == 2 ? -re : im;
            sum += (popcount(i & term.z_bits) & 1) != 0 ? -part : part;
        }
        total += term.coefficient * sum;
    }
    return total;
}

// Refuses an n whose rho no state can hold.
void check_density_qubits(int n) {
    check_state_qubits(n);
    if (2 * int64_t{n} > int64_t{kMaxStateQubits})
        throw std::runtime_error("Failed to allocate memory for StateVector");
}

}  // namespace

RunPlan density_plan(const std::vector<CircuitInstruction>& instructions, uint32_t num_qubits, GateMatrixCache* cache,
                     int batch_index) {
    const uint32_t n = num_qubits;
    RunPlan plan;
    plan.num_qubits = n;  // what the gates are checked against while they compile
    plan.matrices.cache = cache;
    std::vector<PlanStep> steps;
    for (size_t i = 0; i < instructions.size(); ++i) {
        const CircuitInstruction& ins = instructions[i];
        if (find_channel(ins.name) != nullptr) {
            const ChannelAction action = channel_action(ins, batch_index);
            if (!is_identity(action)) steps.push_back(superoperator_step(action, n, plan.matrices));
            continue;
        }
        const OperationKind kind = operation_kind(ins.name);
        if (kind == OperationKind::kNoEffect) continue;
        if (kind == OperationKind::kMeasure || kind == OperationKind::kReset) {
            if (ins.qubits.empty()) continue;
            const int q = ins.qubits[0];
            const bool measure = kind == OperationKind::kMeasure;
            check_qubit(measure ? "MEASURE" : "RESET", q, n);
            steps.push_back(superoperator_step(measure ? measure_action(q) : reset_action(q), n, plan.matrices));
            continue;
        }
        compile_into(plan, instructions, i, i + 1, batch_index);
        const PlanStep gate = plan.steps.back();
        plan.steps.pop_back();
        steps.push_back(row_step(gate, n));
        steps.push_back(column_step(gate, plan.matrices));
    }
    // As in compile_run: a non-finite matrix makes every step dense, so NaN reaches every entry it touches.
    const bool finite = std::all_of(steps.begin(), steps.end(), [](const PlanStep& s) {
        return s.call.matrix == nullptr || has_finite_entries(*s.call.matrix);
    });
    if (!finite)
        for (PlanStep& s : steps) s.call.form = kDenseForm;
    plan.steps = std::move(steps);
    plan.num_qubits = 2 * n;
    return plan;
}

template <typename Real>
AmplitudeBuffer<Real> density_matrices(const CircuitData& circuit, int batches, int fusion) {
    const int n = circuit.num_qubits;
    check_density_qubits(n);
    AmplitudeBuffer<Real> buffer =
        collect_final_states<Real>(2 * n, unsigned(2 * n), batches, [&](SetRun<Real>& run, StateVector<Real>& rho) {
            evolve_density(rho, circuit.instructions, uint32_t(n), run, fusion);
        });
    buffer.shape.back() = int64_t{1} << n;
    buffer.shape.push_back(int64_t{1} << n);
    return buffer;
}

template <typename Real>
std::vector<double> density_expectation_rows(int num_qubits, const std::vector<CircuitInstruction>& instructions,
                                             int batches, const std::vector<std::vector<PauliTerm>>& observables,
                                             int fusion) {
    check_density_qubits(num_qubits);
    const size_t count = observables.size();
    std::vector<double> rows(size_t(std::max(batches, 1)) * count);
    ParameterSets sets;
    sets.num_qubits = 2 * num_qubits;
    sets.state_qubits = unsigned(2 * num_qubits);
    sets.batches = batches;
    for_each_parameter_set<Real, NoExtra>(sets, [&](SetRun<Real>& run, NoExtra&) {
        StateVector<Real>& rho = run.state();
        evolve_density(rho, instructions, uint32_t(num_qubits), run, fusion);
        for (size_t k = 0; k < count; ++k)
            rows[size_t(run.batch_index) * count + k] = trace_with(rho, uint32_t(num_qubits), observables[k]);
    });
    return rows;
}

#define WAVESIM_INSTANTIATE_DENSITY(Real)                                                                         \
    template AmplitudeBuffer<Real> density_matrices<Real>(const CircuitData&, int, int);                          \
    template std::vector<double> density_expectation_rows<Real>(int, const std::vector<CircuitInstruction>&, int, \
                                                                const std::vector<std::vector<PauliTerm>>&, int);

WAVESIM_INSTANTIATE_DENSITY(double)
WAVESIM_INSTANTIATE_DENSITY(float)

}  // namespace wavesim

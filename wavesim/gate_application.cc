// apply_gate_single_batch: every check and the matrix lookup happen before
// the state is touched, so a refused instruction leaves the state as it was.
#include "gate_application.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "gate_catalogue.h"

namespace {

constexpr size_t kHashMix = 0x9e3779b9;
constexpr int kHashShiftLeft = 6;
constexpr int kHashShiftRight = 2;
constexpr size_t kOneQubitEntries = 4;
constexpr size_t kTwoQubitEntries = 16;
constexpr size_t kThreeQubitEntries = 64;

void hash_combine(size_t& h, size_t v) { h ^= v + kHashMix + (h << kHashShiftLeft) + (h >> kHashShiftRight); }

// Bit patterns, so that a NaN parameter finds its own entry again.
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool is_swap_fast_path(const CircuitInstruction& ins) {
    return ins.controls.empty() && ins.qubits.size() == 2 && !ins.dagger && std::string_view(ins.name) == "SWAP";
}

[[noreturn]] void refuse(const CircuitInstruction& ins, const std::string& reason) {
    throw std::runtime_error("apply_gate_single_batch: gate " + ins.name + " " + reason);
}

// Every qubit must lie in the state and appear once; only the SWAP fast path may
// name one qubit twice (it is then a no-op).
void check_qubits(const CircuitInstruction& ins, uint32_t num_qubits) {
    const int64_t n = num_qubits;
    uint64_t targets = 0;
    uint64_t controls = 0;
    const bool repeat_allowed = is_swap_fast_path(ins);
    auto in_range = [&](int32_t q) {
        if (q < 0 || q >= n) {
            refuse(ins, "addresses qubit " + std::to_string(q) + ", outside a state of " + std::to_string(n) + " qubits");
        }
        return uint64_t{1} << q;
    };
    for (int32_t q : ins.qubits) {
        const uint64_t bit = in_range(q);
        if ((targets & bit) != 0 && !repeat_allowed) refuse(ins, "names qubit " + std::to_string(q) + " twice among its targets");
        targets |= bit;
    }
    for (int32_t q : ins.controls) {
        const uint64_t bit = in_range(q);
        if ((controls & bit) != 0) refuse(ins, "names qubit " + std::to_string(q) + " twice among its controls");
        if ((targets & bit) != 0) refuse(ins, "uses qubit " + std::to_string(q) + " as both control and target");
        controls |= bit;
    }
}

// The batch's parameter set, read in place from the instruction's values. A
// list longer than one set is cut per batch; a batch index past the end (or
// below 0) falls back to the first set.
struct ValueSlice {
    const double* begin;
    const double* end;
    bool per_batch;
};

ValueSlice batch_slice(const CircuitInstruction& ins, int batch_index) {
    if (std::holds_alternative<double>(ins.param.value)) {
        const double* value = &std::get<double>(ins.param.value);
        return {value, value + 1, false};
    }
    const std::vector<double>& list = std::get<std::vector<double>>(ins.param.value);
    const size_t k = static_cast<size_t>(gate_param_count(ins.name));
    if (k == 0 || list.size() <= k) return {list.data(), list.data() + list.size(), false};
    size_t start = 0;
    if (batch_index >= 0 && k * static_cast<size_t>(batch_index) + k <= list.size()) start = k * static_cast<size_t>(batch_index);
    return {list.data() + start, list.data() + start + k, true};
}

// Where a resolved matrix may live: a plan kept beyond the next resolution
// needs the cache's stable nodes; one applied at once may take a per-batch
// set's matrix from a per-thread scratch.
enum class MatrixHome { kCache, kScratchForPerBatchSets };

// Catalogue matrix after the dagger step. A key that may repeat is computed
// once per run and cached (entries are never erased, so the reference stays
// valid for the run); the lookup key is reused per thread so that a hit
// allocates nothing. A batch's own parameter set is, in a sweep, seen once per
// run: with kScratchForPerBatchSets it is computed into a per-thread scratch
// (valid until the thread's next resolution) instead of growing the cache
// with entries never hit again. Both give the catalogue's matrix bit for bit.
const Matrix& resolve_matrix(const CircuitInstruction& ins, GateMatrixCache& cache, int batch_index, MatrixHome home) {
    thread_local GateCacheKey key;
    const ValueSlice slice = batch_slice(ins, batch_index);
    key.params.assign(slice.begin, slice.end);
    if (slice.per_batch && home == MatrixHome::kScratchForPerBatchSets) {
        thread_local Matrix scratch;
        scratch = target_matrix(ins.name, key.params);
        if (ins.dagger) scratch = dagger_matrix(scratch);
        return scratch;
    }
    key.name = ins.name;
    key.controls.assign(ins.controls.begin(), ins.controls.end());
    key.dagger = ins.dagger;
    key.ctrl_state = ins.ctrl_state;
    const auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    Matrix m = target_matrix(key.name, key.params);
    if (key.dagger) m = dagger_matrix(m);
    return cache.emplace(key, std::move(m)).first->second;
}

// One-qubit gates with a kernel of their own; "Tdg" is the one mixed-case spelling taken.
template <typename Real>
FixedKernel<Real> fixed_kernel(std::string_view name) {
    if (name == "X") return apply_x<Real>;
    if (name == "Z") return apply_z<Real>;
    if (name == "Y") return apply_y<Real>;
    if (name == "H") return apply_h<Real>;
    if (name == "S") return apply_s<Real>;
    if (name == "SDG") return apply_sdg<Real>;
    if (name == "T") return apply_t<Real>;
    if (name == "TDG" || name == "Tdg") return apply_tdg<Real>;
    return nullptr;
}

// Every matrix-driven case: the matrix size must match the targets, and the
// three-target kernel takes no controls.
template <typename Real>
GatePlan<Real> matrix_plan(const CircuitInstruction& ins, GateMatrixCache& cache, int batch_index, MatrixHome home) {
    const Matrix& m = resolve_matrix(ins, cache, batch_index, home);
    const auto& q = ins.qubits;
    const size_t targets = q.size();
    const size_t controls = ins.controls.size();
    const size_t entries = m.size();
    GatePlan<Real> plan{GatePath::kOneTarget};
    plan.matrix = &m;
    if (targets == 1 && entries == kOneQubitEntries) {
        plan.a = q[0];
    } else if (targets == 2 && entries == kTwoQubitEntries) {
        plan.path = GatePath::kTwoTargets;
        plan.a = q[0];
        plan.b = q[1];
    } else if (targets == 3 && entries == kThreeQubitEntries && controls == 0) {
        plan.path = GatePath::kThreeTargets;
        plan.a = std::min({q[0], q[1], q[2]});
        plan.c = std::max({q[0], q[1], q[2]});
        plan.b = q[0] + q[1] + q[2] - plan.a - plan.c;
    } else {
        throw std::runtime_error("apply_gate_single_batch: unsupported configuration for gate " + ins.name +
                                 " (targets=" + std::to_string(targets) + ", ctrls=" + std::to_string(controls) +
                                 ", matrix_size=" + std::to_string(entries) + ")");
    }
    return plan;
}

template <typename Real>
GatePlan<Real> choose_plan(const CircuitInstruction& ins, GateMatrixCache& cache, int batch_index, MatrixHome home) {
    // Views compare lengths first: a mismatch costs no string walk.
    const std::string_view name = ins.name;
    const auto& q = ins.qubits;
    const auto& c = ins.controls;
    const bool fast = !ins.dagger;
    if (fast && c.size() == 2 && q.size() == 1 && (name == "CCX" || name == "TOFFOLI")) return {GatePath::kCcx, c[0], c[1], q[0]};
    if (fast && c.size() == 1 && q.size() == 1) {
        if (name == "CX" || name == "CNOT") return {GatePath::kCx, c[0], q[0]};
        if (name == "CZ") return {GatePath::kCz, c[0], q[0]};
    }
    if (fast && c.empty() && q.size() == 2) {
        if (name == "CX" || name == "CNOT") return {GatePath::kCx, q[0], q[1]};
        if (name == "CZ") return {GatePath::kCz, q[0], q[1]};
        if (name == "SWAP") return {GatePath::kSwap, q[0], q[1]};
    }
    if (fast && c.empty() && q.size() == 1) {
        if (const FixedKernel<Real> kernel = fixed_kernel<Real>(name)) {
            GatePlan<Real> plan{GatePath::kFixed, q[0]};
            plan.fixed = kernel;
            return plan;
        }
    }
    return matrix_plan<Real>(ins, cache, batch_index, home);
}

template <typename Real>
void run_plan(StateVector<Real>& state, const GatePlan<Real>& plan, const std::vector<int32_t>& controls) {
    switch (plan.path) {
        case GatePath::kCcx: apply_ccx(state, plan.a, plan.b, plan.c); break;
        case GatePath::kCx: apply_cx(state, plan.a, plan.b); break;
        case GatePath::kCz: apply_cz(state, plan.a, plan.b); break;
        case GatePath::kSwap: apply_swap(state, plan.a, plan.b); break;
        case GatePath::kFixed: plan.fixed(state, plan.a); break;
        case GatePath::kOneTarget: apply_single_qubit_matrix_ctrl(state, plan.a, controls, *plan.matrix); break;
        case GatePath::kTwoTargets: apply_two_qubit_matrix_ctrl(state, plan.a, plan.b, controls, *plan.matrix); break;
        case GatePath::kThreeTargets: apply_three_qubit_matrix(state, plan.a, plan.b, plan.c, *plan.matrix); break;
    }
}

// An open control acts on 0: X before and after turns it into an ordinary one.
template <typename Real>
void flip_open_controls(StateVector<Real>& state, const CircuitInstruction& ins) {
    const size_t count = std::min(ins.ctrl_state.size(), ins.controls.size());
    for (size_t i = 0; i < count; ++i) {
        if (ins.ctrl_state[i] == '0') apply_x(state, ins.controls[i]);
    }
}

template <typename Real>
GatePlan<Real> checked_plan(const CircuitInstruction& instruction, uint32_t num_qubits, GateMatrixCache& cache,
                            int batch_index, MatrixHome home) {
    check_qubits(instruction, num_qubits);
    if (instruction.param.value.valueless_by_exception()) throw std::bad_variant_access();
    return choose_plan<Real>(instruction, cache, batch_index, home);
}

}  // namespace

bool is_skipped_name(const std::string& instruction_name) {
    const std::string_view name = instruction_name;
    return name == "MEASURE" || name == "BARRIER" || name == "RESET" || name == "QIF" || name == "QWHILE";
}

bool GateCacheKey::operator==(const GateCacheKey& other) const {
    return name == other.name && dagger == other.dagger && controls == other.controls &&
           ctrl_state == other.ctrl_state && params.size() == other.params.size() &&
           std::equal(params.begin(), params.end(), other.params.begin(), same_bits);
}

size_t GateCacheKeyHash::operator()(const GateCacheKey& key) const {
    size_t h = std::hash<std::string>{}(key.name);
    for (double p : key.params) hash_combine(h, std::hash<double>{}(p));
    for (int c : key.controls) hash_combine(h, std::hash<int>{}(c));
    hash_combine(h, std::hash<bool>{}(key.dagger));
    hash_combine(h, std::hash<std::string>{}(key.ctrl_state));
    return h;
}

template <typename Real>
void apply_gate_single_batch(StateVector<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                             int batch_index) {
    if (is_skipped_name(instruction.name)) return;
    // The plan is used before anything else is resolved on this thread, so the scratch may hold its matrix.
    apply_gate_plan(state,
                    checked_plan<Real>(instruction, state.num_qubits, cache, batch_index,
                                       MatrixHome::kScratchForPerBatchSets),
                    instruction);
}

template <typename Real>
GatePlan<Real> plan_gate(const CircuitInstruction& instruction, uint32_t num_qubits, GateMatrixCache& cache,
                         int batch_index) {
    return checked_plan<Real>(instruction, num_qubits, cache, batch_index, MatrixHome::kCache);
}

template <typename Real>
void apply_gate_plan(StateVector<Real>& state, const GatePlan<Real>& plan, const CircuitInstruction& instruction) {
    flip_open_controls(state, instruction);
    run_plan(state, plan, instruction.controls);
    flip_open_controls(state, instruction);
}

template void apply_gate_single_batch<double>(StateVector<double>&, const CircuitInstruction&, GateMatrixCache&, int);
template void apply_gate_single_batch<float>(StateVector<float>&, const CircuitInstruction&, GateMatrixCache&, int);
template GatePlan<double> plan_gate<double>(const CircuitInstruction&, uint32_t, GateMatrixCache&, int);
template GatePlan<float> plan_gate<float>(const CircuitInstruction&, uint32_t, GateMatrixCache&, int);
template void apply_gate_plan<double>(StateVector<double>&, const GatePlan<double>&, const CircuitInstruction&);
template void apply_gate_plan<float>(StateVector<float>&, const GatePlan<float>&, const CircuitInstruction&);

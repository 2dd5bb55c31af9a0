// Resolving gates into kernel calls (checks, parameter slices, matrices, forms) and compiling runs.
#include "wavesim/plan/compile.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "wavesim/base/bits.h"

namespace wavesim {
namespace {

constexpr size_t kOneQubitEntries = 4;
constexpr size_t kTwoQubitEntries = 16;

// Bit patterns, so that a NaN parameter finds its own entry again.
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool is_swap_kernel(const CircuitInstruction& ins, KernelGate kernel) {
    return ins.controls.empty() && ins.qubits.size() == 2 && !ins.dagger && kernel == KernelGate::kSwap;
}

[[noreturn]] void refuse(const CircuitInstruction& ins, const std::string& reason) {
    throw std::runtime_error("apply_gate_single_batch: gate " + ins.name + " " + reason);
}

// Every qubit must lie in the state and appear once; only the SWAP fast path may
// name one qubit twice (it is then a no-op).
void check_qubits(const CircuitInstruction& ins, uint32_t num_qubits, KernelGate kernel) {
    const int64_t n = num_qubits;
    uint64_t targets = 0;
    uint64_t controls = 0;
    const bool repeat_allowed = is_swap_kernel(ins, kernel);
    auto in_range = [&](int32_t q) {
        if (q < 0 || q >= n) check_qubit(("apply_gate_single_batch: gate " + ins.name).c_str(), q, n);
        return bit(q);
    };
    for (int32_t q : ins.qubits) {
        const uint64_t mask = in_range(q);
        if ((targets & mask) != 0 && !repeat_allowed)
            refuse(ins, "names qubit " + std::to_string(q) + " twice among its targets");
        targets |= mask;
    }
    for (int32_t q : ins.controls) {
        const uint64_t mask = in_range(q);
        if ((controls & mask) != 0) refuse(ins, "names qubit " + std::to_string(q) + " twice among its controls");
        if ((targets & mask) != 0) refuse(ins, "uses qubit " + std::to_string(q) + " as both control and target");
        controls |= mask;
    }
}

}  // namespace

ValueSlice batch_slice(const CircuitInstruction& ins, const GateEntry* gate, int batch_index) {
    return batch_slice(ins, gate == nullptr ? 0 : static_cast<size_t>(gate->num_params), batch_index);
}

ValueSlice batch_slice(const CircuitInstruction& ins, size_t k, int batch_index) {
    if (std::holds_alternative<double>(ins.param.value)) {
        const double* value = &std::get<double>(ins.param.value);
        return {value, value + 1, false};
    }
    const std::vector<double>& list = std::get<std::vector<double>>(ins.param.value);
    if (k == 0 || list.size() <= k) return {list.data(), list.data() + list.size(), false};
    size_t start = 0;
    if (batch_index >= 0 && k * static_cast<size_t>(batch_index) + k <= list.size())
        start = k * static_cast<size_t>(batch_index);
    return {list.data() + start, list.data() + start + k, true};
}

namespace {

// Catalogue matrix after the dagger step. A key that may repeat is computed
// once per cache (the lookup key is reused per thread so that a hit allocates
// nothing); a batch's own parameter set is, in a sweep, seen once per run, so
// it goes to the store's own deque instead of growing the cache with entries
// never hit again. Both give the catalogue's matrix bit for bit.
const Matrix& resolve_matrix(const CircuitInstruction& ins, const GateEntry* gate, MatrixStore& store,
                             int batch_index) {
    const ValueSlice slice = batch_slice(ins, gate, batch_index);
    auto target = [&](const std::vector<double>& params) {
        if (gate == nullptr) throw std::runtime_error("Unknown gate: " + ins.name);
        return gate->target(params);
    };
    if (slice.per_batch || store.cache == nullptr) {
        Matrix m = target(std::vector<double>(slice.begin, slice.end));
        if (ins.dagger) m = dagger_matrix(m);
        return store.owned.emplace_back(std::move(m));
    }
    thread_local GateCacheKey key;
    key.params.assign(slice.begin, slice.end);
    key.name = ins.name;
    key.controls.assign(ins.controls.begin(), ins.controls.end());
    key.dagger = ins.dagger;
    key.ctrl_state = ins.ctrl_state;
    const auto found = store.cache->find(key);
    if (found != store.cache->end()) return found->second;
    Matrix m = target(key.params);
    if (key.dagger) m = dagger_matrix(m);
    return store.cache->emplace(key, std::move(m)).first->second;
}

// Closed controls in `ones`, open ones ('0' in ctrl_state) in `zeros`.
void set_controls(const CircuitInstruction& ins, KernelCall& call) {
    for (size_t i = 0; i < ins.controls.size(); ++i) {
        const bool open = i < ins.ctrl_state.size() && ins.ctrl_state[i] == '0';
        (open ? call.zeros : call.ones) |= bit(ins.controls[i]);
    }
}

// The dedicated kernel of the name in this shape, if it takes one (then true):
// undaggered, in the name's own shape, or with two targets for a name with one
// control of its own (the first target acting as the control). The controls
// written are added by set_controls.
bool dedicated_call(const CircuitInstruction& ins, const GateEntry* gate, KernelGate kernel, KernelCall& call) {
    if (ins.dagger || kernel == KernelGate::kMatrix) return false;
    const size_t targets = ins.qubits.size();
    const size_t controls = ins.controls.size();
    const size_t own_targets = gate != nullptr ? size_t(gate->num_targets) : 1;
    const size_t own_controls = gate != nullptr ? size_t(gate->num_controls) : 0;
    call.gate = kernel;
    if (controls == own_controls && targets == own_targets) {
        call.num_targets = int(targets);
        for (size_t j = 0; j < targets; ++j) call.targets[j] = ins.qubits[j];
        return true;
    }
    if (own_controls == 1 && own_targets == 1 && controls == 0 && targets == 2) {
        call.ones |= bit(ins.qubits[0]);
        call.targets[0] = ins.qubits[1];
        return true;
    }
    return false;
}

// Every other case: the matrix size must match the targets.
void matrix_call(const CircuitInstruction& ins, const GateEntry* gate, MatrixStore& store, int batch_index,
                 KernelCall& call) {
    const Matrix& m = resolve_matrix(ins, gate, store, batch_index);
    const size_t targets = ins.qubits.size();
    const size_t entries = m.size();
    if (!((targets == 1 && entries == kOneQubitEntries) || (targets == 2 && entries == kTwoQubitEntries))) {
        throw std::runtime_error("apply_gate_single_batch: unsupported configuration for gate " + ins.name +
                                 " (targets=" + std::to_string(targets) +
                                 ", ctrls=" + std::to_string(ins.controls.size()) +
                                 ", matrix_size=" + std::to_string(entries) + ")");
    }
    call.gate = KernelGate::kMatrix;
    call.num_targets = int(targets);
    for (size_t j = 0; j < targets; ++j) call.targets[j] = ins.qubits[j];
    call.matrix = &m;
    call.form = kernel_form_of(m);
}

bool has_finite_entries(const Matrix& m) {
    for (const auto& entry : m)
        if (!std::isfinite(entry.real()) || !std::isfinite(entry.imag())) return false;
    return true;
}

}  // namespace

int32_t classical_bit(const CircuitInstruction& measure) {
    return measure.controls.empty() ? measure.qubits[0] : measure.controls[0];
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

KernelCall resolve_gate(const CircuitInstruction& instruction, uint32_t num_qubits, MatrixStore& store,
                        int batch_index) {
    const GateEntry* gate = find_gate(instruction.name);
    const KernelGate kernel = dedicated_kernel(gate, instruction.name);
    check_qubits(instruction, num_qubits, kernel);
    if (instruction.param.value.valueless_by_exception()) throw std::bad_variant_access();
    KernelCall call;
    if (!dedicated_call(instruction, gate, kernel, call)) matrix_call(instruction, gate, store, batch_index, call);
    set_controls(instruction, call);
    return call;
}

void compile_into(RunPlan& plan, const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end,
                  int batch_index) {
    const size_t first = plan.steps.size();
    plan.steps.reserve(first + (end - begin));
    for (size_t i = begin; i < end; ++i) {
        const CircuitInstruction& instruction = instructions[i];
        PlanStep step;
        step.kind = operation_kind(instruction.name);
        if (step.kind == OperationKind::kReset) {
            if (instruction.qubits.empty()) {
                step.kind = OperationKind::kNoEffect;
            } else {
                step.qubit = instruction.qubits[0];
                check_qubit("RESET", step.qubit, plan.num_qubits);
                step.qubits = bit(step.qubit);
            }
        } else if (step.kind == OperationKind::kMeasure) {
            if (!instruction.qubits.empty()) {
                step.qubit = instruction.qubits[0];
                step.cbit = classical_bit(instruction);
            }
        } else if (step.kind == OperationKind::kGate) {
            step.call = resolve_gate(instruction, plan.num_qubits, plan.matrices, batch_index);
            step.qubits = step.call.ones | step.call.zeros;
            for (int j = 0; j < step.call.num_targets; ++j) step.qubits |= bit(step.call.targets[j]);
            if (step.call.gate == KernelGate::kX || step.call.gate == KernelGate::kSwap)
                step.commutes = Commutes::kExactly;
            else if (step.call.gate == KernelGate::kZ)
                step.commutes = Commutes::kUpToZeroSigns;
        }
        plan.steps.push_back(step);
    }
    // A non-finite matrix puts NaN into the state; the dense kernels then spread it exactly as
    // applying the gates one by one does, where a structured kernel would skip its zero products.
    // (A structured form is only ever chosen for a finite matrix.)
    bool finite = true;
    for (size_t i = first; i < plan.steps.size(); ++i) {
        const PlanStep& step = plan.steps[i];
        if (step.kind == OperationKind::kGate && step.call.matrix != nullptr && step.call.form == kDenseForm)
            finite = finite && has_finite_entries(*step.call.matrix);
    }
    if (!finite)
        for (size_t i = first; i < plan.steps.size(); ++i) plan.steps[i].call.form = kDenseForm;
}

RunPlan compile_run(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end, uint32_t num_qubits,
                    GateMatrixCache* cache, int batch_index) {
    RunPlan plan;
    plan.num_qubits = num_qubits;
    plan.matrices.cache = cache;
    compile_into(plan, instructions, begin, end, batch_index);
    return plan;
}

}  // namespace wavesim

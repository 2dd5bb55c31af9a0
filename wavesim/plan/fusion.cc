// Gate fusion on a compiled plan: greedy groups per stretch and their products in double precision.
#include "wavesim/plan/fusion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "wavesim/base/bits.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/gates/matrix_form.h"
#include "wavesim/plan/diagonal_batches.h"
#include "wavesim/plan/kernel_costs.h"
#include "wavesim/plan/locality_order.h"

namespace wavesim {
namespace {

constexpr int kQubitLimit = 64;  // qubits an amplitude index can name
// Steps [begin, end) up to the next MEASURE or RESET.
size_t stretch_end(const std::vector<PlanStep>& steps, size_t begin) {
    size_t end = begin;
    while (end < steps.size() && steps[end].kind != OperationKind::kMeasure && steps[end].kind != OperationKind::kReset)
        ++end;
    return end;
}

// Where the products of one plan go: the run's own store (each product
// computed once, however many orders of the gates ask for it), or the shared
// products for a group whose every matrix is the same in each run.
struct ProductStore {
    RunPlan& plan;
    FusedMatrixCache* shared;
    std::unordered_set<const Matrix*> per_run;  // matrices of this run's parameter set alone
    std::unordered_map<std::vector<KernelCall>, const Matrix*, FusionKeyHash, FusionKeyEqual> this_run;

    // The product of the group of `steps` (the plan's or an order of them).
    const Matrix& product(const std::vector<PlanStep>& steps, const FusionGroup& group) {
        std::vector<KernelCall> key;
        bool shareable = shared != nullptr;
        for (size_t m : group.members) {
            const KernelCall& call = steps[m].call;
            shareable = shareable && (call.matrix == nullptr || per_run.count(call.matrix) == 0);
            key.push_back(call);
        }
        if (shareable) {
            const auto found = shared->products.find(key);
            if (found != shared->products.end()) return found->second;
            Matrix m = fused_matrix(steps, group);
            return shared->products.emplace(std::move(key), std::move(m)).first->second;
        }
        const auto found = this_run.find(key);
        if (found != this_run.end()) return *found->second;
        const Matrix& m = plan.matrices.owned.emplace_back(fused_matrix(steps, group));
        this_run.emplace(std::move(key), &m);
        return m;
    }
};

PlanStep fused_step(const FusionGroup& group, const Matrix& product, unsigned form) {
    PlanStep step;
    step.kind = OperationKind::kGate;
    step.qubits = group.qubits;
    step.call.gate = KernelGate::kMatrix;
    step.call.num_targets = popcount(group.qubits);
    int j = 0;
    for (uint64_t m = group.qubits; m != 0; m &= m - 1) step.call.targets[j++] = __builtin_ctzll(m);
    step.call.matrix = &product;
    step.call.form = form;
    return step;
}

// Whether every matrix of the plan's gate steps is finite. Where one is not,
// compile_run gives every step the dense kernel, and so do the fast setting's products.
bool finite_matrices(const RunPlan& plan) {
    for (const PlanStep& step : plan.steps)
        if (step.kind == OperationKind::kGate && step.call.matrix != nullptr)
            for (const std::complex<double>& e : *step.call.matrix)
                if (!std::isfinite(e.real()) || !std::isfinite(e.imag())) return false;
    return true;
}

// The gate steps among steps [begin, end) in the order the fast setting
// takes them: locality order from kLocalityMinQubits qubits on, else as they are.
std::vector<size_t> fast_order(const RunPlan& plan, size_t begin, size_t end) {
    if (plan.num_qubits >= kLocalityMinQubits) return locality_order(plan.steps, begin, end);
    std::vector<size_t> order;
    for (size_t i = begin; i < end; ++i)
        if (plan.steps[i].kind == OperationKind::kGate) order.push_back(i);
    return order;
}

// Steps of the fast setting and the sum of their kernels' costs.
struct FastSteps {
    std::vector<PlanStep> steps;
    double cost = 0;
};

// The gate steps `ordered` (a stretch's, in the order they are applied)
// grouped as fusion 2 groups them, a group of several gates fused where its
// product's kernel (structured where its zeros allow, as `structured` says)
// costs less than theirs, or where it touches a qubit beyond the locality
// windows' (a state the last-level cache holds is taken in place over its
// lowest qubits, so a gate up there may cost a sweep of its own: the product
// saves sweeps the in-cache costs do not count).
FastSteps grouped_steps(const std::vector<PlanStep>& ordered, bool structured, ProductStore& store) {
    FastSteps out;
    for (const FusionGroup& group : group_stretch(ordered, 0, ordered.size(), kMinFusion)) {
        double separate = 0;
        for (size_t m : group.members) separate += kernel_cost(ordered[m].call);
        if (group.members.size() > 1) {
            const Matrix& product = store.product(ordered, group);
            const PlanStep fused = fused_step(group, product, structured ? kernel_form_of(product) : kDenseForm);
            const double cost = kernel_cost(fused.call);
            if (cost < separate || (group.qubits >> kLocalityQubits) != 0) {
                out.steps.push_back(fused);
                out.cost += cost;
                continue;
            }
        }
        for (size_t m : group.members) out.steps.push_back(ordered[m]);
        out.cost += separate;
    }
    return out;
}

// The fast setting on the gate steps among steps [begin, end) (a stretch):
// the gates in fast_order, grouped (grouped_steps) as they are and with their
// diagonal gates batched first (diagonal_batches.h, in a run of finite
// matrices), whichever the kernel costs say is cheaper.
void append_fast_stretch(const RunPlan& plan, size_t begin, size_t end, bool structured, ProductStore& store,
                         std::vector<PlanStep>& out) {
    std::vector<PlanStep> ordered;
    for (size_t i : fast_order(plan, begin, end)) ordered.push_back(plan.steps[i]);
    FastSteps chosen = grouped_steps(ordered, structured, store);
    const int batch_qubits = batch_qubits_for(plan.num_qubits);
    if (structured && batch_qubits >= kMinBatchQubits) {
        const std::vector<PlanStep> batched = batch_diagonals(ordered, batch_qubits, store.plan.matrices.owned);
        bool batches = false;
        for (const PlanStep& step : batched)
            if (step.call.gate == KernelGate::kDiagonal) {
                store.per_run.insert(step.call.matrix);
                batches = true;
            }
        if (batches) {
            FastSteps with_batches = grouped_steps(batched, structured, store);
            if (with_batches.cost < chosen.cost) chosen = std::move(with_batches);
        }
    }
    out.insert(out.end(), chosen.steps.begin(), chosen.steps.end());
}

}  // namespace

std::string fusion_settings_text() {
    return "fusion must be 0 (off), the most qubits a fused gate may act on (" + std::to_string(kMinFusion) + " to " +
           std::to_string(kMaxFusion) + ") or 'auto'";
}

void check_fusion(int fusion) {
    if (fusion == kFusionOff || (fusion >= kMinFusion && fusion <= kMaxFusion)) return;
    throw std::invalid_argument(fusion_settings_text() + "; got " + std::to_string(fusion));
}

std::vector<FusionGroup> group_stretch(const std::vector<PlanStep>& steps, size_t begin, size_t end, int max_qubits) {
    std::vector<FusionGroup> groups;
    std::array<int, kQubitLimit> owner;  // the latest group that touches each qubit
    owner.fill(-1);
    for (size_t i = begin; i < end; ++i) {
        const PlanStep& step = steps[i];
        if (step.kind != OperationKind::kGate) continue;
        const bool wide = popcount(step.qubits) > max_qubits;
        int latest = -1;
        for (uint64_t m = step.qubits; m != 0; m &= m - 1) latest = std::max(latest, owner[__builtin_ctzll(m)]);
        const int candidate = latest >= 0 ? latest : int(groups.size()) - 1;
        int into = -1;
        if (!wide && candidate >= 0 && !groups[size_t(candidate)].sealed &&
            popcount(groups[size_t(candidate)].qubits | step.qubits) <= max_qubits)
            into = candidate;
        if (into < 0) {
            groups.push_back(FusionGroup{0, {}, wide});
            into = int(groups.size()) - 1;
        }
        FusionGroup& group = groups[size_t(into)];
        group.qubits |= step.qubits;
        group.members.push_back(i);
        for (uint64_t m = step.qubits; m != 0; m &= m - 1) owner[__builtin_ctzll(m)] = into;
    }
    return groups;
}

Matrix fused_matrix(const std::vector<PlanStep>& steps, const FusionGroup& group) {
    const uint64_t dim = uint64_t{1} << popcount(group.qubits);
    Matrix product(dim * dim);
    for (uint64_t d = 0; d < dim; ++d) product[d * dim + d] = 1.0;
    for (size_t index : group.members) {
        const KernelCall& call = steps[index].call;
        int targets[kMaxMatrixTargets] = {};
        for (int j = 0; j < call.num_targets; ++j) targets[j] = position_in(group.qubits, call.targets[j]);
        const uint64_t ones = compress_mask(group.qubits, call.ones);
        const uint64_t zeros = compress_mask(group.qubits, call.zeros);
        if (call.gate == KernelGate::kMatrix) {
            multiply_from_left(product, dim, *call.matrix, targets, call.num_targets, ones, zeros);
        } else if (call.gate == KernelGate::kSwap) {
            if (targets[0] != targets[1])  // one qubit named twice: no effect
                multiply_from_left(product, dim, fixed_kernel_matrix(call.gate), targets, 2, ones, zeros);
        } else {
            multiply_from_left(product, dim, fixed_kernel_matrix(call.gate), targets, 1, ones, zeros);
        }
    }
    return product;
}

size_t FusionKeyHash::operator()(const std::vector<KernelCall>& calls) const {
    size_t h = calls.size();
    for (const KernelCall& c : calls) {
        hash_combine(h, size_t(c.gate));
        hash_combine(h, size_t(c.num_targets));
        for (int j = 0; j < c.num_targets; ++j) hash_combine(h, size_t(c.targets[j]));
        hash_combine(h, std::hash<uint64_t>{}(c.ones));
        hash_combine(h, std::hash<uint64_t>{}(c.zeros));
        hash_combine(h, std::hash<const Matrix*>{}(c.matrix));
    }
    return h;
}

bool FusionKeyEqual::operator()(const std::vector<KernelCall>& a, const std::vector<KernelCall>& b) const {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const KernelCall& x = a[i];
        const KernelCall& y = b[i];
        if (x.gate != y.gate || x.num_targets != y.num_targets || x.ones != y.ones || x.zeros != y.zeros ||
            x.matrix != y.matrix)
            return false;
        for (int j = 0; j < x.num_targets; ++j)
            if (x.targets[j] != y.targets[j]) return false;
    }
    return true;
}

std::vector<PlanStep> fused_steps(RunPlan& plan, size_t begin, int fusion, FusedMatrixCache* shared) {
    const std::vector<PlanStep>& steps = plan.steps;
    if (fusion == kFusionOff) return std::vector<PlanStep>(steps.begin() + ptrdiff_t(begin), steps.end());
    ProductStore store{plan, nullptr, {}, {}};
    const GateMatrixCache* gates = plan.matrices.cache;
    if (shared != nullptr && gates != nullptr && (shared->gates == nullptr || shared->gates == gates)) {
        shared->gates = gates;
        store.shared = shared;
        for (const Matrix& m : plan.matrices.owned) store.per_run.insert(&m);
    }
    const bool structured = fusion == kFusionAuto && finite_matrices(plan);
    std::vector<PlanStep> fused;
    for (size_t i = begin; i < steps.size();) {
        if (steps[i].kind == OperationKind::kMeasure || steps[i].kind == OperationKind::kReset) {
            fused.push_back(steps[i++]);
            continue;
        }
        const size_t end = stretch_end(steps, i);
        if (fusion == kFusionAuto) {
            append_fast_stretch(plan, i, end, structured, store, fused);
            i = end;
            continue;
        }
        for (const FusionGroup& group : group_stretch(steps, i, end, fusion)) {
            if (group.members.size() == 1) fused.push_back(steps[group.members[0]]);
            else fused.push_back(fused_step(group, store.product(steps, group), kDenseForm));
        }
        i = end;
    }
    // A fused plan gives the same bits whatever the windows: its sign flips keep their places.
    for (PlanStep& step : fused)
        if (step.commutes == Commutes::kUpToZeroSigns) step.commutes = Commutes::kNo;
    return fused;
}

}  // namespace wavesim

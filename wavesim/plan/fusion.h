// Opt-in gate fusion: a compiled plan's gate steps multiplied, stretch by
// stretch, into fewer steps whose dense matrices act on at most `fusion`
// qubits. It runs after compile_run and before the windows (which cut the
// fused steps as any others), so the grouping depends only on the circuit
// and the setting, never on threads, cache sizes or window shapes, and no
// fused step straddles a window. (kFusionAuto also depends on the kernel
// costs its process measured, which are fixed once measured.)
//
// Rounding differs from the per-gate path (a product is rounded once per
// entry where the gates round once per gate), so fusion is never a default:
// 0 keeps the plan untouched.
//
// The grouping, greedy and in order within a stretch (the gates between two
// MEASURE or RESET steps; names without effect are transparent): a gate joins
// the latest group that touches any of its qubits if the union of their
// qubits stays within the limit, or, touching none, the last group made; else
// it opens a group of its own. So a gate moves, at most, past earlier gates
// on other qubits, never past one that shares a qubit with it. A gate on more
// qubits than the limit stays alone and no later gate joins it.
//
// A group of one gate keeps its gate's own kernel call (fast kernels stay
// fast). A larger group becomes one dense matrix on its qubits in ascending
// order, the product of its gates' full matrices on those qubits (controls
// and open controls become part of the matrix), computed in double precision
// whatever the state's. Fixed gates enter with their catalogue matrices: H
// and the SWAP/X/Y/Z/S family are what their fast kernels apply, but T and
// TDG use the catalogue's entries (0.7071067811865475, one unit in the last
// place below the constant the T kernel multiplies by).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "wavesim/kernels/kernel_call.h"
#include "wavesim/plan/compile.h"

namespace wavesim {

constexpr int kFusionOff = 0;
// The fast setting ("auto" in Python): from kLocalityMinQubits qubits on
// the gates reordered for the windows (locality_order.h), then grouped as
// fusion 2 groups them and fused where the measured kernel costs say it
// pays (kernel_costs.h) or where a group reaches above the lowest
// kLocalityQubits qubits; its products take structured kernels where their
// zeros allow (in a run of finite matrices).
constexpr int kFusionAuto = -1;
constexpr int kMinFusion = 2;
constexpr int kMaxFusion = kMaxMatrixTargets;

// Refuses (std::invalid_argument) a number other than kFusionOff or
// kMinFusion ... kMaxFusion (kFusionAuto is given by name, not number).
void check_fusion(int fusion);

// What the refusals say the settings are.
std::string fusion_settings_text();

// Gate steps fused into one: `members` (indices into the plan's steps, in
// circuit order) act on `qubits`. A sealed group holds one gate wider than the
// limit.
struct FusionGroup {
    uint64_t qubits = 0;
    std::vector<size_t> members;
    bool sealed = false;
};

// The groups of the gate steps among steps [begin, end), which hold no
// MEASURE or RESET, in the order they are to be applied.
std::vector<FusionGroup> group_stretch(const std::vector<PlanStep>& steps, size_t begin, size_t end, int max_qubits);

// The product of the group's gates on its qubits: row-major, bit j of an
// index is the group's j-th lowest qubit.
Matrix fused_matrix(const std::vector<PlanStep>& steps, const FusionGroup& group);

struct FusionKeyHash {
    size_t operator()(const std::vector<KernelCall>& calls) const;
};

struct FusionKeyEqual {
    bool operator()(const std::vector<KernelCall>& a, const std::vector<KernelCall>& b) const;
};

// Products shared by the runs of a batch: a group whose every matrix comes
// from the batch's GateMatrixCache (or is a fixed gate's) has the same
// product in every parameter set, keyed by its members' calls, whose matrix
// pointers stand for the cache's keys (entries there never move or go). So
// a FusedMatrixCache belongs to one GateMatrixCache: `gates`, set at first use.
struct FusedMatrixCache {
    const GateMatrixCache* gates = nullptr;
    std::unordered_map<std::vector<KernelCall>, Matrix, FusionKeyHash, FusionKeyEqual> products;
};

// The plan's steps from `begin` on with their gate steps replaced by the
// steps of their groups (at most `fusion` qubits each, a setting check_fusion
// accepts, or kFusionAuto; kFusionOff: the steps as they are), each stretch in place between
// its MEASURE and RESET steps; names without effect are dropped. Products go
// to the plan's MatrixStore, or are taken from and added to `shared` where
// the group allows it.
std::vector<PlanStep> fused_steps(RunPlan& plan, size_t begin, int fusion, FusedMatrixCache* shared = nullptr);

}  // namespace wavesim

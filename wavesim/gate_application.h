// The single entry through which every unitary instruction reaches a state:
// skip names, open controls, the batch's parameter slice, fast paths and the
// per-run matrix cache.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "circuit_records.h"
#include "kernels.h"

struct GateCacheKey {
    std::string name;
    std::vector<double> params;
    std::vector<int> controls;
    bool dagger = false;
    std::string ctrl_state;

    bool operator==(const GateCacheKey& other) const;
};

struct GateCacheKeyHash {
    size_t operator()(const GateCacheKey& key) const;
};

// Matrices after the dagger step, memoised for one run. Entries are never
// erased, and the map's nodes do not move, so plans may point into it.
using GateMatrixCache = std::unordered_map<GateCacheKey, Matrix, GateCacheKeyHash>;

enum class GatePath { kCcx, kCx, kCz, kSwap, kFixed, kOneTarget, kTwoTargets, kThreeTargets };

template <typename Real>
using FixedKernel = void (*)(StateVector<Real>&, int);

// A checked instruction: the kernel and its qubits, and the matrix for the
// matrix paths (owned by the cache it was resolved from).
template <typename Real>
struct GatePlan {
    GatePath path;
    int a = 0;
    int b = 0;
    int c = 0;
    FixedKernel<Real> fixed = nullptr;
    const Matrix* matrix = nullptr;
};

// "MEASURE", "BARRIER", "RESET", "QIF" and "QWHILE": no unitary action.
bool is_skipped_name(const std::string& name);

// Refuses (std::runtime_error naming the gate and the qubit) a qubit outside
// the state, a qubit named twice (the SWAP fast path excepted: equal qubits are
// a no-op there) and a control that is also a target; refuses a matrix whose
// size does not fit the targets, and controls on three targets. Every check and
// the matrix lookup run before the state is touched. A repeated key computes
// its matrix once per cache, except a batch's own set cut from a longer value
// list: that one is, in a sweep, seen once per run, so it is computed without
// entering the cache (the same matrix, bit for bit).
template <typename Real>
void apply_gate_single_batch(StateVector<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                             int batch_index);

// The checks and the matrix lookup of apply_gate_single_batch for a state of
// `num_qubits` qubits (not a skip name), throwing exactly as it does. Every
// matrix, a batch's own set included, is taken from or put in the cache, so
// the plan stays valid for the run.
template <typename Real>
GatePlan<Real> plan_gate(const CircuitInstruction& instruction, uint32_t num_qubits, GateMatrixCache& cache,
                         int batch_index);

// The state change of apply_gate_single_batch, open controls included. The
// plan's qubits must lie in `state`, which may be a view on a block of a
// larger state when they all lie in the block.
template <typename Real>
void apply_gate_plan(StateVector<Real>& state, const GatePlan<Real>& plan, const CircuitInstruction& instruction);

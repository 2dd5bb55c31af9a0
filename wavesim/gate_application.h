// The single entry through which every unitary instruction reaches a state:
// the checks, the batch's parameter slice, the choice of kernel (fast paths
// and open controls included) and the home of the resolved matrix.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "circuit_records.h"
#include "kernels.h"

namespace wavesim {

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

// Matrices after the dagger step, memoised across runs that share them (the
// parameter sets of a batch, the shots of a pass). Entries are never erased,
// and the map's nodes do not move, so kernel calls may point into it.
using GateMatrixCache = std::unordered_map<GateCacheKey, Matrix, GateCacheKeyHash>;

// Where the matrices of resolved gates live while their kernel calls are
// used: keys that may repeat go to `cache` when there is one; a batch's own
// parameter set (seen once per run), and every matrix when there is no
// cache, is computed into `owned` (a deque: its elements never move).
struct MatrixStore {
    GateMatrixCache* cache = nullptr;
    std::deque<Matrix> owned;
};

// Refuses (std::runtime_error naming the gate and the qubit) a qubit outside
// the state, a qubit named twice (the SWAP fast path excepted: equal qubits are
// a no-op there) and a control that is also a target; refuses a matrix whose
// size does not fit the targets ("unsupported configuration"). Every check
// and the matrix lookup run before the state is touched. "MEASURE", "RESET",
// "BARRIER", "QIF" and "QWHILE" have no unitary action and are skipped.
template <typename Real>
void apply_gate_single_batch(StateVector<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                             int batch_index);

// The checks and the matrix lookup of apply_gate_single_batch for a gate (not
// a skipped name) on a state of `num_qubits` qubits, throwing exactly as it
// does, and the kernel call that applies it. Open controls ('0' in
// ctrl_state) become controls that must be 0.
KernelCall plan_gate(const CircuitInstruction& instruction, uint32_t num_qubits, MatrixStore& store, int batch_index);

}  // namespace wavesim

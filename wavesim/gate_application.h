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

// Matrices after the dagger step, memoised for one run.
using GateMatrixCache = std::unordered_map<GateCacheKey, Matrix, GateCacheKeyHash>;

// Refuses (std::runtime_error naming the gate and the qubit) a qubit outside
// the state, a qubit named twice (the SWAP fast path excepted: equal qubits are
// a no-op there) and a control that is also a target; refuses a matrix whose
// size does not fit the targets, and controls on three targets. Every check and
// the matrix lookup run before the state is touched.
template <typename Real>
void apply_gate_single_batch(StateVector<Real>& state, const CircuitInstruction& instruction, GateMatrixCache& cache,
                             int batch_index);

// Compiling a run (the instructions one state goes through for one parameter
// set) before the state is touched: every instruction checked in order, its
// kind taken from the catalogue, its kernel and matrix resolved into a
// KernelCall, so that applying the plan cannot fail and a refused instruction
// leaves the state as it was.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/kernels/kernel_call.h"

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
// parameter sets of a batch, the shots of a batch). Entries are never erased,
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

// The batch's parameter set, read in place from the instruction's values. A
// list longer than one set (of the gate's count) is cut per batch; a batch
// index past the end (or below 0) falls back to the first set.
struct ValueSlice {
    const double* begin;
    const double* end;
    bool per_batch;
};

ValueSlice batch_slice(const CircuitInstruction& ins, const GateEntry* gate, int batch_index);
// The same for an instruction that takes `k` values per set (a noise channel's).
ValueSlice batch_slice(const CircuitInstruction& ins, size_t k, int batch_index);

// The kernel call of a gate (not a name without unitary action) on a state
// of `num_qubits` qubits, for parameter set `batch_index`. Refuses
// (std::runtime_error naming the gate and the qubit) a qubit outside the
// state, a qubit named twice (the SWAP fast path excepted: equal qubits are a
// no-op there) and a control that is also a target; refuses a matrix whose
// size does not fit the targets ("unsupported configuration"); an unknown
// name fails with the catalogue's error. Open controls ('0' in ctrl_state)
// become controls that must be 0.
KernelCall resolve_gate(const CircuitInstruction& instruction, uint32_t num_qubits, MatrixStore& store,
                        int batch_index);

// Whether a gate step may trade places with a gate on other qubits, which then does the same arithmetic on the
// same values where they went (a gate on other qubits is no product of the two: swapping two rotations rounds
// otherwise).
enum class Commutes : uint8_t {
    kNo,
    kExactly,          // the kernel only moves values (X and SWAP, under any controls): not a bit changes
    kUpToZeroSigns,    // the kernel only flips signs (Z, CZ): every gate's arithmetic is odd, so every
                       // value is the same but for the sign of a zero that a sum cancelled (x + -x is +0 either way)
};

struct PlanStep {
    OperationKind kind = OperationKind::kNoEffect;
    KernelCall call;      // kGate
    int32_t qubit = -1;   // kReset: the qubit reset; kMeasure: the qubit measured (-1: none, no effect)
    int32_t cbit = -1;    // kMeasure with a qubit: its classical bit
    uint64_t qubits = 0;  // every qubit the step reads or writes (targets and controls)
    Commutes commutes = Commutes::kNo;
};

// Classical bit of a MEASURE with at least one qubit: the first control, or the qubit itself.
int32_t classical_bit(const CircuitInstruction& measure);

struct RunPlan {
    uint32_t num_qubits = 0;
    std::vector<PlanStep> steps;
    MatrixStore matrices;  // holds the matrices the steps point at
};

// Instructions [begin, end) for a state of `num_qubits` qubits, one step per
// instruction, checked in order with the messages and exception types of
// applying them one by one: a RESET with a qubit refuses one outside the
// state (a RESET without qubits has no effect), gates are checked by
// resolve_gate; a MEASURE keeps its qubit and classical bit. Matrices that
// may repeat are shared through `cache` when given. A run that holds a
// non-finite matrix takes the dense kernels throughout.
RunPlan compile_run(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end, uint32_t num_qubits,
                    GateMatrixCache* cache, int batch_index);

// The same appended to `plan` (its size and cache already set): the steps
// compiled before are left as they are, and the rule for non-finite matrices
// applies to the new steps alone.
void compile_into(RunPlan& plan, const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end,
                  int batch_index);

}  // namespace wavesim

// Gradients of an expectation value by the adjoint method. The two states a
// parameter set needs, phi (psi at first) and lambda = O psi, are the two
// halves of one state of one qubit more (the "bra qubit" above them), so
// that applying U^dagger to both is one kernel call on it, and the cache
// windows of plan_apply take both through a run of gates in one sweep. At a
// parametrised gate the same kernel call (kCrossFormThenMatrix) first reads
// 2 Re <lambda| dU U^dagger |phi> for each parameter, that is
// 2 Re <lambda| dU |U^dagger phi>, then applies U^dagger to both halves.
#pragma once

#include <string>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/base/exact_sum.h"
#include "wavesim/expval/observable.h"
#include "wavesim/plan/compile.h"
#include "wavesim/plan/run.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// One column of the gradient: parameter `slot` of instruction `instruction`.
struct ParamColumn {
    size_t instruction = 0;
    std::string name;  // the instruction's parameter name
    int slot = 0;
};

// One column per parameter of every instruction with has_param whose gate
// takes parameters, in instruction order.
std::vector<ParamColumn> param_columns(const std::vector<CircuitInstruction>& instructions);

// A circuit checked for differentiation, and where its columns start.
struct DifferentiableCircuit {
    int num_qubits = 0;
    const std::vector<CircuitInstruction>* instructions = nullptr;
    std::vector<int> first_column;  // per instruction: the column of its first parameter, or -1
    size_t columns = 0;
};

// Refuses (std::invalid_argument naming the instruction) a RESET, which is
// not unitary, and a column instruction with fewer values than its gate takes.
DifferentiableCircuit differentiable_circuit(int num_qubits, const std::vector<CircuitInstruction>& instructions);

// Qubits of the state an adjoint pass needs for a circuit of `num_qubits`:
// two halves of at least kMinPassQubits qubits each.
unsigned adjoint_state_qubits(unsigned num_qubits);

// Parameter set `batch_index`: psi in the lower half of `state` (|0...0> on
// entry, of adjoint_state_qubits qubits), the circuit run on it by
// run_program with `fusion` (the final state cal_states returns for the set),
// then <O> (returned) and its derivatives, grads[j] for the j-th column,
// every kernel on `team`. `slots` holds one ExactSum per column for each
// hardware thread. The state is left as the pass leaves it.
template <typename Real>
double adjoint_gradient(StateView<Real>& state, const DifferentiableCircuit& circuit,
                        const GroupedObservables& observable, RunCaches* caches, int batch_index, int fusion,
                        ThreadTeam team, std::vector<ExactSum>& slots, double* grads);

// The backward plan of a compiled run on a stacked state whose bra qubit is
// `bra_qubit`: the run's gates in reverse order, each as its inverse (fixed
// kernels by their inverse kernel, matrices daggered), a parametrised one
// (first_column[i] >= 0) as a kCrossFormThenMatrix call whose reads go to
// slots[first_column[i] + slot]. MEASURE and names without effect are left out.
RunPlan backward_plan(const RunPlan& forward, const std::vector<CircuitInstruction>& instructions, int batch_index,
                      const std::vector<int>& first_column, int bra_qubit, SumSlots slots);

}  // namespace wavesim

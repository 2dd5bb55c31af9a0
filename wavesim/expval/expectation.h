// Reading observables (grouped as in observable.h) off a state: their
// expectation values, and one observable applied to a state (the adjoint
// gradient's lambda = O psi). The passes read the state in chunks of
// amplitudes and sum in double, also for a float state; values add the
// chunks' sums exactly (ExactSum), so they do not depend on the thread count.
#pragma once

#include <vector>

#include "wavesim/base/threads.h"
#include "wavesim/expval/observable.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// Qubits a state needs for these passes: a whole register in either precision.
constexpr unsigned kMinPassQubits = 3;

// <psi|O_k|psi> for each observable, on a state of at least kMinPassQubits
// qubits holding every qubit of the terms, the chunks shared among `team`. Groups whose flips agree above a
// chunk share one pass; when that part is not zero, the pass pairs each
// chunk with its partner and reads the two once for both.
template <typename Real>
std::vector<double> expectation_values(const StateView<Real>& state, const GroupedObservables& observables,
                                       ThreadTeam team);

// out = O psi for the one observable of `observable` without its identity
// terms (they add nothing to a gradient); `out` has the state's size and is
// not the state. Returns <psi|O|psi>, identity terms included, read in the
// same pass (equal to expectation_values' up to rounding).
template <typename Real>
double apply_observable(const StateView<Real>& state, const GroupedObservables& observable, StateView<Real>& out,
                        ThreadTeam team);

}  // namespace wavesim

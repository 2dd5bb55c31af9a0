// The `gates` argument of the random builder: "all" or a list/tuple of names.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "clifford_gates.h"

namespace cliffmix {

// The selected gates in the caller's order, duplicates kept (a name given
// twice is drawn twice as often). Names are matched after ASCII lower-casing.
// Throws std::invalid_argument for any other object, an empty list or an
// unsupported name; a list item that is not a string fails with the binding
// layer's cast error, and errors raised while iterating propagate unchanged.
std::vector<const CliffordGate*> parse_gate_selection(pybind11::handle gates);

}  // namespace cliffmix

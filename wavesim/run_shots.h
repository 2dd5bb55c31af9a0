// The driver behind run_cpp: counts of the measured bit strings over a number
// of shots, one dict per parameter set.
#pragma once

#include <pybind11/pybind11.h>

#include "circuit_records.h"

// One dict (key -> count, keys ascending) when the circuit has fewer than two
// parameter sets, else a list of one dict per set. Needs the interpreter lock.
template <typename Real>
pybind11::object run_shots(const CircuitData& circuit, int shots, int num_cbits, int seed);

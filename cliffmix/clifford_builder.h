// The two circuit builders of the module: random Clifford circuits from a
// seeded Mersenne Twister, and circuits from caller-chosen names and qubits.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "circuit_records.h"
#include "clifford_gates.h"

namespace cliffmix {

// The seed's 32-bit pattern when it is >= 0; one value from the platform's
// random device when it is negative.
uint32_t resolve_seed(int32_t seed);

// `num_gates` gates drawn from `selection` (positions uniform over the list)
// with uniformly drawn qubits; two-qubit gates get an ordered pair of distinct
// qubits. Draw order per gate: position, first qubit, second qubit.
// Preconditions: num_qubits >= 1 (>= 2 when a two-qubit gate is selected),
// num_gates >= 0, selection not empty.
CircuitData draw_random_clifford(int32_t num_qubits, int32_t num_gates,
                                 const std::vector<const CliffordGate*>& selection, std::mt19937& generator);

// Python entry: argument checks in order (num_qubits, num_gates, gates, the
// two-qubit rule), then seeding and drawing. Failures are std::invalid_argument.
CircuitData build_random_clifford_data(int32_t num_qubits, int32_t num_gates, pybind11::handle gates, int32_t seed);

// One instruction per name, in order. Throws std::invalid_argument when
// num_qubits < 1, the lists differ in length, a name is not one of the ten
// exact lower-case names, an index list is shorter than its gate needs, an
// index written into the record lies outside 0 ... num_qubits-1, or a
// two-qubit gate names the same qubit twice.
CircuitData build_random_clifford_from_indices(int32_t num_qubits, const std::vector<std::string>& gate_names,
                                               const std::vector<std::vector<int32_t>>& qubit_indices);

}  // namespace cliffmix

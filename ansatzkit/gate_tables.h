// The builder's two fixed gate tables: how many qubits a block name acts on and
// whether it takes a parameter. Names are matched exactly, case included.
#pragma once

#include <string>

namespace ansatzkit {

// Both throw std::out_of_range("invalid unordered_map<K, T> key") for a name
// the table does not hold; callers depend on that exact text.
int gate_qubit_count(const std::string& name);
int gate_param_count(const std::string& name);

}  // namespace ansatzkit

// The simulator's gate vocabulary: exact, case-sensitive names, their
// parameter counts and their matrices (row-major, double precision, global
// phases included).
#pragma once

#include <string>
#include <vector>

#include "kernels.h"

// Full matrix of the named gate over all of its qubits (controls first).
Matrix gate_matrix(const std::string& name, const std::vector<double>& params);
// Matrix on the target qubit(s) only for controlled names; gate_matrix otherwise.
Matrix target_matrix(const std::string& name, const std::vector<double>& params);
// Number of parameters the name takes (0 to 4); 0 for every unlisted name.
int gate_param_count(const std::string& name);
// Conjugate transpose of a square matrix.
Matrix dagger_matrix(const Matrix& m);

// The simulator's gate vocabulary: exact, case-sensitive names, their
// parameter counts and their matrices (row-major, double precision, global
// phases included).
#pragma once

#include <string>
#include <vector>

#include "kernels.h"

// Builds the matrix on a gate's target qubit(s) from its parameters; missing
// parameters read as 0.0, extra ones are ignored.
using TargetMatrixBuilder = Matrix (*)(const std::vector<double>& params);

// One name of the vocabulary. A controlled name's full matrix is diag(I, U)
// with its controls as the most significant index bits.
struct GateEntry {
    const char* name;
    int num_params;
    int num_controls;
    int num_targets;
    TargetMatrixBuilder target;
};

// Every accepted name, in a fixed order (built at load time).
const std::vector<GateEntry>& gate_catalogue();

// Full matrix of the named gate over all of its qubits (controls first).
Matrix gate_matrix(const std::string& name, const std::vector<double>& params);
// Matrix on the target qubit(s) only for controlled names; gate_matrix otherwise.
Matrix target_matrix(const std::string& name, const std::vector<double>& params);
// Number of parameters the name takes (0 to 4); 0 for every unlisted name.
int gate_param_count(const std::string& name);
// Conjugate transpose of a square matrix.
Matrix dagger_matrix(const Matrix& m);

// The simulator's gate vocabulary: exact, case-sensitive names, their
// parameter counts and their matrices (row-major, double precision, global
// phases included).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wavesim/base/matrix.h"

namespace wavesim {

// Builds the matrix on a gate's target qubit(s) from its parameters; missing
// parameters read as 0.0, extra ones are ignored.
using TargetMatrixBuilder = Matrix (*)(const std::vector<double>& params);

// Gates with a kernel of their own: exact exchanges and sign flips, plus the
// H and T constants. A gate takes it only undaggered and in its own shape:
// one-qubit names with one target and no control; CX, CNOT and CZ with one
// control and one target or with two targets (the first acting as control);
// SWAP with two targets; CCX and TOFFOLI with two controls and one target.
enum class FastKernel : uint8_t { kNone, kX, kY, kZ, kH, kS, kSdg, kT, kTdg, kCx, kCz, kSwap, kCcx };

// One name of the vocabulary. A controlled name's full matrix is diag(I, U)
// with its controls as the most significant index bits.
struct GateEntry {
    const char* name;
    int num_params;
    int num_controls;
    int num_targets;
    TargetMatrixBuilder target;
    FastKernel fast;
};

// What an instruction does to a state: "MEASURE" and "RESET" are the
// stochastic names, "BARRIER", "QIF" and "QWHILE" leave it alone, and every
// other name is a gate (known or not: the catalogue decides when it is applied).
enum class OperationKind : uint8_t { kGate, kMeasure, kReset, kNoEffect };
OperationKind operation_kind(std::string_view name);

// The row of an exact, case-sensitive name; nullptr for a name not in the vocabulary.
const GateEntry* find_gate(std::string_view name);

// The kernel a name takes on its fast path, given its row (or nullptr);
// "Tdg", the one mixed-case spelling accepted, has only this kernel and no row.
FastKernel fast_kernel(const GateEntry* gate, std::string_view name);

// Every accepted name, in a fixed order (built at load time).
const std::vector<GateEntry>& gate_catalogue();

// Full matrix of the named gate over all of its qubits (controls first).
Matrix gate_matrix(const std::string& name, const std::vector<double>& params);
// Matrix on the target qubit(s) only for controlled names; gate_matrix otherwise.
Matrix target_matrix(const std::string& name, const std::vector<double>& params);
// Number of parameters the name takes (0 to 4); 0 for every unlisted name.
int gate_param_count(const std::string& name);

}  // namespace wavesim

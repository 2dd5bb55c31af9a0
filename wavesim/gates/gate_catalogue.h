// The simulator's gate vocabulary: one row per exact, case-sensitive name,
// and in each row every fact a stage needs of the gate: its parameter count
// and shape, the builders of its matrix (row-major, double precision, global
// phases included) and of that matrix's derivatives, its inverse, the
// dedicated kernel it takes and the form of its matrix. A new gate is one new
// row; the table test (gate_catalogue.test.cc, and for kernels
// plan/dedicated_kernels.test.cc) checks every row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wavesim/base/matrix.h"

namespace wavesim {

// The kernels a step can take: the exact kernels of fixed gates, by the pair
// or phase they apply; the matrix kernel (dense or structured); and the
// matrix kernel that first reads cross forms (the adjoint gradient's step).
enum class KernelGate : uint8_t { kX, kY, kH, kZ, kS, kSdg, kT, kTdg, kSwap, kMatrix, kCrossFormThenMatrix, kDiagonal };

// Builds the matrix on a gate's target qubit(s) from its parameters; missing
// parameters read as 0.0, extra ones are ignored.
using TargetMatrixBuilder = Matrix (*)(const std::vector<double>& params);
// d target / d params[p], one matrix per parameter.
using DerivativeBuilder = std::vector<Matrix> (*)(const std::vector<double>& params);

// One name of the vocabulary. A controlled name's full matrix is diag(I, U)
// with its controls as the most significant index bits.
struct GateEntry {
    const char* name;
    int num_params;
    int num_controls;  // of the name's own shape
    int num_targets;
    TargetMatrixBuilder target;
    DerivativeBuilder derivatives;  // nullptr for a name without parameters
    // The name whose matrix times this one's is the identity (a fixed gate's
    // inverse, taken by its kernel), or nullptr: the conjugate transpose.
    const char* inverse;
    // The exact kernel the name takes undaggered in its own shape (a name
    // with one control also with two targets, the first acting as control),
    // or kMatrix: the matrix kernel of its form.
    KernelGate kernel;
    unsigned form;  // of its target matrix for parameters that are not special (gates/matrix_form.h)
};

// What an instruction does to a state: "MEASURE" and "RESET" are the
// stochastic names, "BARRIER", "QIF" and "QWHILE" leave it alone, and every
// other name is a gate (known or not: the catalogue decides when it is applied).
enum class OperationKind : uint8_t { kGate, kMeasure, kReset, kNoEffect };
OperationKind operation_kind(std::string_view name);

// Every accepted name, in a fixed order (built at load time).
const std::vector<GateEntry>& gate_catalogue();

// The row of an exact, case-sensitive name; nullptr for a name not in the vocabulary.
const GateEntry* find_gate(std::string_view name);

// The dedicated kernel of a name given its row (or nullptr): the row's;
// "Tdg", the one mixed-case spelling accepted, has only its kernel and no row.
KernelGate dedicated_kernel(const GateEntry* gate, std::string_view name);

// The kernel that undoes `kernel` (kMatrix for kMatrix), from the rows' inverses.
KernelGate inverse_kernel(KernelGate kernel);

// The catalogue matrix a fixed kernel stands for (the first row that takes it).
const Matrix& fixed_kernel_matrix(KernelGate kernel);

// Full matrix of the named gate over all of its qubits (controls first).
Matrix gate_matrix(const std::string& name, const std::vector<double>& params);
// Matrix on the target qubit(s) only for controlled names; gate_matrix otherwise.
Matrix target_matrix(const std::string& name, const std::vector<double>& params);
// d target_matrix(name, params) / d params[p] for p = 0 ... gate_param_count(name) - 1;
// empty for a name without parameters or outside the vocabulary.
std::vector<Matrix> target_matrix_derivatives(std::string_view name, const std::vector<double>& params);
// Number of parameters the name takes: a gate's (0 to 4) or a noise
// channel's (gates/channel_catalogue.h, up to 15); 0 for every unlisted name.
int gate_param_count(const std::string& name);

}  // namespace wavesim

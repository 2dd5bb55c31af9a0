// Gate kernels: each changes the amplitudes of a StateVector in place for one
// gate, in an OpenMP region with thread_count_for(num_qubits) threads.
// Qubit arguments must lie in 0 ... n-1 (gate application checks them first);
// matrices are row-major with 4, 16 or 64 entries as named. A kernel given a
// qubit outside the state (std::out_of_range), equal targets of a two- or
// three-qubit matrix or a matrix of another size (std::invalid_argument)
// throws before touching the state. Controls that include the target never
// act (the pairs visited have the target bit 0); apply_cz on one qubit is Z.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "state_vector.h"

namespace wavesim {

using Matrix = std::vector<std::complex<double>>;

// Fixed gates: exchanges and sign flips, plus the H and T constants.
template <typename Real>
void apply_x(StateVector<Real>& s, int t);
template <typename Real>
void apply_y(StateVector<Real>& s, int t);
template <typename Real>
void apply_z(StateVector<Real>& s, int t);
template <typename Real>
void apply_h(StateVector<Real>& s, int t);
template <typename Real>
void apply_s(StateVector<Real>& s, int t);
template <typename Real>
void apply_sdg(StateVector<Real>& s, int t);
template <typename Real>
void apply_t(StateVector<Real>& s, int t);
template <typename Real>
void apply_tdg(StateVector<Real>& s, int t);
template <typename Real>
void apply_cx(StateVector<Real>& s, int control, int target);
template <typename Real>
void apply_cz(StateVector<Real>& s, int control, int target);
template <typename Real>
void apply_swap(StateVector<Real>& s, int q0, int q1);
template <typename Real>
void apply_ccx(StateVector<Real>& s, int c0, int c1, int target);

// Matrix kernels.
template <typename Real>
void apply_single_qubit_matrix(StateVector<Real>& s, int t, const Matrix& m);
template <typename Real>
void apply_controlled_single_qubit_matrix(StateVector<Real>& s, int c, int t, const Matrix& m);
template <typename Real>
void apply_multi_controlled_single_qubit_matrix(StateVector<Real>& s, int t, const std::vector<int>& controls,
                                                const Matrix& m);
// Two targets: the bit of q0 is bit 0 of the matrix index, the bit of q1 bit 1.
template <typename Real>
void apply_two_qubit_matrix(StateVector<Real>& s, int q0, int q1, const Matrix& m);
template <typename Real>
void apply_multi_controlled_two_qubit_matrix(StateVector<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                             const Matrix& m);
// Three targets given ascending; matrix index = bit(lo) + 2 bit(mid) + 4 bit(hi).
template <typename Real>
void apply_three_qubit_matrix(StateVector<Real>& s, int lo, int mid, int hi, const Matrix& m);

// Dispatch on the number of controls (none, one, several).
template <typename Real>
void apply_single_qubit_matrix_ctrl(StateVector<Real>& s, int t, const std::vector<int>& controls, const Matrix& m);
template <typename Real>
void apply_two_qubit_matrix_ctrl(StateVector<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                 const Matrix& m);

// Where a kernel runs: in its own region with the thread rule's count (which
// it leaves set on the calling thread), or on the calling thread alone with
// no region and no change to the thread count (a block of a larger state, or
// a state the rule gives one thread anyway). Both give the same amplitudes.
enum class KernelExec : uint8_t { kRegion, kCallingThread };

// The exact kernels, by the pair or phase they apply.
enum class KernelGate : uint8_t { kX, kY, kH, kZ, kS, kSdg, kT, kTdg, kSwap, kMatrix };

// One kernel invocation with its qubits checked: target(s), controls that
// must be 1 (`ones`) and controls that must be 0 (`zeros`, open controls).
// kX, kY, kH act on targets[0]; the phase gates multiply the amplitudes whose
// targets[0] bit is 1; kSwap exchanges targets[0] and targets[1] (equal: no
// effect); kMatrix applies the row-major `matrix` on num_targets (1 or 2)
// targets, bit j of its index being the bit of targets[j].
struct KernelCall {
    KernelGate gate = KernelGate::kMatrix;
    int num_targets = 1;
    int targets[2] = {0, 0};
    uint64_t ones = 0;
    uint64_t zeros = 0;
    const Matrix* matrix = nullptr;
};

// Applies `call`, whose qubits must lie in `s` and be distinct (controls
// neither repeat nor meet a target; SWAP may name one qubit twice), and whose
// matrix must have (2^num_targets)^2 entries. Nothing is checked here.
template <typename Real>
void run_kernel_call(StateVector<Real>& s, const KernelCall& call, KernelExec exec);

}  // namespace wavesim

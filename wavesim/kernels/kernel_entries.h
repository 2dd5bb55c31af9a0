// The kernels by name (apply_h ... apply_three_qubit_matrix), for callers that
// hold a state and qubit numbers rather than an instruction: each is a
// KernelCall run in its own parallel region. Qubits must lie in 0 ... n-1,
// matrix targets must differ and a matrix must have (2^targets)^2 entries;
// anything else is refused (std::runtime_error naming the kernel) before the
// state is touched. Controls that include the target never act (the pairs
// visited have the target bit 0); apply_cz on one qubit is Z; apply_swap of
// one qubit does nothing.
#pragma once

#include <vector>

#include "wavesim/kernels/kernel_call.h"

namespace wavesim {

// Fixed gates: exchanges and sign flips, plus the H and T constants.
template <typename Real>
void apply_x(StateView<Real>& s, int t);
template <typename Real>
void apply_y(StateView<Real>& s, int t);
template <typename Real>
void apply_z(StateView<Real>& s, int t);
template <typename Real>
void apply_h(StateView<Real>& s, int t);
template <typename Real>
void apply_s(StateView<Real>& s, int t);
template <typename Real>
void apply_sdg(StateView<Real>& s, int t);
template <typename Real>
void apply_t(StateView<Real>& s, int t);
template <typename Real>
void apply_tdg(StateView<Real>& s, int t);
template <typename Real>
void apply_cx(StateView<Real>& s, int control, int target);
template <typename Real>
void apply_cz(StateView<Real>& s, int control, int target);
template <typename Real>
void apply_swap(StateView<Real>& s, int q0, int q1);
template <typename Real>
void apply_ccx(StateView<Real>& s, int c0, int c1, int target);

// Dense matrices. Two targets: the bit of q0 is bit 0 of the matrix index.
// Three targets given ascending: index = bit(lo) + 2 bit(mid) + 4 bit(hi).
template <typename Real>
void apply_single_qubit_matrix(StateView<Real>& s, int t, const Matrix& m);
template <typename Real>
void apply_controlled_single_qubit_matrix(StateView<Real>& s, int c, int t, const Matrix& m);
template <typename Real>
void apply_multi_controlled_single_qubit_matrix(StateView<Real>& s, int t, const std::vector<int>& controls,
                                                const Matrix& m);
template <typename Real>
void apply_two_qubit_matrix(StateView<Real>& s, int q0, int q1, const Matrix& m);
template <typename Real>
void apply_multi_controlled_two_qubit_matrix(StateView<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                             const Matrix& m);
template <typename Real>
void apply_three_qubit_matrix(StateView<Real>& s, int lo, int mid, int hi, const Matrix& m);

// Dispatch on the number of controls (none, one, several).
template <typename Real>
void apply_single_qubit_matrix_ctrl(StateView<Real>& s, int t, const std::vector<int>& controls, const Matrix& m);
template <typename Real>
void apply_two_qubit_matrix_ctrl(StateView<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                 const Matrix& m);

}  // namespace wavesim

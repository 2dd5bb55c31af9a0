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
#include <vector>

#include "state_vector.h"

using Matrix = std::vector<std::complex<double>>;

// Fixed gates: exchanges and sign flips, plus the H and T constants.
template <typename Real> void apply_x(StateVector<Real>& s, int t);
template <typename Real> void apply_y(StateVector<Real>& s, int t);
template <typename Real> void apply_z(StateVector<Real>& s, int t);
template <typename Real> void apply_h(StateVector<Real>& s, int t);
template <typename Real> void apply_s(StateVector<Real>& s, int t);
template <typename Real> void apply_sdg(StateVector<Real>& s, int t);
template <typename Real> void apply_t(StateVector<Real>& s, int t);
template <typename Real> void apply_tdg(StateVector<Real>& s, int t);
template <typename Real> void apply_cx(StateVector<Real>& s, int control, int target);
template <typename Real> void apply_cz(StateVector<Real>& s, int control, int target);
template <typename Real> void apply_swap(StateVector<Real>& s, int q0, int q1);
template <typename Real> void apply_ccx(StateVector<Real>& s, int c0, int c1, int target);

// Matrix kernels.
template <typename Real> void apply_single_qubit_matrix(StateVector<Real>& s, int t, const Matrix& m);
template <typename Real> void apply_controlled_single_qubit_matrix(StateVector<Real>& s, int c, int t, const Matrix& m);
template <typename Real>
void apply_multi_controlled_single_qubit_matrix(StateVector<Real>& s, int t, const std::vector<int>& controls, const Matrix& m);
// Two targets: the bit of q0 is bit 0 of the matrix index, the bit of q1 bit 1.
template <typename Real> void apply_two_qubit_matrix(StateVector<Real>& s, int q0, int q1, const Matrix& m);
template <typename Real>
void apply_multi_controlled_two_qubit_matrix(StateVector<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                             const Matrix& m);
// Three targets given ascending; matrix index = bit(lo) + 2 bit(mid) + 4 bit(hi).
template <typename Real> void apply_three_qubit_matrix(StateVector<Real>& s, int lo, int mid, int hi, const Matrix& m);

// Dispatch on the number of controls (none, one, several).
template <typename Real>
void apply_single_qubit_matrix_ctrl(StateVector<Real>& s, int t, const std::vector<int>& controls, const Matrix& m);
template <typename Real>
void apply_two_qubit_matrix_ctrl(StateVector<Real>& s, int q0, int q1, const std::vector<int>& controls, const Matrix& m);

// The named kernels: each checks its qubits and matrix, then runs its kernel call.
#include "wavesim/kernels/kernel_entries.h"

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace wavesim {
namespace {

[[noreturn]] void refuse(const char* kernel, const std::string& reason) {
    throw std::runtime_error(std::string(kernel) + ": " + reason);
}

uint64_t control_bits(const char* kernel, const std::vector<int>& controls, unsigned num_qubits) {
    uint64_t bits = 0;
    for (int c : controls) {
        check_qubit(kernel, c, num_qubits);
        bits |= bit(c);
    }
    return bits;
}

// The call of a fixed gate on `targets` under closed `controls`, its qubits checked.
KernelCall fixed_call(const char* kernel, unsigned num_qubits, KernelGate gate, std::initializer_list<int> targets,
                      const std::vector<int>& controls) {
    KernelCall call;
    call.gate = gate;
    call.num_targets = int(targets.size());
    int j = 0;
    for (int t : targets) {
        check_qubit(kernel, t, num_qubits);
        call.targets[j++] = t;
    }
    call.ones = control_bits(kernel, controls, num_qubits);
    return call;
}

// The call of a dense matrix on distinct `targets` under closed `controls`.
KernelCall matrix_call(const char* kernel, unsigned num_qubits, std::initializer_list<int> targets,
                       const std::vector<int>& controls, const Matrix& m) {
    KernelCall call = fixed_call(kernel, num_qubits, KernelGate::kMatrix, targets, controls);
    for (int a = 0; a < call.num_targets; ++a)
        for (int b = a + 1; b < call.num_targets; ++b)
            if (call.targets[a] == call.targets[b])
                refuse(kernel, "target qubit " + std::to_string(call.targets[a]) + " given twice");
    const size_t entries = size_t{1} << (2 * call.num_targets);
    if (m.size() != entries)
        refuse(kernel, "matrix has " + std::to_string(m.size()) + " entries, expected " + std::to_string(entries));
    call.matrix = &m;
    return call;
}

template <typename Real>
void run(StateView<Real>& s, const KernelCall& call) {
    run_kernel_call(s, call, team_for(int(s.num_qubits)));
}

}  // namespace

template <typename Real>
void apply_x(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_x", s.num_qubits, KernelGate::kX, {t}, {}));
}

template <typename Real>
void apply_y(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_y", s.num_qubits, KernelGate::kY, {t}, {}));
}

template <typename Real>
void apply_z(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_z", s.num_qubits, KernelGate::kZ, {t}, {}));
}

template <typename Real>
void apply_h(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_h", s.num_qubits, KernelGate::kH, {t}, {}));
}

template <typename Real>
void apply_s(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_s", s.num_qubits, KernelGate::kS, {t}, {}));
}

template <typename Real>
void apply_sdg(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_sdg", s.num_qubits, KernelGate::kSdg, {t}, {}));
}

template <typename Real>
void apply_t(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_t", s.num_qubits, KernelGate::kT, {t}, {}));
}

template <typename Real>
void apply_tdg(StateView<Real>& s, int t) {
    run(s, fixed_call("apply_tdg", s.num_qubits, KernelGate::kTdg, {t}, {}));
}

template <typename Real>
void apply_cx(StateView<Real>& s, int control, int target) {
    run(s, fixed_call("apply_cx", s.num_qubits, KernelGate::kX, {target}, {control}));
}

// Equal qubits negate wherever that bit is 1, i.e. act as Z.
template <typename Real>
void apply_cz(StateView<Real>& s, int control, int target) {
    run(s, fixed_call("apply_cz", s.num_qubits, KernelGate::kZ, {target}, {control}));
}

template <typename Real>
void apply_swap(StateView<Real>& s, int q0, int q1) {
    run(s, fixed_call("apply_swap", s.num_qubits, KernelGate::kSwap, {q0, q1}, {}));
}

template <typename Real>
void apply_ccx(StateView<Real>& s, int c0, int c1, int target) {
    run(s, fixed_call("apply_ccx", s.num_qubits, KernelGate::kX, {target}, {c0, c1}));
}

template <typename Real>
void apply_single_qubit_matrix(StateView<Real>& s, int t, const Matrix& m) {
    run(s, matrix_call("apply_single_qubit_matrix", s.num_qubits, {t}, {}, m));
}

template <typename Real>
void apply_controlled_single_qubit_matrix(StateView<Real>& s, int c, int t, const Matrix& m) {
    run(s, matrix_call("apply_controlled_single_qubit_matrix", s.num_qubits, {t}, {c}, m));
}

template <typename Real>
void apply_multi_controlled_single_qubit_matrix(StateView<Real>& s, int t, const std::vector<int>& controls,
                                                const Matrix& m) {
    run(s, matrix_call("apply_multi_controlled_single_qubit_matrix", s.num_qubits, {t}, controls, m));
}

template <typename Real>
void apply_two_qubit_matrix(StateView<Real>& s, int q0, int q1, const Matrix& m) {
    run(s, matrix_call("apply_two_qubit_matrix", s.num_qubits, {q0, q1}, {}, m));
}

template <typename Real>
void apply_multi_controlled_two_qubit_matrix(StateView<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                             const Matrix& m) {
    run(s, matrix_call("apply_multi_controlled_two_qubit_matrix", s.num_qubits, {q0, q1}, controls, m));
}

template <typename Real>
void apply_three_qubit_matrix(StateView<Real>& s, int lo, int mid, int hi, const Matrix& m) {
    run(s, matrix_call("apply_three_qubit_matrix", s.num_qubits, {lo, mid, hi}, {}, m));
}

template <typename Real>
void apply_single_qubit_matrix_ctrl(StateView<Real>& s, int t, const std::vector<int>& controls, const Matrix& m) {
    if (controls.empty()) apply_single_qubit_matrix(s, t, m);
    else if (controls.size() == 1) apply_controlled_single_qubit_matrix(s, controls[0], t, m);
    else apply_multi_controlled_single_qubit_matrix(s, t, controls, m);
}

template <typename Real>
void apply_two_qubit_matrix_ctrl(StateView<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                 const Matrix& m) {
    if (controls.empty()) apply_two_qubit_matrix(s, q0, q1, m);
    else apply_multi_controlled_two_qubit_matrix(s, q0, q1, controls, m);
}

#define WAVESIM_INSTANTIATE_KERNEL_ENTRIES(Real)                                                                       \
    template void apply_x<Real>(StateView<Real>&, int);                                                              \
    template void apply_y<Real>(StateView<Real>&, int);                                                              \
    template void apply_z<Real>(StateView<Real>&, int);                                                              \
    template void apply_h<Real>(StateView<Real>&, int);                                                              \
    template void apply_s<Real>(StateView<Real>&, int);                                                              \
    template void apply_sdg<Real>(StateView<Real>&, int);                                                            \
    template void apply_t<Real>(StateView<Real>&, int);                                                              \
    template void apply_tdg<Real>(StateView<Real>&, int);                                                            \
    template void apply_cx<Real>(StateView<Real>&, int, int);                                                        \
    template void apply_cz<Real>(StateView<Real>&, int, int);                                                        \
    template void apply_swap<Real>(StateView<Real>&, int, int);                                                      \
    template void apply_ccx<Real>(StateView<Real>&, int, int, int);                                                  \
    template void apply_single_qubit_matrix<Real>(StateView<Real>&, int, const Matrix&);                             \
    template void apply_controlled_single_qubit_matrix<Real>(StateView<Real>&, int, int, const Matrix&);             \
    template void apply_multi_controlled_single_qubit_matrix<Real>(StateView<Real>&, int, const std::vector<int>&,   \
                                                                   const Matrix&);                                     \
    template void apply_two_qubit_matrix<Real>(StateView<Real>&, int, int, const Matrix&);                           \
    template void apply_multi_controlled_two_qubit_matrix<Real>(StateView<Real>&, int, int, const std::vector<int>&, \
                                                                const Matrix&);                                        \
    template void apply_three_qubit_matrix<Real>(StateView<Real>&, int, int, int, const Matrix&);                    \
    template void apply_single_qubit_matrix_ctrl<Real>(StateView<Real>&, int, const std::vector<int>&,               \
                                                       const Matrix&);                                                 \
    template void apply_two_qubit_matrix_ctrl<Real>(StateView<Real>&, int, int, const std::vector<int>&,             \
                                                    const Matrix&);

WAVESIM_INSTANTIATE_KERNEL_ENTRIES(double)
WAVESIM_INSTANTIATE_KERNEL_ENTRIES(float)

}  // namespace wavesim

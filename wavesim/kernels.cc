// Gate kernels: each one fixes the qubits of its gate in the unit walk of
// kernel_loops.h and hands it the matching per-unit operation (exchanges and
// sign flips from fixed_gate_ops.h, matrices from dense_op.h), choosing at
// run time the compile-time variant for targets inside the register.
#include "kernels.h"

#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "dense_op.h"
#include "fixed_gate_ops.h"
#include "kernel_loops.h"

namespace wavesim {
namespace {

constexpr size_t kSingleQubitEntries = 4;
constexpr size_t kTwoQubitEntries = 16;
constexpr size_t kThreeQubitEntries = 64;

uint64_t bit(int q) { return uint64_t{1} << q; }

// Gate application checks qubits first; these guards keep direct callers from
// addressing memory outside the state.
void check_qubit(const char* kernel, int q, unsigned num_qubits) {
    if (q < 0 || q >= int(num_qubits))
        throw std::out_of_range(std::string(kernel) + ": qubit " + std::to_string(q) + " out of range for " +
                                std::to_string(num_qubits) + " qubits");
}

void check_matrix(const char* kernel, const Matrix& m, size_t entries) {
    if (m.size() != entries)
        throw std::invalid_argument(std::string(kernel) + ": matrix has " + std::to_string(m.size()) +
                                    " entries, expected " + std::to_string(entries));
}

void check_distinct(const char* kernel, const int* targets, int count) {
    for (int a = 0; a < count; ++a)
        for (int b = a + 1; b < count; ++b)
            if (targets[a] == targets[b])
                throw std::invalid_argument(std::string(kernel) + ": target qubits must differ (qubit " +
                                            std::to_string(targets[a]) + " given twice)");
}

uint64_t control_bits(const char* kernel, const std::vector<int>& controls, unsigned num_qubits) {
    uint64_t bits = 0;
    for (int c : controls) {
        check_qubit(kernel, c, num_qubits);
        bits |= bit(c);
    }
    return bits;
}

// Calls f(std::integral_constant<int, value>) for 0 <= value < N.
template <int N, typename F, int... K>
void with_constant_impl(int value, F& f, std::integer_sequence<int, K...>) {
    ((value == K ? (f(std::integral_constant<int, K>{}), 0) : 0), ...);
}

template <int N, typename F>
void with_constant(int value, F&& f) {
    with_constant_impl<N>(value, f, std::make_integer_sequence<int, N>{});
}

template <typename Real>
constexpr uint64_t kLaneBits = (uint64_t{1} << Simd<Real>::kLogWidth) - 1;

// Lanes whose control bits below the register width have their required values.
template <typename Real>
LaneMask<Real> low_control_mask(uint64_t ones, uint64_t zeros) {
    const unsigned care = unsigned((ones | zeros) & kLaneBits<Real>);
    const unsigned want = unsigned(ones & kLaneBits<Real>);
    return lane_mask<Real>([care, want](unsigned l) { return (l & care) == want; });
}

// A gate whose controls include its target never acts: the visited indices
// have the target bit 0. The region's thread count is still set as for any
// kernel, since later regions rely on it.
template <typename Real>
void skip_kernel(const StateVector<Real>& state, KernelExec exec) {
    if (exec == KernelExec::kRegion) omp_set_num_threads(thread_count_for(int(state.num_qubits)));
}

template <typename Real, typename Gate>
void run_pair_gate(StateVector<Real>& state, int t, uint64_t ones, uint64_t zeros, const Gate& gate, KernelExec exec) {
    if ((ones | zeros) & bit(t)) return skip_kernel(state, exec);
    const auto mask = low_control_mask<Real>(ones, zeros);
    if (t >= Simd<Real>::kLogWidth) {
        run_kernel(state, bit(t) | zeros, ones, OuterPairOp<Real, Gate>{gate, bit(t), mask}, exec);
        return;
    }
    with_constant<Simd<Real>::kLogWidth>(t, [&](auto target) {
        run_kernel(state, bit(t) | zeros, ones, InnerPairOp<Real, Gate, decltype(target)::value>{gate, mask}, exec);
    });
}

// `ones` holds the target bit and the controls that must be 1.
template <typename Real, typename Phase>
void run_phase_gate(StateVector<Real>& state, uint64_t ones, uint64_t zeros, const Phase& phase, KernelExec exec) {
    run_kernel(state, zeros, ones, PhaseOp<Real, Phase>{phase, low_control_mask<Real>(ones, zeros)}, exec);
}

template <typename Real, int K>
void run_matrix(StateVector<Real>& state, const int* targets, uint64_t ones, uint64_t zeros, const Matrix& m,
                KernelExec exec) {
    uint64_t target_bits = 0;
    for (int j = 0; j < K; ++j) target_bits |= bit(targets[j]);
    if ((ones | zeros) & target_bits) return skip_kernel(state, exec);
    const unsigned inner = unsigned(target_bits & kLaneBits<Real>);
    const int outer = K - bit_count(inner);
    const LaneMask<Real> mask = low_control_mask<Real>(ones, zeros);
    with_constant<Simd<Real>::kWidth>(int(inner), [&](auto inner_mask) {
        constexpr unsigned kInner = unsigned(decltype(inner_mask)::value);
        with_constant<K + 1>(outer, [&](auto outer_count) {
            constexpr int kOuter = decltype(outer_count)::value;
            if constexpr (bit_count(kInner) + kOuter == K) {
                const auto op = make_dense_op<Real, kOuter, kInner>(targets, K, m, mask);
                run_kernel(state, target_bits | zeros, ones, op, exec);
            }
        });
    });
}

template <typename Real>
void run_swap(StateVector<Real>& s, int q0, int q1, KernelExec exec) {
    if (q0 == q1) return skip_kernel(s, exec);
    constexpr int kLogWidth = Simd<Real>::kLogWidth;
    const int lo = std::min(q0, q1);
    const int hi = std::max(q0, q1);
    const uint64_t zeros = bit(lo) | bit(hi);
    if (lo >= kLogWidth) {
        run_kernel(s, zeros, 0, OuterSwapOp<Real>{bit(lo), bit(hi)}, exec);
    } else if (hi >= kLogWidth) {
        with_constant<kLogWidth>(
            lo, [&](auto low) { run_kernel(s, zeros, 0, MixedSwapOp<Real, decltype(low)::value>{bit(hi)}, exec); });
    } else {
        with_constant<kLogWidth>(lo, [&](auto low) {
            with_constant<kLogWidth>(hi, [&](auto high) {
                constexpr int kLo = decltype(low)::value;
                constexpr int kHi = decltype(high)::value;
                if constexpr (kLo < kHi) run_kernel(s, zeros, 0, InnerSwapOp<Real, kLo, kHi>{}, exec);
            });
        });
    }
}

template <typename Real>
TPhase<Real> t_phase(Real sign) {
    const auto c = Simd<Real>::set1(GateConstants<Real>::kT);
    return TPhase<Real>{c, Simd<Real>::set1(sign * GateConstants<Real>::kT)};
}

}  // namespace

template <typename Real>
void apply_x(StateVector<Real>& s, int t) {
    check_qubit("apply_x", t, s.num_qubits);
    run_pair_gate(s, t, 0, 0, XPair<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_y(StateVector<Real>& s, int t) {
    check_qubit("apply_y", t, s.num_qubits);
    run_pair_gate(s, t, 0, 0, YPair<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_h(StateVector<Real>& s, int t) {
    check_qubit("apply_h", t, s.num_qubits);
    run_pair_gate(s, t, 0, 0, HPair<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_z(StateVector<Real>& s, int t) {
    check_qubit("apply_z", t, s.num_qubits);
    run_phase_gate(s, bit(t), 0, ZPhase<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_s(StateVector<Real>& s, int t) {
    check_qubit("apply_s", t, s.num_qubits);
    run_phase_gate(s, bit(t), 0, SPhase<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_sdg(StateVector<Real>& s, int t) {
    check_qubit("apply_sdg", t, s.num_qubits);
    run_phase_gate(s, bit(t), 0, SdgPhase<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_t(StateVector<Real>& s, int t) {
    check_qubit("apply_t", t, s.num_qubits);
    run_phase_gate(s, bit(t), 0, t_phase<Real>(Real(1)), KernelExec::kRegion);
}

template <typename Real>
void apply_tdg(StateVector<Real>& s, int t) {
    check_qubit("apply_tdg", t, s.num_qubits);
    run_phase_gate(s, bit(t), 0, t_phase<Real>(Real(-1)), KernelExec::kRegion);
}

template <typename Real>
void apply_cx(StateVector<Real>& s, int control, int target) {
    check_qubit("apply_cx", control, s.num_qubits);
    check_qubit("apply_cx", target, s.num_qubits);
    run_pair_gate(s, target, bit(control), 0, XPair<Real>{}, KernelExec::kRegion);
}

// Equal qubits negate wherever that bit is 1, i.e. act as Z.
template <typename Real>
void apply_cz(StateVector<Real>& s, int control, int target) {
    check_qubit("apply_cz", control, s.num_qubits);
    check_qubit("apply_cz", target, s.num_qubits);
    run_phase_gate(s, bit(control) | bit(target), 0, ZPhase<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_ccx(StateVector<Real>& s, int c0, int c1, int target) {
    check_qubit("apply_ccx", c0, s.num_qubits);
    check_qubit("apply_ccx", c1, s.num_qubits);
    check_qubit("apply_ccx", target, s.num_qubits);
    run_pair_gate(s, target, bit(c0) | bit(c1), 0, XPair<Real>{}, KernelExec::kRegion);
}

template <typename Real>
void apply_swap(StateVector<Real>& s, int q0, int q1) {
    check_qubit("apply_swap", q0, s.num_qubits);
    check_qubit("apply_swap", q1, s.num_qubits);
    run_swap(s, q0, q1, KernelExec::kRegion);
}

template <typename Real>
void apply_single_qubit_matrix(StateVector<Real>& s, int t, const Matrix& m) {
    check_qubit("apply_single_qubit_matrix", t, s.num_qubits);
    check_matrix("apply_single_qubit_matrix", m, kSingleQubitEntries);
    run_matrix<Real, 1>(s, &t, 0, 0, m, KernelExec::kRegion);
}

template <typename Real>
void apply_controlled_single_qubit_matrix(StateVector<Real>& s, int c, int t, const Matrix& m) {
    check_qubit("apply_controlled_single_qubit_matrix", c, s.num_qubits);
    check_qubit("apply_controlled_single_qubit_matrix", t, s.num_qubits);
    check_matrix("apply_controlled_single_qubit_matrix", m, kSingleQubitEntries);
    run_matrix<Real, 1>(s, &t, bit(c), 0, m, KernelExec::kRegion);
}

template <typename Real>
void apply_multi_controlled_single_qubit_matrix(StateVector<Real>& s, int t, const std::vector<int>& controls,
                                                const Matrix& m) {
    constexpr const char* kName = "apply_multi_controlled_single_qubit_matrix";
    check_qubit(kName, t, s.num_qubits);
    const uint64_t ctrl = control_bits(kName, controls, s.num_qubits);
    check_matrix(kName, m, kSingleQubitEntries);
    run_matrix<Real, 1>(s, &t, ctrl, 0, m, KernelExec::kRegion);
}

template <typename Real>
void apply_two_qubit_matrix(StateVector<Real>& s, int q0, int q1, const Matrix& m) {
    constexpr const char* kName = "apply_two_qubit_matrix";
    const int targets[2] = {q0, q1};
    check_qubit(kName, q0, s.num_qubits);
    check_qubit(kName, q1, s.num_qubits);
    check_distinct(kName, targets, 2);
    check_matrix(kName, m, kTwoQubitEntries);
    run_matrix<Real, 2>(s, targets, 0, 0, m, KernelExec::kRegion);
}

template <typename Real>
void apply_multi_controlled_two_qubit_matrix(StateVector<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                             const Matrix& m) {
    constexpr const char* kName = "apply_multi_controlled_two_qubit_matrix";
    const int targets[2] = {q0, q1};
    check_qubit(kName, q0, s.num_qubits);
    check_qubit(kName, q1, s.num_qubits);
    check_distinct(kName, targets, 2);
    const uint64_t ctrl = control_bits(kName, controls, s.num_qubits);
    check_matrix(kName, m, kTwoQubitEntries);
    run_matrix<Real, 2>(s, targets, ctrl, 0, m, KernelExec::kRegion);
}

// The matrix index takes its bits from the arguments in order (lo, mid, hi).
template <typename Real>
void apply_three_qubit_matrix(StateVector<Real>& s, int lo, int mid, int hi, const Matrix& m) {
    constexpr const char* kName = "apply_three_qubit_matrix";
    const int targets[3] = {lo, mid, hi};
    for (int q : targets) check_qubit(kName, q, s.num_qubits);
    check_distinct(kName, targets, 3);
    check_matrix(kName, m, kThreeQubitEntries);
    run_matrix<Real, 3>(s, targets, 0, 0, m, KernelExec::kRegion);
}

template <typename Real>
void apply_single_qubit_matrix_ctrl(StateVector<Real>& s, int t, const std::vector<int>& controls, const Matrix& m) {
    if (controls.empty()) apply_single_qubit_matrix(s, t, m);
    else if (controls.size() == 1) apply_controlled_single_qubit_matrix(s, controls[0], t, m);
    else apply_multi_controlled_single_qubit_matrix(s, t, controls, m);
}

template <typename Real>
void apply_two_qubit_matrix_ctrl(StateVector<Real>& s, int q0, int q1, const std::vector<int>& controls,
                                 const Matrix& m) {
    if (controls.empty()) apply_two_qubit_matrix(s, q0, q1, m);
    else apply_multi_controlled_two_qubit_matrix(s, q0, q1, controls, m);
}

template <typename Real>
void run_kernel_call(StateVector<Real>& s, const KernelCall& call, KernelExec exec) {
    const int t = call.targets[0];
    const uint64_t ones = call.ones;
    const uint64_t zeros = call.zeros;
    switch (call.gate) {
        case KernelGate::kX: return run_pair_gate(s, t, ones, zeros, XPair<Real>{}, exec);
        case KernelGate::kY: return run_pair_gate(s, t, ones, zeros, YPair<Real>{}, exec);
        case KernelGate::kH: return run_pair_gate(s, t, ones, zeros, HPair<Real>{}, exec);
        case KernelGate::kZ: return run_phase_gate(s, ones | bit(t), zeros, ZPhase<Real>{}, exec);
        case KernelGate::kS: return run_phase_gate(s, ones | bit(t), zeros, SPhase<Real>{}, exec);
        case KernelGate::kSdg: return run_phase_gate(s, ones | bit(t), zeros, SdgPhase<Real>{}, exec);
        case KernelGate::kT: return run_phase_gate(s, ones | bit(t), zeros, t_phase<Real>(Real(1)), exec);
        case KernelGate::kTdg: return run_phase_gate(s, ones | bit(t), zeros, t_phase<Real>(Real(-1)), exec);
        case KernelGate::kSwap: return run_swap(s, t, call.targets[1], exec);
        case KernelGate::kMatrix:
            if (call.num_targets == 1) return run_matrix<Real, 1>(s, call.targets, ones, zeros, *call.matrix, exec);
            return run_matrix<Real, 2>(s, call.targets, ones, zeros, *call.matrix, exec);
    }
}

#define WAVESIM_INSTANTIATE_KERNELS(Real)                                                                              \
    template void apply_x<Real>(StateVector<Real>&, int);                                                              \
    template void apply_y<Real>(StateVector<Real>&, int);                                                              \
    template void apply_z<Real>(StateVector<Real>&, int);                                                              \
    template void apply_h<Real>(StateVector<Real>&, int);                                                              \
    template void apply_s<Real>(StateVector<Real>&, int);                                                              \
    template void apply_sdg<Real>(StateVector<Real>&, int);                                                            \
    template void apply_t<Real>(StateVector<Real>&, int);                                                              \
    template void apply_tdg<Real>(StateVector<Real>&, int);                                                            \
    template void apply_cx<Real>(StateVector<Real>&, int, int);                                                        \
    template void apply_cz<Real>(StateVector<Real>&, int, int);                                                        \
    template void apply_swap<Real>(StateVector<Real>&, int, int);                                                      \
    template void apply_ccx<Real>(StateVector<Real>&, int, int, int);                                                  \
    template void apply_single_qubit_matrix<Real>(StateVector<Real>&, int, const Matrix&);                             \
    template void apply_controlled_single_qubit_matrix<Real>(StateVector<Real>&, int, int, const Matrix&);             \
    template void apply_multi_controlled_single_qubit_matrix<Real>(StateVector<Real>&, int, const std::vector<int>&,   \
                                                                   const Matrix&);                                     \
    template void apply_two_qubit_matrix<Real>(StateVector<Real>&, int, int, const Matrix&);                           \
    template void apply_multi_controlled_two_qubit_matrix<Real>(StateVector<Real>&, int, int, const std::vector<int>&, \
                                                                const Matrix&);                                        \
    template void apply_three_qubit_matrix<Real>(StateVector<Real>&, int, int, int, const Matrix&);                    \
    template void apply_single_qubit_matrix_ctrl<Real>(StateVector<Real>&, int, const std::vector<int>&,               \
                                                       const Matrix&);                                                 \
    template void apply_two_qubit_matrix_ctrl<Real>(StateVector<Real>&, int, int, const std::vector<int>&,             \
                                                    const Matrix&);                                                    \
    template void run_kernel_call<Real>(StateVector<Real>&, const KernelCall&, KernelExec);

WAVESIM_INSTANTIATE_KERNELS(double)
WAVESIM_INSTANTIATE_KERNELS(float)

}  // namespace wavesim

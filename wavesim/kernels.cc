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

template <typename Real>
LaneMask<Real> low_control_mask(uint64_t controls) {
    const unsigned low = unsigned(controls & kLaneBits<Real>);
    return lane_mask<Real>([low](unsigned l) { return (l & low) == low; });
}

// A gate whose controls include its target never acts: the visited indices
// have the target bit 0. The region's thread count is still set as for any
// kernel, since later regions rely on it.
template <typename Real>
void skip_kernel(const StateVector<Real>& state) {
    omp_set_num_threads(thread_count_for(int(state.num_qubits)));
}

template <typename Real, typename Gate>
void run_pair_gate(StateVector<Real>& state, int t, uint64_t controls, const Gate& gate) {
    if (controls & bit(t)) return skip_kernel(state);
    const auto mask = low_control_mask<Real>(controls);
    if (t >= Simd<Real>::kLogWidth) {
        run_kernel(state, bit(t), controls, OuterPairOp<Real, Gate>{gate, bit(t), mask});
        return;
    }
    with_constant<Simd<Real>::kLogWidth>(t, [&](auto target) {
        run_kernel(state, bit(t), controls, InnerPairOp<Real, Gate, decltype(target)::value>{gate, mask});
    });
}

template <typename Real, typename Phase>
void run_phase_gate(StateVector<Real>& state, uint64_t ones, const Phase& phase) {
    run_kernel(state, 0, ones, PhaseOp<Real, Phase>{phase, low_control_mask<Real>(ones)});
}

template <typename Real, int K>
void run_matrix(StateVector<Real>& state, const int* targets, uint64_t controls, const Matrix& m) {
    uint64_t target_bits = 0;
    for (int j = 0; j < K; ++j) target_bits |= bit(targets[j]);
    if (controls & target_bits) return skip_kernel(state);
    const unsigned inner = unsigned(target_bits & kLaneBits<Real>);
    const int outer = K - bit_count(inner);
    with_constant<Simd<Real>::kWidth>(int(inner), [&](auto inner_mask) {
        constexpr unsigned kInner = unsigned(decltype(inner_mask)::value);
        with_constant<K + 1>(outer, [&](auto outer_count) {
            constexpr int kOuter = decltype(outer_count)::value;
            if constexpr (bit_count(kInner) + kOuter == K) {
                const auto op = make_dense_op<Real, kOuter, kInner>(targets, K, m, unsigned(controls & kLaneBits<Real>));
                run_kernel(state, target_bits, controls, op);
            }
        });
    });
}

}  // namespace

template <typename Real>
void apply_x(StateVector<Real>& s, int t) {
    check_qubit("apply_x", t, s.num_qubits);
    run_pair_gate(s, t, 0, XPair<Real>{});
}

template <typename Real>
void apply_y(StateVector<Real>& s, int t) {
    check_qubit("apply_y", t, s.num_qubits);
    run_pair_gate(s, t, 0, YPair<Real>{});
}

template <typename Real>
void apply_h(StateVector<Real>& s, int t) {
    check_qubit("apply_h", t, s.num_qubits);
    run_pair_gate(s, t, 0, HPair<Real>{});
}

template <typename Real>
void apply_z(StateVector<Real>& s, int t) {
    check_qubit("apply_z", t, s.num_qubits);
    run_phase_gate(s, bit(t), ZPhase<Real>{});
}

template <typename Real>
void apply_s(StateVector<Real>& s, int t) {
    check_qubit("apply_s", t, s.num_qubits);
    run_phase_gate(s, bit(t), SPhase<Real>{});
}

template <typename Real>
void apply_sdg(StateVector<Real>& s, int t) {
    check_qubit("apply_sdg", t, s.num_qubits);
    run_phase_gate(s, bit(t), SdgPhase<Real>{});
}

template <typename Real>
void apply_t(StateVector<Real>& s, int t) {
    check_qubit("apply_t", t, s.num_qubits);
    const auto c = Simd<Real>::set1(GateConstants<Real>::kT);
    run_phase_gate(s, bit(t), TPhase<Real>{c, c});
}

template <typename Real>
void apply_tdg(StateVector<Real>& s, int t) {
    check_qubit("apply_tdg", t, s.num_qubits);
    const auto c = Simd<Real>::set1(GateConstants<Real>::kT);
    run_phase_gate(s, bit(t), TPhase<Real>{c, Simd<Real>::set1(-GateConstants<Real>::kT)});
}

template <typename Real>
void apply_cx(StateVector<Real>& s, int control, int target) {
    check_qubit("apply_cx", control, s.num_qubits);
    check_qubit("apply_cx", target, s.num_qubits);
    run_pair_gate(s, target, bit(control), XPair<Real>{});
}

// Equal qubits negate wherever that bit is 1, i.e. act as Z.
template <typename Real>
void apply_cz(StateVector<Real>& s, int control, int target) {
    check_qubit("apply_cz", control, s.num_qubits);
    check_qubit("apply_cz", target, s.num_qubits);
    run_phase_gate(s, bit(control) | bit(target), ZPhase<Real>{});
}

template <typename Real>
void apply_ccx(StateVector<Real>& s, int c0, int c1, int target) {
    check_qubit("apply_ccx", c0, s.num_qubits);
    check_qubit("apply_ccx", c1, s.num_qubits);
    check_qubit("apply_ccx", target, s.num_qubits);
    run_pair_gate(s, target, bit(c0) | bit(c1), XPair<Real>{});
}

template <typename Real>
void apply_swap(StateVector<Real>& s, int q0, int q1) {
    check_qubit("apply_swap", q0, s.num_qubits);
    check_qubit("apply_swap", q1, s.num_qubits);
    if (q0 == q1) return skip_kernel(s);
    constexpr int kLogWidth = Simd<Real>::kLogWidth;
    const int lo = std::min(q0, q1);
    const int hi = std::max(q0, q1);
    const uint64_t zeros = bit(lo) | bit(hi);
    if (lo >= kLogWidth) {
        run_kernel(s, zeros, 0, OuterSwapOp<Real>{bit(lo), bit(hi)});
    } else if (hi >= kLogWidth) {
        with_constant<kLogWidth>(lo, [&](auto low) {
            run_kernel(s, zeros, 0, MixedSwapOp<Real, decltype(low)::value>{bit(hi)});
        });
    } else {
        with_constant<kLogWidth>(lo, [&](auto low) {
            with_constant<kLogWidth>(hi, [&](auto high) {
                constexpr int kLo = decltype(low)::value;
                constexpr int kHi = decltype(high)::value;
                if constexpr (kLo < kHi) run_kernel(s, zeros, 0, InnerSwapOp<Real, kLo, kHi>{});
            });
        });
    }
}

template <typename Real>
void apply_single_qubit_matrix(StateVector<Real>& s, int t, const Matrix& m) {
    check_qubit("apply_single_qubit_matrix", t, s.num_qubits);
    check_matrix("apply_single_qubit_matrix", m, kSingleQubitEntries);
    run_matrix<Real, 1>(s, &t, 0, m);
}

template <typename Real>
void apply_controlled_single_qubit_matrix(StateVector<Real>& s, int c, int t, const Matrix& m) {
    check_qubit("apply_controlled_single_qubit_matrix", c, s.num_qubits);
    check_qubit("apply_controlled_single_qubit_matrix", t, s.num_qubits);
    check_matrix("apply_controlled_single_qubit_matrix", m, kSingleQubitEntries);
    run_matrix<Real, 1>(s, &t, bit(c), m);
}

template <typename Real>
void apply_multi_controlled_single_qubit_matrix(StateVector<Real>& s, int t, const std::vector<int>& controls,
                                                const Matrix& m) {
    constexpr const char* kName = "apply_multi_controlled_single_qubit_matrix";
    check_qubit(kName, t, s.num_qubits);
    const uint64_t ctrl = control_bits(kName, controls, s.num_qubits);
    check_matrix(kName, m, kSingleQubitEntries);
    run_matrix<Real, 1>(s, &t, ctrl, m);
}

template <typename Real>
void apply_two_qubit_matrix(StateVector<Real>& s, int q0, int q1, const Matrix& m) {
    constexpr const char* kName = "apply_two_qubit_matrix";
    const int targets[2] = {q0, q1};
    check_qubit(kName, q0, s.num_qubits);
    check_qubit(kName, q1, s.num_qubits);
    check_distinct(kName, targets, 2);
    check_matrix(kName, m, kTwoQubitEntries);
    run_matrix<Real, 2>(s, targets, 0, m);
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
    run_matrix<Real, 2>(s, targets, ctrl, m);
}

// The matrix index takes its bits from the arguments in order (lo, mid, hi).
template <typename Real>
void apply_three_qubit_matrix(StateVector<Real>& s, int lo, int mid, int hi, const Matrix& m) {
    constexpr const char* kName = "apply_three_qubit_matrix";
    const int targets[3] = {lo, mid, hi};
    for (int q : targets) check_qubit(kName, q, s.num_qubits);
    check_distinct(kName, targets, 3);
    check_matrix(kName, m, kThreeQubitEntries);
    run_matrix<Real, 3>(s, targets, 0, m);
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

#define WAVESIM_INSTANTIATE_KERNELS(Real)                                                                            \
    template void apply_x<Real>(StateVector<Real>&, int);                                                           \
    template void apply_y<Real>(StateVector<Real>&, int);                                                           \
    template void apply_z<Real>(StateVector<Real>&, int);                                                           \
    template void apply_h<Real>(StateVector<Real>&, int);                                                           \
    template void apply_s<Real>(StateVector<Real>&, int);                                                           \
    template void apply_sdg<Real>(StateVector<Real>&, int);                                                         \
    template void apply_t<Real>(StateVector<Real>&, int);                                                           \
    template void apply_tdg<Real>(StateVector<Real>&, int);                                                         \
    template void apply_cx<Real>(StateVector<Real>&, int, int);                                                     \
    template void apply_cz<Real>(StateVector<Real>&, int, int);                                                     \
    template void apply_swap<Real>(StateVector<Real>&, int, int);                                                   \
    template void apply_ccx<Real>(StateVector<Real>&, int, int, int);                                               \
    template void apply_single_qubit_matrix<Real>(StateVector<Real>&, int, const Matrix&);                          \
    template void apply_controlled_single_qubit_matrix<Real>(StateVector<Real>&, int, int, const Matrix&);          \
    template void apply_multi_controlled_single_qubit_matrix<Real>(StateVector<Real>&, int, const std::vector<int>&, \
                                                                   const Matrix&);                                   \
    template void apply_two_qubit_matrix<Real>(StateVector<Real>&, int, int, const Matrix&);                        \
    template void apply_multi_controlled_two_qubit_matrix<Real>(StateVector<Real>&, int, int,                       \
                                                                const std::vector<int>&, const Matrix&);            \
    template void apply_three_qubit_matrix<Real>(StateVector<Real>&, int, int, int, const Matrix&);                 \
    template void apply_single_qubit_matrix_ctrl<Real>(StateVector<Real>&, int, const std::vector<int>&,            \
                                                       const Matrix&);                                              \
    template void apply_two_qubit_matrix_ctrl<Real>(StateVector<Real>&, int, int, const std::vector<int>&,          \
                                                    const Matrix&);

WAVESIM_INSTANTIATE_KERNELS(double)
WAVESIM_INSTANTIATE_KERNELS(float)

// Each kernel fixes the qubits of its gate in the unit walk of kernel_loops.h
// and hands it the matching per-unit operation (exchanges and sign flips from
// kernel_fixed.h, matrices from kernel_dense.h).
#include "kernel_call.h"

#include <type_traits>
#include <utility>

#include "kernel_dense.h"
#include "kernel_fixed.h"
#include "kernel_loops.h"

namespace wavesim {
namespace {

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
    if (exec == KernelExec::kParallel) omp_set_num_threads(thread_count_for(int(state.num_qubits)));
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
            if (call.num_targets == 2) return run_matrix<Real, 2>(s, call.targets, ones, zeros, *call.matrix, exec);
            if (call.num_targets == 3) return run_matrix<Real, 3>(s, call.targets, ones, zeros, *call.matrix, exec);
            return run_matrix<Real, 4>(s, call.targets, ones, zeros, *call.matrix, exec);
    }
}

template void run_kernel_call<double>(StateVector<double>&, const KernelCall&, KernelExec);
template void run_kernel_call<float>(StateVector<float>&, const KernelCall&, KernelExec);

}  // namespace wavesim

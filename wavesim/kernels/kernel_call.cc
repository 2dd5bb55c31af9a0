// Each kernel fixes the qubits of its gate in the unit walk of kernel_loops.h
// and hands it the matching per-unit operation (exchanges and sign flips from
// kernel_fixed.h, matrices and adjoint steps from kernel_dense.h).
#include "wavesim/kernels/kernel_call.h"

#include <array>
#include <iterator>
#include <type_traits>
#include <utility>

#include "wavesim/kernels/dense_op.h"
#include "wavesim/kernels/fixed_ops.h"
#include "wavesim/kernels/unit_walk.h"

namespace wavesim {
namespace {

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

// The forms with kernels of their own, besides dense (kernel_form_of picks among them).
constexpr unsigned kDiagonal = matrix_form(kDiagonalEntry, kDiagonalEntry);
constexpr unsigned kRealDiagonal = matrix_form(kDiagonalEntry, 0);
constexpr unsigned kRealDiagonalAndAnti = matrix_form(kDiagonalEntry | kAntiDiagonalEntry, 0);
constexpr unsigned kRealDiagonalImagAnti = matrix_form(kDiagonalEntry, kAntiDiagonalEntry);
constexpr unsigned kRealAnti = matrix_form(kAntiDiagonalEntry, 0);
constexpr unsigned kImagAnti = matrix_form(0, kAntiDiagonalEntry);
constexpr unsigned kKernelForms[] = {kDiagonal, kRealDiagonal, kRealDiagonalAndAnti, kRealDiagonalImagAnti, kRealAnti,
                                     kImagAnti, kDenseForm};
constexpr int kStructuredTargets = 2;

// For every set of nonzero entry kinds, the kernel form that covers it with the fewest kinds of products.
constexpr auto kCoveringForm = [] {
    std::array<unsigned, kDenseForm + 1> table{};
    for (unsigned entries = 0; entries <= kDenseForm; ++entries) {
        unsigned best = kDenseForm;
        for (unsigned form : kKernelForms) {
            const bool covers = (entries & ~form) == 0;
            if (covers && bit_count(form) < bit_count(best)) best = form;
        }
        table[entries] = best;
    }
    return table;
}();

// Calls f(std::integral_constant<unsigned, form>) for the kernel form `form`.
template <typename F, size_t... I>
void with_form_impl(unsigned form, F& f, std::index_sequence<I...>) {
    ((form == kKernelForms[I] ? (f(std::integral_constant<unsigned, kKernelForms[I]>{}), 0) : 0), ...);
}

template <typename F>
void with_form(unsigned form, F&& f) {
    with_form_impl(form, f, std::make_index_sequence<std::size(kKernelForms)>{});
}

// Calls f(outer, inner, form) with the compile-time layout of a matrix
// kernel on K targets (`target_bits`): the targets above the register width,
// the lane bits of those inside it, and the kernel form (dense beyond
// kStructuredTargets targets).
template <typename Real, int K, typename F>
void with_matrix_layout(uint64_t target_bits, unsigned form, F&& f) {
    const unsigned inner = unsigned(target_bits & kLaneBits<Real>);
    const int outer = K - bit_count(inner);
    with_form(K <= kStructuredTargets ? form : kDenseForm, [&](auto form_constant) {
        constexpr unsigned kForm = decltype(form_constant)::value;
        with_constant<Simd<Real>::kWidth>(int(inner), [&](auto inner_mask) {
            constexpr unsigned kInner = unsigned(decltype(inner_mask)::value);
            with_constant<K + 1>(outer, [&](auto outer_count) {
                constexpr int kOuter = decltype(outer_count)::value;
                if constexpr (bit_count(kInner) + kOuter == K && (K <= kStructuredTargets || kForm == kDenseForm))
                    f(outer_count, std::integral_constant<unsigned, kInner>{}, form_constant);
            });
        });
    });
}

template <typename Real, int K>
void run_matrix(StateVector<Real>& state, const int* targets, uint64_t ones, uint64_t zeros, const Matrix& m,
                unsigned form, KernelExec exec) {
    uint64_t target_bits = 0;
    for (int j = 0; j < K; ++j) target_bits |= bit(targets[j]);
    if ((ones | zeros) & target_bits) return skip_kernel(state, exec);
    const LaneMask<Real> mask = low_control_mask<Real>(ones, zeros);
    with_matrix_layout<Real, K>(target_bits, form, [&](auto outer, auto inner, auto form_constant) {
        const auto op = make_dense_op<Real, outer(), inner(), form_constant()>(targets, K, m.data(), mask);
        run_kernel(state, target_bits | zeros, ones, op, exec);
    });
}

// K gate targets and the bra qubit last; the matrices (2^K)^2 entries each,
// all within the call's form.
template <typename Real, int K>
void run_cross_form_then_matrix(StateVector<Real>& state, const KernelCall& call, KernelExec exec) {
    uint64_t target_bits = 0;
    for (int j = 0; j < K; ++j) target_bits |= bit(call.targets[j]);
    const uint64_t bra = bit(call.targets[K]);
    if ((call.ones | call.zeros) & (target_bits | bra)) return skip_kernel(state, exec);
    const LaneMask<Real> mask = low_control_mask<Real>(call.ones, call.zeros);
    const size_t entries = size_t{1} << (2 * K);
    const std::complex<double>* matrices = call.matrix->data();
    with_matrix_layout<Real, K>(target_bits, call.form, [&](auto outer, auto inner, auto form_constant) {
        CrossFormThenMatrixOp<Real, outer(), inner(), form_constant()> op;
        op.matrix = make_dense_op<Real, outer(), inner(), form_constant()>(call.targets, K, matrices, mask);
        op.count = int(call.matrix->size() / entries) - 1;
        op.bra_offset = bra;
        for (int m = 0; m < op.count; ++m)
            op.forms[m] = make_dense_op<Real, outer(), inner(), read_form_of(form_constant())>(
                call.targets, K, matrices + (m + 1) * entries, mask);
        sum_units(state, target_bits | bra | call.zeros, call.ones, op, call.sums, exec);
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
        case KernelGate::kS: return run_phase_gate(s, ones | bit(t), zeros, QuarterPhase<Real, false>{}, exec);
        case KernelGate::kSdg: return run_phase_gate(s, ones | bit(t), zeros, QuarterPhase<Real, true>{}, exec);
        case KernelGate::kT: return run_phase_gate(s, ones | bit(t), zeros, t_phase<Real>(Real(1)), exec);
        case KernelGate::kTdg: return run_phase_gate(s, ones | bit(t), zeros, t_phase<Real>(Real(-1)), exec);
        case KernelGate::kSwap: return run_swap(s, t, call.targets[1], exec);
        case KernelGate::kMatrix:
            if (call.num_targets == 1)
                return run_matrix<Real, 1>(s, call.targets, ones, zeros, *call.matrix, call.form, exec);
            if (call.num_targets == 2)
                return run_matrix<Real, 2>(s, call.targets, ones, zeros, *call.matrix, call.form, exec);
            if (call.num_targets == 3)
                return run_matrix<Real, 3>(s, call.targets, ones, zeros, *call.matrix, call.form, exec);
            return run_matrix<Real, 4>(s, call.targets, ones, zeros, *call.matrix, call.form, exec);
        case KernelGate::kCrossFormThenMatrix:
            if (call.num_targets == 2) return run_cross_form_then_matrix<Real, 1>(s, call, exec);
            return run_cross_form_then_matrix<Real, 2>(s, call, exec);
    }
}

namespace {

// The form of a Size x Size matrix, its loops unrolled.
template <size_t Size>
unsigned form_of(const std::complex<double>* m) {
    unsigned real = 0;
    unsigned imag = 0;
    bool finite = true;
    for (size_t r = 0; r < Size; ++r)
        for (size_t c = 0; c < Size; ++c) {
            const double x = m[r * Size + c].real(), y = m[r * Size + c].imag();
            finite = finite && x - x == 0 && y - y == 0;  // false for infinities and NaN
            const size_t flipped = r ^ c;
            const unsigned kind = flipped == 0          ? kDiagonalEntry
                                  : flipped == Size - 1 ? kAntiDiagonalEntry
                                                        : kOtherEntry;
            real |= x != 0 ? kind : 0;
            imag |= y != 0 ? kind : 0;
        }
    return finite ? kCoveringForm[matrix_form(real, imag)] : kDenseForm;
}

}  // namespace

unsigned kernel_form_of(const Matrix& m) {
    constexpr size_t kOneTarget = 4, kTwoTargets = 16;
    if (m.size() == kOneTarget) return form_of<2>(m.data());
    if (m.size() == kTwoTargets) return form_of<4>(m.data());
    return kDenseForm;
}

template void run_kernel_call<double>(StateVector<double>&, const KernelCall&, KernelExec);
template void run_kernel_call<float>(StateVector<float>&, const KernelCall&, KernelExec);

}  // namespace wavesim

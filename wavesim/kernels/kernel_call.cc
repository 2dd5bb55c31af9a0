// Each kernel fixes the qubits of its gate in the unit walk of kernel_loops.h
// and hands it the matching per-unit operation (exchanges and sign flips from
// kernel_fixed.h, matrices and adjoint steps from kernel_dense.h).
#include "wavesim/kernels/kernel_call.h"

#include <array>
#include <iterator>
#include <type_traits>
#include <utility>

#include "wavesim/kernels/dense_op.h"
#include "wavesim/kernels/diagonal_op.h"
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

template <typename Real, typename Gate>
void run_pair_gate(StateView<Real>& state, int t, uint64_t ones, uint64_t zeros, const Gate& gate, ThreadTeam team) {
    if ((ones | zeros) & bit(t)) return;  // controls that include a target never hold: no effect
    const auto mask = low_control_mask<Real>(ones, zeros);
    if (t >= Simd<Real>::kLogWidth) {
        run_kernel(state, bit(t) | zeros, ones, OuterPairOp<Real, Gate>{gate, bit(t), mask}, team);
        return;
    }
    with_constant<Simd<Real>::kLogWidth>(t, [&](auto target) {
        run_kernel(state, bit(t) | zeros, ones, InnerPairOp<Real, Gate, decltype(target)::value>{gate, mask}, team);
    });
}

// `ones` holds the target bit and the controls that must be 1.
template <typename Real, typename Phase>
void run_phase_gate(StateView<Real>& state, uint64_t ones, uint64_t zeros, const Phase& phase, ThreadTeam team) {
    run_kernel(state, zeros, ones, PhaseOp<Real, Phase>{phase, low_control_mask<Real>(ones, zeros)}, team);
}

// Calls f(std::integral_constant<unsigned, form>) for the kernel form `form`, one of `Forms`.
template <const auto& Forms, typename F, size_t... I>
void with_form_impl(unsigned form, F& f, std::index_sequence<I...>) {
    ((form == Forms[I] ? (f(std::integral_constant<unsigned, Forms[I]>{}), 0) : 0), ...);
}

template <const auto& Forms, typename F>
void with_form(unsigned form, F&& f) {
    with_form_impl<Forms>(form, f, std::make_index_sequence<std::size(Forms)>{});
}

// Every form a matrix kernel takes; the adjoint step's forms share no sums.
constexpr auto kMatrixForms = [] {
    std::array<unsigned, std::size(kKernelForms) + std::size(kSharedSumForms)> forms{};
    size_t k = 0;
    for (unsigned form : kKernelForms) forms[k++] = form;
    for (unsigned form : kSharedSumForms) forms[k++] = form;
    return forms;
}();

// Calls f(outer, inner, form) with the compile-time layout of a matrix
// kernel on K targets (`target_bits`): the targets above the register width,
// the lane bits of those inside it, and the kernel form among `Forms` (dense
// beyond kStructuredTargets targets).
template <typename Real, int K, const auto& Forms, typename F>
void with_matrix_layout(uint64_t target_bits, unsigned form, F&& f) {
    const unsigned inner = unsigned(target_bits & kLaneBits<Real>);
    const int outer = K - popcount(inner);
    with_form<Forms>(K <= kStructuredTargets ? form : kDenseForm, [&](auto form_constant) {
        constexpr unsigned kForm = decltype(form_constant)::value;
        with_constant<Simd<Real>::kWidth>(int(inner), [&](auto inner_mask) {
            constexpr unsigned kInner = unsigned(decltype(inner_mask)::value);
            with_constant<K + 1>(outer, [&](auto outer_count) {
                constexpr int kOuter = decltype(outer_count)::value;
                if constexpr (popcount(kInner) + kOuter == K && (K <= kStructuredTargets || kForm == kDenseForm))
                    f(outer_count, std::integral_constant<unsigned, kInner>{}, form_constant);
            });
        });
    });
}

template <typename Real, int K>
void run_matrix(StateView<Real>& state, const int* targets, uint64_t ones, uint64_t zeros, const Matrix& m,
                unsigned form, ThreadTeam team) {
    uint64_t target_bits = 0;
    for (int j = 0; j < K; ++j) target_bits |= bit(targets[j]);
    if ((ones | zeros) & target_bits) return;  // controls that include a target never hold: no effect
    const LaneMask<Real> mask = low_control_mask<Real>(ones, zeros);
    with_matrix_layout<Real, K, kMatrixForms>(target_bits, form, [&](auto outer, auto inner, auto form_constant) {
        const auto op = make_dense_op<Real, outer(), inner(), form_constant()>(targets, K, m.data(), mask);
        run_kernel(state, target_bits | zeros, ones, op, team);
    });
}

// K gate targets and the bra qubit last; the matrices (2^K)^2 entries each,
// all within the call's form.
template <typename Real, int K>
void run_cross_form_then_matrix(StateView<Real>& state, const KernelCall& call, ThreadTeam team) {
    uint64_t target_bits = 0;
    for (int j = 0; j < K; ++j) target_bits |= bit(call.targets[j]);
    const uint64_t bra = bit(call.targets[K]);
    if ((call.ones | call.zeros) & (target_bits | bra)) return;  // controls that include a target never hold: no effect
    const LaneMask<Real> mask = low_control_mask<Real>(call.ones, call.zeros);
    const size_t entries = size_t{1} << (2 * K);
    const std::complex<double>* matrices = call.matrix->data();
    with_matrix_layout<Real, K, kKernelForms>(target_bits, call.form, [&](auto outer, auto inner, auto form_constant) {
        CrossFormThenMatrixOp<Real, outer(), inner(), form_constant()> op;
        op.matrix = make_dense_op<Real, outer(), inner(), form_constant()>(call.targets, K, matrices, mask);
        op.count = int(call.matrix->size() / entries) - 1;
        op.bra_offset = bra;
        for (int m = 0; m < op.count; ++m)
            op.forms[m] = make_dense_op<Real, outer(), inner(), read_form_of(form_constant())>(
                call.targets, K, matrices + (m + 1) * entries, mask);
        sum_units(state, target_bits | bra | call.zeros, call.ones, op, call.sums, team);
    });
}

// `fixed_ones` / `fixed_zeros`: qubits above the register width held at 1 / 0
// (a block walked in place), never the swapped ones.
template <typename Real>
void run_swap(StateView<Real>& s, int q0, int q1, uint64_t fixed_ones, uint64_t fixed_zeros, ThreadTeam team) {
    if (q0 == q1) return;  // one qubit swapped with itself: no effect
    constexpr int kLogWidth = Simd<Real>::kLogWidth;
    const int lo = std::min(q0, q1);
    const int hi = std::max(q0, q1);
    const uint64_t zeros = bit(lo) | bit(hi) | fixed_zeros;
    if (lo >= kLogWidth) {
        run_kernel(s, zeros, fixed_ones, OuterSwapOp<Real>{bit(lo), bit(hi)}, team);
    } else if (hi >= kLogWidth) {
        with_constant<kLogWidth>(lo, [&](auto low) {
            run_kernel(s, zeros, fixed_ones, MixedSwapOp<Real, decltype(low)::value>{bit(hi)}, team);
        });
    } else {
        with_constant<kLogWidth>(lo, [&](auto low) {
            with_constant<kLogWidth>(hi, [&](auto high) {
                constexpr int kLo = decltype(low)::value;
                constexpr int kHi = decltype(high)::value;
                if constexpr (kLo < kHi) run_kernel(s, zeros, fixed_ones, InnerSwapOp<Real, kLo, kHi>{}, team);
            });
        });
    }
}

template <typename Real>
TPhase<Real> t_phase(Real sign) {
    const auto c = Simd<Real>::set1(GateConstants<Real>::kT);
    return TPhase<Real>{c, Simd<Real>::set1(sign * GateConstants<Real>::kT)};
}

template <typename Real>
void run_diagonal(StateView<Real>& s, const KernelCall& call, ThreadTeam team) {
    DiagonalTables<Real> tables;
    tables.build(call.targets, call.num_targets, *call.matrix, s.num_qubits);
    // Four consecutive registers a unit where the state holds them, walked in order.
    constexpr int kUnitBits = 2;
    constexpr int kLogUnit = Simd<Real>::kLogWidth + kUnitBits;
    if (int(s.num_qubits) < kLogUnit) return run_kernel(s, 0, 0, DiagonalOp<Real, 1>(tables), team);
    const DiagonalOp<Real, 1 << kUnitBits> op(tables);
    on_team(team, [&](int thread, int threads) {
        const UnitRange share = static_share(s.dim >> kLogUnit, thread, threads);
        const auto local = op;  // private copy, as in walk_units
        for (uint64_t u = share.begin; u < share.end; ++u) local(s.re, s.im, u << kLogUnit);
    });
}

}  // namespace

template <typename Real>
void run_kernel_call(StateView<Real>& s, const KernelCall& call, ThreadTeam team) {
    const int t = call.targets[0];
    const uint64_t ones = call.ones;
    const uint64_t zeros = call.zeros;
    switch (call.gate) {
        case KernelGate::kX: return run_pair_gate(s, t, ones, zeros, XPair<Real>{}, team);
        case KernelGate::kY: return run_pair_gate(s, t, ones, zeros, YPair<Real>{}, team);
        case KernelGate::kH: return run_pair_gate(s, t, ones, zeros, HPair<Real>{}, team);
        case KernelGate::kZ: return run_phase_gate(s, ones | bit(t), zeros, ZPhase<Real>{}, team);
        case KernelGate::kS: return run_phase_gate(s, ones | bit(t), zeros, QuarterPhase<Real, false>{}, team);
        case KernelGate::kSdg: return run_phase_gate(s, ones | bit(t), zeros, QuarterPhase<Real, true>{}, team);
        case KernelGate::kT: return run_phase_gate(s, ones | bit(t), zeros, t_phase<Real>(Real(1)), team);
        case KernelGate::kTdg: return run_phase_gate(s, ones | bit(t), zeros, t_phase<Real>(Real(-1)), team);
        case KernelGate::kSwap: return run_swap(s, t, call.targets[1], ones, zeros, team);
        case KernelGate::kMatrix:
            if (call.num_targets == 1)
                return run_matrix<Real, 1>(s, call.targets, ones, zeros, *call.matrix, call.form, team);
            if (call.num_targets == 2)
                return run_matrix<Real, 2>(s, call.targets, ones, zeros, *call.matrix, call.form, team);
            if (call.num_targets == 3)
                return run_matrix<Real, 3>(s, call.targets, ones, zeros, *call.matrix, call.form, team);
            return run_matrix<Real, 4>(s, call.targets, ones, zeros, *call.matrix, call.form, team);
        case KernelGate::kCrossFormThenMatrix:
            if (call.num_targets == 2) return run_cross_form_then_matrix<Real, 1>(s, call, team);
            return run_cross_form_then_matrix<Real, 2>(s, call, team);
        case KernelGate::kDiagonal: return run_diagonal(s, call, team);
    }
}

template void run_kernel_call<double>(StateView<double>&, const KernelCall&, ThreadTeam);
template void run_kernel_call<float>(StateView<float>&, const KernelCall&, ThreadTeam);

}  // namespace wavesim

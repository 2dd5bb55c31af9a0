// The index walk shared by every kernel. A kernel fixes some qubits of the
// amplitude index (targets and open controls to 0, controls to 1) and updates one "unit" per
// call of its operation: one register-aligned base index from which it loads
// one vector per combination of its targets above the register width.
// Qubits below the register width stay inside the vector and are the
// operation's business (lane permutes and masks).
//
// Units are numbered 0 ... units-1; the base index of a unit is its number
// with the fixed bits inserted (the bits fixed to 1 are added through the
// arrays' base pointers), so any split of the numbers is valid and
// every unit is updated by exactly one thread with the same arithmetic.
// walk_units() runs any sub-range of units: a thread's share in a region, or
// all of them on the calling thread.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "wavesim/base/bits.h"
#include "wavesim/base/simd.h"
#include "wavesim/base/threads.h"
#include "wavesim/kernels/kernel_call.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

constexpr int kMaxQubitBits = 64;

struct UnitLayout {
    int fixed_count = 0;
    int fixed_positions[kMaxQubitBits] = {};  // ascending, all at or above the register width
    uint64_t fixed = 0;                       // their mask
    uint64_t ones = 0;                        // fixed bits that are set in every amplitude the kernel visits
    int log_width = 0;
    uint64_t units = 0;
    uint64_t run = 0;  // consecutive units whose base indices are consecutive registers

    // Without `ones`.
    uint64_t base_index(uint64_t unit) const {
        uint64_t index = unit << log_width;
        for (int k = 0; k < fixed_count; ++k) index = insert_zero_bit(index, fixed_positions[k]);
        return index;
    }
};

// zero_bits / one_bits: qubit masks fixed to 0 / 1; only bits at or above the
// register width shape the walk (they must be disjoint and below 2^num_qubits).
template <typename Real>
UnitLayout make_layout(unsigned num_qubits, uint64_t zero_bits, uint64_t one_bits) {
    constexpr int kLogWidth = Simd<Real>::kLogWidth;
    UnitLayout layout;
    layout.log_width = kLogWidth;
    const uint64_t outer = (zero_bits | one_bits) & ~((uint64_t{1} << kLogWidth) - 1);
    for (uint64_t rest = outer; rest != 0; rest &= rest - 1)
        layout.fixed_positions[layout.fixed_count++] = __builtin_ctzll(rest);
    layout.fixed = outer;
    layout.ones = one_bits & outer;
    const int free_bits = int(num_qubits) - kLogWidth - layout.fixed_count;
    layout.units = uint64_t{1} << std::max(free_bits, 0);
    layout.run = layout.fixed_count == 0 ? layout.units : uint64_t{1} << (layout.fixed_positions[0] - kLogWidth);
    return layout;
}

// visit(base index) for units [begin, end) in order: runs of units whose
// base indices are consecutive registers, each run's first index found from
// the last one's by carrying past the fixed bits (a gate whose target sits
// just above the register width has runs of one unit). Always inlined, so
// that a kernel's private copy of its operation stays private (its
// coefficients can live in registers across the stores).
template <typename Real, typename Visit>
__attribute__((always_inline)) inline void for_each_unit(const UnitLayout& layout, uint64_t begin, uint64_t end,
                                                         Visit&& visit) {
    constexpr uint64_t kWidth = Simd<Real>::kWidth;
    if (begin >= end) return;
    uint64_t unit = begin;
    uint64_t index = layout.base_index(begin);
    for (;;) {
        const uint64_t run_end = std::min(end, (unit | (layout.run - 1)) + 1);
        for (; unit < run_end; ++unit, index += kWidth) visit(index);
        if (unit >= end) return;
        index = (((index - kWidth) | layout.fixed) + kWidth) & ~layout.fixed;
    }
}

template <typename Real, typename Op>
void walk_units(const UnitLayout& layout, const Op& op, Real* re, Real* im, uint64_t begin, uint64_t end) {
    const Op local = op;  // private copy: stores through vector types may alias anything reachable
    Real* const re_ones = re + layout.ones;
    Real* const im_ones = im + layout.ones;
    for_each_unit<Real>(layout, begin, end, [&](uint64_t index) { local(re_ones, im_ones, index); });
}

// Runs `op` over every unit, each thread of `team` taking its static share. A state smaller
// than one register is padded with zeros into a local register-sized copy:
// the padding lanes form groups of their own.
template <typename Real, typename Op>
void run_kernel(StateView<Real>& state, uint64_t zero_bits, uint64_t one_bits, const Op& op, ThreadTeam team) {
    constexpr int kWidth = Simd<Real>::kWidth;
    const UnitLayout layout = make_layout<Real>(state.num_qubits, zero_bits, one_bits);
    alignas(kStateAlignment) Real padded_re[kWidth] = {};
    alignas(kStateAlignment) Real padded_im[kWidth] = {};
    const bool small = state.dim < uint64_t(kWidth);
    Real* re = state.re;
    Real* im = state.im;
    if (small) {
        std::memcpy(padded_re, state.re, state.dim * sizeof(Real));
        std::memcpy(padded_im, state.im, state.dim * sizeof(Real));
        re = padded_re;
        im = padded_im;
    }
    on_team(team, [&](int thread, int threads) {
        const UnitRange share = static_share(layout.units, thread, threads);
        walk_units<Real>(layout, op, re, im, share.begin, share.end);
    });
    if (small) {
        std::memcpy(state.re, padded_re, state.dim * sizeof(Real));
        std::memcpy(state.im, padded_im, state.dim * sizeof(Real));
    }
}

// The lanes of `Quads` double quads added in order.
template <int Quads>
double lane_total(const __m256d* quads) {
    alignas(sizeof(__m256d)) double lanes[Quads * kQuadLanes];
    for (int q = 0; q < Quads; ++q) _mm256_store_pd(lanes + q * kQuadLanes, quads[q]);
    double total = 0.0;
    for (double lane : lanes) total += lane;
    return total;
}

// Units per partial sum of a kernel that sums. Partial sums are taken over
// these fixed ranges whichever thread takes them and added up exactly, so
// that a kernel's sums do not depend on the thread count.
constexpr uint64_t kSumUnits = 1024;

// Runs `op` over every unit, the ranges shared statically among the threads
// of `team`, and adds its op.count sums, range by range, to each thread's slots. op(re, im, base index, sums) adds to
// op.count * Simd<Real>::kQuads double quads (and may update the unit). The
// state holds at least one register.
template <typename Real, typename Op>
void sum_units(StateView<Real>& state, uint64_t zero_bits, uint64_t one_bits, const Op& op, SumSlots slots,
               ThreadTeam team) {
    constexpr int kQuads = Simd<Real>::kQuads;
    const UnitLayout layout = make_layout<Real>(state.num_qubits, zero_bits, one_bits);
    const uint64_t ranges = (layout.units + kSumUnits - 1) / kSumUnits;
    Real* const re = state.re + layout.ones;
    Real* const im = state.im + layout.ones;
    auto sum_ranges = [&](uint64_t begin, uint64_t end) {
        const Op local = op;  // private copy on this thread's frame, as in walk_units
        ExactSum* mine = slots.sums + size_t(omp_get_thread_num()) * slots.stride;
        for (uint64_t r = begin; r < end; ++r) {
            __m256d sums[kMaxCrossForms * kQuads];
            for (__m256d& quad : sums) quad = _mm256_setzero_pd();
            const uint64_t last = std::min(layout.units, (r + 1) * kSumUnits);
            for_each_unit<Real>(layout, r * kSumUnits, last, [&](uint64_t index) { local(re, im, index, sums); });
            for (int m = 0; m < local.count; ++m) mine[m].add(lane_total<kQuads>(sums + m * kQuads));
        }
    };
    on_team(team, [&](int thread, int threads) {
        const UnitRange share = static_share(ranges, thread, threads);
        sum_ranges(share.begin, share.end);
    });
}

}  // namespace wavesim

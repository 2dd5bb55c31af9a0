// Per-unit operation of the matrix kernels: a dense 2^k x 2^k matrix on k
// targets, Outer of them at or above the register width (one register per
// combination, 2^Outer registers per unit) and the others inside the register
// (the lane bits in InnerMask, known at compile time). New amplitude of lane
// l in register h = sum over registers v and lane patterns x of
// coef[h][v][x][l] * amplitude of lane l^x in register v, so each register is
// permuted once per pattern and everything else is lane-wise FMA. The
// coefficients are the matrix entries laid out per lane before the region.
#pragma once

#include <complex>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel_simd.h"

namespace wavesim {

constexpr int bit_count(unsigned x) { return x == 0 ? 0 : int(x & 1u) + bit_count(x >> 1); }

// Bits of `value` placed, lowest first, at the set positions of `mask`.
constexpr unsigned deposit_bits(unsigned value, unsigned mask) {
    unsigned out = 0;
    for (int p = 0; mask >> p; ++p)
        if ((mask >> p) & 1u) {
            out |= (value & 1u) << p;
            value >>= 1;
        }
    return out;
}

template <typename Real, int Outer, unsigned InnerMask>
struct DenseOp {
    using S = Simd<Real>;
    using V = typename S::V;
    static constexpr int kRegisters = 1 << Outer;
    static constexpr int kPatterns = 1 << bit_count(InnerMask);

    uint64_t offset[kRegisters];
    V coef_re[kRegisters][kRegisters][kPatterns];
    V coef_im[kRegisters][kRegisters][kPatterns];
    LaneMask<Real> mask;  // lanes whose low control bits hold

    template <size_t... K>
    static void permute_all(V v, V* out, std::index_sequence<K...>) {
        ((out[K] = S::template xor_lanes<deposit_bits(unsigned(K), InnerMask)>(v)), ...);
    }

    void operator()(Real* re, Real* im, uint64_t i) const {
        V pr[kRegisters][kPatterns];
        V pi[kRegisters][kPatterns];
        for (int v = 0; v < kRegisters; ++v) {
            permute_all(S::load(re + i + offset[v]), pr[v], std::make_index_sequence<kPatterns>{});
            permute_all(S::load(im + i + offset[v]), pi[v], std::make_index_sequence<kPatterns>{});
        }
        // Four independent accumulators per output keep the FMA chains short;
        // with eight terms or more (three and four targets) two outputs share
        // a pass, so that eight chains hide the FMA latency. Each output's
        // sums are the same either way.
        constexpr int kPass = kRegisters >= 2 && kRegisters * kPatterns >= 8 ? 2 : 1;
        for (int h = 0; h < kRegisters; h += kPass) {
            V re_re[kPass], im_im[kPass], re_im[kPass], im_re[kPass];
            for (int p = 0; p < kPass; ++p) {
                re_re[p] = S::mul(coef_re[h + p][0][0], pr[0][0]);
                im_im[p] = S::mul(coef_im[h + p][0][0], pi[0][0]);
                re_im[p] = S::mul(coef_re[h + p][0][0], pi[0][0]);
                im_re[p] = S::mul(coef_im[h + p][0][0], pr[0][0]);
            }
            for (int v = 0; v < kRegisters; ++v)
                for (int x = (v == 0 ? 1 : 0); x < kPatterns; ++x)
                    for (int p = 0; p < kPass; ++p) {
                        re_re[p] = S::fmadd(coef_re[h + p][v][x], pr[v][x], re_re[p]);
                        im_im[p] = S::fmadd(coef_im[h + p][v][x], pi[v][x], im_im[p]);
                        re_im[p] = S::fmadd(coef_re[h + p][v][x], pi[v][x], re_im[p]);
                        im_re[p] = S::fmadd(coef_im[h + p][v][x], pr[v][x], im_re[p]);
                    }
            for (int p = 0; p < kPass; ++p) {
                const V acc_re = S::sub(re_re[p], im_im[p]);
                const V acc_im = S::add(re_im[p], im_re[p]);
                S::store(re + i + offset[h + p], mask.apply(pr[h + p][0], acc_re));
                S::store(im + i + offset[h + p], mask.apply(pi[h + p][0], acc_im));
            }
        }
    }
};

// targets[j] is the qubit carrying bit j of the matrix index; `m` is row-major
// with (2^count)^2 entries; `mask` opens the lanes whose controls below the
// register width hold. Float states round each entry of the double matrix.
template <typename Real, int Outer, unsigned InnerMask>
DenseOp<Real, Outer, InnerMask> make_dense_op(const int* targets, int count, const std::vector<std::complex<double>>& m,
                                              LaneMask<Real> mask) {
    using Op = DenseOp<Real, Outer, InnerMask>;
    using S = Simd<Real>;
    constexpr int kLogWidth = S::kLogWidth;
    const int size = 1 << count;
    Op op{};
    int outer_bit[Outer > 0 ? Outer : 1] = {};  // matrix bit of the k-th outer target, ascending by qubit
    int outer_qubit[Outer > 0 ? Outer : 1] = {};
    int outer_count = 0;
    for (int q = kLogWidth; q < 64 && outer_count < Outer; ++q)
        for (int j = 0; j < count; ++j)
            if (targets[j] == q) {
                outer_bit[outer_count] = j;
                outer_qubit[outer_count++] = q;
            }
    for (int h = 0; h < Op::kRegisters; ++h) {
        op.offset[h] = 0;
        for (int k = 0; k < Outer; ++k)
            if ((h >> k) & 1) op.offset[h] |= uint64_t{1} << outer_qubit[k];
    }
    // Matrix index of lane `lane` of register `reg`.
    auto matrix_index = [&](unsigned lane, int reg) {
        int index = 0;
        for (int j = 0; j < count; ++j)
            if (targets[j] < kLogWidth) index |= int((lane >> targets[j]) & 1u) << j;
        for (int k = 0; k < Outer; ++k) index |= ((reg >> k) & 1) << outer_bit[k];
        return index;
    };
    alignas(32) Real lane_re[S::kWidth];
    alignas(32) Real lane_im[S::kWidth];
    for (int h = 0; h < Op::kRegisters; ++h)
        for (int v = 0; v < Op::kRegisters; ++v)
            for (int x = 0; x < Op::kPatterns; ++x) {
                const unsigned pattern = deposit_bits(unsigned(x), InnerMask);
                for (unsigned l = 0; l < unsigned(S::kWidth); ++l) {
                    const std::complex<double> entry =
                        m[size_t(matrix_index(l, h) * size + matrix_index(l ^ pattern, v))];
                    lane_re[l] = Real(entry.real());
                    lane_im[l] = Real(entry.imag());
                }
                op.coef_re[h][v][x] = S::load(lane_re);
                op.coef_im[h][v][x] = S::load(lane_im);
            }
    op.mask = mask;
    return op;
}

}  // namespace wavesim

// Per-unit operation of the matrix kernels: a 2^k x 2^k matrix on k
// targets, dense or with entries of some kinds known to be zero (forms), Outer of them at or above the register width
// (one register per combination, 2^Outer registers per unit) and the others inside the register (the lane bits in
// InnerMask, known at compile time). New amplitude of lane l in register h = sum over registers v and lane patterns x
// of coef[h][v][x][l] * amplitude of lane l^x in register v, so each register is permuted once per pattern and
// everything else is lane-wise FMA. The coefficients are the matrix entries laid out per lane before the region.
// The adjoint step reads cross forms with the same products, summed against a second half of the state, before
// it applies its matrix to both halves.
#pragma once

#include <complex>
#include <cstdint>
#include <utility>

#include "wavesim/base/simd.h"
#include "wavesim/kernels/kernel_call.h"

namespace wavesim {

// The kind of the entries a coefficient term of a unit couples: register v
// into register h through lane pattern x (Inner lane bits, Outer register bits).
constexpr unsigned entry_kind(int inner_bits, int outer, int h, int v, int x) {
    const unsigned flipped = unsigned(x) | (unsigned(h ^ v) << inner_bits);
    const unsigned all = (1u << (inner_bits + outer)) - 1;
    return flipped == 0 ? kDiagonalEntry : flipped == all ? kAntiDiagonalEntry : kOtherEntry;
}

template <typename Real, int Outer, unsigned InnerMask, unsigned Form = kDenseForm>
struct DenseOp {
    using S = Simd<Real>;
    using V = typename S::V;
    static constexpr int kInnerBits = popcount(InnerMask);
    static constexpr int kRegisters = 1 << Outer;
    static constexpr int kPatterns = 1 << kInnerBits;
    static constexpr int kTerms =
        kRegisters * kPatterns;  // per output register: term t is (v, x) = (t / kPatterns, t % kPatterns)
    using Terms = V[kRegisters][kPatterns];
    // The sums the form repeats; rows are paired only for one target above the register width (inside the
    // register both rows are lanes of the same chains).
    static constexpr unsigned kSums = shared_sums(Form);
    static constexpr bool kPairedRows =
        (kSums == kRowRepeatsReal || kSums == kRowRepeatsImag) && Outer == 1 && kInnerBits == 0;

    uint64_t offset[kRegisters];
    V coef_re[kRegisters][kRegisters][kPatterns];
    V coef_im[kRegisters][kRegisters][kPatterns];
    LaneMask<Real> mask;  // lanes whose low control bits hold

    template <size_t... K>
    static void permute_all(V v, V* out, std::index_sequence<K...>) {
        ((out[K] = S::template xor_lanes<unsigned(deposit(K, InnerMask))>(v)), ...);
    }

    static constexpr bool kept(unsigned kinds, int h, int t) {
        return (kinds & entry_kind(kInnerBits, Outer, h, t / kPatterns, t % kPatterns)) != 0;
    }
    static constexpr int first_kept(unsigned kinds, int h) {
        for (int t = 0; t < kTerms; ++t)
            if (kept(kinds, h, t)) return t;
        return -1;
    }

    // Sum over the kept terms, in term order: the first a product, the others fused in.
    template <unsigned Kinds, int H, size_t... T>
    static V chain(const Terms& coef, const Terms& value, std::index_sequence<T...>) {
        constexpr int kFirst = first_kept(Kinds, H);
        V sum = S::mul(coef[kFirst / kPatterns][kFirst % kPatterns], value[kFirst / kPatterns][kFirst % kPatterns]);
        ((int(T) > kFirst && kept(Kinds, H, int(T))
              ? (sum = S::fmadd(coef[T / kPatterns][T % kPatterns], value[T / kPatterns][T % kPatterns], sum), 0)
              : 0),
         ...);
        return sum;
    }

    // New register H before the lane mask: re = sum(Mre ar) - sum(Mim ai), im = sum(Mre ai) + sum(Mim ar), as
    // four independent chains that keep the FMA latencies apart; an empty chain is an exact zero. A form whose
    // imaginary parts repeat its real parts (up to sign) computes two of the chains (gates/matrix_form.h).
    template <int H>
    void row(const Terms& pr, const Terms& pi, V& acc_re, V& acc_im) const {
        constexpr unsigned kRe = real_kinds(Form);
        constexpr unsigned kIm = imag_kinds(Form);
        constexpr bool kHasRe = first_kept(kRe, H) >= 0;
        constexpr bool kHasIm = first_kept(kIm, H) >= 0;
        constexpr auto kAll = std::make_index_sequence<kTerms>{};
        if constexpr (kSums == kImagRepeatsReal || kSums == kImagNegatesReal) {
            const V sr = chain<kRe, H>(coef_re[H], pr, kAll);  // = +-sum(Mim ar)
            const V tr = chain<kRe, H>(coef_re[H], pi, kAll);  // = +-sum(Mim ai)
            acc_re = kSums == kImagRepeatsReal ? S::sub(sr, tr) : S::add(sr, tr);
            acc_im = kSums == kImagRepeatsReal ? S::add(tr, sr) : S::sub(tr, sr);
        } else if constexpr (kHasRe && kHasIm) {
            acc_re = S::sub(chain<kRe, H>(coef_re[H], pr, kAll), chain<kIm, H>(coef_im[H], pi, kAll));
            acc_im = S::add(chain<kRe, H>(coef_re[H], pi, kAll), chain<kIm, H>(coef_im[H], pr, kAll));
        } else if constexpr (kHasRe) {
            acc_re = chain<kRe, H>(coef_re[H], pr, kAll);
            acc_im = chain<kRe, H>(coef_re[H], pi, kAll);
        } else if constexpr (kHasIm) {
            acc_re = S::bit_xor(chain<kIm, H>(coef_im[H], pi, kAll), S::set1(Real(-0.0)));
            acc_im = chain<kIm, H>(coef_im[H], pr, kAll);
        } else {
            acc_re = acc_im = S::set1(Real(0));
        }
    }

    template <int H>
    void output(Real* re, Real* im, uint64_t i, const Terms& pr, const Terms& pi) const {
        V acc_re, acc_im;
        row<H>(pr, pi, acc_re, acc_im);
        store<H>(re, im, i, pr, pi, acc_re, acc_im);
    }

    template <int H>
    void store(Real* re, Real* im, uint64_t i, const Terms& pr, const Terms& pi, V acc_re, V acc_im) const {
        S::store(re + i + offset[H], mask.apply(pr[H][0], acc_re));
        S::store(im + i + offset[H], mask.apply(pi[H][0], acc_im));
    }

    // Both rows of a one-target matrix above the register width whose row 1 repeats row 0 up to the signs of
    // its real and imaginary parts: row 0's four chains, row 1's results from them.
    void paired_rows(Real* re, Real* im, uint64_t i, const Terms& pr, const Terms& pi) const {
        constexpr unsigned kKinds = real_kinds(Form);
        constexpr auto kAll = std::make_index_sequence<kTerms>{};
        const V sr = chain<kKinds, 0>(coef_re[0], pr, kAll), si = chain<kKinds, 0>(coef_im[0], pi, kAll);
        const V tr = chain<kKinds, 0>(coef_re[0], pi, kAll), ti = chain<kKinds, 0>(coef_im[0], pr, kAll);
        store<0>(re, im, i, pr, pi, S::sub(sr, si), S::add(tr, ti));
        if constexpr (kSums == kRowRepeatsReal) {  // row 1: sr - (-si), tr + (-ti)
            store<1>(re, im, i, pr, pi, S::add(sr, si), S::sub(tr, ti));
        } else {  // row 1: -sr - si, -tr + ti
            store<1>(re, im, i, pr, pi, S::bit_xor(S::add(sr, si), S::set1(Real(-0.0))), S::sub(ti, tr));
        }
    }

    template <size_t... H>
    void outputs(Real* re, Real* im, uint64_t i, const Terms& pr, const Terms& pi, std::index_sequence<H...>) const {
        if constexpr (kPairedRows) paired_rows(re, im, i, pr, pi);
        else (output<int(H)>(re, im, i, pr, pi), ...);
    }

    // The unit's registers at `i`, each in every lane pattern.
    void load(const Real* re, const Real* im, uint64_t i, Terms& pr, Terms& pi) const {
        for (int v = 0; v < kRegisters; ++v) {
            permute_all(S::load(re + i + offset[v]), pr[v], std::make_index_sequence<kPatterns>{});
            permute_all(S::load(im + i + offset[v]), pi[v], std::make_index_sequence<kPatterns>{});
        }
    }

    void operator()(Real* re, Real* im, uint64_t i) const {
        Terms pr;
        Terms pi;
        load(re, im, i, pr, pi);
        outputs(re, im, i, pr, pi, std::make_index_sequence<kRegisters>{});
    }
};

// kCrossFormThenMatrix on a unit: the ket registers at the unit's offsets,
// the bra registers `bra_offset` further. For each of `count` matrices in
// `forms`, adds the lanes' share of Re sum_h conj(bra_h) (M ket)_h, in the
// lanes the controls open, to that matrix's double quads; then applies
// `matrix` to the ket and to the bra. All share targets, offsets and lanes;
// the reads have the form read_form_of(Form).
template <typename Real, int Outer, unsigned InnerMask, unsigned Form>
struct CrossFormThenMatrixOp {
    using S = Simd<Real>;
    using V = typename S::V;
    using Dense = DenseOp<Real, Outer, InnerMask, Form>;
    using Read = DenseOp<Real, Outer, InnerMask, read_form_of(Form)>;
    using Terms = typename Dense::Terms;
    static constexpr auto kRegisters = std::make_index_sequence<Dense::kRegisters>{};

    Dense matrix;
    Read forms[kMaxCrossForms];
    int count = 0;
    uint64_t bra_offset = 0;

    // Lane-wise sum over the registers h of Re conj(bra_h) (M ket)_h.
    template <size_t... H>
    static V cross(const Read& form, const Terms& kr, const Terms& ki, const Terms& br, const Terms& bi,
                   std::index_sequence<H...>) {
        V sum = S::set1(Real(0));
        V out_re;
        V out_im;
        ((form.template row<int(H)>(kr, ki, out_re, out_im),
          sum = S::fmadd(br[H][0], out_re, S::fmadd(bi[H][0], out_im, sum))),
         ...);
        return sum;
    }

    void operator()(Real* re, Real* im, uint64_t i, __m256d* sums) const {
        Terms kr, ki, br, bi;
        matrix.load(re, im, i, kr, ki);
        matrix.load(re, im, i + bra_offset, br, bi);
        // A loop of constant length, unrolled, keeps the sums in registers.
        for (int m = 0; m < kMaxCrossForms; ++m) {
            if (m >= count) break;
            __m256d quads[S::kQuads];
            S::widen(matrix.mask.apply(S::set1(Real(0)), cross(forms[m], kr, ki, br, bi, kRegisters)), quads);
            for (int q = 0; q < S::kQuads; ++q)
                sums[m * S::kQuads + q] = _mm256_add_pd(sums[m * S::kQuads + q], quads[q]);
        }
        matrix.outputs(re, im, i, kr, ki, kRegisters);
        matrix.outputs(re, im, i + bra_offset, br, bi, kRegisters);
    }
};

// targets[j] is the qubit carrying bit j of the matrix index; `m` points to
// a row-major matrix of (2^count)^2 entries; `mask` opens the lanes whose controls below the
// register width hold. Float states round each entry of the double matrix.
template <typename Real, int Outer, unsigned InnerMask, unsigned Form = kDenseForm>
DenseOp<Real, Outer, InnerMask, Form> make_dense_op(const int* targets, int count, const std::complex<double>* m,
                                                    LaneMask<Real> mask) {
    using Op = DenseOp<Real, Outer, InnerMask, Form>;
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
                const unsigned pattern = unsigned(deposit(uint64_t(x), InnerMask));
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

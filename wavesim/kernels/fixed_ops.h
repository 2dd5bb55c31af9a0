// Per-unit operations of the fixed-gate kernels: exchanges, sign-bit flips
// and the H and T constants, never a multiplication by 0 or 1, so results are
// exact (Z turns +0 into -0). Each gate is written once on a pair of vectors;
// the *Op wrappers place that pair in memory for a target above the register
// width, or inside one register for a low target, with the target position
// fixed at compile time.
#pragma once

#include <cstdint>
#include <utility>

#include "wavesim/base/simd.h"
#include "wavesim/gates/gate_constants.h"

namespace wavesim {

// Pair gates: (a0, a1) with a0 the amplitude whose target bit is 0.
template <typename Real>
struct XPair {
    using V = typename Simd<Real>::V;
    void operator()(V& r0, V& i0, V& r1, V& i1) const {
        std::swap(r0, r1);
        std::swap(i0, i1);
    }
};

template <typename Real>
struct YPair {
    using S = Simd<Real>;
    using V = typename S::V;
    V sign = S::set1(Real(-0.0));
    void operator()(V& r0, V& i0, V& r1, V& i1) const {
        const V new_r0 = i1, new_i0 = S::bit_xor(r1, sign);
        const V new_r1 = S::bit_xor(i0, sign), new_i1 = r0;
        r0 = new_r0, i0 = new_i0, r1 = new_r1, i1 = new_i1;
    }
};

template <typename Real>
struct HPair {
    using S = Simd<Real>;
    using V = typename S::V;
    V h = S::set1(GateConstants<Real>::kH);
    void operator()(V& r0, V& i0, V& r1, V& i1) const {
        const V new_r0 = S::mul(S::add(r0, r1), h), new_i0 = S::mul(S::add(i0, i1), h);
        const V new_r1 = S::mul(S::sub(r0, r1), h), new_i1 = S::mul(S::sub(i0, i1), h);
        r0 = new_r0, i0 = new_i0, r1 = new_r1, i1 = new_i1;
    }
};

// Phase gates: change a1 only.
template <typename Real>
struct ZPhase {
    using S = Simd<Real>;
    using V = typename S::V;
    V sign = S::set1(Real(-0.0));
    void operator()(V& r, V& i) const {
        r = S::bit_xor(r, sign);
        i = S::bit_xor(i, sign);
    }
};

// a1 <- i a1 (S), or -i a1 (SDG, `kConjugate`): the components swapped, one of them negated.
template <typename Real, bool kConjugate>
struct QuarterPhase {
    using S = Simd<Real>;
    using V = typename S::V;
    V sign = S::set1(Real(-0.0));
    void operator()(V& r, V& i) const {
        const V old_r = r;
        if constexpr (kConjugate) {
            r = i;
            i = S::bit_xor(old_r, sign);
        } else {
            r = S::bit_xor(i, sign);
            i = old_r;
        }
    }
};

template <typename Real>
struct TPhase {  // a1 <- a1 (c + i s)
    using S = Simd<Real>;
    using V = typename S::V;
    V c;
    V s;
    void operator()(V& r, V& i) const {
        const V new_r = S::fmsub(r, c, S::mul(i, s));
        const V new_i = S::fmadd(r, s, S::mul(i, c));
        r = new_r;
        i = new_i;
    }
};

// Pair gate with its target at or above the register width: the partner
// register lies `offset` amplitudes further. Lanes outside `mask` (controls
// below the register width) are written back unchanged.
template <typename Real, typename Gate>
struct OuterPairOp {
    using S = Simd<Real>;
    using V = typename S::V;
    Gate gate;
    uint64_t offset;
    LaneMask<Real> mask;
    void operator()(Real* re, Real* im, uint64_t i) const {
        const V r0 = S::load(re + i), i0 = S::load(im + i);
        const V r1 = S::load(re + i + offset), i1 = S::load(im + i + offset);
        V a = r0, b = i0, c = r1, d = i1;
        gate(a, b, c, d);
        S::store(re + i, mask.apply(r0, a));
        S::store(im + i, mask.apply(i0, b));
        S::store(re + i + offset, mask.apply(r1, c));
        S::store(im + i + offset, mask.apply(i1, d));
    }
};

// Pair gate on target T inside the register: every lane sees its partner
// through one permute, the gate runs on all lanes at once and each lane keeps
// its own half of the result.
template <typename Real, typename Gate, int T>
struct InnerPairOp {
    using S = Simd<Real>;
    using V = typename S::V;
    static constexpr unsigned kUpper = lanes_with_bit<Real>(T);
    static constexpr unsigned kPartner = 1u << T;
    Gate gate;
    LaneMask<Real> mask;
    void operator()(Real* re, Real* im, uint64_t i) const {
        const V r = S::load(re + i), m = S::load(im + i);
        const V pr = S::template xor_lanes<kPartner>(r), pm = S::template xor_lanes<kPartner>(m);
        V r0 = S::template blend<kUpper>(r, pr), i0 = S::template blend<kUpper>(m, pm);
        V r1 = S::template blend<kUpper>(pr, r), i1 = S::template blend<kUpper>(pm, m);
        gate(r0, i0, r1, i1);
        S::store(re + i, mask.apply(r, S::template blend<kUpper>(r0, r1)));
        S::store(im + i, mask.apply(m, S::template blend<kUpper>(i0, i1)));
    }
};

// Phase gate: the walk visits only registers whose fixed bits are 1; `mask`
// picks the lanes whose low fixed bits are 1 as well.
template <typename Real, typename Phase>
struct PhaseOp {
    using S = Simd<Real>;
    using V = typename S::V;
    Phase phase;
    LaneMask<Real> mask;
    void operator()(Real* re, Real* im, uint64_t i) const {
        const V r = S::load(re + i), m = S::load(im + i);
        V a = r, b = m;
        phase(a, b);
        S::store(re + i, mask.apply(r, a));
        S::store(im + i, mask.apply(m, b));
    }
};

// SWAP, both qubits at or above the register width: base index has both bits 0.
template <typename Real>
struct OuterSwapOp {
    using S = Simd<Real>;
    uint64_t low_offset;
    uint64_t high_offset;
    void operator()(Real* re, Real* im, uint64_t i) const {
        const auto r0 = S::load(re + i + low_offset), i0 = S::load(im + i + low_offset);
        const auto r1 = S::load(re + i + high_offset), i1 = S::load(im + i + high_offset);
        S::store(re + i + low_offset, r1);
        S::store(im + i + low_offset, i1);
        S::store(re + i + high_offset, r0);
        S::store(im + i + high_offset, i0);
    }
};

// SWAP of lane bit Lo with a qubit above the register width.
template <typename Real, int Lo>
struct MixedSwapOp {
    using S = Simd<Real>;
    static constexpr unsigned kLowSet = lanes_with_bit<Real>(Lo);
    static constexpr unsigned kLowClear = ((1u << S::kWidth) - 1) & ~kLowSet;
    uint64_t high_offset;
    void operator()(Real* re, Real* im, uint64_t i) const {
        constexpr unsigned kPartner = 1u << Lo;
        const auto r0 = S::load(re + i), i0 = S::load(im + i);
        const auto r1 = S::load(re + i + high_offset), i1 = S::load(im + i + high_offset);
        S::store(re + i, S::template blend<kLowSet>(r0, S::template xor_lanes<kPartner>(r1)));
        S::store(im + i, S::template blend<kLowSet>(i0, S::template xor_lanes<kPartner>(i1)));
        S::store(re + i + high_offset, S::template blend<kLowClear>(r1, S::template xor_lanes<kPartner>(r0)));
        S::store(im + i + high_offset, S::template blend<kLowClear>(i1, S::template xor_lanes<kPartner>(i0)));
    }
};

// SWAP of two lane bits: lanes whose two bits differ trade places.
template <typename Real, int Lo, int Hi>
struct InnerSwapOp {
    using S = Simd<Real>;
    static constexpr unsigned kMoving = lanes_with_bit<Real>(Lo) ^ lanes_with_bit<Real>(Hi);
    static constexpr unsigned kPartner = (1u << Lo) | (1u << Hi);
    void operator()(Real* re, Real* im, uint64_t i) const {
        const auto r = S::load(re + i), m = S::load(im + i);
        S::store(re + i, S::template blend<kMoving>(r, S::template xor_lanes<kPartner>(r)));
        S::store(im + i, S::template blend<kMoving>(m, S::template xor_lanes<kPartner>(m)));
    }
};

}  // namespace wavesim

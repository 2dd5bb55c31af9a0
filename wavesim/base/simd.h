// AVX2/FMA wrapper over one 256-bit register of one amplitude component:
// four doubles or eight floats. Kernels are written once against Simd<Real>
// and take their vector width from it.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace wavesim {

// Doubles per quad: kernels that sum take four lanes of doubles at a time, in either precision.
constexpr int kQuadLanes = 4;

template <typename Real>
struct Simd;

template <>
struct Simd<double> {
    using V = __m256d;
    using Bits = uint64_t;
    static constexpr int kLogWidth = 2;
    static constexpr int kWidth = 1 << kLogWidth;

    static V load(const double* p) { return _mm256_load_pd(p); }
    static void store(double* p, V v) { _mm256_store_pd(p, v); }
    static V set1(double x) { return _mm256_set1_pd(x); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }    // a*b + c
    static V fnmadd(V a, V b, V c) { return _mm256_fnmadd_pd(a, b, c); }  // c - a*b
    static V fmsub(V a, V b, V c) { return _mm256_fmsub_pd(a, b, c); }    // a*b - c
    static V bit_xor(V a, V b) { return _mm256_xor_pd(a, b); }
    // Lanes whose mask is all ones take b, the others keep a.
    static V select(V a, V b, V mask) { return _mm256_blendv_pd(a, b, mask); }
    template <unsigned LaneBits>
    static V blend(V a, V b) {
        return _mm256_blend_pd(a, b, LaneBits);
    }
    // out[l] = in[l ^ X]
    template <unsigned X>
    static V xor_lanes(V v) {
        static_assert(X < kWidth, "lane pattern wider than the register");
        if constexpr (X == 0) return v;
        if constexpr (X == 1) return _mm256_permute_pd(v, 0b0101);
        if constexpr (X == 2) return _mm256_permute2f128_pd(v, v, 0x01);
        if constexpr (X == 3) return _mm256_permute4x64_pd(v, _MM_SHUFFLE(0, 1, 2, 3));
    }
    static V from_bits(const Bits* lanes) {
        return _mm256_castsi256_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes)));
    }
    // The register as quads of doubles, its lanes in order (sums are taken in double in either precision).
    static constexpr int kQuads = 1;
    static void widen(V v, __m256d* quads) { quads[0] = v; }
    static V narrow(const __m256d* quads) { return quads[0]; }
};

template <>
struct Simd<float> {
    using V = __m256;
    using Bits = uint32_t;
    static constexpr int kLogWidth = 3;
    static constexpr int kWidth = 1 << kLogWidth;

    static V load(const float* p) { return _mm256_load_ps(p); }
    static void store(float* p, V v) { _mm256_store_ps(p, v); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static V fnmadd(V a, V b, V c) { return _mm256_fnmadd_ps(a, b, c); }
    static V fmsub(V a, V b, V c) { return _mm256_fmsub_ps(a, b, c); }
    static V bit_xor(V a, V b) { return _mm256_xor_ps(a, b); }
    static V select(V a, V b, V mask) { return _mm256_blendv_ps(a, b, mask); }
    template <unsigned LaneBits>
    static V blend(V a, V b) {
        return _mm256_blend_ps(a, b, LaneBits);
    }
    template <unsigned X>
    static V xor_lanes(V v) {
        static_assert(X < kWidth, "lane pattern wider than the register");
        constexpr unsigned kInHalf = X & 3u;
        // Selector of _mm256_permute_ps: element j of each 128-bit half takes element j ^ kInHalf.
        constexpr int kSelector =
            int((0u ^ kInHalf) | ((1u ^ kInHalf) << 2) | ((2u ^ kInHalf) << 4) | ((3u ^ kInHalf) << 6));
        const V halves = (X & 4u) ? _mm256_permute2f128_ps(v, v, 0x01) : v;
        if constexpr (kInHalf == 0) return halves;
        else return _mm256_permute_ps(halves, kSelector);
    }
    static V from_bits(const Bits* lanes) {
        return _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes)));
    }
    static constexpr int kQuads = 2;
    static void widen(V v, __m256d* quads) {
        quads[0] = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
        quads[1] = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    }
    static V narrow(const __m256d* quads) {
        return _mm256_set_m128(_mm256_cvtpd_ps(quads[1]), _mm256_cvtpd_ps(quads[0]));
    }
};

// The lanes a unit may change (controls below the register width). With every
// lane open the select is skipped; the branch is the same for every unit.
template <typename Real>
struct LaneMask {
    typename Simd<Real>::V bits;
    bool all;
    typename Simd<Real>::V apply(typename Simd<Real>::V old, typename Simd<Real>::V updated) const {
        return all ? updated : Simd<Real>::select(old, updated, bits);
    }
};

// Lane l open when pred(l) holds; built before a region.
template <typename Real, typename Pred>
LaneMask<Real> lane_mask(Pred pred) {
    using S = Simd<Real>;
    typename S::Bits bits[S::kWidth];
    bool all = true;
    for (int l = 0; l < S::kWidth; ++l) {
        bits[l] = pred(unsigned(l)) ? ~typename S::Bits{0} : typename S::Bits{0};
        all = all && bits[l] != 0;
    }
    return {S::from_bits(bits), all};
}

// Calls f(std::integral_constant<int, value>) for 0 <= value < N: a value
// known only at run time (a lane pattern, a count of targets) picks the
// variant compiled for it.
template <int N, typename F, int... K>
void with_constant_impl(int value, F& f, std::integer_sequence<int, K...>) {
    ((value == K ? (f(std::integral_constant<int, K>{}), 0) : 0), ...);
}

template <int N, typename F>
void with_constant(int value, F&& f) {
    with_constant_impl<N>(value, f, std::make_integer_sequence<int, N>{});
}

// Blend immediate choosing the lanes whose index has bit `bit` set.
template <typename Real>
constexpr unsigned lanes_with_bit(int bit) {
    unsigned imm = 0;
    for (int l = 0; l < Simd<Real>::kWidth; ++l)
        if ((l >> bit) & 1) imm |= 1u << l;
    return imm;
}

}  // namespace wavesim

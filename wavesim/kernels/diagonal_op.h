// A diagonal on up to kMaxDiagonalTargets qubits in one pass: every
// amplitude times the entry its targets' bits pick, one complex product.
// The entries are laid out per register: for each pattern of the targets
// above the register width one register of entries, lane l holding the entry
// of l's bits at the targets inside it. A register's pattern is looked up
// eight bits of its number at a time.
#pragma once

#include <algorithm>
#include <cstdint>

#include "wavesim/base/matrix.h"
#include "wavesim/base/simd.h"
#include "wavesim/kernels/kernel_call.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

constexpr int kPatternChunkBits = 8;
constexpr int kPatternChunks = (64 + kPatternChunkBits - 1) / kPatternChunkBits;

// What a diagonal call's op reads: built once per call, outside the threads.
template <typename Real>
struct DiagonalTables {
    static constexpr int kWidth = Simd<Real>::kWidth;
    alignas(kStateAlignment) Real re[(size_t{1} << kMaxDiagonalTargets) * kWidth];
    alignas(kStateAlignment) Real im[(size_t{1} << kMaxDiagonalTargets) * kWidth];
    // parts[c][v]: the pattern bits that bits c*8 ... c*8+7 of a register's number, being v, set.
    uint16_t parts[kPatternChunks][size_t{1} << kPatternChunkBits];
    int chunks = 0;

    // The entries of `diagonal` (2^targets of them; bit j of an entry's index is the bit of targets[j]) for a
    // state of `num_qubits` qubits.
    void build(const int* targets, int count, const Matrix& diagonal, unsigned num_qubits) {
        constexpr int kLogWidth = Simd<Real>::kLogWidth;
        unsigned outer_bits[kMaxDiagonalTargets];  // entry index bit of each target above the register width, in order
        int outer_at[kMaxDiagonalTargets];         // its bit in a register's number
        int outer_count = 0;
        unsigned lane_of[kWidth] = {};  // entry index bits that each lane's own bits set
        for (int j = 0; j < count; ++j) {
            if (targets[j] >= kLogWidth) {
                outer_bits[outer_count] = 1u << j;
                outer_at[outer_count++] = targets[j] - kLogWidth;
                continue;
            }
            for (int l = 0; l < kWidth; ++l)
                if ((l >> targets[j]) & 1) lane_of[l] |= 1u << j;
        }
        // Entry index bits of each pattern, built from the pattern without its lowest bit.
        unsigned high[size_t{1} << kMaxDiagonalTargets];
        high[0] = 0;
        for (unsigned p = 1; p < (1u << outer_count); ++p) high[p] = high[p & (p - 1)] | outer_bits[__builtin_ctz(p)];
        for (unsigned p = 0; p < (1u << outer_count); ++p)
            for (int l = 0; l < kWidth; ++l) {
                const Complex& e = diagonal[high[p] | lane_of[l]];
                re[p * kWidth + unsigned(l)] = Real(e.real());
                im[p * kWidth + unsigned(l)] = Real(e.imag());
            }
        const int number_bits = std::max(0, int(num_qubits) - kLogWidth);
        chunks = std::max(1, (number_bits + kPatternChunkBits - 1) / kPatternChunkBits);
        for (int c = 0; c < chunks; ++c) {
            uint16_t bit_of[kPatternChunkBits] = {};  // pattern bit that each bit of the chunk sets
            for (int k = 0; k < outer_count; ++k) {
                const int at = outer_at[k] - c * kPatternChunkBits;
                if (at >= 0 && at < kPatternChunkBits) bit_of[at] = uint16_t(1u << k);
            }
            parts[c][0] = 0;
            for (unsigned v = 1; v < (1u << kPatternChunkBits); ++v)
                parts[c][v] = uint16_t(parts[c][v & (v - 1)] | bit_of[__builtin_ctz(v)]);
        }
    }
};

// A unit is kRegisters consecutive registers (a power of two; their base
// index has the lowest bits of a register's number 0). The pattern of the
// register numbers' lowest eight bits is looked up per unit, with the
// registers' own bits added from a constant; that of the bits above changes
// only every 256 registers, and each thread's copy of the op keeps the last
// one it looked up.
template <typename Real, int kRegisters>
struct DiagonalOp {
    using S = Simd<Real>;
    using V = typename S::V;
    static constexpr uint64_t kChunkMask = (uint64_t{1} << kPatternChunkBits) - 1;
    const Real* re_entries;
    const Real* im_entries;
    const uint16_t* low;                     // parts[0]
    const uint16_t (*high)[kChunkMask + 1];  // parts[1 ...]
    int high_chunks;
    uint64_t own[kRegisters];  // the pattern bits of each register's place in the unit
    mutable uint64_t high_number = ~uint64_t{0};
    mutable uint64_t high_pattern = 0;

    explicit DiagonalOp(const DiagonalTables<Real>& t)
        : re_entries(t.re), im_entries(t.im), low(t.parts[0]), high(t.parts + 1), high_chunks(t.chunks - 1) {
        for (int r = 0; r < kRegisters; ++r) own[r] = t.parts[0][r];
    }

    void operator()(Real* re, Real* im, uint64_t i) const {
        const uint64_t number = i >> S::kLogWidth;
        if ((number >> kPatternChunkBits) != high_number) {
            high_number = number >> kPatternChunkBits;
            high_pattern = 0;
            uint64_t rest = high_number;
            for (int c = 0; c < high_chunks; ++c, rest >>= kPatternChunkBits) high_pattern |= high[c][rest & kChunkMask];
        }
        const uint64_t base = low[number & kChunkMask] | high_pattern;
        for (int r = 0; r < kRegisters; ++r) {
            const uint64_t at = (base | own[r]) * S::kWidth;
            const uint64_t k = i + uint64_t(r) * S::kWidth;
            const V er = S::load(re_entries + at), ei = S::load(im_entries + at);
            const V a = S::load(re + k), b = S::load(im + k);
            S::store(re + k, S::fmsub(a, er, S::mul(b, ei)));
            S::store(im + k, S::fmadd(a, ei, S::mul(b, er)));
        }
    }
};

}  // namespace wavesim

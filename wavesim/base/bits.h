// Bit tricks on amplitude indices and qubit masks, in one place: bit q of an
// amplitude index is the value of qubit q, and a set of qubits is a mask.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wavesim {

// The mask of qubit q.
constexpr uint64_t bit(int q) { return uint64_t{1} << q; }

constexpr int popcount(uint64_t x) { return __builtin_popcountll(x); }

// The lowest and the highest set bit of x (x must not be 0).
constexpr int lowest_bit(uint64_t x) { return __builtin_ctzll(x); }
constexpr int highest_bit(uint64_t x) { return 63 - __builtin_clzll(x); }

// The length of the run of set bits that starts at bit 0: how many of a set's
// qubits are the lowest qubits of the state.
constexpr int trailing_ones(uint64_t x) { return ~x == 0 ? 64 : __builtin_ctzll(~x); }

// Where qubit q (a member of `set`) lands when an index keeps only the bits
// of `set`, lowest first: its place in a gathered block, a fused group or a
// compact state.
constexpr int position_in(uint64_t set, int q) { return popcount(set & (bit(q) - 1)); }

// Every bit of `mask` (a subset of `set`) moved to its position_in `set`.
constexpr uint64_t compress_mask(uint64_t set, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t m = mask; m != 0; m &= m - 1) out |= bit(position_in(set, lowest_bit(m)));
    return out;
}

// The bits of `value`, lowest first, placed at the set positions of `mask`:
// the index of member `value` among the indices whose free bits are `mask`.
constexpr uint64_t deposit(uint64_t value, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t m = mask; m != 0 && value != 0; m &= m - 1, value >>= 1)
        if (value & 1) out |= m & (~m + 1);
    return out;
}

// `value` with a zero bit inserted at position `at`: the bits from `at` up
// move one place higher (the j-th index whose bit `at` is 0).
constexpr uint64_t insert_zero_bit(uint64_t value, int at) {
    const uint64_t low = bit(at) - 1;
    return ((value & ~low) << 1) | (value & low);
}

// Mixes v into the hash h (the boost recipe).
inline void hash_combine(size_t& h, size_t v) {
    constexpr size_t kMix = 0x9e3779b9;
    constexpr int kShiftLeft = 6;
    constexpr int kShiftRight = 2;
    h ^= v + kMix + (h << kShiftLeft) + (h >> kShiftRight);
}

}  // namespace wavesim

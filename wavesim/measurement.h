// The simulator's stochastic operations: the uniform draw shared by every
// random source, projective measurement, reset, and sampling of basis states
// from a cumulative probability table. Probabilities are always doubles, also
// for a float state.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "state_vector.h"

struct RandomSource {
    std::mt19937 engine;
    double low = 0.0;
    double high = 1.0;
};

// seed >= 0: its 32-bit pattern; seed < 0: one value from std::random_device.
RandomSource make_seeded_source(int seed);

// Exactly two engine outputs x1, x2: m = x2 * 2^21 + (x1 >> 11), u = m * 2^-53,
// result fma(high - low, u, low). Fixed so that a seed gives the same stream everywhere.
double draw_uniform(RandomSource& source);

// Collapses qubit q and returns the outcome (a draw r >= p0 gives 1). A branch
// of probability at most 1e-15 leaves the zero vector instead of dividing by it.
// A state whose probabilities are not finite (NaN amplitudes) is refused with
// std::runtime_error before anything is drawn.
template <typename Real>
int measure_qubit(StateVector<Real>& s, int q, RandomSource& source);

// Leaves qubit q in |0> (a draw r > P0 takes the |1> branch and moves it down).
// Runs with the OpenMP thread count already in force on the calling thread.
// A state whose probabilities are not finite is left as it is (after the
// draw), so its NaN amplitudes propagate.
template <typename Real>
void reset_qubit(StateVector<Real>& s, int q, RandomSource& source);

// Full table (one running sum per amplitude) up to kSamplingChunk amplitudes,
// else one running sum per chunk of kSamplingChunk amplitudes. The last entry
// is forced to 1.0 so that no draw below 1 runs past the end. A state whose
// probabilities are not finite is refused with std::runtime_error.
constexpr uint64_t kSamplingChunk = uint64_t{1} << 16;

struct CumulativeTable {
    std::vector<double> sums;
    bool chunked = false;
};

template <typename Real>
CumulativeTable build_cumulative(const StateVector<Real>& s);

// One basis-state index for one draw from `source`.
template <typename Real>
uint64_t sample_index(const StateVector<Real>& s, const CumulativeTable& t, RandomSource& source);

// The indices that sample_index would give for each of `draws` (already drawn
// uniforms, in draw order), resolved by sorting the draws and sweeping the
// table (and each chunk's running sum, added in the same order as the per-draw
// walk) once: bit-identical to calling the per-draw search,
// O(shots log shots + 2^n) instead of up to 65536 amplitudes per draw.
template <typename Real>
std::vector<uint64_t> sample_indices(const StateVector<Real>& s, const CumulativeTable& t,
                                     const std::vector<double>& draws);

// The calling thread's reset source for this precision (thread_local, seeded
// from std::random_device on first use, never re-seeded).
template <typename Real>
RandomSource& reset_random_source();

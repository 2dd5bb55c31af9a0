// The simulator's stochastic operations on a state: projective measurement,
// reset, and sampling of basis states from a cumulative probability table,
// each deciding its outcome with draws from a RandomSource. Probabilities are
// always doubles, also for a float state.
#pragma once

#include <cstdint>
#include <vector>

#include "wavesim/base/random_source.h"
#include "wavesim/base/threads.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

// Collapses qubit q and returns the outcome (a draw r >= p0 gives 1). A branch
// of probability at most 1e-15 leaves the zero vector instead of dividing by it.
// A state whose probabilities are not finite (NaN amplitudes) is refused with
// std::runtime_error before anything is drawn, as is a qubit outside the state
// (check_qubit's message; callers refuse such qubits first, so the simulator's
// users never see it).
template <typename Real>
int measure_qubit(StateView<Real>& s, int q, RandomSource& source);

// The probabilities of one qubit reading 0 and 1.
struct QubitOdds {
    double p0 = 0.0;
    double p1 = 0.0;
};

// The outcome each operation takes for a draw r (the tie r == p0 goes to 1 for
// a measurement, to 0 for a reset).
inline int measure_outcome(double r, const QubitOdds& odds) { return r >= odds.p0 ? 1 : 0; }
inline int reset_outcome(double r, const QubitOdds& odds) { return r > odds.p0 ? 1 : 0; }

// measure_qubit in its parts, for callers that decide many draws against one
// state: measure_odds sums each half in ascending index order and refuses a
// state whose odds are not finite; collapse_measured scales the kept half by
// measured_scale and zeroes the other.
template <typename Real>
QubitOdds measure_odds(const StateView<Real>& s, int q);
template <typename Real>
void collapse_measured(StateView<Real>& s, int q, int outcome, const QubitOdds& odds);

// The factor collapse_measured scales the kept half by, and how it scales one component.
double measured_scale(int outcome, const QubitOdds& odds);
template <typename Real>
inline Real scaled_component(Real x, double k) {
    return static_cast<Real>(k * static_cast<double>(x));
}

// The same collapse written compactly: the kept half of `from` (bit q equal to
// `outcome`), each component scaled by measured_scale, into `to` of one qubit
// fewer (bit q removed from the index). Every other amplitude of a collapsed
// state is zero and adds exactly nothing to a later sum, so sums over the
// compact state equal the sums over the collapsed one.
template <typename Real>
void keep_measured_half(const StateView<Real>& from, int q, int outcome, const QubitOdds& odds,
                        StateView<Real>& to);

// Sum of every probability in ascending index order, finite or refused as in
// measure_odds: the odds of measuring a qubit whose other half is all zero.
template <typename Real>
double total_probability(const StateView<Real>& s);

// Leaves qubit q in |0> (a draw r > P0 takes the |1> branch and moves it down),
// its loops shared statically among the threads of `team`.
// A state whose probabilities are not finite is left as it is (after the
// draw), so its NaN amplitudes propagate. A qubit outside the state is refused
// (check_qubit's message, "reset_qubit addresses qubit ...") before any draw.
template <typename Real>
void reset_qubit(StateView<Real>& s, int q, RandomSource& source, ThreadTeam team);

// reset_qubit in its parts: the odds summed by its parallel reduction (one
// partial sum per thread of `team`, so the bits depend on the team), and its
// action for the outcome taken (a state with non-finite odds is left as it is).
template <typename Real>
QubitOdds reset_odds(const StateView<Real>& s, int q, ThreadTeam team);
template <typename Real>
void apply_reset_outcome(StateView<Real>& s, int q, int outcome, const QubitOdds& odds, ThreadTeam team);

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
CumulativeTable build_cumulative(const StateView<Real>& s);

// One basis-state index for one draw from `source`.
template <typename Real>
uint64_t sample_index(const StateView<Real>& s, const CumulativeTable& t, RandomSource& source);

// The indices that sample_index would give for each of `draws` (already drawn
// uniforms, in draw order), resolved by sorting the draws and sweeping the
// table (and each chunk's running sum, added in the same order as the per-draw
// walk) once: bit-identical to calling the per-draw search,
// O(shots log shots + 2^n) instead of up to 65536 amplitudes per draw.
template <typename Real>
std::vector<uint64_t> sample_indices(const StateView<Real>& s, const CumulativeTable& t,
                                     const std::vector<double>& draws);

}  // namespace wavesim

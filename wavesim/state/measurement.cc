// Measurement, reset and sampling of a state. Every probability is a double
// formed as fma(re, re, im * im) from widened amplitudes, the same expression
// in every sum, so the per-draw search and the sorted sweep see identical
// running sums.
#include "wavesim/state/measurement.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

#include "wavesim/base/bits.h"

namespace wavesim {
namespace {

constexpr double kProbabilityFloor = 1e-15;
// Independent accumulators per chunk sum, so the loop vectorises.
constexpr size_t kPartialSums = 8;

// A NaN or infinite amplitude (from a NaN or infinite gate parameter) leaves
// no probability to draw an outcome from.
[[noreturn]] void refuse_non_finite() {
    throw std::runtime_error(
        "Cannot sample measurement outcomes: the state's probabilities are not finite (NaN or infinite amplitudes, "
        "for example from a NaN or infinite gate parameter)");
}

template <typename Real>
double probability(const StateView<Real>& s, uint64_t i) {
    const double re = s.re[i];
    const double im = s.im[i];
    return std::fma(re, re, im * im);
}

template <typename Real>
void check_table(const StateView<Real>& s, const CumulativeTable& t, const char* operation) {
    const bool chunked = s.dim > kSamplingChunk;
    const uint64_t entries = chunked ? s.dim / kSamplingChunk : s.dim;
    if (t.chunked != chunked || t.sums.size() != entries) {
        throw std::runtime_error(std::string(operation) + ": cumulative table does not belong to this state");
    }
}

// First entry with sums[i] >= r, clamped to the last one.
size_t first_at_least(const std::vector<double>& sums, double r) {
    const size_t i = static_cast<size_t>(std::lower_bound(sums.begin(), sums.end(), r) - sums.begin());
    return std::min(i, sums.size() - 1);
}

// Walks chunk k from its first amplitude until the running sum reaches rho.
template <typename Real>
uint64_t position_in_chunk(const StateView<Real>& s, uint64_t k, double rho) {
    const uint64_t base = k * kSamplingChunk;
    double running = 0.0;
    for (uint64_t j = 0; j < kSamplingChunk; ++j) {
        running += probability(s, base + j);
        if (running >= rho) return base + j;
    }
    return base + kSamplingChunk - 1;
}

template <typename Real>
uint64_t index_for_draw(const StateView<Real>& s, const CumulativeTable& t, double r) {
    const size_t k = first_at_least(t.sums, r);
    if (!t.chunked) return k;
    const double rho = k == 0 ? r : r - t.sums[k - 1];
    return position_in_chunk(s, k, rho);
}

template <typename Real>
double chunk_probability(const StateView<Real>& s, uint64_t base) {
    double partial[kPartialSums] = {};
    for (uint64_t j = 0; j < kSamplingChunk; j += kPartialSums) {
        for (size_t l = 0; l < kPartialSums; ++l) partial[l] += probability(s, base + j + l);
    }
    return std::accumulate(partial, partial + kPartialSums, 0.0);
}

}  // namespace

template <typename Real>
QubitOdds measure_odds(const StateView<Real>& s, int q) {
    check_qubit("measure_qubit", q, s.num_qubits);
    const uint64_t half = uint64_t{1} << q;
    QubitOdds odds;  // p1 only to tell a NaN in the other half, which the collapse would erase
    for (uint64_t base = 0; base < s.dim; base += 2 * half) {
        for (uint64_t j = 0; j < half; ++j) odds.p0 += probability(s, base + j);
        for (uint64_t j = 0; j < half; ++j) odds.p1 += probability(s, base + half + j);
    }
    if (!std::isfinite(odds.p0 + odds.p1)) refuse_non_finite();
    return odds;
}

double measured_scale(int outcome, const QubitOdds& odds) {
    const double p = outcome == 0 ? odds.p0 : 1.0 - odds.p0;
    return p > kProbabilityFloor ? 1.0 / std::sqrt(p) : 0.0;
}

template <typename Real>
void collapse_measured(StateView<Real>& s, int q, int outcome, const QubitOdds& odds) {
    const uint64_t half = uint64_t{1} << q;
    const double k = measured_scale(outcome, odds);
    const uint64_t kept = outcome == 0 ? 0 : half;
    const uint64_t dropped = half - kept;
    for (uint64_t base = 0; base < s.dim; base += 2 * half) {
        for (uint64_t j = 0; j < half; ++j) {
            const uint64_t keep = base + kept + j;
            const uint64_t drop = base + dropped + j;
            s.re[keep] = scaled_component(s.re[keep], k);
            s.im[keep] = scaled_component(s.im[keep], k);
            s.re[drop] = Real(0);
            s.im[drop] = Real(0);
        }
    }
}

template <typename Real>
void keep_measured_half(const StateView<Real>& from, int q, int outcome, const QubitOdds& odds,
                        StateView<Real>& to) {
    check_qubit("keep_measured_half", q, from.num_qubits);
    if (to.num_qubits + 1 != from.num_qubits) {
        throw std::runtime_error("keep_measured_half: the kept half needs a state of one qubit fewer");
    }
    const uint64_t half = uint64_t{1} << q;
    const double k = measured_scale(outcome, odds);
    const uint64_t kept = outcome == 0 ? 0 : half;
    uint64_t out = 0;
    for (uint64_t base = 0; base < from.dim; base += 2 * half) {
        for (uint64_t j = 0; j < half; ++j, ++out) {
            to.re[out] = scaled_component(from.re[base + kept + j], k);
            to.im[out] = scaled_component(from.im[base + kept + j], k);
        }
    }
}

template <typename Real>
double total_probability(const StateView<Real>& s) {
    double total = 0.0;
    for (uint64_t i = 0; i < s.dim; ++i) total += probability(s, i);
    if (!std::isfinite(total)) refuse_non_finite();
    return total;
}

template <typename Real>
int measure_qubit(StateView<Real>& s, int q, RandomSource& source) {
    const QubitOdds odds = measure_odds(s, q);
    const int outcome = measure_outcome(draw_uniform(source), odds);
    collapse_measured(s, q, outcome, odds);
    return outcome;
}

template <typename Real>
QubitOdds reset_odds(const StateView<Real>& s, int q, ThreadTeam team) {
    check_qubit("reset_qubit", q, s.num_qubits);
    const uint64_t half = uint64_t{1} << q;
    const int64_t pairs = static_cast<int64_t>(s.dim / 2);
    double p0 = 0.0;
    double p1 = 0.0;
#pragma omp parallel for schedule(static) reduction(+ : p0, p1) num_threads(team.threads) if (team.threads > 1)
    for (int64_t j = 0; j < pairs; ++j) {
        const uint64_t i0 = insert_zero_bit(static_cast<uint64_t>(j), q);
        p0 += probability(s, i0);
        p1 += probability(s, i0 + half);
    }
    return {p0, p1};
}

template <typename Real>
void apply_reset_outcome(StateView<Real>& s, int q, int outcome, const QubitOdds& odds, ThreadTeam team) {
    // Either branch would erase the NaN of one half and pass off the rest as a
    // valid state: keep the state as it is, so the NaN reaches the caller.
    if (!std::isfinite(odds.p0 + odds.p1)) return;
    const uint64_t half = uint64_t{1} << q;
    const int64_t pairs = static_cast<int64_t>(s.dim / 2);
    const double p = outcome == 0 ? odds.p0 : 1.0 - odds.p0;
    if (p >= kProbabilityFloor) {
        const double k = 1.0 / std::sqrt(p);
        const uint64_t source_offset = outcome == 0 ? 0 : half;
#pragma omp parallel for schedule(static) num_threads(team.threads) if (team.threads > 1)
        for (int64_t j = 0; j < pairs; ++j) {
            const uint64_t i0 = insert_zero_bit(static_cast<uint64_t>(j), q);
            const uint64_t src = i0 + source_offset;
            s.re[i0] = scaled_component(s.re[src], k);
            s.im[i0] = scaled_component(s.im[src], k);
            s.re[i0 + half] = Real(0);
            s.im[i0 + half] = Real(0);
        }
    } else {
        const int64_t dim = static_cast<int64_t>(s.dim);
#pragma omp parallel for schedule(static) num_threads(team.threads) if (team.threads > 1)
        for (int64_t i = 0; i < dim; ++i) {
            s.re[i] = Real(0);
            s.im[i] = Real(0);
        }
    }
}

template <typename Real>
void reset_qubit(StateView<Real>& s, int q, RandomSource& source, ThreadTeam team) {
    const QubitOdds odds = reset_odds(s, q, team);
    apply_reset_outcome(s, q, reset_outcome(draw_uniform(source), odds), odds, team);
}

template <typename Real>
CumulativeTable build_cumulative(const StateView<Real>& s) {
    CumulativeTable t;
    t.chunked = s.dim > kSamplingChunk;
    double running = 0.0;
    if (t.chunked) {
        t.sums.resize(s.dim / kSamplingChunk);
        for (uint64_t k = 0; k < t.sums.size(); ++k) {
            running += chunk_probability(s, k * kSamplingChunk);
            t.sums[k] = running;
        }
    } else {
        t.sums.resize(s.dim);
        for (uint64_t i = 0; i < s.dim; ++i) {
            running += probability(s, i);
            t.sums[i] = running;
        }
    }
    if (!std::isfinite(running)) refuse_non_finite();
    t.sums.back() = 1.0;
    return t;
}

template <typename Real>
uint64_t sample_index(const StateView<Real>& s, const CumulativeTable& t, RandomSource& source) {
    check_table(s, t, "sample_index");
    return index_for_draw(s, t, draw_uniform(source));
}

// A full table answers each draw with one binary search, cheaper than sorting
// the draws. For a chunked table: below the last entry (1.0) the predicate
// sums[i] < r holds on a prefix of the table only, so draws in ascending order
// move a cursor forward; within a chunk the running sum likewise only grows
// past earlier residuals. Draws above that entry (or NaN) take the per-draw search.
template <typename Real>
std::vector<uint64_t> sample_indices(const StateView<Real>& s, const CumulativeTable& t,
                                     const std::vector<double>& draws) {
    check_table(s, t, "sample_indices");
    std::vector<uint64_t> indices(draws.size());
    if (!t.chunked) {
        for (size_t d = 0; d < draws.size(); ++d) indices[d] = first_at_least(t.sums, draws[d]);
        return indices;
    }
    std::vector<size_t> order;
    order.reserve(draws.size());
    const double last = t.sums.back();
    for (size_t d = 0; d < draws.size(); ++d) {
        if (draws[d] <= last) {
            order.push_back(d);
        } else {
            indices[d] = index_for_draw(s, t, draws[d]);
        }
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return draws[a] < draws[b]; });

    size_t k = 0;
    size_t walk_chunk = t.sums.size();
    uint64_t j = 0;
    double running = 0.0;
    for (size_t d : order) {
        const double r = draws[d];
        while (t.sums[k] < r) ++k;
        const uint64_t base = k * kSamplingChunk;
        if (walk_chunk != k) {
            walk_chunk = k;
            j = 0;
            running = 0.0;
            running += probability(s, base);
        }
        const double rho = k == 0 ? r : r - t.sums[k - 1];
        while (!(running >= rho) && j + 1 < kSamplingChunk) {
            ++j;
            running += probability(s, base + j);
        }
        indices[d] = base + j;
    }
    return indices;
}

#define WAVESIM_MEASUREMENT_INSTANTIATE(Real)                                                                         \
    template int measure_qubit<Real>(StateView<Real>&, int, RandomSource&);                                         \
    template QubitOdds measure_odds<Real>(const StateView<Real>&, int);                                             \
    template void collapse_measured<Real>(StateView<Real>&, int, int, const QubitOdds&);                            \
    template void keep_measured_half<Real>(const StateView<Real>&, int, int, const QubitOdds&, StateView<Real>&); \
    template double total_probability<Real>(const StateView<Real>&);                                                \
    template QubitOdds reset_odds<Real>(const StateView<Real>&, int, ThreadTeam);                                               \
    template void apply_reset_outcome<Real>(StateView<Real>&, int, int, const QubitOdds&, ThreadTeam);                          \
    template void reset_qubit<Real>(StateView<Real>&, int, RandomSource&, ThreadTeam);                                          \
    template CumulativeTable build_cumulative<Real>(const StateView<Real>&);                                        \
    template uint64_t sample_index<Real>(const StateView<Real>&, const CumulativeTable&, RandomSource&);            \
    template std::vector<uint64_t> sample_indices<Real>(const StateView<Real>&, const CumulativeTable&,             \
                                                        const std::vector<double>&);

WAVESIM_MEASUREMENT_INSTANTIATE(double)
WAVESIM_MEASUREMENT_INSTANTIATE(float)

}  // namespace wavesim

// Expectation values of grouped Pauli sums read off a state, one read pass per group of terms sharing a flip mask.
#include "wavesim/expval/expectation.h"

#include <omp.h>

#include <algorithm>
#include <map>
#include <new>

#include "wavesim/base/bits.h"
#include "wavesim/base/exact_sum.h"
#include "wavesim/kernels/unit_walk.h"
#include "wavesim/base/simd.h"
#include "wavesim/base/threads.h"

namespace wavesim {
namespace {

using Quad = __m256d;

// Chunks of 2^12 amplitudes: a chunk and its partner, both components, fill
// half of a core's L2 in double. The observable is applied in chunks of 2^10
// amplitudes, whose double accumulators (16 KiB) stay in L1.
constexpr int kChunkQubits = 12;
constexpr int kApplyChunkQubits = 10;

// v with its sign flipped when the parity of index & mask is odd.
inline Quad signed_by_parity(Quad v, uint64_t index, uint64_t mask) {
    constexpr int kSignBit = 63;
    const auto sign = int64_t(uint64_t(__builtin_parityll(index & mask)) << kSignBit);
    return _mm256_xor_pd(v, _mm256_castsi256_pd(_mm256_set1_epi64x(sign)));
}

// Groups that agree on their flip above a chunk.
struct Pass {
    uint64_t far = 0;  // flip bits above the chunk: the partner chunk is chunk ^ far
    std::vector<const FlipGroup*> groups;
};

std::vector<Pass> passes_of(const GroupedObservables& observables, int chunk_qubits) {
    std::map<uint64_t, Pass> by_far;
    for (const FlipGroup& g : observables.groups) {
        const uint64_t far = (g.flip >> chunk_qubits) << chunk_qubits;
        by_far[far].far = far;
        by_far[far].groups.push_back(&g);
    }
    std::vector<Pass> passes;
    for (auto& [far, pass] : by_far) passes.push_back(pass);
    return passes;
}

// The chunk layout of a state: 2^chunk_qubits amplitudes each.
struct Chunks {
    int qubits;
    uint64_t size;
    uint64_t count;
};

Chunks chunks_of(unsigned num_qubits, int chunk_qubits) {
    const int q = std::min(int(num_qubits), chunk_qubits);
    return {q, uint64_t{1} << q, uint64_t{1} << (int(num_qubits) - q)};
}

// A group of one class whose sign never changes (X strings): its sums need no parities.
bool unsigned_group(const FlipGroup& g) { return g.classes.size() == 1 && g.classes[0].mask == 0; }

// One group over one chunk: for each register at i and its partner at
// i ^ flip, conj(psi_i) psi_j as (u, v), added per class with its sign to
// sums[2c] and sums[2c + 1]; with `norm`, |psi_i|^2 (and, paired, the
// partner's) added to it. kUnsigned: unsigned_group(g), summed in registers.
template <typename Real, unsigned kPattern, bool kUnsigned>
void read_group(const StateView<Real>& s, uint64_t base, uint64_t size, const FlipGroup& g, Quad* sums, Quad* norm,
                bool paired) {
    using S = Simd<Real>;
    constexpr int kQuads = S::kQuads;
    const uint64_t far = g.flip & ~uint64_t(S::kWidth - 1);
    const size_t classes = g.classes.size();
    Quad unsigned_u = _mm256_setzero_pd();
    Quad unsigned_v = _mm256_setzero_pd();
    for (uint64_t i = base; i < base + size; i += S::kWidth) {
        const uint64_t j = i ^ far;
        Quad ar[kQuads], ai[kQuads], pr[kQuads], pi[kQuads];
        S::widen(S::load(s.re + i), ar);
        S::widen(S::load(s.im + i), ai);
        S::widen(S::template xor_lanes<kPattern>(S::load(s.re + j)), pr);
        S::widen(S::template xor_lanes<kPattern>(S::load(s.im + j)), pi);
        for (int q = 0; q < kQuads; ++q) {
            const Quad u = _mm256_fmadd_pd(ar[q], pr[q], _mm256_mul_pd(ai[q], pi[q]));
            const Quad v = _mm256_fmsub_pd(ar[q], pi[q], _mm256_mul_pd(ai[q], pr[q]));
            const uint64_t index = i + uint64_t(q) * kQuadLanes;
            if constexpr (kUnsigned) {
                unsigned_u = _mm256_add_pd(unsigned_u, u);
                unsigned_v = _mm256_add_pd(unsigned_v, v);
            } else {
                for (size_t c = 0; c < classes; ++c) {
                    const uint64_t mask = g.classes[c].mask;
                    sums[2 * c] = _mm256_add_pd(sums[2 * c], signed_by_parity(u, index, mask));
                    sums[2 * c + 1] = _mm256_add_pd(sums[2 * c + 1], signed_by_parity(v, index, mask));
                }
            }
            if (norm != nullptr) {
                *norm = _mm256_fmadd_pd(ar[q], ar[q], _mm256_fmadd_pd(ai[q], ai[q], *norm));
                if (paired) *norm = _mm256_fmadd_pd(pr[q], pr[q], _mm256_fmadd_pd(pi[q], pi[q], *norm));
            }
        }
    }
    if constexpr (kUnsigned) {
        sums[0] = _mm256_add_pd(sums[0], unsigned_u);
        sums[1] = _mm256_add_pd(sums[1], unsigned_v);
    }
}

double lane_sum(Quad v) { return lane_total<1>(&v); }

// What a group's class sums (and the norm) add to each observable's value.
void add_group_values(const FlipGroup& g, const Quad* sums, double factor, double* values) {
    for (size_t c = 0; c < g.classes.size(); ++c) {
        alignas(sizeof(Quad)) double u[kQuadLanes];
        alignas(sizeof(Quad)) double v[kQuadLanes];
        _mm256_store_pd(u, sums[2 * c]);
        _mm256_store_pd(v, sums[2 * c + 1]);
        for (const LaneWeights& w : g.classes[c].weights) {
            double value = 0.0;
            for (int l = 0; l < kQuadLanes; ++l) value += w.re[l] * u[l] - w.im[l] * v[l];
            values[size_t(w.observable)] += factor * value;
        }
    }
}

// One group over one chunk for apply_observable: for each register at i,
// w(i) psi_{i ^ flip} added to the chunk's double accumulators, w(i) the
// group's signed lane weights (one constant w when kUnsigned).
template <typename Real, unsigned kPattern, bool kUnsigned>
void apply_group(const StateView<Real>& s, uint64_t base, uint64_t size, const FlipGroup& g,
                 const std::vector<double>& weights, Quad* acc_re, Quad* acc_im) {
    using S = Simd<Real>;
    constexpr int kQuads = S::kQuads;
    const uint64_t far = g.flip & ~uint64_t(S::kWidth - 1);
    const size_t classes = g.classes.size();
    for (uint64_t i = base; i < base + size; i += S::kWidth) {
        Quad pr[kQuads], pi[kQuads];
        S::widen(S::template xor_lanes<kPattern>(S::load(s.re + (i ^ far))), pr);
        S::widen(S::template xor_lanes<kPattern>(S::load(s.im + (i ^ far))), pi);
        for (int q = 0; q < kQuads; ++q) {
            const uint64_t index = i + uint64_t(q) * kQuadLanes;
            Quad wr = kUnsigned ? _mm256_loadu_pd(weights.data()) : _mm256_setzero_pd();
            Quad wi = kUnsigned ? _mm256_loadu_pd(weights.data() + kQuadLanes) : _mm256_setzero_pd();
            for (size_t c = 0; c < (kUnsigned ? 0 : classes); ++c) {
                const double* w = weights.data() + 2 * kQuadLanes * c;
                wr = _mm256_add_pd(wr, signed_by_parity(_mm256_loadu_pd(w), index, g.classes[c].mask));
                wi = _mm256_add_pd(wi, signed_by_parity(_mm256_loadu_pd(w + kQuadLanes), index, g.classes[c].mask));
            }
            const uint64_t at = (index - base) / kQuadLanes;
            acc_re[at] = _mm256_add_pd(acc_re[at], _mm256_fmsub_pd(wr, pr[q], _mm256_mul_pd(wi, pi[q])));
            acc_im[at] = _mm256_add_pd(acc_im[at], _mm256_fmadd_pd(wr, pi[q], _mm256_mul_pd(wi, pr[q])));
        }
    }
}

// The lane weights of the single observable's classes side by side (re, then im, per class).
std::vector<double> class_weights(const FlipGroup& g) {
    std::vector<double> out;
    for (const SignClass& c : g.classes) {
        const LaneWeights& w = c.weights.front();
        out.insert(out.end(), w.re, w.re + kQuadLanes);
        out.insert(out.end(), w.im, w.im + kQuadLanes);
    }
    return out;
}

}  // namespace

template <typename Real>
std::vector<double> expectation_values(const StateView<Real>& state, const GroupedObservables& observables,
                                       ThreadTeam team) {
    const size_t count = size_t(observables.count);
    const Chunks chunks = chunks_of(state.num_qubits, kChunkQubits);
    const std::vector<Pass> passes = passes_of(observables, chunks.qubits);
    const FlipGroup* norm_group = observables.reads_norm ? passes.front().groups.front() : nullptr;
    size_t most_classes = 0;
    for (const FlipGroup& g : observables.groups) most_classes = std::max(most_classes, g.classes.size());

    // Every thread's sums, values and slots, made before the region (nothing may throw inside it).
    const int threads = team.threads;
    std::vector<ExactSum> slots;
    for (int t = 0; t < threads; ++t)
        for (size_t k = 0; k < count; ++k) slots.emplace_back(observables.bound[k]);
    const AlignedArray<double> all_sums = allocate_aligned<double>(size_t(threads) * 2 * most_classes * kQuadLanes);
    if (!all_sums) throw std::bad_alloc();
    std::vector<double> all_values(size_t(threads) * count, 0.0);

    on_team(team, [&](int thread, int threads_in_team) {
        Quad* sums = reinterpret_cast<Quad*>(all_sums.get()) + size_t(thread) * 2 * most_classes;
        double* values = all_values.data() + size_t(thread) * count;
        ExactSum* mine = slots.data() + size_t(thread) * count;
        for (const Pass& pass : passes) {
            const bool paired = pass.far != 0;
            const int top = paired ? highest_bit(pass.far >> chunks.qubits) : 0;
            const UnitRange share = static_share(paired ? chunks.count / 2 : chunks.count, thread, threads_in_team);
            for (uint64_t visit = share.begin; visit < share.end; ++visit) {
                const uint64_t base = (paired ? insert_zero_bit(visit, top) : visit) << chunks.qubits;
                for (const FlipGroup* g : pass.groups) {
                    std::fill(sums, sums + 2 * g->classes.size(), _mm256_setzero_pd());
                    Quad norm = _mm256_setzero_pd();
                    Quad* norm_sum = g == norm_group ? &norm : nullptr;
                    const unsigned pattern = unsigned(g->flip & (Simd<Real>::kWidth - 1));
                    with_constant<Simd<Real>::kWidth>(int(pattern), [&](auto p) {
                        with_constant<2>(int(unsigned_group(*g)), [&](auto plain) {
                            read_group<Real, unsigned(decltype(p)::value), bool(decltype(plain)::value)>(
                                state, base, chunks.size, *g, sums, norm_sum, paired);
                        });
                    });
                    add_group_values(*g, sums, paired ? 2.0 : 1.0, values);
                    if (norm_sum != nullptr) {
                        const double total = lane_sum(norm);
                        // Only observables with identity terms read the norm: the value of one
                        // without terms stays 0 whatever the others hold (a NaN state included).
                        for (size_t k = 0; k < count; ++k)
                            if (observables.has_identity[k]) values[k] += observables.identity[k] * total;
                    }
                }
                for (size_t k = 0; k < count; ++k) {
                    mine[k].add(values[k]);
                    values[k] = 0.0;
                }
            }
        }
    });
    std::vector<double> out;
    for (size_t k = 0; k < count; ++k) {
        ExactSum total(observables.bound[k]);
        for (int t = 0; t < threads; ++t) total.add(slots[size_t(t) * count + k]);
        out.push_back(total.value());
    }
    return out;
}

template <typename Real>
double apply_observable(const StateView<Real>& state, const GroupedObservables& observable, StateView<Real>& out,
                        ThreadTeam team) {
    using S = Simd<Real>;
    constexpr int kQuads = S::kQuads;
    // Chunks whose double accumulators stay in L1 while every group adds to them.
    const Chunks chunks = chunks_of(state.num_qubits, kApplyChunkQubits);
    std::vector<std::vector<double>> weights;
    for (const FlipGroup& g : observable.groups) weights.push_back(class_weights(g));
    const uint64_t quads = chunks.size / kQuadLanes;
    const double identity = observable.identity.front();
    const int threads = team.threads;
    const AlignedArray<double> scratch = allocate_aligned<double>(size_t(threads) * 2 * chunks.size);
    if (!scratch) throw std::bad_alloc();
    std::vector<ExactSum> slots(size_t(threads), ExactSum(observable.bound.front()));
    on_team(team, [&](int thread, int threads_in_team) {
        Quad* acc_re = reinterpret_cast<Quad*>(scratch.get()) + size_t(thread) * 2 * quads;
        Quad* acc_im = acc_re + quads;
        const UnitRange share = static_share(chunks.count, thread, threads_in_team);
        for (uint64_t chunk = share.begin; chunk < share.end; ++chunk) {
            const uint64_t base = chunk << chunks.qubits;
            std::fill(acc_re, acc_im + quads, _mm256_setzero_pd());
            for (size_t gi = 0; gi < observable.groups.size(); ++gi) {
                const FlipGroup& g = observable.groups[gi];
                with_constant<S::kWidth>(int(g.flip & (S::kWidth - 1)), [&](auto p) {
                    with_constant<2>(int(unsigned_group(g)), [&](auto plain) {
                        apply_group<Real, unsigned(decltype(p)::value), bool(decltype(plain)::value)>(
                            state, base, chunks.size, g, weights[gi], acc_re, acc_im);
                    });
                });
            }
            // lambda stored; <psi|lambda> and <psi|psi> read on the way.
            Quad dot = _mm256_setzero_pd();
            Quad norm = _mm256_setzero_pd();
            for (uint64_t i = 0; i < chunks.size; i += S::kWidth) {
                const uint64_t at = i / kQuadLanes;
                Quad pr[kQuads], pi[kQuads];
                S::widen(S::load(state.re + base + i), pr);
                S::widen(S::load(state.im + base + i), pi);
                for (int q = 0; q < kQuads; ++q) {
                    dot = _mm256_fmadd_pd(pr[q], acc_re[at + q], _mm256_fmadd_pd(pi[q], acc_im[at + q], dot));
                    norm = _mm256_fmadd_pd(pr[q], pr[q], _mm256_fmadd_pd(pi[q], pi[q], norm));
                }
                S::store(out.re + base + i, S::narrow(acc_re + at));
                S::store(out.im + base + i, S::narrow(acc_im + at));
            }
            // Terms absent read nothing (not even a NaN state), as in expectation_values.
            const double terms = observable.groups.empty() ? 0.0 : lane_sum(dot);
            slots[size_t(thread)].add(terms + (observable.reads_norm ? identity * lane_sum(norm) : 0.0));
        }
    });
    ExactSum total(observable.bound.front());
    for (const ExactSum& slot : slots) total.add(slot);
    return total.value();
}

template std::vector<double> expectation_values<double>(const StateView<double>&, const GroupedObservables&,
                                                        ThreadTeam);
template std::vector<double> expectation_values<float>(const StateView<float>&, const GroupedObservables&,
                                                       ThreadTeam);
template double apply_observable<double>(const StateView<double>&, const GroupedObservables&, StateView<double>&,
                                         ThreadTeam);
template double apply_observable<float>(const StateView<float>&, const GroupedObservables&, StateView<float>&,
                                        ThreadTeam);

}  // namespace wavesim

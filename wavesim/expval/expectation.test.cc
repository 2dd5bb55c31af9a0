// expectation_values and apply_observable against each Pauli letter applied
// as its 2x2 matrix by the scalar reference, on random states of 3 to 16
// qubits in both precisions, with flips reaching above a chunk (paired
// chunks) and sign masks on every qubit; the same bits from a team of
// threads as from a single one.
#include "wavesim/expval/expectation.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <random>

#include "wavesim/base/bits.h"
#include "wavesim/testing/scalar_reference.h"
#include "wavesim/testing/instructions.h"

namespace wavesim {
namespace {

using Complex = scalar_reference::Complex;
using Amplitudes = scalar_reference::Amplitudes;

template <typename Real>
constexpr double kTolerance = std::is_same_v<Real, double> ? 1e-12 : 1e-5;
constexpr int kThreadedQubits = 16;

using scalar_reference::random_state;

// Terms drawn with a few on the highest qubits and some on every qubit.
std::vector<PauliTerm> random_terms(int n, std::mt19937_64& rng) {
    std::uniform_int_distribution<int> letter(0, 3), qubit(0, n - 1), size(1, 3);
    std::uniform_real_distribution<double> coefficient(-1.0, 1.0);
    std::vector<PauliTerm> terms;
    for (int t = 0; t < 8; ++t) {
        PauliTerm term;
        const int count = t == 0 ? n : size(rng);
        for (int k = 0; k < count; ++k) {
            const int q = k == 0 && t < 3 ? n - 1 - t : qubit(rng);
            const int l = letter(rng);
            if (l == 1 || l == 2) term.x_bits |= bit(q);
            if (l == 2 || l == 3) term.z_bits |= bit(q);
        }
        term.coefficient = coefficient(rng);
        terms.push_back(term);
    }
    terms.push_back({0, 0, 0.75});  // identity
    return terms;
}

// O psi, letter by letter with the reference's gate loop.
Amplitudes applied(const Amplitudes& psi, const std::vector<PauliTerm>& terms, bool with_identity) {
    const Complex i(0, 1);
    Amplitudes out(psi.size());
    for (const PauliTerm& t : terms) {
        if (t.x_bits == 0 && t.z_bits == 0 && !with_identity) continue;
        Amplitudes phi = psi;
        for (int q = 0; q < 64; ++q) {
            const bool x = (t.x_bits >> q) & 1, z = (t.z_bits >> q) & 1;
            if (!x && !z) continue;
            const scalar_reference::Operator m = x && z ? scalar_reference::Operator{0, -i, i, 0}
                                                 : x    ? scalar_reference::Operator{0, 1, 1, 0}
                                                        : scalar_reference::Operator{1, 0, 0, -1};
            phi = scalar_reference::apply(phi, {q}, {}, m);
        }
        for (size_t k = 0; k < psi.size(); ++k) out[k] += t.coefficient * phi[k];
    }
    return out;
}

double dot(const Amplitudes& a, const Amplitudes& b) {
    double sum = 0;
    for (size_t k = 0; k < a.size(); ++k) sum += (std::conj(a[k]) * b[k]).real();
    return sum;
}

template <typename Real>
class ExpectationTest : public ::testing::Test {};
using testing_support::Precisions;
TYPED_TEST_SUITE(ExpectationTest, Precisions);

TYPED_TEST(ExpectationTest, MatchPaulisAppliedOneByOne) {
    using Real = TypeParam;
    std::mt19937_64 rng(20261211);
    for (int n : {3, 4, 7, 12, 13, 14, kThreadedQubits}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        Amplitudes psi = random_state(n, rng);
        StateVector<Real> state{unsigned(n)};
        scalar_reference::load(state, psi);
        std::vector<std::vector<PauliTerm>> observables = {random_terms(n, rng), random_terms(n, rng)};
        const GroupedObservables grouped = group_observables(observables);
        const std::vector<double> values = expectation_values(state, grouped, team_for(int(state.num_qubits)));
        for (size_t k = 0; k < observables.size(); ++k)
            EXPECT_NEAR(values[k], dot(psi, applied(psi, observables[k], true)), kTolerance<Real>);

        const GroupedObservables one = group_observables({observables[0]});
        StateVector<Real> out{unsigned(n)};
        const double value = apply_observable(state, one, out, team_for(int(state.num_qubits)));
        EXPECT_NEAR(value, values[0], kTolerance<Real>);
        const Amplitudes want = applied(psi, observables[0], false);
        const Amplitudes got = scalar_reference::read(out);
        for (size_t i = 0; i < want.size(); ++i) EXPECT_LT(std::abs(got[i] - want[i]), kTolerance<Real>);
    }
}

// Inside a batch worker the passes run on one thread; the values are added
// exactly, so they are the bits of the whole team's.
TYPED_TEST(ExpectationTest, OneThreadGivesTheTeamsBits) {
    using Real = TypeParam;
    std::mt19937_64 rng(7);
    Amplitudes psi = random_state(kThreadedQubits, rng);
    StateVector<Real> state(kThreadedQubits);
    scalar_reference::load(state, psi);
    const GroupedObservables grouped = group_observables({random_terms(kThreadedQubits, rng)});
    const std::vector<double> team = expectation_values(state, grouped, ThreadTeam{kHardwareThreads});
    StateVector<Real> out(kThreadedQubits);
    const double team_value = apply_observable(state, grouped, out, ThreadTeam{kHardwareThreads});
    const std::vector<double> alone = expectation_values(state, grouped, ThreadTeam{1});
    const double alone_value = apply_observable(state, grouped, out, ThreadTeam{1});
    EXPECT_EQ(std::memcmp(team.data(), alone.data(), sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&team_value, &alone_value, sizeof(double)), 0);
}

TEST(Expectation, NoObservablesAndEmptyOnes) {
    StateVector<double> state(kMinPassQubits);
    EXPECT_TRUE(expectation_values(state, group_observables({}), ThreadTeam{}).empty());
    EXPECT_EQ(expectation_values(state, group_observables({{}, {{0, 0, 2.0}}}), ThreadTeam{}), (std::vector<double>{0.0, 2.0}));
}

}  // namespace
}  // namespace wavesim

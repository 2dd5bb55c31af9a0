// The grouped form rebuilt into a dense operator against Kronecker products
// of the Pauli matrices, for random observables on up to 5 qubits; the
// groups' order and sharing; every refusal with its message.
#include "wavesim/expval/observable.h"

#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <stdexcept>
#include <string>

#include "wavesim/testing/scalar_reference.h"

namespace wavesim {
namespace {

using scalar_reference::Complex;
using scalar_reference::Dense;
using scalar_reference::kron;

constexpr int kMaxQubits = 5;
constexpr int kObservables = 3;
constexpr int kTrials = 60;
constexpr double kTolerance = 1e-13;

Dense pauli(char letter) {
    const Complex i(0, 1);
    if (letter == 'X') return {{0, 1}, {1, 0}};
    if (letter == 'Y') return {{0, -i}, {i, 0}};
    if (letter == 'Z') return {{1, 0}, {0, -1}};
    return {{1, 0}, {0, 1}};
}

// The sum of coefficient times the Kronecker product, qubit 0 the last factor.
Dense dense_of(const std::vector<TermInput>& terms, int n) {
    const size_t dim = size_t{1} << n;
    Dense total(dim, std::vector<Complex>(dim));
    for (const TermInput& t : terms) {
        Dense product = {{1}};
        for (int q = n - 1; q >= 0; --q) {
            char letter = 'I';
            for (size_t k = 0; k < t.qubits.size(); ++k)
                if (t.qubits[k] == q) letter = t.paulis[k];
            product = kron(product, pauli(letter));
        }
        for (size_t r = 0; r < dim; ++r)
            for (size_t c = 0; c < dim; ++c) total[r][c] += t.coefficient_real * product[r][c];
    }
    return total;
}

// What the passes read off observable k: row i, column i ^ flip gets
// sum over classes of sign(i & mask) * (re + i im)[lane of i]; the identity on the diagonal.
Dense rebuilt(const GroupedObservables& grouped, int k, int n) {
    const size_t dim = size_t{1} << n;
    Dense out(dim, std::vector<Complex>(dim));
    for (size_t i = 0; i < dim; ++i) out[i][i] += grouped.identity[size_t(k)];
    for (const FlipGroup& g : grouped.groups)
        for (const SignClass& c : g.classes)
            for (const LaneWeights& w : c.weights) {
                if (w.observable != k) continue;
                for (uint64_t i = 0; i < dim; ++i) {
                    const double sign = __builtin_parityll(i & c.mask) ? -1.0 : 1.0;
                    const size_t lane = i % kQuadLanes;
                    out[i][i ^ g.flip] += sign * Complex(w.re[lane], w.im[lane]);
                }
            }
    return out;
}

std::vector<TermInput> random_terms(std::mt19937& engine, int n) {
    std::uniform_int_distribution<int> count(0, 6), size(0, n), letter(0, 3);
    std::uniform_real_distribution<double> coefficient(-2.0, 2.0);
    std::vector<TermInput> terms;
    for (int t = count(engine); t > 0; --t) {
        std::vector<int64_t> qubits;
        for (int q = 0; q < n; ++q) qubits.push_back(q);
        std::shuffle(qubits.begin(), qubits.end(), engine);
        qubits.resize(size_t(size(engine)));
        TermInput term;
        for (size_t k = 0; k < qubits.size(); ++k) term.paulis += "IXYZ"[letter(engine)];
        term.qubits = qubits;
        term.coefficient_real = coefficient(engine);
        terms.push_back(term);
        if (!qubits.empty() && letter(engine) == 0) {  // the same X/Y part again, the Z part swapped
            for (char& c : term.paulis) c = c == 'Z' ? 'I' : c == 'I' ? 'Z' : c;
            terms.push_back(term);
        }
    }
    return terms;
}

TEST(GroupObservables, RebuildTheKroneckerOperators) {
    std::mt19937 engine(20261210);
    for (int trial = 0; trial < kTrials; ++trial) {
        const int n = trial % kMaxQubits + 1;
        std::vector<std::vector<TermInput>> inputs;
        std::vector<std::vector<PauliTerm>> checked;
        for (int k = 0; k < kObservables; ++k) {
            inputs.push_back(random_terms(engine, n));
            checked.push_back(check_observable(inputs.back(), n, ""));
        }
        const GroupedObservables grouped = group_observables(checked);
        ASSERT_EQ(grouped.count, kObservables);
        for (size_t g = 1; g < grouped.groups.size(); ++g)
            EXPECT_LT(grouped.groups[g - 1].flip, grouped.groups[g].flip);
        for (int k = 0; k < kObservables; ++k) {
            const Dense want = dense_of(inputs[size_t(k)], n);
            const Dense got = rebuilt(grouped, k, n);
            for (size_t r = 0; r < want.size(); ++r)
                for (size_t c = 0; c < want.size(); ++c) EXPECT_LT(std::abs(got[r][c] - want[r][c]), kTolerance);
            double bound = 0;
            for (const TermInput& t : inputs[size_t(k)]) bound += std::fabs(t.coefficient_real);
            EXPECT_DOUBLE_EQ(grouped.bound[size_t(k)], bound);
        }
    }
}

TEST(GroupObservables, TermsOfOneFlipShareAGroupAndOneSignShareAClass) {
    const std::vector<PauliTerm> ising = {{0, 0b011, 1.0}, {0, 0b110, 1.0}, {0b001, 0, 0.5}, {0b100, 0, 0.5}};
    const std::vector<PauliTerm> other = {{0, 0b011, 2.0}, {0, 0, 3.0}};
    const GroupedObservables g = group_observables({ising, other});
    ASSERT_EQ(g.groups.size(), 3u);  // Z strings, X0, X2
    EXPECT_EQ(g.groups[0].flip, 0u);
    ASSERT_EQ(g.groups[0].classes.size(), 2u);             // ZZ on 0,1 lies in the quad; ZZ on 1,2 does not
    EXPECT_EQ(g.groups[0].classes[0].weights.size(), 2u);  // both observables read ZZ on 0,1
    EXPECT_TRUE(g.reads_norm);
    EXPECT_EQ(g.identity, (std::vector<double>{0.0, 3.0}));
    EXPECT_FALSE(group_observables({ising}).reads_norm);
    const GroupedObservables only_identity = group_observables({{{0, 0, 1.5}}});
    ASSERT_EQ(only_identity.groups.size(), 1u);  // one group of flip 0 reads the norm
    EXPECT_TRUE(only_identity.groups[0].classes.empty());
    EXPECT_TRUE(group_observables({{}}).groups.empty());
}

struct Refusal {
    TermInput term;
    std::string message;
};

TEST(CheckObservable, RefusesWithTheTermAndTheReason) {
    const std::vector<Refusal> refusals = {
        {{"Z", {3}, 1.0, 0.0}, "observable 2, term 1: qubit 3 is outside a circuit of 3 qubits"},
        {{"Z", {-2}, 1.0, 0.0}, "observable 2, term 1: qubit -2 is outside a circuit of 3 qubits"},
        {{"XZ", {1, 1}, 1.0, 0.0}, "observable 2, term 1: names qubit 1 twice"},
        {{"Xq", {0, 1}, 1.0, 0.0},
         "observable 2, term 1: character 1 of the Pauli string, 'q', is not one of I, X, Y, Z"},
        {{std::string("X\0", 2), {0, 1}, 1.0, 0.0},
         "observable 2, term 1: character 1 of the Pauli string, of code 0, is not one of I, X, Y, Z"},
        {{"XY", {0}, 1.0, 0.0}, "observable 2, term 1: 2 Pauli letters but 1 qubits"},
        {{"X", {0}, std::nan(""), 0.0}, "observable 2, term 1: the coefficient is not finite"},
        {{"X", {0}, 1.0, HUGE_VAL}, "observable 2, term 1: the coefficient is not finite"},
        {{"X", {0}, 1.0, -0.5},
         "observable 2, term 1: the coefficient has the imaginary part -0.5: the observable must be Hermitian"},
    };
    for (const Refusal& r : refusals) {
        try {
            check_observable({{"", {}, 1.0, 0.0}, r.term}, 3, "observable 2, ");
            ADD_FAILURE() << r.message;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), r.message);
        }
    }
    EXPECT_EQ(check_observable({{"IYX", {2, 0, 1}, -1.5, -0.0}}, 3, "")[0].x_bits, 0b011u);
}

}  // namespace
}  // namespace wavesim

// Test-only circuits and checks shared by the shot tests: random circuits
// with measurements and resets, and the comparison of a fast count with the
// literal procedure's.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "wavesim/shots/driver.h"
#include "wavesim/shots/outcome_tree.h"
#include "wavesim/testing/instructions.h"
#include "wavesim/testing/literal_shots.h"

namespace wavesim {
namespace shot_tests {

using testing_support::gate;
using testing_support::measure;
using testing_support::Precisions;

// The run of one set on its own worker, as the driver makes it for a call of one batch at a time.
template <typename Real>
struct LoneSetRun {
    SetWorker<Real> worker;
    SetRun<Real> run;
    LoneSetRun(int num_qubits, int batch_index) {
        run.batch_index = batch_index;
        run.team = team_for(num_qubits);
        run.reset_source = &thread_reset_source<Real>();
        run.state_qubits = static_cast<unsigned>(num_qubits);
        run.worker = &worker;
    }
};

// count_batch for batch `batch_index` alone.
template <typename Real>
ShotCounts count_alone(const CircuitData& circuit, const ShotSetup& setup, int batch_index, int shots, int num_cbits,
                       RandomSource& source, int fusion = kFusionOff) {
    LoneSetRun<Real> lone(circuit.num_qubits, batch_index);
    return count_batch<Real>(circuit, setup, lone.run, shots, num_cbits, source, fusion);
}

// Gates of every kernel family and a sprinkling of measurements and resets.
// `batches` angles per rotation make that many batches.
inline CircuitData random_circuit(uint32_t seed, int n, int length, double stochastic_share, int batches = 1) {
    std::mt19937 rng(seed);
    auto qubit = [&] { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    auto angles = [&] {
        std::uniform_real_distribution<double> angle(-3.0, 3.0);
        std::vector<double> values;
        for (int b = 0; b < batches; ++b) values.push_back(angle(rng));
        return values;
    };
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    CircuitData data;
    data.num_qubits = n;
    for (int q = 0; q < n; ++q) data.instructions.push_back(gate("H", {q}));
    for (int i = 0; i < length; ++i) {
        const int32_t a = qubit();
        const int32_t b = (a + 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(n > 1 ? n - 1 : 1))) % n;
        const double roll = unit(rng);
        if (roll < stochastic_share * 0.8) {
            data.instructions.push_back(measure(a, static_cast<int32_t>(rng() % static_cast<uint32_t>(n + 1))));
        } else if (roll < stochastic_share) {
            data.instructions.push_back(gate("RESET", {a}));
        } else if (n > 1 && roll < 0.6) {
            const char* names[] = {"CX", "CZ", "CRY"};
            const std::string name = names[rng() % 3];
            data.instructions.push_back(gate(name, {b}, {a}, name == "CRY" ? angles() : std::vector<double>{}));
        } else {
            const char* names[] = {"RX", "RY", "H", "T"};
            const std::string name = names[rng() % 4];
            data.instructions.push_back(gate(name, {a}, {}, name[0] == 'R' ? angles() : std::vector<double>{}));
        }
    }
    for (int q = 0; q < n; ++q) data.instructions.push_back(measure(q, q));
    return data;
}

// Rounds of a random gate layer followed by measurements and resets of random
// qubits: some qubits are never put in superposition (resets of definite
// qubits), a qubit is often measured twice or reset right after its
// measurement, classical bits are overwritten or lie beyond the register, and
// a random tail of measurements (with repeats) ends the circuit.
inline CircuitData random_dynamic_circuit(uint32_t seed, int n, int rounds, int batches) {
    std::mt19937 rng(seed);
    auto pick = [&](int below) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(below)); };
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    auto angles = [&] {
        std::vector<double> values;
        for (int b = 0; b < batches; ++b) values.push_back(angle(rng));
        return values;
    };
    CircuitData data;
    data.num_qubits = n;
    for (int q = 0; q < n; ++q)
        if (pick(3) != 0) data.instructions.push_back(gate("H", {q}));
    for (int round = 0; round < rounds; ++round) {
        const int gates = pick(2 * n + 1);
        for (int g = 0; g < gates; ++g) {
            const int32_t a = pick(n);
            const int32_t b = (a + 1 + pick(n > 1 ? n - 1 : 1)) % n;
            if (n > 1 && pick(3) == 0) {
                data.instructions.push_back(pick(2) == 0 ? gate("CX", {b}, {a}) : gate("CRY", {b}, {a}, angles()));
            } else {
                const char* names[] = {"RX", "RY", "H", "T"};
                const std::string name = names[pick(4)];
                data.instructions.push_back(gate(name, {a}, {}, name[0] == 'R' ? angles() : std::vector<double>{}));
            }
        }
        const int stochastic = 1 + pick(3);
        for (int k = 0; k < stochastic; ++k) {
            const int32_t q = pick(n);
            switch (pick(5)) {
                case 0: data.instructions.push_back(gate("RESET", {q})); break;
                case 1:  // ancilla read-out and reuse
                    data.instructions.push_back(measure(q, pick(n + 1)));
                    data.instructions.push_back(gate("RESET", {q}));
                    break;
                case 2:
                    data.instructions.push_back(measure(q, pick(n + 1)));
                    data.instructions.push_back(gate("BARRIER", {q}));
                    data.instructions.push_back(measure(q, pick(n + 1)));
                    break;
                default: data.instructions.push_back(measure(q, pick(n + 1)));
            }
        }
    }
    const int tail = 1 + pick(n + 2);
    for (int k = 0; k < tail; ++k) data.instructions.push_back(measure(pick(n), pick(n + 1)));
    return data;
}

// Counts equal, and both streams advanced by the same number of draws, batch
// after batch, against the literal procedure on the per-gate path:
// count_batch (with the procedure it chooses, which on this machine is never
// the one-state fallback), or the outcome tree under `limits` when given.
template <typename Real>
void expect_same_as_literal(const CircuitData& circuit, int shots, int num_cbits, int seed,
                            const OutcomeTreeLimits* limits = nullptr) {
    const ShotSetup setup = setup_shots(circuit, num_cbits);
    RandomSource fast = make_seeded_source(seed);
    RandomSource literal = make_seeded_source(seed);
    if (limits == nullptr) {
        EXPECT_EQ(counting_procedure<Real>(setup, circuit.num_qubits),
                  setup.per_shot ? CountedBy::kOutcomeTree : CountedBy::kSampleOnce);
    }
    for (int b = 0; b < setup.batches; ++b) {
        const ShotCounts want = literal_counts<Real>(circuit, setup, b, shots, num_cbits, literal);
        LoneSetRun<Real> lone(circuit.num_qubits, b);
        const ShotCounts got = limits == nullptr
                                   ? count_batch<Real>(circuit, setup, lone.run, shots, num_cbits, fast, kFusionOff)
                                   : outcome_tree_counts<Real>(circuit, lone.run, shots, num_cbits, fast, *limits);
        EXPECT_EQ(got, want) << "batch " << b << ", seed " << seed;
        EXPECT_TRUE(fast.engine == literal.engine) << "draws consumed differ in batch " << b;
    }
}

}  // namespace shot_tests
}  // namespace wavesim

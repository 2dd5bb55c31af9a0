// Counts and stream positions for fixed seeds, pinned to what the literal
// procedure gave when it applied instructions one at a time through
// apply_one_instruction (the plain per-gate path): the test-only literal
// procedure, the driver's choice and the one-state procedure must not change
// a count or a draw.
#include "wavesim/shots/literal.h"

#include <gtest/gtest.h>

#include "wavesim/testing/shots_circuits.h"

namespace wavesim {
namespace {

using namespace shot_tests;

// Three qubits, two batches: RESETs inside stretches, a MEASURE beyond the
// register, a repeated MEASURE and a gate after the last one.
CircuitData mid_circuit() {
    CircuitData c;
    c.num_qubits = 3;
    c.instructions = {gate("H", {0}),
                      gate("RY", {1}, {}, {0.7, 2.1}),
                      gate("CX", {1}, {0}),
                      measure(0, 0),
                      gate("RESET", {1}),
                      gate("RX", {1}, {}, {1.3, 0.4}),
                      gate("CRY", {2}, {1}, {0.9, -1.7}),
                      gate("RESET", {0}),
                      gate("H", {0}),
                      measure(1, 1),
                      measure(2, 2),
                      measure(0, 5),
                      gate("BARRIER", {2}),
                      measure(2, 2),
                      gate("T", {0})};
    return c;
}

// Sample-once with RESETs that draw before the shots do.
CircuitData resets_before_sampling() {
    CircuitData c;
    c.num_qubits = 3;
    c.instructions = {gate("H", {0}),       gate("H", {1}),     gate("RESET", {0}), gate("RY", {2}, {}, {0.5}),
                      gate("CX", {2}, {1}), gate("RESET", {1}), gate("H", {1}),     measure(0, 0),
                      measure(1, 1),        measure(2, 2)};
    return c;
}

// Sample-once on 17 qubits: a chunked table, each draw walking its chunk.
CircuitData chunked_sampling() {
    CircuitData c;
    c.num_qubits = 17;
    for (int q = 0; q < 17; ++q) c.instructions.push_back(gate("RY", {q}, {}, {0.3 + 0.17 * q}));
    for (int q = 0; q + 1 < 17; ++q) c.instructions.push_back(gate("CX", {q + 1}, {q}));
    c.instructions.push_back(gate("RESET", {5}));
    c.instructions.push_back(gate("H", {5}));
    c.instructions.push_back(gate("CZ", {16}, {5}));
    c.instructions.push_back(measure(0, 0));
    c.instructions.push_back(measure(16, 1));
    c.instructions.push_back(measure(5, 2));
    return c;
}

// Resets of superposed qubits on 15 qubits, whose odds are summed on every thread.
CircuitData wide_resets() {
    CircuitData c;
    c.num_qubits = 15;
    for (int q = 0; q < 15; ++q) c.instructions.push_back(gate("H", {q}));
    for (int q = 0; q + 1 < 15; ++q) c.instructions.push_back(gate("CRY", {q + 1}, {q}, {0.4 + 0.1 * q}));
    int cbit = 0;
    for (int q : {3, 9}) {
        c.instructions.push_back(gate("RESET", {q}));
        c.instructions.push_back(gate("RY", {q}, {}, {1.1}));
        c.instructions.push_back(gate("CX", {q + 1}, {q}));
        c.instructions.push_back(measure(q + 1, cbit++));
    }
    return c;
}

struct PinnedRun {
    CircuitData (*circuit)();
    int num_cbits;
    int shots;
    int seed;
    std::vector<ShotCounts> counts;  // one per batch, the batches drawing in turn from one stream
    double next_draw;                // the stream's next draw after the last batch
};

// Printed by the literal procedure of commit 1010475, which applied every
// instruction through apply_one_instruction (the same for double and float).
const PinnedRun kPinnedRuns[] = {
    {mid_circuit,
     3,
     200,
     1,
     {{{"000", 66}, {"001", 60}, {"010", 23}, {"011", 38}, {"110", 6}, {"111", 7}},
      {{"000", 92}, {"001", 95}, {"010", 2}, {"011", 4}, {"110", 6}, {"111", 1}}},
     0.26866785574837215},
    {mid_circuit,
     3,
     200,
     2024,
     {{{"000", 63}, {"001", 54}, {"010", 35}, {"011", 29}, {"110", 10}, {"111", 9}},
      {{"000", 94}, {"001", 97}, {"010", 1}, {"011", 5}, {"110", 2}, {"111", 1}}},
     0.4386770375439728},
    {resets_before_sampling, 3, 200, 1, {{{"000", 3}, {"010", 7}, {"100", 104}, {"110", 86}}}, 0.0080027109746835245},
    {resets_before_sampling, 3, 200, 2024, {{{"000", 5}, {"010", 11}, {"100", 96}, {"110", 88}}}, 0.30003536077908344},
    {chunked_sampling,
     3,
     300,
     1,
     {{{"000", 77}, {"001", 8}, {"010", 66}, {"011", 2}, {"100", 82}, {"101", 1}, {"110", 60}, {"111", 4}}},
     0.073123311594818108},
    {chunked_sampling,
     3,
     300,
     2024,
     {{{"000", 81}, {"001", 2}, {"010", 59}, {"011", 5}, {"100", 70}, {"101", 6}, {"110", 74}, {"111", 3}}},
     0.12872373735901277},
    {wide_resets, 2, 40, 1, {{{"00", 8}, {"01", 5}, {"10", 10}, {"11", 17}}}, 0.29868024290535777},
    {wide_resets, 2, 40, 2024, {{{"00", 4}, {"01", 10}, {"10", 8}, {"11", 18}}}, 0.97091837446473628},
};

template <typename Real>
class LiteralShots : public ::testing::Test {};
TYPED_TEST_SUITE(LiteralShots, Precisions);

// The counts of batch b from `source` by one procedure.
template <typename Real>
using Procedure = ShotCounts (*)(const CircuitData&, const ShotSetup&, int, int, int, RandomSource&);

template <typename Real>
ShotCounts by_driver(const CircuitData& circuit, const ShotSetup& setup, int b, int shots, int num_cbits,
                     RandomSource& source) {
    return count_alone<Real>(circuit, setup, b, shots, num_cbits, source);
}

// The one-state procedure where the batch is per-shot.
template <typename Real>
ShotCounts by_one_state(const CircuitData& circuit, const ShotSetup& setup, int b, int shots, int num_cbits,
                        RandomSource& source) {
    if (!setup.per_shot) return count_alone<Real>(circuit, setup, b, shots, num_cbits, source);
    LoneSetRun<Real> lone(circuit.num_qubits, b);
    return literal_shot_counts<Real>(circuit, lone.run, shots, num_cbits, source, kFusionOff);
}

// Every procedure, batch after batch from one stream: the pinned counts and the stream's next draw.
TYPED_TEST(LiteralShots, CountsAndDrawsOfThePerInstructionProcedure) {
    const std::pair<const char*, Procedure<TypeParam>> procedures[] = {
        {"per instruction", literal_counts<TypeParam>},
        {"driver", by_driver<TypeParam>},
        {"one state", by_one_state<TypeParam>},
    };
    for (const auto& [name, procedure] : procedures)
        for (size_t r = 0; r < std::size(kPinnedRuns); ++r) {
            const PinnedRun& run = kPinnedRuns[r];
            const CircuitData circuit = run.circuit();
            const ShotSetup setup = setup_shots(circuit, run.num_cbits);
            ASSERT_EQ(static_cast<size_t>(setup.batches), run.counts.size()) << "run " << r;
            RandomSource source = make_seeded_source(run.seed);
            for (int b = 0; b < setup.batches; ++b) {
                EXPECT_EQ(procedure(circuit, setup, b, run.shots, run.num_cbits, source),
                          run.counts[static_cast<size_t>(b)])
                    << name << ", run " << r << ", batch " << b;
            }
            EXPECT_EQ(draw_uniform(source), run.next_draw) << name << ", run " << r;
        }
}

}  // namespace
}  // namespace wavesim

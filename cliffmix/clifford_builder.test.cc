#include "clifford_builder.h"

#include <gtest/gtest.h>

#include <vector>

// Words per gate: position and first qubit, plus the second qubit of a
// two-qubit gate. With one selected gate and four qubits the moduli are 1, 4
// and 3, and only the word 0 (for 3) would be rejected.
TEST(DrawRandomClifford, ConsumesOneWordPerDraw) {
    constexpr int32_t num_gates = 500;
    struct Case {
        const char* gate;
        unsigned long long words_per_gate;
    };
    for (const Case c : {Case{"h", 2}, Case{"cz", 3}, Case{"swap", 3}}) {
        std::mt19937 generator(11), expected(11);
        const CircuitData circuit = draw_random_clifford(4, num_gates, {find_clifford_gate(c.gate)}, generator);
        ASSERT_EQ(circuit.instructions.size(), static_cast<size_t>(num_gates));
        expected.discard(num_gates * c.words_per_gate);
        EXPECT_EQ(generator, expected) << c.gate;
    }
}

TEST(DrawRandomClifford, ZeroGatesDrawNothing) {
    std::mt19937 generator(3), untouched(3);
    EXPECT_TRUE(draw_random_clifford(2, 0, {find_clifford_gate("cx")}, generator).instructions.empty());
    EXPECT_EQ(generator, untouched);
}

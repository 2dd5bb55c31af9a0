#include "clifford_builder.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string failure_of(const std::vector<std::string>& names, const std::vector<std::vector<int32_t>>& indices,
                       int32_t num_qubits = 3) {
    try {
        build_random_clifford_from_indices(num_qubits, names, indices);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

std::vector<const CliffordGate*> whole_list() {
    std::vector<const CliffordGate*> list;
    for (const auto& gate : clifford_gate_list) list.push_back(&gate);
    return list;
}

}  // namespace

TEST(ResolveSeed, NonNegativeSeedIsItsOwnPattern) {
    EXPECT_EQ(resolve_seed(0), 0u);
    EXPECT_EQ(resolve_seed(7), 7u);
    EXPECT_EQ(resolve_seed(INT32_MAX), 0x7fffffffu);
}

TEST(DrawRandomClifford, SameGeneratorStateSameCircuit) {
    std::mt19937 first(5), second(5);
    const CircuitData a = draw_random_clifford(6, 300, whole_list(), first);
    const CircuitData b = draw_random_clifford(6, 300, whole_list(), second);
    ASSERT_EQ(a.instructions.size(), 300u);
    for (size_t i = 0; i < a.instructions.size(); ++i) {
        EXPECT_EQ(a.instructions[i].name, b.instructions[i].name);
        EXPECT_EQ(a.instructions[i].qubits, b.instructions[i].qubits);
        EXPECT_EQ(a.instructions[i].controls, b.instructions[i].controls);
    }
    EXPECT_EQ(first, second);
}

TEST(DrawRandomClifford, EveryOrderedPairAppearsAndNoneRepeatsAQubit) {
    std::mt19937 generator(11);
    const CircuitData circuit = draw_random_clifford(3, 3000, {find_clifford_gate("cz")}, generator);
    std::map<std::pair<int32_t, int32_t>, int> pairs;
    for (const auto& ins : circuit.instructions) {
        ASSERT_EQ(ins.controls.size(), 1u);
        ASSERT_EQ(ins.qubits.size(), 1u);
        ASSERT_NE(ins.controls[0], ins.qubits[0]);
        ++pairs[{ins.controls[0], ins.qubits[0]}];
    }
    EXPECT_EQ(pairs.size(), 6u);
}

TEST(FromIndices, ShortListsAreRejectedBeforeAnyRead) {
    EXPECT_EQ(failure_of({"h"}, {{}}), "qubit_indices[0] has 0 qubit index(es); gate 'h' needs 1");
    EXPECT_EQ(failure_of({"x", "cx"}, {{0}, {1}}), "qubit_indices[1] has 1 qubit index(es); gate 'cx' needs 2");
    EXPECT_EQ(failure_of({"swap"}, {{}}), "qubit_indices[0] has 0 qubit index(es); gate 'swap' needs 2");
}

TEST(FromIndices, NamesAreExact) {
    EXPECT_EQ(failure_of({"H"}, {{0}}),
              "Unsupported gate 'H'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h");
}

TEST(FromIndices, RangeAndDistinctness) {
    EXPECT_EQ(failure_of({"swap"}, {{0, 2, 3}}), "qubit_indices[0][2] = 3 is outside the qubit range 0 ... 2");
    EXPECT_EQ(failure_of({"cx"}, {{INT32_MIN, 0}}),
              "qubit_indices[0][0] = -2147483648 is outside the qubit range 0 ... 2");
    EXPECT_EQ(failure_of({"cz"}, {{1, 1}}), "qubit_indices[0]: gate 'cz' needs two different qubits, got 1 twice");
    EXPECT_EQ(failure_of({"h", "swap"}, {{0}, {2, 0, 1}}), "");
}

TEST(FromIndices, CountChecks) {
    EXPECT_EQ(failure_of({}, {}, 0), "num_qubits must be >= 1");
    EXPECT_EQ(failure_of({"h"}, {}, 2), "gate_names and qubit_indices must have the same length");
}

#include "clifford_builder.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <utility>
#include <vector>

#include "uniform_below.h"

namespace cliffmix {
namespace {

struct Record {
    std::string name;
    std::vector<int32_t> qubits;
    std::vector<int32_t> controls;
    bool operator==(const Record& o) const { return name == o.name && qubits == o.qubits && controls == o.controls; }
    friend std::ostream& operator<<(std::ostream& os, const Record& r) {
        os << r.name << " qubits";
        for (int32_t q : r.qubits) os << ' ' << q;
        os << " controls";
        for (int32_t q : r.controls) os << ' ' << q;
        return os;
    }
};

// The circuit the documented procedure gives from `engine`: per gate a position
// in the selection, a first qubit a, and for a two-qubit gate a second qubit
// drawn below n-1 and moved past a. Controlled gates are written
// controls=[a], qubits=[b]; SWAP qubits=[a, b]; one-qubit gates qubits=[a].
std::vector<Record> replay(std::mt19937& engine, int32_t num_qubits, int32_t num_gates) {
    static const std::pair<const char*, int> kSelection[] = {{"H", 1}, {"CZ", 2}, {"SWAP", 2}};
    std::vector<Record> out;
    for (int32_t i = 0; i < num_gates; ++i) {
        const auto& [name, arity] = kSelection[uniform_below(engine, 3)];
        const auto a = static_cast<int32_t>(uniform_below(engine, uint32_t(num_qubits)));
        if (arity == 1) {
            out.push_back({name, {a}, {}});
            continue;
        }
        auto b = static_cast<int32_t>(uniform_below(engine, uint32_t(num_qubits - 1)));
        if (b >= a) ++b;
        out.push_back(std::string(name) == "SWAP" ? Record{name, {a, b}, {}} : Record{name, {b}, {a}});
    }
    return out;
}

TEST(DrawRandomClifford, BuildsTheCircuitOfTheDrawSequence) {
    constexpr int32_t kNumQubits = 4;
    constexpr int32_t kNumGates = 500;
    const std::vector<const CliffordGate*> selection = {find_clifford_gate("h"), find_clifford_gate("cz"),
                                                        find_clifford_gate("swap")};
    for (uint32_t seed : {11u, 12345u}) {
        std::mt19937 generator(seed), expected_engine(seed);
        const CircuitData circuit = draw_random_clifford(kNumQubits, kNumGates, selection, generator);
        const std::vector<Record> expected = replay(expected_engine, kNumQubits, kNumGates);
        EXPECT_EQ(circuit.num_qubits, kNumQubits);
        ASSERT_EQ(circuit.instructions.size(), expected.size());
        std::set<std::pair<int32_t, int32_t>> pairs;
        for (size_t i = 0; i < expected.size(); ++i) {
            const CircuitInstruction& ins = circuit.instructions[i];
            EXPECT_EQ((Record{ins.name, ins.qubits, ins.controls}), expected[i]) << "gate " << i;
            if (ins.name == "CZ") pairs.insert({ins.controls[0], ins.qubits[0]});
        }
        // Every ordered pair of distinct qubits occurs, and no other.
        EXPECT_EQ(pairs.size(), size_t{kNumQubits * (kNumQubits - 1)});
        for (const auto& [a, b] : pairs) EXPECT_NE(a, b);
        // Nothing drawn beyond what the circuit used.
        EXPECT_EQ(generator, expected_engine);
    }
}

TEST(DrawRandomClifford, ZeroGatesDrawNothing) {
    std::mt19937 generator(3), untouched(3);
    EXPECT_TRUE(draw_random_clifford(2, 0, {find_clifford_gate("cx")}, generator).instructions.empty());
    EXPECT_EQ(generator, untouched);
}

}  // namespace
}  // namespace cliffmix

// Builder units Python cannot see: rotation placement, the fixed tables and
// the table's owner.
#include "n_local_builder.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "gate_tables.h"

namespace ansatzkit {
namespace {

TEST(PlaceRotation, OneQubitGatesStepByOne) {
    for (int a = 0; a < 3; ++a) {
        const auto p = place_rotation(1, a, 3);
        EXPECT_FALSE(p.skip);
        EXPECT_EQ(p.first, a);
        EXPECT_EQ(p.next, a + 1);
    }
}

TEST(PlaceRotation, TwoQubitGatesSkipThePositionThatRunsPastTheEnd) {
    EXPECT_EQ(place_rotation(2, 2, 5).next, 4);
    EXPECT_FALSE(place_rotation(2, 2, 5).skip);
    EXPECT_TRUE(place_rotation(2, 4, 5).skip);
    EXPECT_EQ(place_rotation(2, 4, 5).next, 5);
}

TEST(GateTables, HoldExactlyTheBlockNames) {
    const char* one[] = {"U1", "U2", "U3", "U", "H", "I", "ID", "T", "SX", "X", "Y", "Z", "S", "RX", "RY", "RZ",
                         "P", "SY", "R"};
    const char* two[] = {"SWAP", "ISWAP", "IsingZZ", "RXX", "RYY", "RZZ", "CNOT", "CX", "CZ", "CRX", "CRY", "CRZ"};
    for (const char* name : one) EXPECT_EQ(gate_qubit_count(name), 1) << name;
    for (const char* name : two) EXPECT_EQ(gate_qubit_count(name), 2) << name;
    for (const char* name : {"CY", "CU1", "CU2", "CU3", "ry", "ISINGZZ", ""}) {
        try {
            gate_qubit_count(name);
            FAIL() << name;
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "invalid unordered_map<K, T> key");
        }
    }
    EXPECT_EQ(gate_param_count("CY"), 0);
    EXPECT_EQ(gate_param_count("CU3"), 3);
    EXPECT_EQ(gate_param_count("R"), 2);
    EXPECT_THROW(gate_param_count("rx"), std::out_of_range);
}

TEST(Builder, TableOwnerIsTheRecordBeingBuilt) {
    NLocalRequest request;
    request.num_qubits = 2;
    request.rotation_names = {"RY"};
    request.repetitions = 1;
    request.prefix = "t";
    const CircuitData circuit = build_n_local_data(request);
    EXPECT_NE(circuit.params.owner, nullptr);
    EXPECT_EQ(circuit.params.size, 2);
    EXPECT_EQ(circuit.instructions.size(), 2u);
}

}  // namespace
}  // namespace ansatzkit

#include "clifford_gates.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace cliffmix {
namespace {

const std::string kSupportedSuffix = "'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h";

}  // namespace

TEST(CliffordGates, ListOrderAndTwoQubitSet) {
    std::vector<std::string> names;
    std::set<std::string> two_qubit;
    for (const auto& gate : kCliffordGateList) {
        names.emplace_back(gate.name);
        if (is_two_qubit_gate(gate)) two_qubit.emplace(gate.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"}));
    EXPECT_EQ(two_qubit, (std::set<std::string>{"cx", "cz", "cy", "swap"}));
}

TEST(CliffordGates, LookupIsExact) {
    for (const auto& gate : kCliffordGateList) EXPECT_EQ(find_clifford_gate(gate.name), &gate);
    for (const char* name : {"CX", "Swap", "h ", "", "sd", "sdgg", "ccx"}) EXPECT_EQ(find_clifford_gate(name), nullptr);
}

TEST(CliffordGates, InstructionUsesExactlyTheRequiredIndices) {
    // Sized to the need, so a sanitizer build flags any read past the end.
    for (const auto& gate : kCliffordGateList) {
        std::vector<int32_t> indices{1, 0};
        indices.resize(required_index_count(gate));
        indices.shrink_to_fit();
        const CircuitInstruction ins = make_clifford_instruction(gate, indices.data(), indices.size());
        EXPECT_EQ(ins.qubits.size() + ins.controls.size(), indices.size()) << gate.name;
    }
}

TEST(CliffordGates, UnsupportedMessageShowsValidNamesUnchanged) {
    EXPECT_EQ(unsupported_gate_message("ccx"), "Unsupported gate 'ccx" + kSupportedSuffix);
    EXPECT_EQ(unsupported_gate_message("CX"), "Unsupported gate 'CX" + kSupportedSuffix);
    EXPECT_EQ(unsupported_gate_message(""), "Unsupported gate '" + kSupportedSuffix);
    EXPECT_EQ(unsupported_gate_message("\xc3\xa9h"), "Unsupported gate '\xc3\xa9h" + kSupportedSuffix);
    EXPECT_EQ(unsupported_gate_message("\xf0\x9f\x98\x80"), "Unsupported gate '\xf0\x9f\x98\x80" + kSupportedSuffix);
}

TEST(CliffordGates, UnsupportedMessageEscapesBytesPythonCannotDecode) {
    struct Case {
        std::string name;
        std::string shown;
    };
    const std::vector<Case> cases{
        {"\xff", "\\xff"},
        {"h\xc3", "h\\xc3"},                           // truncated sequence
        {"\xc0\xaf", "\\xc0\\xaf"},                    // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // above U+10FFFF
        {std::string("h\0x", 3), "h\\x00x"},           // NUL would cut the message short
        {"\xc3\xa9\x01", "\\xc3\\xa9\\x01"},           // control byte: the whole name is escaped
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unsupported_gate_message(c.name), "Unsupported gate '" + c.shown + kSupportedSuffix);
    }
}

}  // namespace cliffmix

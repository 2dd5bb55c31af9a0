// The ten Clifford gates of the builder and the mapping from a gate and its
// qubit list to a circuit instruction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "circuit_records.h"

namespace cliffmix {

// How a gate places its qubits in the instruction.
enum class QubitLayout : uint8_t {
    single,      // qubits = [q]
    controlled,  // controls = [a], qubits = [b]
    swap,        // qubits = every index given, in order
};

struct CliffordGate {
    std::string_view name;         // lower case, as callers select it
    std::string_view record_name;  // upper case, as written into the instruction
    QubitLayout layout;
};

inline constexpr size_t clifford_gate_count = 10;

// The order is the one "all" stands for; the random builder draws positions in it.
inline constexpr std::array<CliffordGate, clifford_gate_count> clifford_gate_list{{
    {"cx", "CX", QubitLayout::controlled},
    {"cz", "CZ", QubitLayout::controlled},
    {"cy", "CY", QubitLayout::controlled},
    {"swap", "SWAP", QubitLayout::swap},
    {"x", "X", QubitLayout::single},
    {"y", "Y", QubitLayout::single},
    {"z", "Z", QubitLayout::single},
    {"s", "S", QubitLayout::single},
    {"sdg", "SDG", QubitLayout::single},
    {"h", "H", QubitLayout::single},
}};

// The two-qubit set: cx, cz, cy, swap.
inline bool is_two_qubit_gate(const CliffordGate& gate) { return gate.layout != QubitLayout::single; }

// Number of indices the gate acts on.
inline size_t required_index_count(const CliffordGate& gate) { return is_two_qubit_gate(gate) ? 2 : 1; }

// Exact, case-sensitive lookup; nullptr for a name outside the list.
const CliffordGate* find_clifford_gate(std::string_view name);

// "Unsupported gate '<name>'. Supported: cx, ..., h". A name that is not valid
// UTF-8 or holds control bytes is shown with those bytes escaped, so that the
// message always reaches Python intact.
std::string unsupported_gate_message(std::string_view name);

// The instruction for `gate` on the `count` entries at `indices`; callers make
// sure that count >= required_index_count(gate). Further indices are ignored
// except by "SWAP", which keeps them all.
CircuitInstruction make_clifford_instruction(const CliffordGate& gate, const int32_t* indices, size_t count);

}  // namespace cliffmix

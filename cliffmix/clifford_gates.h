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
    kSingle,      // qubits = [q]
    kControlled,  // controls = [a], qubits = [b]
    kSwap,        // qubits = every index given, in order
};

struct CliffordGate {
    std::string_view name;         // lower case, as callers select it
    std::string_view record_name;  // upper case, as written into the instruction
    QubitLayout layout;
};

inline constexpr size_t kCliffordGateCount = 10;

// The order is the one "all" stands for; the random builder draws positions in it.
inline constexpr std::array<CliffordGate, kCliffordGateCount> kCliffordGateList{{
    {"cx", "CX", QubitLayout::kControlled},
    {"cz", "CZ", QubitLayout::kControlled},
    {"cy", "CY", QubitLayout::kControlled},
    {"swap", "SWAP", QubitLayout::kSwap},
    {"x", "X", QubitLayout::kSingle},
    {"y", "Y", QubitLayout::kSingle},
    {"z", "Z", QubitLayout::kSingle},
    {"s", "S", QubitLayout::kSingle},
    {"sdg", "SDG", QubitLayout::kSingle},
    {"h", "H", QubitLayout::kSingle},
}};

// The two-qubit set: cx, cz, cy, swap.
inline bool is_two_qubit_gate(const CliffordGate& gate) { return gate.layout != QubitLayout::kSingle; }

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

// The simulator's noise channels, beside the gate vocabulary and of its
// shape: one row per exact, case-sensitive name with its parameter count, the
// qubits it acts on and the builder of its action for one parameter set. A
// channel is either a mixture of Pauli products (fixed probabilities: a
// shot's branch never depends on the state) or a set of Kraus operators.
//
// Conventions: a Pauli product on w qubits is numbered in base 4, digit j
// the letter (0 I, 1 X, 2 Y, 3 Z) on qubits[j], so that PAULI_CHANNEL_2's
// probabilities IX, IY, IZ, XI, ..., ZZ (first letter on qubits[0]) are
// products 4, 8, 12, 1, 5, ... in the order given; Kraus operators are
// row-major like every matrix here, bit j of the local index the bit of
// qubits[j].
#pragma once

#include <string_view>
#include <vector>

#include "wavesim/base/matrix.h"

namespace wavesim {

// Letters of a Pauli product on one qubit, and products on two.
constexpr int kPauliLetters = 4;
constexpr int kTwoQubitProducts = kPauliLetters * kPauliLetters;

// probabilities[k] of Pauli product k (kPauliLetters^width entries, product 0
// the identity, left for the caller to fill with the rest) from one set of values.
using PauliMixtureBuilder = void (*)(const double* values, double* probabilities);
// The Kraus operators of one set of values.
using KrausBuilder = std::vector<Matrix> (*)(const double* values);

struct ChannelEntry {
    const char* name;
    int num_params;             // values per parameter set, each a probability in [0, 1]
    int num_qubits;             // 0: one or two, as many as the instruction names (KRAUS)
    PauliMixtureBuilder pauli;  // a Pauli mixture, or nullptr
    KrausBuilder kraus;         // a channel of fixed Kraus form, or nullptr
    // Neither builder: KRAUS, whose operators are the instruction's matrix
    // field, 2^w x 2^w blocks one after another, each column-major.
};

// Every channel, in a fixed order.
const std::vector<ChannelEntry>& channel_catalogue();

// The row of an exact, case-sensitive name; nullptr for a name that is no channel.
const ChannelEntry* find_channel(std::string_view name);

// Pauli product `product` on `width` qubits (row-major, 2^width x 2^width).
Matrix pauli_product(int product, int width);

}  // namespace wavesim

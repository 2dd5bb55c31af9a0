// Entanglement maps: the ordered qubit tuples on which the n-local builder
// places a gate of k >= 2 qubits, and the number of tuples predicted before
// any layer is built (it sizes the parameter table).
//
// Map names, matched exactly: "full", "linear", "reverse_linear", "pairwise",
// "circular".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ansatzkit {

// Tuples of `arity` qubits stored back to back: tuple i occupies
// qubits[i * arity] ... qubits[i * arity + arity - 1].
struct QubitTuples {
    int arity = 0;
    std::vector<int32_t> qubits;
};

inline size_t tuple_count(const QubitTuples& tuples) {
    return tuples.arity > 0 ? tuples.qubits.size() / static_cast<size_t>(tuples.arity) : 0;
}

// Throws std::runtime_error "entanglement type <map> not supported" for an
// unknown map and the pairwise message for "pairwise" with k > 2.
// "full" with fewer than k qubits yields no tuple.
QubitTuples entangler_tuples(const std::string& map, int n, int k);

// Equals the length of entangler_tuples(map, n, k) for n >= k. The window maps
// predict n - k + 1 also below that (negative for n < k - 1), an unknown map
// predicts 0. Throws the pairwise message for "pairwise" with k > 2.
int64_t entangler_gate_count(const std::string& map, int n, int k);

}  // namespace ansatzkit

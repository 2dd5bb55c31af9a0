// Entanglement maps of the n-local builder.
#include "entangler_maps.h"

#include <optional>
#include <stdexcept>

namespace ansatzkit {
namespace {

enum class EntanglerMap { kFull, kLinear, kReverseLinear, kPairwise, kCircular };

std::optional<EntanglerMap> parse_map(const std::string& map) {
    if (map == "full") return EntanglerMap::kFull;
    if (map == "linear") return EntanglerMap::kLinear;
    if (map == "reverse_linear") return EntanglerMap::kReverseLinear;
    if (map == "pairwise") return EntanglerMap::kPairwise;
    if (map == "circular") return EntanglerMap::kCircular;
    return std::nullopt;
}

// Arities below 2 never come from the gate tables; refusing them keeps every
// map's index arithmetic inside its tuple.
void check_arity(int k) {
    if (k < 2) throw std::invalid_argument("entanglement maps need a gate of at least 2 qubits");
}

void check_pairwise_arity(int k) {
    if (k > 2) throw std::runtime_error("Pairwise entanglement gate need less than 3 qubits.");
}

void reserve_tuples(QubitTuples& tuples, int64_t count) {
    if (count <= 0) return;
    size_t elements;
    if (__builtin_mul_overflow(static_cast<size_t>(count), static_cast<size_t>(tuples.arity), &elements)) {
        throw std::length_error("entanglement tuple list too large");
    }
    tuples.qubits.reserve(elements);
}

void append_window(QubitTuples& tuples, int64_t first, int k) {
    for (int j = 0; j < k; ++j) tuples.qubits.push_back(static_cast<int32_t>(first + j));
}

// Subsets in decreasing lexicographic order: start from the largest subset and
// step to each predecessor, the order next_permutation gives on the 0/1
// selection pattern 0...01...1.
void append_full(QubitTuples& tuples, int n, int k) {
    if (n < k) return;
    std::vector<int32_t> subset(static_cast<size_t>(k));
    for (int j = 0; j < k; ++j) subset[j] = n - k + j;
    while (true) {
        tuples.qubits.insert(tuples.qubits.end(), subset.begin(), subset.end());
        // The rightmost element that can move down without meeting its left neighbour.
        int i = k - 1;
        while (i >= 0 && subset[i] == (i == 0 ? 0 : subset[i - 1] + 1)) --i;
        if (i < 0) return;
        --subset[i];
        for (int j = i + 1; j < k; ++j) subset[j] = n - k + j;
    }
}

void append_circular(QubitTuples& tuples, int n, int k) {
    const int64_t modulus = n;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t start = ((modulus + i - k + 1) % modulus + modulus) % modulus;
        for (int64_t j = 0; j < k; ++j) tuples.qubits.push_back(static_cast<int32_t>((start + j) % modulus));
    }
}

int64_t binomial(int n, int k) {
    int64_t c = 1;
    for (int64_t i = 0; i < k; ++i) {
        if (__builtin_mul_overflow(c, n - i, &c)) throw std::length_error("entanglement gate count too large");
        c /= i + 1;
    }
    return c;
}

}  // namespace

QubitTuples entangler_tuples(const std::string& map, int n, int k) {
    check_arity(k);
    const auto kind = parse_map(map);
    if (!kind) throw std::runtime_error("entanglement type " + map + " not supported");
    if (*kind == EntanglerMap::kPairwise) check_pairwise_arity(k);

    // Bounds in 64 bits: n - k must not overflow for any n the caller passes.
    const int64_t last_window = static_cast<int64_t>(n) - k;
    QubitTuples tuples;
    tuples.arity = k;
    reserve_tuples(tuples, entangler_gate_count(map, n, k));
    switch (*kind) {
        case EntanglerMap::kFull: append_full(tuples, n, k); break;
        case EntanglerMap::kLinear:
            for (int64_t i = 0; i <= last_window; ++i) append_window(tuples, i, k);
            break;
        case EntanglerMap::kReverseLinear:
            for (int64_t i = last_window; i >= 0; --i) append_window(tuples, i, k);
            break;
        case EntanglerMap::kPairwise:
            for (int64_t i = 0; i + 1 < n; i += 2) append_window(tuples, i, k);
            for (int64_t i = 1; i + 1 < n; i += 2) append_window(tuples, i, k);
            break;
        case EntanglerMap::kCircular: append_circular(tuples, n, k); break;
    }
    return tuples;
}

int64_t entangler_gate_count(const std::string& map, int n, int k) {
    check_arity(k);
    const auto kind = parse_map(map);
    if (!kind) return 0;
    switch (*kind) {
        case EntanglerMap::kFull: return n < k ? 0 : binomial(n, k);
        case EntanglerMap::kPairwise: check_pairwise_arity(k); [[fallthrough]];
        case EntanglerMap::kLinear:
        case EntanglerMap::kReverseLinear: return static_cast<int64_t>(n) - k + 1;
        case EntanglerMap::kCircular: return n;
    }
    return 0;
}

}  // namespace ansatzkit

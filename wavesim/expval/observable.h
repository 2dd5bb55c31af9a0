// Observables as real sums of Pauli strings: the caller's terms checked and
// turned into bit masks, and several observables grouped for the passes that
// read them off a state (expectation.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wavesim/base/simd.h"

namespace wavesim {

// One term as the caller wrote it: letters I, X, Y, Z on the qubits listed
// in the same order, times a coefficient.
struct TermInput {
    std::string paulis;
    std::vector<int64_t> qubits;
    double coefficient_real = 0.0;
    double coefficient_imag = 0.0;
};

// A checked term: X on the qubits of x_bits, Z on those of z_bits, Y where both.
struct PauliTerm {
    uint64_t x_bits = 0;
    uint64_t z_bits = 0;
    double coefficient = 0.0;
};

// The terms of one observable on `num_qubits` qubits. Refuses, with
// std::invalid_argument "<where>term N: <reason>", a letter other than I, X,
// Y, Z, letters and qubits of different counts, a qubit outside the circuit
// or named twice in a term, a coefficient that is not finite or has a
// nonzero imaginary part (the observable must be Hermitian).
std::vector<PauliTerm> check_observable(const std::vector<TermInput>& input, int num_qubits, const std::string& where);

// With i the index of an amplitude and j = i ^ flip, a term of X/Y part
// `flip` contributes coefficient * phase(i) * conj(psi_i) psi_j, where
// phase(i) = (-i)^(number of Y) (-1)^(parity of i & z_bits). The sign
// splits into the index bits above a quad of kQuadLanes amplitudes (the
// class's `mask`) and a fixed pattern over the quad's lanes, so the terms of
// a class share one signed sum of conj(psi_i) psi_j per quad lane, and each
// observable reads its value off those sums with its lane weights.
struct LaneWeights {
    int observable = 0;
    double re[kQuadLanes] = {};  // real part of coefficient * (-i)^(number of Y) * lane sign, summed over the terms
    double im[kQuadLanes] = {};  // its imaginary part
};

struct SignClass {
    uint64_t mask = 0;                 // bits of z_bits above the quad
    std::vector<LaneWeights> weights;  // by observable, ascending
};

// Terms of one X/Y part, read together in one pass over the state.
struct FlipGroup {
    uint64_t flip = 0;
    std::vector<SignClass> classes;  // by mask, ascending
};

struct GroupedObservables {
    int count = 0;                   // observables
    std::vector<FlipGroup> groups;   // by flip, ascending; identity terms are not in them
    std::vector<double> identity;    // per observable: the sum of its identity terms' coefficients
    std::vector<bool> has_identity;  // per observable: it has identity terms (its value reads <psi|psi>)
    std::vector<double> bound;       // per observable: the sum of its terms' |coefficient|
    bool reads_norm = false;         // some observable has an identity term: the passes read <psi|psi> too
};

// The observables grouped; when identity terms are all there is, one group
// of flip 0 without classes reads the norm.
GroupedObservables group_observables(const std::vector<std::vector<PauliTerm>>& observables);

}  // namespace wavesim

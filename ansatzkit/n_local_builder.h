// The n-local builder: layers of rotation gates alternating with layers of
// entanglement gates, repeated, optionally closed by one more rotation layer.
// Every parametrised gate gets its own entry of the circuit's parameter table,
// named prefix[i] and numbered in emission order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "circuit_records.h"

namespace ansatzkit {

struct NLocalRequest {
    int num_qubits = 0;
    std::vector<std::string> rotation_names;
    std::vector<std::string> entangler_names;
    std::vector<std::string> entangler_maps;  // one map name per entanglement block, by position
    int repetitions = 0;                      // 0 or less runs no repetition
    std::string prefix;
    bool final_rotation = false;
};

// Where a rotation gate of `arity` qubits goes when the walk over the qubits
// stands at `position`: on first, first + 1, ..., unless that runs past the
// last qubit, in which case it is skipped.
struct RotationPlacement {
    int64_t first = 0;
    int64_t next = 0;  // the position the walk continues from
    bool skip = false;
};

RotationPlacement place_rotation(int arity, int64_t position, int num_qubits);

// Throws std::out_of_range "invalid unordered_map<K, T> key" for an unknown
// block name (while counting, before anything is emitted), std::runtime_error
// for an unknown map (when the first entanglement layer is built) and
// "Parameters count mismatch" when the gates emitted would not match the
// table sized beforehand.
CircuitData build_n_local_data(const NLocalRequest& request);

}  // namespace ansatzkit

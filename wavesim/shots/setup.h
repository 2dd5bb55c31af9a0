// What run_cpp settles once per call before any shot: how many batches to
// count, the strategy, and which qubit each counted MEASURE writes to which
// classical bit; with the helpers that read and write the result keys.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/batch/batch_count.h"
#include "wavesim/plan/compile.h"

namespace wavesim {

struct MeasuredBit {
    int32_t qubit;
    int32_t cbit;
};

struct ShotSetup {
    int batches = 1;                    // counted separately: the circuit's batch_count, at least 1
    bool per_shot = false;              // some operation follows a measurement
    std::vector<MeasuredBit> measured;  // counted MEASUREs, in circuit order
};

// Result keys in ascending byte order, as the result dicts list them.
using ShotCounts = std::map<std::string, int>;

// The call set-up in order: refuses a circuit without MEASURE, counts batches,
// picks the strategy, builds the map. Then refuses, before any shot can touch a
// state, counted MEASUREs and RESETs on qubits outside the register and
// negative classical bits (skipped when num_qubits is out of range: creating
// the state reports that first). `read_bound_shape` as for batch_count.
ShotSetup setup_shots(const CircuitData& circuit, int num_cbits, TensorShapeReader read_bound_shape = nullptr);

// A MEASURE that takes a draw and writes a bit.
bool is_counted_measure(const CircuitInstruction& instruction, int num_cbits);

// The all-'0' key of a fresh classical register; negative widths fail as
// std::length_error("vector too long"), like the register's own allocation.
std::string empty_key(int num_cbits);

// Writes classical bit `cbit` (bit 0 is the rightmost character).
inline void set_key_bit(std::string& key, int32_t cbit, int bit) {
    key[key.size() - 1 - static_cast<size_t>(cbit)] = bit != 0 ? '1' : '0';
}

}  // namespace wavesim

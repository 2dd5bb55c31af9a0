// Operation list of a quantum-volume circuit: n * (n / 2) "su4" records, each
// a Haar-random 4x4 unitary on two distinct qubits, filled by an OpenMP team.
#pragma once

#include <cstdint>
#include <vector>

#include "circuit_records.h"

namespace brickgen {

// Records handed to one thread at a time; consecutive records of a chunk use
// an unbroken stretch of that thread's qubit sequence.
constexpr int kRecordsPerChunk = 128;

// n * (n / 2). Throws std::invalid_argument for a negative n or one whose
// count does not fit a 32-bit int.
int32_t qv_record_count(int n);

// Builds the list on the OpenMP team. Record k gets the unitary of its record
// seed (the same for every thread count) and a qubit pair from the filling
// thread's own generator, created on the thread's first record and never
// re-seeded afterwards. An exception on any thread stops the filling and is
// rethrown on the caller. `unused` is accepted for the interface's sake.
std::vector<CircuitInstruction> build_qv_op_list_ultra(int n, int unused, int seed);
std::vector<CircuitInstruction> build_qv_op_list(int n, int unused, int seed);

}  // namespace brickgen

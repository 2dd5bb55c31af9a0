// Applying a stretch of a circuit with cache blocking: consecutive gates that
// act only on qubits below kBlockQubits act inside every aligned block of
// 2^kBlockQubits amplitudes on its own, so such a run is applied block by
// block (every gate of the run to one block while it sits in cache) instead of
// gate by gate over the whole state. Each block goes through the same kernels
// with the same arithmetic in the same order, so the result is bit-identical
// to applying the instructions one by one.
#pragma once

#include <cstddef>
#include <vector>

#include "circuit_records.h"
#include "gate_application.h"
#include "measurement.h"
#include "state_vector.h"

// 2^14 amplitudes of both arrays: 256 KiB in double, well inside a core's L2.
constexpr int kBlockQubits = 14;

// Smaller states are served by the per-gate path: their sweeps stay in cache anyway.
constexpr unsigned kMinBlockedQubits = 15;

// A run of fewer gates gains nothing over the per-gate path.
constexpr size_t kMinRunGates = 2;

// End (exclusive) of the blockable run starting at `begin`: skip names stay
// inside a run whatever their qubits; RESET and any gate with a target or
// control outside 0 ... kBlockQubits-1 end it. Returns `begin` when the
// instruction at `begin` cannot start a run.
size_t blockable_run_end(const std::vector<CircuitInstruction>& instructions, size_t begin, size_t end);

// Instructions [begin, end) applied to `state` as apply_instruction would,
// blockable runs block by block. Every instruction of a run is checked (and
// its matrix resolved) before the run touches the state, so a refused one
// raises what apply_instruction raises for it, in the same order.
template <typename Real>
void apply_instructions(StateVector<Real>& state, const std::vector<CircuitInstruction>& instructions, size_t begin,
                        size_t end, GateMatrixCache& cache, int batch_index, RandomSource& source);

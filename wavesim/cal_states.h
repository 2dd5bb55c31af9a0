// The driver behind cal_states_cpp: evolve |0...0> through a circuit, once or
// once per parameter set, and return the final amplitudes as a NumPy array.
#pragma once

#include <pybind11/pybind11.h>

#include "amplitude_buffer.h"
#include "circuit_records.h"

// complex128 (Real = double) or complex64 (Real = float); shape (2^n,) for a
// single run, (B, 2^n) for B >= 2 parameter sets. Needs the interpreter lock.
template <typename Real>
pybind11::object cal_states(const CircuitData& circuit);

// All of cal_states but the NumPy array: the final amplitudes of each of
// `batches` parameter sets (one row when batches <= 1), in one buffer.
template <typename Real>
AmplitudeBuffer<Real> final_amplitudes(const CircuitData& circuit, int batches);

// Threads for the region over `batches` parameter sets of `num_qubits` qubits.
// Small states cannot use threads inside their kernels, so their batches are
// spread over the hardware threads instead.
int batch_thread_count(int num_qubits, int batches);

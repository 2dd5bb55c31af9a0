// The buffer a cal_states_cpp result lives in: filled without the interpreter
// (by several threads for a batch), then handed to NumPy without a copy.
#pragma once

#include <pybind11/numpy.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "state_vector.h"

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <typename Real>
struct AmplitudeBuffer {
    std::unique_ptr<std::complex<Real>, FreeDeleter> data;
    std::vector<pybind11::ssize_t> shape;
};

// `rows` rows of 2^num_qubits amplitudes, uninitialised. A row longer than any
// vector can be fails with std::length_error("vector too long"); a total that
// cannot be had fails with std::bad_alloc.
template <typename Real>
AmplitudeBuffer<Real> allocate_amplitudes(int num_qubits, uint64_t rows, bool batched);

// Writes the state's amplitudes interleaved (re, im) to `out`.
template <typename Real>
void copy_amplitudes(const StateVector<Real>& state, std::complex<Real>* out);

// A NumPy array (complex128 or complex64, C-contiguous) that takes over the buffer.
template <typename Real>
pybind11::array to_numpy(AmplitudeBuffer<Real>&& buffer);

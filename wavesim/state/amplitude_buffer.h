// The buffer a cal_states_cpp result lives in: filled without the interpreter
// (by several threads for a batch); the binding hands it to NumPy without a copy.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "wavesim/state/state_vector.h"

namespace wavesim {

// Frees an array made by allocate_amplitudes: mapped pages or heap memory by its size.
struct AmplitudeRelease {
    size_t bytes = 0;
    void operator()(void* data) const;
};

template <typename Real>
struct AmplitudeBuffer {
    std::unique_ptr<std::complex<Real>, AmplitudeRelease> data;
    std::vector<int64_t> shape;  // (2^n) or (rows, 2^n)
};

// `rows` rows of 2^num_qubits amplitudes, uninitialised (a buffer of 32 MiB
// or more is mapped: its pages are committed by the first writes). A row longer than any
// vector can be fails with std::length_error("vector too long"); a total that
// cannot be had fails with std::bad_alloc.
template <typename Real>
AmplitudeBuffer<Real> allocate_amplitudes(int num_qubits, uint64_t rows, bool batched);

// Amplitudes converted between two releases of the state's pages: what a
// conversion adds to the memory of one state.
constexpr uint64_t kConversionChunk = uint64_t{1} << 18;

// Writes the state's amplitudes interleaved (re, im) to `out`, `chunk` at a
// time (each thread its own range of chunks), and gives each converted chunk
// of the component arrays back to the operating system, so that the state and
// its result together never hold much more than one of them (a chunk of a
// whole number of pages leaves nothing behind; otherwise the pages across
// chunk boundaries stay until the state goes). Consumes an owning state:
// released pages read as zero.
template <typename Real>
void move_amplitudes(StateVector<Real>& state, std::complex<Real>* out, uint64_t chunk = kConversionChunk);

// Writes the state's amplitudes interleaved to `out` and leaves the state
// |0...0> again, in one pass: a worker's state serves its next parameter set
// without new pages.
template <typename Real>
void copy_and_clear(StateView<Real>& state, std::complex<Real>* out);

}  // namespace wavesim

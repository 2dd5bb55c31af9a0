// Result buffers and the moves of a state into them.
#include "wavesim/state/amplitude_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "wavesim/base/page_memory.h"
#include "wavesim/base/threads.h"

namespace wavesim {
namespace {

// The largest element count a std::vector of complex values may have on the
// platform the result sizes are defined by (size_t bytes / element size).
template <typename Real>
constexpr uint64_t max_row_length() {
    return SIZE_MAX / sizeof(std::complex<Real>);
}

constexpr int kIndexBits = 64;

// Results below this size come from the heap, so a loop of calls does not
// pay the kernel's zeroing of fresh pages for every result: the small ones
// (below kMappedBytes) are kept for the next call (take_block), and glibc keeps
// a freed block of up to 32 MiB for the next malloc of its size (not for an
// aligned one, which asks for more). Results are only written, so reused
// memory needs no clearing. Larger ones are mapped on 2 MiB boundaries and
// committed by their first writes.
constexpr size_t kMappedResultBytes = size_t{32} << 20;

}  // namespace

void AmplitudeRelease::operator()(void* data) const {
    if (bytes >= kMappedResultBytes) unmap_pages(data, bytes);
    else if (bytes >= kMappedBytes) std::free(data);
    else give_block(data, bytes);
}

template <typename Real>
AmplitudeBuffer<Real> allocate_amplitudes(int num_qubits, uint64_t rows, bool batched) {
    if (num_qubits < 0) throw std::runtime_error("StateVector: num_qubits out of supported range");
    if (num_qubits >= kIndexBits) throw std::length_error("vector too long");
    const uint64_t dim = uint64_t{1} << num_qubits;
    if (dim > max_row_length<Real>()) throw std::length_error("vector too long");
    if (rows != 0 && dim > max_row_length<Real>() / rows) throw std::bad_alloc();
    const size_t bytes = static_cast<size_t>(rows * dim * sizeof(std::complex<Real>));
    void* memory = bytes >= kMappedResultBytes ? map_pages(bytes)
                   : bytes >= kMappedBytes     ? std::malloc(bytes)
                                               : take_block(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    AmplitudeBuffer<Real> buffer;
    buffer.data = std::unique_ptr<std::complex<Real>, AmplitudeRelease>(static_cast<std::complex<Real>*>(memory),
                                                                        AmplitudeRelease{bytes});
    if (batched) buffer.shape.push_back(static_cast<int64_t>(rows));
    buffer.shape.push_back(static_cast<int64_t>(dim));
    return buffer;
}

template <typename Real>
void move_amplitudes(StateVector<Real>& state, std::complex<Real>* out, uint64_t chunk) {
    const Real* re = state.re;
    const Real* im = state.im;
    const uint64_t chunks = (state.dim + chunk - 1) / chunk;
    const int threads = thread_count_for(static_cast<int>(state.num_qubits));
    // Each thread moves a contiguous range of whole chunks and gives back each
    // chunk it has moved, so the threads never wait for each other.
#pragma omp parallel num_threads(threads) if (threads > 1)
    {
        const UnitRange share = static_share(chunks, omp_get_thread_num(), omp_get_num_threads());
        for (uint64_t c = share.begin; c < share.end; ++c) {
            const uint64_t begin = c * chunk;
            const uint64_t end = std::min(state.dim, begin + chunk);
            for (uint64_t k = begin; k < end; ++k) out[k] = std::complex<Real>(re[k], im[k]);
            release_consumed(state.re, state.component_bytes(), begin * sizeof(Real), end * sizeof(Real));
            release_consumed(state.im, state.component_bytes(), begin * sizeof(Real), end * sizeof(Real));
        }
    }
}

template <typename Real>
void copy_and_clear(StateView<Real>& state, std::complex<Real>* out) {
    Real* re = state.re;
    Real* im = state.im;
    const auto dim = static_cast<int64_t>(state.dim);
    const int threads = thread_count_for(static_cast<int>(state.num_qubits));
#pragma omp parallel for schedule(static) num_threads(threads) if (threads > 1)
    for (int64_t k = 0; k < dim; ++k) {
        out[k] = std::complex<Real>(re[k], im[k]);
        re[k] = Real(0);
        im[k] = Real(0);
    }
    re[0] = Real(1);
}

template AmplitudeBuffer<double> allocate_amplitudes<double>(int, uint64_t, bool);
template AmplitudeBuffer<float> allocate_amplitudes<float>(int, uint64_t, bool);
template void move_amplitudes<double>(StateVector<double>&, std::complex<double>*, uint64_t);
template void move_amplitudes<float>(StateVector<float>&, std::complex<float>*, uint64_t);
template void copy_and_clear<double>(StateView<double>&, std::complex<double>*);
template void copy_and_clear<float>(StateView<float>&, std::complex<float>*);

}  // namespace wavesim

#include "amplitude_buffer.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

#include "threads.h"

namespace py = pybind11;

namespace {

// The largest element count a std::vector of complex values may have on the
// platform the result sizes are defined by (size_t bytes / element size).
template <typename Real>
constexpr uint64_t max_row_length() {
    return SIZE_MAX / sizeof(std::complex<Real>);
}

constexpr int kIndexBits = 64;

}  // namespace

template <typename Real>
AmplitudeBuffer<Real> allocate_amplitudes(int num_qubits, uint64_t rows, bool batched) {
    if (num_qubits < 0) throw std::runtime_error("StateVector: num_qubits out of supported range");
    if (num_qubits >= kIndexBits) throw std::length_error("vector too long");
    const uint64_t dim = uint64_t{1} << num_qubits;
    if (dim > max_row_length<Real>()) throw std::length_error("vector too long");
    if (rows != 0 && dim > max_row_length<Real>() / rows) throw std::bad_alloc();
    const size_t bytes = static_cast<size_t>(rows * dim * sizeof(std::complex<Real>));
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) throw std::bad_alloc();
    AmplitudeBuffer<Real> buffer;
    buffer.data.reset(static_cast<std::complex<Real>*>(memory));
    if (batched) buffer.shape.push_back(static_cast<py::ssize_t>(rows));
    buffer.shape.push_back(static_cast<py::ssize_t>(dim));
    return buffer;
}

template <typename Real>
void copy_amplitudes(const StateVector<Real>& state, std::complex<Real>* out) {
    const Real* re = state.re;
    const Real* im = state.im;
    const auto dim = static_cast<int64_t>(state.dim);
#pragma omp parallel for schedule(static) num_threads(thread_count_for(static_cast<int>(state.num_qubits)))
    for (int64_t k = 0; k < dim; ++k) out[k] = std::complex<Real>(re[k], im[k]);
}

template <typename Real>
py::array to_numpy(AmplitudeBuffer<Real>&& buffer) {
    std::complex<Real>* data = buffer.data.get();
    py::capsule owner(data, [](void* p) { std::free(p); });
    buffer.data.release();
    return py::array_t<std::complex<Real>>(buffer.shape, data, owner);
}

template AmplitudeBuffer<double> allocate_amplitudes<double>(int, uint64_t, bool);
template AmplitudeBuffer<float> allocate_amplitudes<float>(int, uint64_t, bool);
template void copy_amplitudes<double>(const StateVector<double>&, std::complex<double>*);
template void copy_amplitudes<float>(const StateVector<float>&, std::complex<float>*);
template py::array to_numpy<double>(AmplitudeBuffer<double>&&);
template py::array to_numpy<float>(AmplitudeBuffer<float>&&);

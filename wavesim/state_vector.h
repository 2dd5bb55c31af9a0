// The simulator's state: 2^n complex amplitudes kept as two separate
// 64-byte-aligned arrays (real parts, imaginary parts) so that kernels load
// four doubles or eight floats of one component per 256-bit vector.
// Amplitude k is (re[k], im[k]); bit q of k is the value of qubit q.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

constexpr unsigned kMaxStateQubits = 62;
constexpr size_t kStateAlignment = 64;

// Whether `bytes` more could ever be held by this machine (RAM plus swap).
// Linux grants far larger allocations than it can back and kills the process
// when they are touched, so sizes beyond the machine are refused up front.
bool machine_can_hold(uint64_t bytes);

// Zeroes `bytes` bytes, spread over the thread rule's count for `num_qubits`.
void zero_fill(void* data, size_t bytes, unsigned num_qubits);

template <typename Real>
struct StateVector {
    uint32_t num_qubits = 0;
    uint64_t dim = 0;
    Real* re = nullptr;
    Real* im = nullptr;
    bool owns = false;

    // |0...0> on `n` qubits. A negative count converted to unsigned is out of range too.
    explicit StateVector(unsigned n) {
        if (n > kMaxStateQubits) throw std::runtime_error("StateVector: num_qubits out of supported range");
        const uint64_t count = uint64_t{1} << n;
        // Byte counts that would not fit in size_t (beyond 2^59 doubles) cannot be allocated at all;
        // refuse them here instead of letting the multiplication wrap to a small size.
        constexpr uint64_t kLargestCount = (SIZE_MAX - kStateAlignment) / sizeof(Real) / 2;
        if (count > kLargestCount || !machine_can_hold(2 * count * sizeof(Real)))
            throw std::runtime_error("Failed to allocate memory for StateVector");
        const size_t bytes = round_up(static_cast<size_t>(count) * sizeof(Real));
        re = static_cast<Real*>(std::aligned_alloc(kStateAlignment, bytes));
        im = static_cast<Real*>(std::aligned_alloc(kStateAlignment, bytes));
        if (re == nullptr || im == nullptr) {
            std::free(re);
            std::free(im);
            throw std::runtime_error("Failed to allocate memory for StateVector");
        }
        num_qubits = n;
        dim = count;
        owns = true;
        zero_fill(re, bytes, n);
        zero_fill(im, bytes, n);
        re[0] = Real(1);
    }

    // A view of `n` qubits on arrays owned elsewhere (a block of a larger
    // state, for instance); they must be aligned as an owned state's are.
    StateVector(unsigned n, Real* re_data, Real* im_data)
        : num_qubits(n), dim(uint64_t{1} << n), re(re_data), im(im_data), owns(false) {}

    StateVector(const StateVector&) = delete;
    StateVector& operator=(const StateVector&) = delete;

    ~StateVector() {
        if (owns) {
            std::free(re);
            std::free(im);
        }
    }

private:
    // aligned_alloc wants a multiple of the alignment.
    static size_t round_up(size_t bytes) { return (bytes + kStateAlignment - 1) / kStateAlignment * kStateAlignment; }
};

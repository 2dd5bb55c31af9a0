// The simulator's state: 2^n complex amplitudes kept as two separate
// 64-byte-aligned arrays (real parts, imaginary parts) so that kernels load
// four doubles or eight floats of one component per 256-bit vector.
// Amplitude k is (re[k], im[k]); bit q of k is the value of qubit q.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace wavesim {

constexpr unsigned kMaxStateQubits = 62;
constexpr size_t kStateAlignment = 64;

// Component arrays of at least this many bytes are mapped from the operating
// system: their pages are zero until first touched (no clearing pass, no
// memory used for amplitudes never written) and can be given back one range
// at a time. Smaller ones come from the heap.
constexpr size_t kMappedComponentBytes = size_t{1} << 20;

// Whether `bytes` more fit in the memory the machine has available now (free
// and reclaimable memory plus free swap). Linux grants far larger allocations
// than it can back and kills the process when they are touched, so a state
// that cannot fit is refused before its pages are committed.
bool memory_available_for(uint64_t bytes);

// A zeroed, kStateAlignment-aligned component array of `bytes` bytes, or
// nullptr when it cannot be had.
void* allocate_component(size_t bytes);
void free_component(void* data, size_t bytes);

// The bytes before `end` of a component array of `bytes` bytes are no longer
// needed: gives the pages from the one holding `begin` up to `end` (the last,
// partial page too when `end` reaches `bytes`) back to the operating system;
// they read as zero afterwards. Heap arrays keep their memory.
void release_consumed(void* data, size_t bytes, size_t begin, size_t end);

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
        if (count > kLargestCount) throw std::runtime_error("Failed to allocate memory for StateVector");
        const size_t bytes = static_cast<size_t>(count) * sizeof(Real);
        if (bytes >= kMappedComponentBytes && !memory_available_for(2 * uint64_t{bytes}))
            throw std::runtime_error("Failed to allocate memory for StateVector");
        re = static_cast<Real*>(allocate_component(bytes));
        im = static_cast<Real*>(allocate_component(bytes));
        if (re == nullptr || im == nullptr) {
            free_component(re, bytes);
            free_component(im, bytes);
            throw std::runtime_error("Failed to allocate memory for StateVector");
        }
        num_qubits = n;
        dim = count;
        owns = true;
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
            free_component(re, component_bytes());
            free_component(im, component_bytes());
        }
    }

    size_t component_bytes() const { return static_cast<size_t>(dim) * sizeof(Real); }
};

}  // namespace wavesim

// The simulator's state: 2^n complex amplitudes kept as two separate
// 64-byte-aligned arrays (real parts, imaginary parts) so that kernels load
// four doubles or eight floats of one component per 256-bit vector.
// Amplitude k is (re[k], im[k]); bit q of k is the value of qubit q.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "wavesim/base/page_memory.h"
#include "wavesim/base/threads.h"

namespace wavesim {

constexpr unsigned kMaxStateQubits = 62;
constexpr size_t kStateAlignment = 64;

// A zeroed, kStateAlignment-aligned component array of `bytes` bytes, or
// nullptr when it cannot be had. A large one is mapped and its pages written
// before anything reads them, `threads` threads each writing one share.
void* allocate_component(size_t bytes, int threads);
void free_component(void* data, size_t bytes);

// The bytes [begin, end) of a component array of `bytes` bytes are no longer
// needed: gives the pages wholly inside them back to the operating system
// (they read as zero afterwards). Heap arrays keep their memory.
void release_consumed(void* data, size_t bytes, size_t begin, size_t end);

// Refuses (std::runtime_error "<operation> addresses qubit q, outside a state
// of n qubits") a qubit that does not index a state of `num_qubits` qubits.
void check_qubit(const char* operation, int64_t qubit, int64_t num_qubits);

// Refuses (std::runtime_error) a qubit count no state can have, as making one would.
inline void check_state_qubits(int64_t num_qubits) {
    if (num_qubits < 0 || num_qubits > int64_t{kMaxStateQubits})
        throw std::runtime_error("StateVector: num_qubits out of supported range");
}

// Heap arrays aligned as a state's components, freed with std::free.
struct FreeAligned {
    void operator()(void* data) const { std::free(data); }
};
template <typename Real>
using AlignedArray = std::unique_ptr<Real, FreeAligned>;

// `count` values, uninitialised; empty when the memory is not there.
template <typename Real>
AlignedArray<Real> allocate_aligned(size_t count) {
    const size_t bytes = (count * sizeof(Real) + kStateAlignment - 1) / kStateAlignment * kStateAlignment;
    return AlignedArray<Real>(
        static_cast<Real*>(std::aligned_alloc(kStateAlignment, bytes > 0 ? bytes : kStateAlignment)));
}

// The amplitudes a kernel works on: two component arrays of 2^num_qubits
// values, aligned as an owned state's are, owned elsewhere (by a
// StateVector, or a block or half of a larger state).
template <typename Real>
struct StateView {
    uint32_t num_qubits = 0;
    uint64_t dim = 0;
    Real* re = nullptr;
    Real* im = nullptr;

    StateView() = default;
    StateView(unsigned n, Real* re_data, Real* im_data)
        : num_qubits(n), dim(uint64_t{1} << n), re(re_data), im(im_data) {}

    size_t component_bytes() const { return static_cast<size_t>(dim) * sizeof(Real); }
};

// A state that owns its arrays: |0...0> when made, freed when it goes. It is
// the view of its own arrays, so it goes wherever a view does.
template <typename Real>
struct StateVector : StateView<Real> {
    // |0...0> on `n` qubits. A negative count converted to unsigned is out of range too.
    explicit StateVector(unsigned n) {
        check_state_qubits(n);
        const uint64_t count = uint64_t{1} << n;
        // Byte counts that would not fit in size_t (beyond 2^59 doubles) cannot be allocated at all;
        // refuse them here instead of letting the multiplication wrap to a small size.
        constexpr uint64_t kLargestCount = (SIZE_MAX - kStateAlignment) / sizeof(Real) / 2;
        if (count > kLargestCount) throw std::runtime_error("Failed to allocate memory for StateVector");
        const size_t bytes = static_cast<size_t>(count) * sizeof(Real);
        if (bytes >= kMappedBytes && !memory_available_for(2 * uint64_t{bytes}))
            throw std::runtime_error("Failed to allocate memory for StateVector");
        const int threads = thread_count_for(int(n));
        Real* re = static_cast<Real*>(allocate_component(bytes, threads));
        Real* im = static_cast<Real*>(allocate_component(bytes, threads));
        if (re == nullptr || im == nullptr) {
            free_component(re, bytes);
            free_component(im, bytes);
            throw std::runtime_error("Failed to allocate memory for StateVector");
        }
        static_cast<StateView<Real>&>(*this) = StateView<Real>(n, re, im);
        re[0] = Real(1);
    }

    StateVector(const StateVector&) = delete;
    StateVector& operator=(const StateVector&) = delete;

    ~StateVector() {
        free_component(this->re, this->component_bytes());
        free_component(this->im, this->component_bytes());
    }
};

// Puts a state back to |0...0> for its next use.
template <typename Real>
void set_zero_state(StateView<Real>& state) {
    std::memset(state.re, 0, state.component_bytes());
    std::memset(state.im, 0, state.component_bytes());
    state.re[0] = Real(1);
}

}  // namespace wavesim

// Moving a state into its result: every amplitude arrives bit for bit, for
// chunks that do and do not divide the state, on heap and mapped arrays; the
// mapped arrays are given back entirely when the chunks are whole pages. Fresh states read |0...0> whether
// their memory is heap, mapped, huge pages or reused.
#include "wavesim/state/amplitude_buffer.h"
#include "wavesim/testing/instructions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

namespace wavesim {
namespace {

template <typename Real>
class AmplitudeBufferTest : public ::testing::Test {};
using testing_support::Precisions;
TYPED_TEST_SUITE(AmplitudeBufferTest, Precisions);

// Qubit counts whose component arrays are mapped in both precisions, and one below;
// from kHugeQubits on every component spans whole huge pages.
constexpr unsigned kMappedQubits = 18;
constexpr unsigned kHeapQubits = 12;
constexpr unsigned kHugeQubits = 20;
constexpr uint64_t kPageBytes = 4096;

template <typename Real>
bool is_mapped(const StateVector<Real>& s) {
    return s.component_bytes() >= kMappedBytes;
}

// Random bit patterns, so that signed zeros, subnormals and NaN payloads must survive too.
template <typename Real>
void fill_bits(StateVector<Real>& s, uint32_t seed) {
    std::mt19937_64 engine(seed);
    for (Real* component : {s.re, s.im}) {
        for (uint64_t k = 0; k < s.dim; ++k) {
            const uint64_t bits = engine();
            std::memcpy(&component[k], &bits, sizeof(Real));
        }
    }
}

template <typename Real>
void expect_zero_ket(const StateVector<Real>& s) {
    ASSERT_EQ(s.dim, uint64_t{1} << s.num_qubits);
    uint64_t nonzero = 0;
    for (uint64_t k = 0; k < s.dim; ++k) nonzero += (s.re[k] != Real(k == 0)) + (s.im[k] != Real(0));
    EXPECT_EQ(nonzero, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.re) % kStateAlignment, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.im) % kStateAlignment, 0u);
}

TYPED_TEST(AmplitudeBufferTest, FreshStatesAreTheZeroKetAlsoOnReusedMemory) {
    using Real = TypeParam;
    for (const unsigned n : {0u, 3u, kHeapQubits, kMappedQubits, kHugeQubits}) {
        for (int round = 0; round < 3; ++round) {
            StateVector<Real> s(n);
            expect_zero_ket(s);
            fill_bits(s, static_cast<uint32_t>(round));  // what the next state may find
        }
    }
}

TYPED_TEST(AmplitudeBufferTest, MovedAmplitudesAreBitIdenticalAndMappedPagesAreReleased) {
    using Real = TypeParam;
    const std::vector<std::tuple<unsigned, uint64_t>> cases = {{0, 1},
                                                               {1, 1},
                                                               {5, 3},
                                                               {5, 32},
                                                               {5, 1000},
                                                               {kHeapQubits, 7},
                                                               {kHeapQubits, kConversionChunk},
                                                               {kMappedQubits, 3001},
                                                               {kMappedQubits, (uint64_t{1} << kMappedQubits) - 1},
                                                               {kMappedQubits, kConversionChunk},
                                                               {kMappedQubits + 1, kConversionChunk}};
    for (const auto& [n, chunk] : cases) {
        SCOPED_TRACE("n=" + std::to_string(n) + " chunk=" + std::to_string(chunk));
        StateVector<Real> s(n);
        fill_bits(s, n * 131 + static_cast<uint32_t>(chunk));
        std::vector<Real> want(2 * s.dim);
        for (uint64_t k = 0; k < s.dim; ++k) {
            want[2 * k] = s.re[k];
            want[2 * k + 1] = s.im[k];
        }
        std::vector<std::complex<Real>> got(s.dim);
        move_amplitudes(s, got.data(), chunk);
        EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(Real)), 0);
        if (is_mapped(s) && chunk * sizeof(Real) % kPageBytes == 0) {
            uint64_t kept = 0;
            for (uint64_t k = 0; k < s.dim; ++k) kept += (s.re[k] != Real(0)) + (s.im[k] != Real(0));
            EXPECT_EQ(kept, 0u) << "pages of the consumed state were not given back";
        }
    }
}

// A worker's state serves set after set: each copy is bit for bit and leaves |0...0>.
TYPED_TEST(AmplitudeBufferTest, CopyAndClearLeavesTheZeroKet) {
    using Real = TypeParam;
    for (const unsigned n : {0u, 5u, kMappedQubits}) {
        StateVector<Real> s(n);
        for (uint32_t round = 0; round < 2; ++round) {
            fill_bits(s, n + round);
            std::vector<std::complex<Real>> want(s.dim);
            for (uint64_t k = 0; k < s.dim; ++k) want[k] = {s.re[k], s.im[k]};
            std::vector<std::complex<Real>> got(s.dim);
            copy_and_clear(s, got.data());
            EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(want[0])), 0);
            expect_zero_ket(s);
        }
    }
}

}  // namespace
}  // namespace wavesim

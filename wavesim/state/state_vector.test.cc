// States refuse sizes they cannot hold, with the messages callers see, and
// the one qubit check names the operation, the qubit and the state's size;
// a loop of states of one size does not fault their pages in again.
#include "wavesim/state/state_vector.h"
#include "wavesim/testing/instructions.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <string>

namespace wavesim {
namespace {

template <typename Real>
class StateVectorTest : public ::testing::Test {};
using testing_support::Precisions;
TYPED_TEST_SUITE(StateVectorTest, Precisions);

template <typename Real>
std::string construction_error(unsigned n) {
    try {
        StateVector<Real> s(n);
        return "";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

TYPED_TEST(StateVectorTest, RefusesUnsupportedSizes) {
    using Real = TypeParam;
    for (unsigned n : {63u, 64u, 1000u, unsigned(-1), unsigned(-62)})
        EXPECT_EQ(construction_error<Real>(n), "StateVector: num_qubits out of supported range") << n;
    // 2^61 or 2^62 amplitudes cannot be held here; a wrapped byte count would have
    // returned an undersized state instead of this error.
    // 45 qubits need more than any machine this runs on: refused before the allocator overcommits.
    for (unsigned n : {45u, 61u, 62u})
        EXPECT_EQ(construction_error<Real>(n), "Failed to allocate memory for StateVector") << n;
}

long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// The sizes of a call's heap arrays (a 14-qubit state: two 128 KiB components),
// made and freed as a loop of calls does: every new state starts at |0...0>
// although its memory held the last one's values, and the loop faults in no
// page after the first state (glibc alone could give the pages back to the
// kernel on every free, depending on what else lies on the heap).
TYPED_TEST(StateVectorTest, StatesOfOneSizeReuseTheirMemoryCleared) {
    using Real = TypeParam;
    for (unsigned n : {10u, 14u, 16u}) {
        { StateVector<Real> warm(n); }
        const long before = minor_faults();
        for (int call = 0; call < 50; ++call) {
            StateVector<Real> s(n);
            for (uint64_t k = 0; k < s.dim; ++k)
                ASSERT_TRUE(s.re[k] == Real(k == 0 ? 1 : 0) && s.im[k] == 0) << n << " qubits, amplitude " << k;
            for (uint64_t k = 0; k < s.dim; ++k) s.re[k] = s.im[k] = Real(call + 1);
        }
        EXPECT_LT(minor_faults() - before, 20) << n << " qubits";
    }
}

TEST(CheckQubit, AcceptsTheStatesQubitsAndNamesAnyOther) {
    EXPECT_NO_THROW(check_qubit("RESET", 0, 1));
    EXPECT_NO_THROW(check_qubit("RESET", 61, 62));
    for (int64_t q : {int64_t{-1}, int64_t{3}, int64_t{1} << 40}) {
        try {
            check_qubit("MEASURE", q, 3);
            ADD_FAILURE() << q;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "MEASURE addresses qubit " + std::to_string(q) + ", outside a state of 3 qubits");
        }
    }
    EXPECT_THROW(check_qubit("X", 0, 0), std::runtime_error);
}

}  // namespace
}  // namespace wavesim

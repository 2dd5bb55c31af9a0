// States refuse sizes they cannot hold, with the messages callers see, and
// the one qubit check names the operation, the qubit and the state's size.
#include "wavesim/state/state_vector.h"
#include "wavesim/testing/instructions.h"

#include <gtest/gtest.h>

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

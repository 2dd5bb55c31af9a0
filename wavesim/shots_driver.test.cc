// count_batch against the literal procedure for both strategies, batches
// drawing in turn from one stream, and degenerate shot counts.
#include "shots_driver.h"

#include <gtest/gtest.h>

#include "shots_circuits.test.h"

namespace wavesim {
namespace {

using namespace shot_tests;

template <typename Real>
class ShotDriver : public ::testing::Test {};
using Precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(ShotDriver, Precisions);

TYPED_TEST(ShotDriver, SampleOnceBothTableForms) {
    for (int n : {4, 16, 17}) {
        CircuitData circuit = random_circuit(100 + static_cast<uint32_t>(n), n, 12, 0.0);
        ASSERT_FALSE(setup_shots(circuit, n).per_shot);
        expect_same_as_literal<TypeParam>(circuit, 3000, n, n);
    }
}

TYPED_TEST(ShotDriver, BatchesShareOneStream) {
    const CircuitData per_shot = random_circuit(7, 3, 20, 0.3, 3);
    expect_same_as_literal<TypeParam>(per_shot, 200, 3, 5);
    const CircuitData sample_once = random_circuit(8, 3, 20, 0.0, 3);
    expect_same_as_literal<TypeParam>(sample_once, 200, 3, 5);
}

TYPED_TEST(ShotDriver, DegenerateShotCounts) {
    const CircuitData circuit = random_circuit(11, 3, 10, 0.3);
    for (int shots : {0, -4, 1}) expect_same_as_literal<TypeParam>(circuit, shots, 3, 1);
    expect_same_as_literal<TypeParam>(circuit, 5, 0, 1);
}

}  // namespace
}  // namespace wavesim

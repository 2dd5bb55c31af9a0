// Rotation placement, which Python sees only through whole layers.
#include "n_local_builder.h"

#include <gtest/gtest.h>

namespace ansatzkit {
namespace {

TEST(PlaceRotation, OneQubitGatesStepByOne) {
    for (int a = 0; a < 3; ++a) {
        const auto p = place_rotation(1, a, 3);
        EXPECT_FALSE(p.skip);
        EXPECT_EQ(p.first, a);
        EXPECT_EQ(p.next, a + 1);
    }
}

TEST(PlaceRotation, TwoQubitGatesSkipThePositionThatRunsPastTheEnd) {
    EXPECT_EQ(place_rotation(2, 2, 5).next, 4);
    EXPECT_FALSE(place_rotation(2, 2, 5).skip);
    EXPECT_TRUE(place_rotation(2, 4, 5).skip);
    EXPECT_EQ(place_rotation(2, 4, 5).next, 5);
}

}  // namespace
}  // namespace ansatzkit

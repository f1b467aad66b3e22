#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "core/registration/Landmarks.h"

namespace alignopt {
namespace {

TEST(Landmarks, GoldenRatioConjugateHasItsExactBits) {
    EXPECT_EQ(std::bit_cast<uint64_t>(goldenRatioConjugate), 0x3FE3C6EF372FE950u);
}

struct LandmarkCase {
    int32_t width;
    int32_t height;
    TransformationType type;
    std::vector<double> xy; // x0, y0, x1, y1, ...
};

class PlaceLandmarks : public ::testing::TestWithParam<LandmarkCase> {};

TEST_P(PlaceLandmarks, GivesTheTableOfTheFamily) {
    const LandmarkCase& c = GetParam();
    const LandmarkSet set = placeLandmarks(c.width, c.height, c.type);
    EXPECT_EQ(set.columns, 2);
    EXPECT_EQ(set.rows, static_cast<int32_t>(c.xy.size() / 2));
    EXPECT_EQ(set.values, c.xy);
}

using T = TransformationType;
INSTANTIATE_TEST_SUITE_P(
    Sizes, PlaceLandmarks,
    ::testing::Values(LandmarkCase{100, 80, T::Translation, {50, 40}},
                      LandmarkCase{100, 80, T::RigidBody, {50, 40, 50, 20, 50, 60}},
                      LandmarkCase{100, 80, T::ScaledRotation, {25, 40, 75, 40}},
                      LandmarkCase{100, 80, T::Affine, {50, 20, 25, 60, 75, 60}},
                      LandmarkCase{100, 80, T::Bilinear, {15, 12, 15, 68, 85, 12, 85, 68}},
                      LandmarkCase{256, 256, T::Translation, {128, 128}},
                      LandmarkCase{256, 256, T::Bilinear, {39, 39, 39, 217, 217, 39, 217, 217}},
                      LandmarkCase{10, 7, T::Bilinear, {1, 1, 1, 6, 9, 1, 9, 6}},
                      LandmarkCase{10, 7, T::Affine, {5, 2, 2, 6, 8, 6}},
                      // One pixel: the landmark lies beyond it, and the rigid-body
                      // set has its first and third points on top of each other.
                      LandmarkCase{1, 1, T::Translation, {1, 1}},
                      LandmarkCase{1, 1, T::RigidBody, {1, 1, 1, 0, 1, 1}},
                      // The size plus one must not overflow int32.
                      LandmarkCase{INT32_MAX, INT32_MAX, T::Translation, {1073741824, 1073741824}}));

TEST(PlaceLandmarks, LeavesTheSetEmptyForAnUnknownCode) {
    const LandmarkSet set = placeLandmarks(100, 80, static_cast<TransformationType>(5));
    EXPECT_EQ(set.rows, 0);
    EXPECT_TRUE(set.values.empty());
}

} // namespace
} // namespace alignopt

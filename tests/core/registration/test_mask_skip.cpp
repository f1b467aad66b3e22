#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/image/ImageMask.h"
#include "core/image/SplineImage.h"
#include "core/registration/Driver.h"
#include "core/registration/Landmarks.h"
#include "core/registration/Registration.h"

namespace alignopt {
namespace {

// Smooth structure, a shift between target and source, and some noise, so the
// optimisers take real steps at every level.
std::vector<double> scene(int32_t width, int32_t height, double shiftX, double shiftY, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> noise(-2.0, 2.0);
    std::vector<double> p(static_cast<std::size_t>(width) * height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const double u = x + shiftX, v = y + shiftY;
            p[static_cast<std::size_t>(y) * width + x] =
                100 + 50 * std::sin(0.23 * u + 0.07 * v) * std::cos(0.19 * v - 0.04 * u) + noise(rng);
        }
    return p;
}

// The source landmarks a registration ends with: the masks either hold ones
// at every level (read by every walk) or are known non-zero (never read).
LandmarkSet registeredLandmarks(const std::vector<double>& targetPixels, const std::vector<double>& sourcePixels,
                                int32_t width, int32_t height, TransformationType type, bool maskValues) {
    const int32_t depth = pyramidDepthFor(width, height);
    SplineImage target(targetPixels.data(), width, height, type, true);
    SplineImage source(sourcePixels.data(), width, height, type, false);
    target.depth = source.depth = depth;
    target.buildPyramids();
    source.buildPyramids();
    const auto mask = [&] {
        return maskValues ? ImageMask(width, height, depth, 1.0) : ImageMask::everywhere(width, height, depth);
    };
    ImageMask targetMask = mask();
    ImageMask sourceMask = mask();
    targetMask.buildMaskPyramid();
    sourceMask.buildMaskPyramid();
    const LandmarkSet targetLandmarks = placeLandmarks(width, height, type);
    LandmarkSet sourceLandmarks = placeLandmarks(width, height, type);
    RegistrationEngine engine(source, sourceMask, sourceLandmarks, target, targetMask, targetLandmarks, type);
    engine.runLevels();
    return sourceLandmarks;
}

TEST(MaskKnownNonZero, HoldsNoValuesAtAnyLevel) {
    ImageMask mask = ImageMask::everywhere(100, 60, 3);
    mask.buildMaskPyramid();
    EXPECT_TRUE(mask.allNonZero);
    EXPECT_TRUE(mask.data.empty());
    EXPECT_TRUE(mask.levels.empty());
    EXPECT_EQ(mask.width, 100);
    EXPECT_EQ(mask.height, 60);
}

// Skipping the reads of a mask known non-zero must give the registration the
// bits it has with masks of ones, for every family's walks and odd sizes.
TEST(MaskKnownNonZero, RegistrationMatchesMasksOfOnesBitForBit) {
    const TransformationType families[] = {TransformationType::Translation, TransformationType::RigidBody,
                                           TransformationType::ScaledRotation, TransformationType::Affine,
                                           TransformationType::Bilinear};
    const int32_t sizes[][2] = {{1, 1}, {2, 3}, {3, 2}, {23, 23}, {24, 24}, {47, 24}, {24, 47}, {57, 49}, {257, 257}};
    uint32_t seed = 11;
    for (const TransformationType type : families) {
        for (const auto& size : sizes) {
            const int32_t width = size[0], height = size[1];
            const auto target = scene(width, height, 0.0, 0.0, ++seed);
            const auto source = scene(width, height, 1.3, -0.8, ++seed);
            const LandmarkSet read = registeredLandmarks(target, source, width, height, type, true);
            const LandmarkSet skipped = registeredLandmarks(target, source, width, height, type, false);
            ASSERT_EQ(read.values.size(), skipped.values.size());
            for (std::size_t i = 0; i < read.values.size(); ++i)
                EXPECT_EQ(std::bit_cast<uint64_t>(read.values[i]), std::bit_cast<uint64_t>(skipped.values[i]))
                    << "family " << static_cast<int>(type) << ", " << width << " x " << height << ", value " << i;
        }
    }
}

} // namespace
} // namespace alignopt

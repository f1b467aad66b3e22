#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "core/image/ImageMask.h"
#include "core/image/SplineImage.h"
#include "core/registration/Driver.h"
#include "core/registration/Landmarks.h"
#include "core/registration/Registration.h"

namespace alignopt {
namespace {

// Smooth content with structure in both directions, optionally shifted.
std::vector<double> pattern(int32_t width, int32_t height, double shiftX = 0, double shiftY = 0) {
    std::vector<double> p(static_cast<std::size_t>(width) * height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const double u = x + shiftX, v = y + shiftY;
            p[static_cast<std::size_t>(y) * width + x] =
                100 + 40 * std::sin(0.21 * u + 0.05 * v) * std::cos(0.17 * v - 0.03 * u) + 0.2 * u;
        }
    return p;
}

TEST(PyramidDepth, HalvesWhileEverySideIsAtLeast24) {
    const struct {
        int32_t width, height, depth;
    } cases[] = {{23, 23, 1}, {24, 24, 2}, {47, 47, 2}, {48, 48, 3},  {100, 80, 3},
                 {1000, 1000, 7}, {1000, 23, 1}, {23, 1000, 1}, {1, 1, 1}, {1, 5000, 1}};
    for (const auto& c : cases) EXPECT_EQ(pyramidDepthFor(c.width, c.height), c.depth) << c.width << "x" << c.height;
}

// Everything a registration builds before runLevels, as registerImages builds it.
struct Registration {
    std::vector<double> targetPixels, sourcePixels;
    SplineImage target, source;
    LandmarkSet targetLandmarks, sourceLandmarks;
    ImageMask targetMask, sourceMask;
    RegistrationEngine engine;

    Registration(int32_t width, int32_t height, TransformationType type)
        : targetPixels(pattern(width, height)), sourcePixels(pattern(width, height, 0.5, -0.25)),
          target(targetPixels.data(), width, height, type, true),
          source(sourcePixels.data(), width, height, type, false),
          targetLandmarks(placeLandmarks(width, height, type)), sourceLandmarks(placeLandmarks(width, height, type)),
          targetMask(width, height, pyramidDepthFor(width, height), 1.0),
          sourceMask(width, height, pyramidDepthFor(width, height), 1.0),
          // the pyramids are built before the engine exists, as in registerImages
          engine((build(), source), sourceMask, sourceLandmarks, target, targetMask, targetLandmarks, type) {}

    void build() {
        target.depth = source.depth = targetMask.depth;
        target.buildPyramids();
        targetMask.buildMaskPyramid();
        source.buildPyramids();
        sourceMask.buildMaskPyramid();
    }
};

struct LevelSeen {
    int32_t levelScale, modelWidth, modelHeight, gridWidth, gridHeight;
    double landmarkX, landmarkY, normaliser;
};

std::vector<LevelSeen> watchLevels(Registration& r, bool optimise) {
    std::vector<LevelSeen> seen;
    runLevelsWith(r.engine, [&](RegistrationEngine& e) {
        if (optimise) optimiseLevel(e);
        seen.push_back({e.levelScale, e.modelWidth, e.modelHeight, e.gridWidth, e.gridHeight,
                        e.targetLandmarks(0, 0), e.targetLandmarks(0, 1), e.landmarkNormaliser});
    });
    return seen;
}

TEST(RunLevels, VisitsLevelsCoarseToFineWithScaledLandmarks) {
    const struct {
        int32_t width, height;
        std::vector<std::vector<int32_t>> levels; // levelScale, width, height
    } cases[] = {{100, 80, {{4, 25, 20}, {2, 50, 40}, {1, 100, 80}}},
                 {24, 24, {{2, 12, 12}, {1, 24, 24}}},
                 {47, 47, {{2, 23, 23}, {1, 47, 47}}},
                 {23, 23, {{1, 23, 23}}},
                 {1, 1, {{1, 1, 1}}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        Registration r(c.width, c.height, TransformationType::Translation);
        const std::vector<LevelSeen> seen = watchLevels(r, false);
        ASSERT_EQ(seen.size(), c.levels.size());
        const LandmarkSet placed = placeLandmarks(c.width, c.height, TransformationType::Translation);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            const int32_t scale = c.levels[i][0];
            EXPECT_EQ(seen[i].levelScale, scale);
            EXPECT_EQ(seen[i].modelWidth, c.levels[i][1]);
            EXPECT_EQ(seen[i].modelHeight, c.levels[i][2]);
            EXPECT_EQ(seen[i].gridWidth, c.levels[i][1]);
            EXPECT_EQ(seen[i].gridHeight, c.levels[i][2]);
            EXPECT_EQ(seen[i].landmarkX, placed(0, 0) / scale);
            EXPECT_EQ(seen[i].landmarkY, placed(0, 1) / scale);
        }
        EXPECT_EQ(r.engine.targetLandmarks, placed);
    }
}

TEST(RunLevels, NormaliserFollowsTheTargetLandmarksAtEachScale) {
    // 100 x 80: scaled rotation (25, 40), (75, 40); affine (50, 20), (25, 60), (75, 60).
    const struct {
        TransformationType type;
        std::vector<double> normalisers;
    } cases[] = {{TransformationType::Translation, {1, 1, 1}},
                 {TransformationType::ScaledRotation, {2500.0 / 16, 2500.0 / 4, 2500}},
                 {TransformationType::Affine, {2000.0 / 16, 2000.0 / 4, 2000}}};
    for (const auto& c : cases) {
        Registration r(100, 80, c.type);
        const std::vector<LevelSeen> seen = watchLevels(r, true);
        ASSERT_EQ(seen.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(seen[i].normaliser, c.normalisers[i]) << static_cast<int>(c.type);
    }
}

TEST(RunLevels, BilinearSwapsModelAndGrid) {
    for (TransformationType type : {TransformationType::Affine, TransformationType::Bilinear}) {
        Registration r(30, 26, type);
        const bool bilinear = type == TransformationType::Bilinear;
        std::vector<const double*> model, grid, gridMask;
        runLevelsWith(r.engine, [&](RegistrationEngine& e) {
            model.push_back(e.modelCoefficients.data());
            grid.push_back(e.gridSamples.data());
            gridMask.push_back(e.gridMask.data());
        });
        ASSERT_EQ(model.size(), 2u);
        const SplineImage& modelImage = bilinear ? r.source : r.target;
        const SplineImage& gridImage = bilinear ? r.target : r.source;
        EXPECT_EQ(model[0], modelImage.levels.back().values.data());
        EXPECT_EQ(grid[0], gridImage.levels.back().values.data());
        EXPECT_EQ(model[1], modelImage.coefficients.data());
        EXPECT_EQ(grid[1], gridImage.samples.data());
        EXPECT_EQ(gridMask[1], (bilinear ? r.targetMask : r.sourceMask).data.data());
    }
}

TEST(RunLevels, CallersSourceSetHoldsTheFinalLandmarks) {
    Registration r(60, 50, TransformationType::Affine);
    r.engine.runLevels();
    EXPECT_EQ(r.sourceLandmarks, r.engine.sourceLandmarks);
    EXPECT_NE(r.sourceLandmarks, r.targetLandmarks); // the pair is shifted: something moved
    EXPECT_EQ(r.engine.levelScale, 1);
    EXPECT_EQ(r.engine.pyramidDepth, 3);
}

const TransformationType allFamilies[] = {TransformationType::Translation, TransformationType::RigidBody,
                                          TransformationType::ScaledRotation, TransformationType::Affine,
                                          TransformationType::Bilinear};

TEST(RegisterImages, IdenticalImagesGiveTheIdentity) {
    const std::vector<double> image = pattern(64, 48);
    for (TransformationType type : allFamilies) {
        SCOPED_TRACE(static_cast<int>(type));
        const RegistrationResult result = registerImages(image.data(), image.data(), type, 64, 48);
        const LandmarkSet placed = placeLandmarks(64, 48, type);
        EXPECT_EQ(result.targetLandmarks, placed);
        ASSERT_EQ(result.sourceLandmarks.values.size(), placed.values.size());
        for (std::size_t i = 0; i < placed.values.size(); ++i)
            EXPECT_NEAR(result.sourceLandmarks.values[i], placed.values[i], 1e-3);
        const Matrix& m = result.matrix;
        for (int32_t row = 0; row < 2; ++row)
            for (int32_t col = 0; col < m.columns; ++col)
                EXPECT_NEAR(m(row, col), m.columns > 1 && col == row + 1 ? 1.0 : 0.0, 1e-4);
    }
}

// The source holds the target's content at (x + 0.5, y - 0.25).
TEST(RegisterImages, RecoversAShiftAndReturnsThePlacementUnchanged) {
    const std::vector<double> target = pattern(90, 70);
    const std::vector<double> source = pattern(90, 70, -0.5, 0.25);
    for (TransformationType type : allFamilies) {
        SCOPED_TRACE(static_cast<int>(type));
        const RegistrationResult result = registerImages(target.data(), source.data(), type, 90, 70);
        EXPECT_EQ(result.targetLandmarks, placeLandmarks(90, 70, type));
        ASSERT_EQ(result.matrix.rows, 2);
        for (int32_t k = 0; k < result.sourceLandmarks.rows; ++k) {
            EXPECT_NEAR(result.sourceLandmarks(k, 0) - result.targetLandmarks(k, 0), 0.5, 0.01);
            EXPECT_NEAR(result.sourceLandmarks(k, 1) - result.targetLandmarks(k, 1), -0.25, 0.01);
        }
    }
}

// Non-finite pixels are refused before anything is built; finite ones past
// what single precision holds are refused once their model overflows; a
// checkerboard at the bound, which skips both checks of its filtered
// buffers, registers.
TEST(RegisterImages, RefusesNonFiniteAndOverflowingPixelsOnly) {
    const int32_t w = 40;
    const int32_t h = 30;
    const std::vector<double> image = pattern(w, h);
    const auto checkerboard = [&](double magnitude) {
        std::vector<double> pixels(image.size());
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = (i % static_cast<std::size_t>(w) + i / static_cast<std::size_t>(w)) % 2 ? magnitude
                                                                                                : -magnitude;
        return pixels;
    };
    std::vector<double> withNaN = image;
    withNaN[w * 7 + 5] = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> withInfinity = image;
    withInfinity.back() = -std::numeric_limits<double>::infinity();
    const std::vector<double> overflowing = checkerboard(1e38);
    const std::vector<double> atBound = checkerboard(filterSafeMagnitude);

    for (TransformationType type : allFamilies) {
        SCOPED_TRACE(static_cast<int>(type));
        for (const auto* bad : {&withNaN, &withInfinity}) {
            for (const bool asTarget : {true, false}) {
                const double* target = asTarget ? bad->data() : image.data();
                const double* source = asTarget ? image.data() : bad->data();
                try {
                    registerImages(target, source, type, w, h);
                    ADD_FAILURE() << "non-finite pixels were registered";
                } catch (const NonFiniteInputError& error) {
                    EXPECT_STREQ(error.what(), "Input arrays must be finite");
                }
            }
        }
        try {
            registerImages(overflowing.data(), image.data(), type, w, h);
            ADD_FAILURE() << "an overflowing model was registered";
        } catch (const NonFiniteInputError&) {
            ADD_FAILURE() << "finite pixels were called non-finite";
        } catch (const ValueRangeError& error) {
            EXPECT_STREQ(error.what(), "Input values are too large");
        }
        const RegistrationResult result = registerImages(atBound.data(), image.data(), type, w, h);
        EXPECT_EQ(result.matrix.rows, 2);
    }
}

} // namespace
} // namespace alignopt

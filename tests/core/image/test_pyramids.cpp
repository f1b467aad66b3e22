#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/image/BSplineFilters.h"
#include "core/image/Reduction.h"
#include "core/image/SplineImage.h"
#include "tests/core/image/ImageTestSupport.h"

namespace alignopt {
namespace {

using testing::allSinglePrecision;
using testing::randomValues;
using testing::sameBits;
using T = TransformationType;

enum class Kind { Coefficients, SamplesAndGradients, Samples };

struct Role {
    T type;
    bool isTarget;
    Kind kind;
};

const Role kRoles[] = {
    {T::Translation, true, Kind::Coefficients},  {T::Translation, false, Kind::SamplesAndGradients},
    {T::RigidBody, true, Kind::Coefficients},    {T::RigidBody, false, Kind::SamplesAndGradients},
    {T::ScaledRotation, true, Kind::Coefficients}, {T::ScaledRotation, false, Kind::SamplesAndGradients},
    {T::Affine, true, Kind::Coefficients},       {T::Affine, false, Kind::SamplesAndGradients},
    {T::Bilinear, true, Kind::Samples},          {T::Bilinear, false, Kind::Coefficients},
};

SplineImage built(const std::vector<double>& pixels, int32_t w, int32_t h, const Role& role, int32_t depth) {
    SplineImage image(pixels.data(), w, h, role.type, role.isTarget);
    image.depth = depth;
    image.buildPyramids();
    return image;
}

std::string roleName(const Role& role) {
    return "type " + std::to_string(static_cast<int>(role.type)) + (role.isTarget ? " target" : " source");
}

TEST(BuildPyramids, FillsWhatEachRoleNeeds) {
    const std::vector<double> pixels = randomValues(13 * 10, 1);
    for (const Role& role : kRoles) {
        SCOPED_TRACE(roleName(role));
        const SplineImage image = built(pixels, 13, 10, role, 3);
        EXPECT_EQ(image.coefficients.size(), pixels.size());
        const bool gradients = role.kind == Kind::SamplesAndGradients;
        EXPECT_EQ(image.gradientX.size(), gradients ? pixels.size() : 0u);
        EXPECT_EQ(image.gradientY.size(), gradients ? pixels.size() : 0u);
        ASSERT_EQ(image.levels.size(), 2u);
        const int32_t sizes[2][2] = {{6, 5}, {3, 2}};
        for (std::size_t k = 0; k < 2; ++k) {
            const PyramidLevel& level = image.levels[k];
            EXPECT_EQ(level.width, sizes[k][0]);
            EXPECT_EQ(level.height, sizes[k][1]);
            const std::size_t n = static_cast<std::size_t>(level.width) * level.height;
            EXPECT_EQ(level.values.size(), n);
            EXPECT_EQ(level.gradientX.size(), gradients ? n : 0u);
            EXPECT_EQ(level.gradientY.size(), gradients ? n : 0u);
            EXPECT_TRUE(allSinglePrecision(level.values));
            EXPECT_TRUE(allSinglePrecision(level.gradientX));
            EXPECT_TRUE(allSinglePrecision(level.gradientY));
        }
        EXPECT_TRUE(sameBits(pixels, image.samples));
    }
}

TEST(BuildPyramids, DepthOneBuildsNoLevelButKeepsFullGradients) {
    const std::vector<double> pixels = randomValues(24 * 23, 2);
    for (const Role& role : kRoles) {
        SCOPED_TRACE(roleName(role));
        const SplineImage image = built(pixels, 24, 23, role, 1);
        EXPECT_TRUE(image.levels.empty());
        EXPECT_EQ(image.coefficients.size(), pixels.size());
        EXPECT_EQ(image.gradientX.empty(), role.kind != Kind::SamplesAndGradients);
    }
}

// Each level must come from the reduced dual image of the level above (not
// from that level's stored values), and the gradients from the coefficients
// before they are sampled in place. Here the chain is rebuilt from the public
// operations, starting from the samples rather than the coefficients.
TEST(BuildPyramids, LevelsFollowTheReducedDualImages) {
    const int32_t w = 53;
    const int32_t h = 47;
    const std::vector<double> pixels = randomValues(static_cast<std::size_t>(w) * h, 3);
    const int32_t depth = 4;

    std::vector<std::vector<double>> duals; // reduced dual image of each level
    {
        std::vector<double> dual(pixels.size());
        dualFromSamples(pixels.data(), dual.data(), w, h);
        int32_t lw = w;
        int32_t lh = h;
        for (int32_t k = 1; k < depth; ++k) {
            const ImageBuffer reduced = reduceImage(dual.data(), lw, lh);
            dual.assign(reduced.begin(), reduced.end());
            lw /= 2;
            lh /= 2;
            duals.push_back(dual);
        }
    }

    for (const Role& role : kRoles) {
        SCOPED_TRACE(roleName(role));
        const SplineImage image = built(pixels, w, h, role, depth);
        ASSERT_EQ(image.levels.size(), static_cast<std::size_t>(depth - 1));
        for (std::size_t k = 0; k < image.levels.size(); ++k) {
            const PyramidLevel& level = image.levels[k];
            const int32_t lw = level.width;
            const int32_t lh = level.height;
            std::vector<double> c(duals[k].size());
            prefilterImage(duals[k].data(), c.data(), lw, lh, SplineDegree::Septic);
            switch (role.kind) {
            case Kind::Coefficients:
                EXPECT_TRUE(sameBits(c, level.values)) << "level " << k + 1;
                break;
            case Kind::SamplesAndGradients: {
                std::vector<double> gx(c.size());
                std::vector<double> gy(c.size());
                gradientsFromCoefficients(c.data(), gx.data(), gy.data(), lw, lh);
                std::vector<double> s(c.size());
                sampleImage(c.data(), s.data(), lw, lh, SplineDegree::Cubic);
                EXPECT_TRUE(sameBits(s, level.values)) << "level " << k + 1;
                EXPECT_TRUE(sameBits(gx, level.gradientX)) << "level " << k + 1;
                EXPECT_TRUE(sameBits(gy, level.gradientY)) << "level " << k + 1;
                break;
            }
            case Kind::Samples: {
                std::vector<double> s(c.size());
                samplesFromDual(duals[k].data(), s.data(), lw, lh);
                EXPECT_TRUE(sameBits(s, level.values)) << "level " << k + 1;
                break;
            }
            }
        }
        if (role.kind == Kind::SamplesAndGradients) {
            std::vector<double> gx(pixels.size());
            std::vector<double> gy(pixels.size());
            gradientsFromSamples(pixels.data(), gx.data(), gy.data(), w, h);
            EXPECT_TRUE(sameBits(gx, image.gradientX));
            EXPECT_TRUE(sameBits(gy, image.gradientY));
        }
    }
}

TEST(BuildPyramids, KeepAConstantAtEveryLevel) {
    const std::vector<double> pixels(50 * 49, 37.25);
    for (const Role& role : kRoles) {
        SCOPED_TRACE(roleName(role));
        const SplineImage image = built(pixels, 50, 49, role, 4);
        for (const double v : image.coefficients) EXPECT_EQ(v, 37.25);
        for (const PyramidLevel& level : image.levels) {
            for (const double v : level.values) EXPECT_NEAR(v, 37.25, 1e-4);
            for (const double g : level.gradientX) EXPECT_NEAR(g, 0.0, 1e-5);
            for (const double g : level.gradientY) EXPECT_NEAR(g, 0.0, 1e-5);
        }
    }
}

// The coarse spline is the least-squares fit of the fine one; a smooth image
// halved must keep its values at the even pixels away from the borders.
TEST(BuildPyramids, CoarseSamplesFollowASmoothImage) {
    const int32_t w = 96;
    const int32_t h = 80;
    std::vector<double> pixels(static_cast<std::size_t>(w) * h);
    auto f = [](double x, double y) { return 100.0 + 40.0 * std::sin(x * 0.07) * std::cos(y * 0.05); };
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) pixels[static_cast<std::size_t>(y) * w + x] = f(x, y);
    const SplineImage image = built(pixels, w, h, {T::Bilinear, true, Kind::Samples}, 2);
    const PyramidLevel& level = image.levels.front();
    for (int32_t y = 6; y < level.height - 6; ++y)
        for (int32_t x = 6; x < level.width - 6; ++x)
            EXPECT_NEAR(level.values[static_cast<std::size_t>(y) * level.width + x], f(2 * x, 2 * y), 0.05)
                << x << "," << y;
}

// The gain bound behind filterSafeMagnitude, on images that drive the
// filters hardest: alternating signs meet the full gain of the full-size
// prefilter, alternating 2 x 2 blocks that of the first level's, and random
// signs everything between. No filtered value of any role and level reaches
// 3100 times the largest pixel, and at the bound every buffer stays finite.
TEST(BuildPyramids, FilteredValuesStayWithinTheGainBound) {
    const int32_t w = 70;
    const int32_t h = 53;
    const auto pattern = [&](auto sign) {
        std::vector<double> pixels(static_cast<std::size_t>(w) * h);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) pixels[static_cast<std::size_t>(y) * w + x] = sign(x, y) ? 1.0 : -1.0;
        return pixels;
    };
    const std::vector<double> random = randomValues(static_cast<std::size_t>(w) * h, 5, -1.0, 1.0);
    const std::vector<double> images[] = {
        pattern([](int32_t x, int32_t y) { return (x + y) % 2 == 0; }),
        pattern([](int32_t x, int32_t y) { return (x / 2 + y / 2) % 2 == 0; }),
        pattern([&](int32_t x, int32_t y) { return random[static_cast<std::size_t>(y) * w + x] < 0.0; }),
    };

    for (const std::vector<double>& pixels : images)
        for (const Role& role : kRoles) {
            SCOPED_TRACE(roleName(role));
            const SplineImage image = built(pixels, w, h, role, 4);
            double largest = 0.0;
            const auto see = [&](const ImageBuffer& buffer) {
                for (const double v : buffer) largest = std::max(largest, std::fabs(v));
            };
            see(image.coefficients);
            see(image.gradientX);
            see(image.gradientY);
            for (const PyramidLevel& level : image.levels) {
                see(level.values);
                see(level.gradientX);
                see(level.gradientY);
            }
            EXPECT_LT(largest, 3100.0);

            std::vector<double> atBound = pixels;
            for (double& v : atBound) v *= filterSafeMagnitude;
            EXPECT_TRUE(built(atBound, w, h, role, 4).modelIsFinite());
        }
}

} // namespace
} // namespace alignopt

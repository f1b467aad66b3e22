#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/image/SplineImage.h"
#include "tests/core/image/ImageTestSupport.h"

namespace alignopt {
namespace {

using testing::sameBits;

TEST(SplineImage, ConstructionViewsThePixels) {
    const std::vector<double> pixels{0.1, -0.0, 1e300, std::numeric_limits<double>::denorm_min(), 1.0 / 3.0, 255.0};
    const SplineImage image(pixels.data(), 3, 2, TransformationType::Affine, true);
    EXPECT_EQ(image.samples.data(), pixels.data());
    EXPECT_EQ(image.samples.size(), pixels.size());
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.transformation, TransformationType::Affine);
    EXPECT_TRUE(image.isTarget);
    EXPECT_TRUE(image.levels.empty());
    EXPECT_TRUE(image.coefficients.empty());
    EXPECT_TRUE(image.gradientX.empty());
    EXPECT_TRUE(image.gradientY.empty());
}

// One infinity or NaN anywhere, in the vector stretches or the tail left to
// the scalar loop, on every level; the largest and smallest doubles are finite.
TEST(AllFinite, FindsAnInfinityOrNaNAnywhere) {
    const double specials[] = {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    for (const ProcessorLevel level : testing::runnableLevels()) {
        SCOPED_TRACE(testing::levelName(level));
        EXPECT_TRUE(allFiniteAt(level, {}));
        for (const std::size_t n : {1u, 7u, 255u, 256u, 257u, 1000u}) {
            std::vector<double> values = testing::randomValues(n, static_cast<uint32_t>(n), -1e300, 1e300);
            values[n / 3] = std::numeric_limits<double>::max();
            values[n / 2] = -std::numeric_limits<double>::denorm_min();
            EXPECT_TRUE(allFiniteAt(level, values)) << "n=" << n;
            for (const std::size_t at : {std::size_t{0}, n / 2, n - 1})
                for (const double special : specials) {
                    std::vector<double> spoiled = values;
                    spoiled[at] = special;
                    EXPECT_FALSE(allFiniteAt(level, spoiled)) << "n=" << n << " at " << at << ": " << special;
                }
        }
    }
}

// Values at the bound pass; one past it (by a step, an infinity or a NaN,
// of either sign) fails anywhere, as allFinite's cases do.
TEST(AllWithin, FindsAValuePastTheBoundAnywhere) {
    const double bound = 1e30;
    const double past[] = {std::nextafter(bound, 2 * bound), -std::nextafter(bound, 2 * bound),
                           std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    for (const ProcessorLevel level : testing::runnableLevels()) {
        SCOPED_TRACE(testing::levelName(level));
        EXPECT_TRUE(allWithinAt(level, {}, bound));
        for (const std::size_t n : {1u, 7u, 255u, 256u, 257u, 1000u}) {
            std::vector<double> values = testing::randomValues(n, static_cast<uint32_t>(n), -bound, bound);
            values[n / 3] = bound;
            values[n / 2] = -bound;
            EXPECT_TRUE(allWithinAt(level, values, bound)) << "n=" << n;
            for (const std::size_t at : {std::size_t{0}, n / 2, n - 1})
                for (const double value : past) {
                    std::vector<double> spoiled = values;
                    spoiled[at] = value;
                    EXPECT_FALSE(allWithinAt(level, spoiled, bound)) << "n=" << n << " at " << at << ": " << value;
                }
        }
    }
}

TEST(SplineImage, ConstantImagesGiveTheirSinglePrecisionValueAsCoefficients) {
    struct Case {
        double value;
        double coefficient;
    };
    const Case cases[] = {{100.0, 100.0}, {37.25, 37.25}, {0.1, 0.10000000149011612}};
    for (const testing::Size size : {testing::Size{13, 10}, testing::Size{1, 1}, testing::Size{1, 24},
                                     testing::Size{47, 1}})
        for (const Case& c : cases) {
            const std::vector<double> pixels(static_cast<std::size_t>(size.width) * size.height, c.value);
            SplineImage image(pixels.data(), size.width, size.height, TransformationType::Translation, false);
            image.computeCoefficients();
            ASSERT_EQ(image.coefficients.size(), pixels.size());
            for (const double v : image.coefficients) EXPECT_EQ(v, c.coefficient) << testing::sizeName(size);
            EXPECT_TRUE(sameBits(pixels, image.samples)); // the samples are never rounded
        }
}

TEST(SplineImage, CoefficientsAreTheCubicPrefilterOfTheSamples) {
    const int32_t w = 23;
    const int32_t h = 47;
    const std::vector<double> pixels = testing::randomValues(static_cast<std::size_t>(w) * h, 99);
    SplineImage image(pixels.data(), w, h, TransformationType::Bilinear, false);
    image.computeCoefficients();
    EXPECT_TRUE(sameBits(testing::plain::separable(pixels, w, h, testing::plain::prefilter, SplineDegree::Cubic),
                         image.coefficients));
}

} // namespace
} // namespace alignopt

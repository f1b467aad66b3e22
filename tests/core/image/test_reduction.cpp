#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/image/BSplineFilters.h"
#include "core/image/Reduction.h"
#include "tests/core/image/ImageTestSupport.h"

namespace alignopt {
namespace {

using testing::allSinglePrecision;
using testing::randomValues;
using testing::sameBits;

std::vector<double> reduced(const std::vector<double>& x) {
    std::vector<double> out(x.size() / 2, -1.0);
    reduceLine(x, out);
    return out;
}

TEST(ReduceLine, RampAndConstant) {
    EXPECT_EQ(reduced({0, 1, 2, 3, 4, 5, 6, 7}), (std::vector<double>{0.4375, 2, 4, 5.9375}));
    EXPECT_EQ(reduced(std::vector<double>(9, 37.25)), std::vector<double>(4, 37.25)); // the weights sum to one
    EXPECT_TRUE(reduced({5.0}).empty());
}

// The two ends, written out with the mirrored taps substituted by hand.
TEST(ReduceLine, MirrorsOnlyAtTheEnds) {
    for (const std::size_t n : {2u, 3u, 4u, 5u, 8u, 9u, 24u, 25u}) {
        const std::vector<double> x = randomValues(n, 40 + static_cast<uint32_t>(n));
        const std::vector<double> out = reduced(x);
        ASSERT_EQ(out.size(), n / 2);
        const double first = n == 2 ? (x[0] + x[1]) * 0.25 + x[0] * 0.375 + x[1] * 0.125
                                    : (x[0] + x[1]) * 0.25 + x[0] * 0.375 + (x[1] + x[2]) * 0.0625;
        EXPECT_EQ(out[0], first) << "n=" << n;
        if (n >= 4 && n % 2 == 0) {
            const double last = (x[n - 3] + x[n - 1]) * 0.25 + x[n - 2] * 0.375 + (x[n - 4] + x[n - 1]) * 0.0625;
            EXPECT_EQ(out.back(), last) << "n=" << n;
        }
        if (n >= 5 && n % 2 == 1) { // every tap of the last output inside the line
            const double last = (x[n - 4] + x[n - 2]) * 0.25 + x[n - 3] * 0.375 + (x[n - 5] + x[n - 1]) * 0.0625;
            EXPECT_EQ(out.back(), last) << "n=" << n;
        }
    }
}

TEST(ReduceLine, LastSampleOfAnOddLineReachesOnlyTheOuterTap) {
    std::vector<double> x = randomValues(25, 8);
    const std::vector<double> before = reduced(x);
    x[24] += 16.0;
    const std::vector<double> after = reduced(x);
    for (std::size_t j = 0; j + 1 < before.size(); ++j) EXPECT_EQ(after[j], before[j]);
    EXPECT_DOUBLE_EQ(after.back() - before.back(), 1.0);
}

class ReduceImage : public ::testing::TestWithParam<testing::Size> {};

TEST_P(ReduceImage, MatchesLineByLineReductionOnEveryLevel) {
    const auto [w, h] = GetParam();
    const std::vector<double> input = randomValues(static_cast<std::size_t>(w) * h, 3u * w + h);
    const int32_t hw = w / 2;
    const int32_t hh = h / 2;
    std::vector<double> rows(static_cast<std::size_t>(hw) * h);
    for (int32_t y = 0; y < h; ++y) {
        const std::vector<double> line(input.begin() + static_cast<std::ptrdiff_t>(y) * w,
                                       input.begin() + static_cast<std::ptrdiff_t>(y + 1) * w);
        const std::vector<double> r = reduced(line);
        for (int32_t x = 0; x < hw; ++x) rows[static_cast<std::size_t>(y) * hw + x] = roundToSingle(r[x]);
    }
    std::vector<double> expected(static_cast<std::size_t>(hw) * hh);
    for (int32_t x = 0; x < hw && hh > 0; ++x) {
        std::vector<double> column(static_cast<std::size_t>(h));
        for (int32_t y = 0; y < h; ++y) column[y] = rows[static_cast<std::size_t>(y) * hw + x];
        const std::vector<double> r = reduced(column);
        for (int32_t y = 0; y < hh; ++y) expected[static_cast<std::size_t>(y) * hw + x] = roundToSingle(r[y]);
    }
    for (const ProcessorLevel level : testing::runnableLevels()) {
        const ImageBuffer actual = reduceImageAt(level, input.data(), w, h);
        EXPECT_TRUE(sameBits(expected, actual)) << testing::levelName(level);
    }
    EXPECT_TRUE(allSinglePrecision(expected));
}

// The pyramids take the first reduced level straight from the coefficients.
TEST_P(ReduceImage, ReducedDualEqualsReducingTheSampledImageOnEveryLevel) {
    const auto [w, h] = GetParam();
    const std::vector<double> coefficients = randomValues(static_cast<std::size_t>(w) * h, 7u * w + h, -1e3, 1e3);
    std::vector<double> dual(coefficients.size());
    sampleImage(coefficients.data(), dual.data(), w, h, SplineDegree::Septic);
    const ImageBuffer expected = reduceImage(dual.data(), w, h);
    for (const ProcessorLevel level : testing::runnableLevels())
        EXPECT_TRUE(sameBits(expected, reducedDualAt(level, coefficients.data(), w, h))) << testing::levelName(level);
}

INSTANTIATE_TEST_SUITE_P(BorderSizes, ReduceImage, ::testing::ValuesIn(testing::borderSizes()),
                         [](const auto& info) { return testing::sizeName(info.param); });

TEST(ReduceImage, HalvesTheSizeDownwards) {
    const std::vector<double> input(25 * 24, 37.25);
    const ImageBuffer r = reduceImage(input.data(), 25, 24);
    EXPECT_EQ(r, ImageBuffer(12 * 12, 37.25));
    EXPECT_TRUE(reduceImage(input.data(), 1, 24).empty());
}

// The pyramid builder takes the dual image from the coefficients it already
// has; that is only sound if both routes give the same bits.
TEST(DualImage, FromSamplesEqualsDegreeSevenSamplingOfTheCoefficients) {
    const int32_t w = 23;
    const int32_t h = 24;
    const std::vector<double> samples = randomValues(static_cast<std::size_t>(w) * h, 12);
    std::vector<double> dual(samples.size());
    dualFromSamples(samples.data(), dual.data(), w, h);
    std::vector<double> viaCoefficients(samples.size());
    prefilterImage(samples.data(), viaCoefficients.data(), w, h, SplineDegree::Cubic);
    sampleImage(viaCoefficients.data(), viaCoefficients.data(), w, h, SplineDegree::Septic);
    EXPECT_TRUE(sameBits(viaCoefficients, dual));
    EXPECT_TRUE(allSinglePrecision(dual));
}

// A cubic spline goes to its dual image and back: samplesFromDual undoes
// dualFromSamples up to the float rounding of the passes.
TEST(DualImage, SamplesFromDualUndoesDualFromSamples) {
    const int32_t w = 24;
    const int32_t h = 23;
    const std::vector<double> samples = randomValues(static_cast<std::size_t>(w) * h, 13);
    std::vector<double> dual(samples.size());
    dualFromSamples(samples.data(), dual.data(), w, h);
    std::vector<double> back(samples.size());
    samplesFromDual(dual.data(), back.data(), w, h);
    for (std::size_t i = 0; i < samples.size(); ++i) EXPECT_NEAR(back[i], samples[i], 2e-4) << i;
    EXPECT_TRUE(allSinglePrecision(back));
}

} // namespace
} // namespace alignopt

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/image/BSplineFilters.h"
#include "core/image/MirrorFold.h"
#include "core/image/SplineConstants.h"
#include "tests/core/image/ImageTestSupport.h"

namespace alignopt {
namespace {

using testing::allSinglePrecision;
using testing::randomValues;
using testing::sameBits;

constexpr SplineDegree kDegrees[] = {SplineDegree::Cubic, SplineDegree::Septic};

// The mirror-extended line written out by its definition, period by period,
// for checking the fold and the short-line cases without the fold itself.
double mirrored(const std::vector<double>& x, int64_t i) {
    const auto n = static_cast<int64_t>(x.size());
    std::vector<double> period(x);
    period.insert(period.end(), x.rbegin(), x.rend()); // x[N+i] = x[N-1-i]
    const int64_t p = 2 * n;
    return period[static_cast<std::size_t>(((i % p) + p) % p)];
}

TEST(MirrorFold, MatchesTheExtensionWrittenOut) {
    for (const int32_t n : {1, 2, 3, 4, 7}) {
        std::vector<double> x(static_cast<std::size_t>(n));
        for (int32_t i = 0; i < n; ++i) x[i] = i;
        for (int64_t i = -5 * n - 3; i <= 5 * n + 3; ++i)
            EXPECT_EQ(foldMirror(i, n), mirrored(x, i)) << "n=" << n << " i=" << i;
    }
    EXPECT_EQ(foldMirror(-1, 5), 0);
    EXPECT_EQ(foldMirror(5, 5), 4);
    EXPECT_EQ(foldMirror(-6, 5), 4); // x[-1-5] = x[5] = x[4]
}

TEST(SplineConstants, PolesGainsAndKernelsHoldTheirExactDoubles) {
    EXPECT_EQ(cubicPole, -0.2679491924311228);
    EXPECT_EQ(prefilterGain(splinePoles(SplineDegree::Cubic)), 5.999999999999998);
    EXPECT_EQ(prefilterGain(splinePoles(SplineDegree::Septic)), 5040.0);

    const auto cubic = samplingKernel(SplineDegree::Cubic);
    ASSERT_EQ(cubic.size(), 2u);
    EXPECT_EQ(cubic[0], 2.0 / 3.0);
    EXPECT_EQ(cubic[1], 1.0 / 6.0);
    const auto septic = samplingKernel(SplineDegree::Septic);
    ASSERT_EQ(septic.size(), 4u);
    EXPECT_EQ(septic[0], 151.0 / 315.0);
    EXPECT_EQ(septic[1], 397.0 / 1680.0);
    EXPECT_EQ(septic[2], 1.0 / 42.0);
    EXPECT_EQ(septic[3], 1.0 / 5040.0);
}

TEST(PrefilterLine, LeavesAOneSampleLineUnchanged) {
    for (const SplineDegree degree : kDegrees) {
        std::vector<double> line{0.1};
        prefilterLine(line, degree);
        EXPECT_EQ(std::bit_cast<uint64_t>(line[0]), std::bit_cast<uint64_t>(0.1));
    }
}

TEST(PrefilterLine, KeepsAConstantLine) {
    for (const SplineDegree degree : kDegrees)
        for (const std::size_t n : {2u, 3u, 5u, 24u, 257u}) {
            std::vector<double> line(n, 37.25);
            prefilterLine(line, degree);
            for (const double v : line) EXPECT_NEAR(v, 37.25, 1e-12) << "n=" << n;
        }
}

TEST(InitialCausalCoefficient, TwoSamplesHaveNoLoopTerms) {
    const double z = cubicPole;
    const std::vector<double> x{3.0, 11.5};
    const double expected = (std::pow(z, 2.0) * x[1] + x[0]) * (z + 1.0) / (1.0 - std::pow(z, 4.0));
    EXPECT_EQ(initialCausalCoefficient(x, z), expected);
}

// The closed form must equal the causal sum over the mirror-extended line,
// sum over k >= 0 of z^k x[-k], here summed until the terms vanish. With one
// sample the general closed form would count that sample twice.
TEST(InitialCausalCoefficient, EqualsTheInfiniteCausalSum) {
    for (const double z : {cubicPole, -0.5352804307964382, -0.009148694809608277})
        for (const std::size_t n : {1u, 2u, 3u, 4u, 5u, 24u}) {
            const std::vector<double> x = randomValues(n, 7 + static_cast<uint32_t>(n));
            double sum = 0.0;
            double zk = 1.0;
            for (int64_t k = 0; std::fabs(zk) > 1e-300; ++k, zk *= z) sum += zk * mirrored(x, -k);
            EXPECT_NEAR(initialCausalCoefficient(x, z), sum, 1e-12 * 255.0) << "z=" << z << " n=" << n;
        }
}

TEST(SampleLine, FoldsShortLinesByTheMirrorRule) {
    for (const SplineDegree degree : kDegrees)
        for (const std::size_t n : {1u, 2u, 3u, 4u, 7u}) {
            const auto h = samplingKernel(degree);
            const std::vector<double> x = randomValues(n, 100 + static_cast<uint32_t>(n));
            std::vector<double> out(n);
            sampleLine(h, x, out);
            for (int64_t k = 0; k < static_cast<int64_t>(n); ++k) {
                double expected = (mirrored(x, k - 1) + mirrored(x, k + 1)) * h[1] + mirrored(x, k) * h[0];
                if (h.size() == 4) {
                    expected = expected + (mirrored(x, k - 2) + mirrored(x, k + 2)) * h[2];
                    expected = expected + (mirrored(x, k - 3) + mirrored(x, k + 3)) * h[3];
                }
                EXPECT_EQ(out[k], expected) << "n=" << n << " k=" << k;
            }
        }
}

// Sampling the spline at the knots gives back the samples: the prefilter is
// the exact inverse of the sampling filter, ends included.
TEST(SampleLine, UndoesPrefilterLine) {
    for (const SplineDegree degree : kDegrees)
        for (const std::size_t n : {1u, 2u, 3u, 4u, 5u, 24u, 25u, 257u}) {
            const std::vector<double> x = randomValues(n, 1000 + static_cast<uint32_t>(n));
            std::vector<double> c(x);
            prefilterLine(c, degree);
            std::vector<double> back(n);
            sampleLine(samplingKernel(degree), c, back);
            for (std::size_t k = 0; k < n; ++k)
                EXPECT_NEAR(back[k], x[k], 1e-13 * std::max(1.0, std::fabs(x[k])))
                    << "degree " << static_cast<int>(degree) << " n=" << n << " k=" << k;
        }
}

TEST(DifferentiateLine, HalvesTheCentralDifferenceWithMirroredEnds) {
    struct Case {
        std::vector<double> line;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {{0, 1, 2, 3, 4}, {0.5, 1, 1, 1, 0.5}},
        {{3, 5}, {1, 1}},
        {{-2.5}, {0.0}}, // one sample: flat under the mirror rule
    };
    for (const Case& c : cases) {
        std::vector<double> line = c.line;
        differentiateLine(line);
        EXPECT_EQ(line, c.expected);
    }
}

class ImageFilters : public ::testing::TestWithParam<testing::Size> {};

// The image passes run several lines at once, in vectors as wide as the
// processor has; on every level they must give exactly what the line
// operations give one line at a time, and store only floats.
TEST_P(ImageFilters, MatchPlainLineByLinePassesOnEveryLevel) {
    namespace plain = testing::plain;
    const auto [w, h] = GetParam();
    const std::size_t n = static_cast<std::size_t>(w) * h;
    const std::vector<double> input = randomValues(n, 17u * w + h);

    std::vector<double> prefiltered[2];
    std::vector<double> sampled[2];
    for (std::size_t d = 0; d < 2; ++d) {
        prefiltered[d] = plain::separable(input, w, h, plain::prefilter, kDegrees[d]);
        sampled[d] = plain::separable(input, w, h, plain::sample, kDegrees[d]);
        ASSERT_TRUE(allSinglePrecision(prefiltered[d]));
        ASSERT_TRUE(allSinglePrecision(sampled[d]));
    }
    std::vector<double> coefficientsX(n);
    std::vector<double> coefficientsY(n);
    plain::rowPass(input, coefficientsX, w, h, plain::differentiate, SplineDegree::Cubic);
    plain::rowPass(input, coefficientsY, w, h, plain::sample, SplineDegree::Cubic);
    plain::columnPass(coefficientsX, coefficientsX, w, h, plain::sample, SplineDegree::Cubic);
    plain::columnPass(coefficientsY, coefficientsY, w, h, plain::differentiate, SplineDegree::Cubic);
    std::vector<double> samplesX(n);
    std::vector<double> samplesY(n);
    plain::rowPass(input, samplesX, w, h, plain::prefilterThenDifferentiate, SplineDegree::Cubic);
    plain::columnPass(input, samplesY, w, h, plain::prefilterThenDifferentiate, SplineDegree::Cubic);

    for (const ProcessorLevel level : testing::runnableLevels()) {
        SCOPED_TRACE(testing::levelName(level));
        for (std::size_t d = 0; d < 2; ++d) {
            std::vector<double> out(n, -1.0);
            prefilterImageAt(level, input.data(), out.data(), w, h, kDegrees[d]);
            EXPECT_TRUE(sameBits(prefiltered[d], out)) << "prefilter, degree " << static_cast<int>(kDegrees[d]);
            sampleImageAt(level, input.data(), out.data(), w, h, kDegrees[d]);
            EXPECT_TRUE(sameBits(sampled[d], out)) << "sample, degree " << static_cast<int>(kDegrees[d]);
        }
        std::vector<double> gx(n, -1.0);
        std::vector<double> gy(n, -1.0);
        gradientsFromCoefficientsAt(level, input.data(), gx.data(), gy.data(), w, h);
        EXPECT_TRUE(sameBits(coefficientsX, gx)) << "gradientX from coefficients";
        EXPECT_TRUE(sameBits(coefficientsY, gy)) << "gradientY from coefficients";
        gradientsFromSamplesAt(level, input.data(), gx.data(), gy.data(), w, h);
        EXPECT_TRUE(sameBits(samplesX, gx)) << "gradientX from samples";
        EXPECT_TRUE(sameBits(samplesY, gy)) << "gradientY from samples";
        std::vector<double> coefficients(n, -1.0);
        gx.assign(n, -1.0);
        gy.assign(n, -1.0);
        coefficientsAndGradientsFromSamplesAt(level, input.data(), coefficients.data(), gx.data(), gy.data(), w, h);
        EXPECT_TRUE(sameBits(prefiltered[0], coefficients)) << "coefficients with the gradients";
        EXPECT_TRUE(sameBits(samplesX, gx)) << "gradientX with the coefficients";
        EXPECT_TRUE(sameBits(samplesY, gy)) << "gradientY with the coefficients";
    }
    EXPECT_TRUE(allSinglePrecision(coefficientsX) && allSinglePrecision(coefficientsY));
    EXPECT_TRUE(allSinglePrecision(samplesX) && allSinglePrecision(samplesY));
}

TEST_P(ImageFilters, SampleImageInPlaceEqualsIntoASecondBuffer) {
    const auto [w, h] = GetParam();
    const std::vector<double> input = randomValues(static_cast<std::size_t>(w) * h, 5u * w + h, -1e3, 1e3);
    for (const ProcessorLevel level : testing::runnableLevels())
        for (const SplineDegree degree : kDegrees) {
            std::vector<double> separate(input.size());
            sampleImageAt(level, input.data(), separate.data(), w, h, degree);
            std::vector<double> inPlace(input);
            sampleImageAt(level, inPlace.data(), inPlace.data(), w, h, degree);
            EXPECT_TRUE(sameBits(separate, inPlace)) << testing::levelName(level);
        }
}

// The gradients may take the place of the coefficients they come from.
TEST_P(ImageFilters, GradientsFromCoefficientsInPlaceEqualIntoSecondBuffers) {
    const auto [w, h] = GetParam();
    const std::vector<double> input = randomValues(static_cast<std::size_t>(w) * h, 9u * w + h, -1e3, 1e3);
    for (const ProcessorLevel level : testing::runnableLevels()) {
        SCOPED_TRACE(testing::levelName(level));
        std::vector<double> gx(input.size());
        std::vector<double> gy(input.size());
        gradientsFromCoefficientsAt(level, input.data(), gx.data(), gy.data(), w, h);
        std::vector<double> overX(input);
        std::vector<double> otherY(input.size());
        gradientsFromCoefficientsAt(level, overX.data(), overX.data(), otherY.data(), w, h);
        EXPECT_TRUE(sameBits(gx, overX));
        EXPECT_TRUE(sameBits(gy, otherY));
        std::vector<double> otherX(input.size());
        std::vector<double> overY(input);
        gradientsFromCoefficientsAt(level, overY.data(), otherX.data(), overY.data(), w, h);
        EXPECT_TRUE(sameBits(gx, otherX));
        EXPECT_TRUE(sameBits(gy, overY));
    }
}

INSTANTIATE_TEST_SUITE_P(BorderSizes, ImageFilters, ::testing::ValuesIn(testing::borderSizes()),
                         [](const auto& info) { return testing::sizeName(info.param); });

// A constant is its own spline at every degree: coefficients and samples stay
// the constant, gradients vanish (to within the last bits of the recursions).
TEST(ImageFilters, CarryAConstantThrough) {
    const int32_t w = 23;
    const int32_t h = 24;
    const std::vector<double> input(static_cast<std::size_t>(w) * h, 37.25);
    std::vector<double> out(input.size());
    for (const SplineDegree degree : kDegrees) {
        prefilterImage(input.data(), out.data(), w, h, degree);
        for (const double v : out) EXPECT_EQ(v, 37.25);
        sampleImage(input.data(), out.data(), w, h, degree);
        for (const double v : out) EXPECT_EQ(v, 37.25);
    }
    std::vector<double> gx(input.size());
    std::vector<double> gy(input.size());
    gradientsFromCoefficients(input.data(), gx.data(), gy.data(), w, h);
    for (std::size_t i = 0; i < gx.size(); ++i) {
        EXPECT_EQ(gx[i], 0.0);
        EXPECT_EQ(gy[i], 0.0);
    }
    gradientsFromSamples(input.data(), gx.data(), gy.data(), w, h);
    for (std::size_t i = 0; i < gx.size(); ++i) {
        EXPECT_NEAR(gx[i], 0.0, 1e-12);
        EXPECT_NEAR(gy[i], 0.0, 1e-12);
    }
}

// A single row or column still has a full second axis: the one-sample lines
// across it come back unchanged and differentiate to zero.
TEST(ImageFilters, OnePixelWideImagesHaveNoSlopeAcross) {
    const std::vector<double> line = randomValues(47, 3);
    std::vector<double> gx(line.size(), -1.0);
    std::vector<double> gy(line.size(), -1.0);
    gradientsFromSamples(line.data(), gx.data(), gy.data(), 1, 47); // one column
    for (const double v : gx) EXPECT_EQ(v, 0.0);
    gradientsFromSamples(line.data(), gx.data(), gy.data(), 47, 1); // one row
    for (const double v : gy) EXPECT_EQ(v, 0.0);
}

} // namespace
} // namespace alignopt

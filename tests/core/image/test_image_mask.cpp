#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "core/image/ImageMask.h"
#include "tests/core/image/ImageTestSupport.h"

namespace alignopt {
namespace {

std::vector<double> reducedMask(const std::vector<double>& in, int32_t w, int32_t h) {
    std::vector<double> out(static_cast<std::size_t>(w / 2) * static_cast<std::size_t>(h / 2), -1.0);
    reduceMask(in.data(), out.data(), w, h);
    return out;
}

TEST(ImageMask, ConstructionFillsTheFullResolutionOnly) {
    const ImageMask mask(5, 3, 2, 1.0);
    EXPECT_EQ(mask.data, std::vector<double>(15, 1.0));
    EXPECT_EQ(mask.width, 5);
    EXPECT_EQ(mask.height, 3);
    EXPECT_EQ(mask.depth, 2);
    EXPECT_TRUE(mask.levels.empty());
}

// The window is cut at the low edges and never reaches an odd size's last row
// or column, so 8 x 6 and 9 x 7 reduce alike.
TEST(ReduceMask, CountsTheWindowOfAllOnes) {
    const std::vector<double> expected{4, 6, 6, 6, 6, 9, 9, 9, 6, 9, 9, 9};
    EXPECT_EQ(reducedMask(std::vector<double>(8 * 6, 1.0), 8, 6), expected);
    EXPECT_EQ(reducedMask(std::vector<double>(9 * 7, 1.0), 9, 7), expected);
}

TEST(ReduceMask, ASinglePixelOfEitherSignMarksExactlyTheWindowsOverIt) {
    const int32_t w = 9;
    const int32_t h = 7;
    for (const double value : {1.0, -1.0, -2.5})
        for (int32_t r = 0; r < h; ++r)
            for (int32_t c = 0; c < w; ++c) {
                std::vector<double> in(static_cast<std::size_t>(w) * h, 0.0);
                in[static_cast<std::size_t>(r) * w + c] = value;
                const std::vector<double> out = reducedMask(in, w, h);
                for (int32_t y = 0; y < h / 2; ++y)
                    for (int32_t x = 0; x < w / 2; ++x) {
                        const bool covered = std::abs(r - 2 * y) <= 1 && std::abs(c - 2 * x) <= 1;
                        EXPECT_EQ(out[static_cast<std::size_t>(y) * (w / 2) + x], covered ? std::fabs(value) : 0.0)
                            << "pixel " << c << "," << r << " value " << value << " output " << x << "," << y;
                    }
            }
}

// Magnitudes far apart make the order of the sum visible: rows in turn, each
// row left to right, every step |v| + s.
TEST(ReduceMask, SumsRowByRowInOrder) {
    const int32_t w = 24;
    const int32_t h = 23;
    std::vector<double> in = testing::randomValues(static_cast<std::size_t>(w) * h, 21, -1.0, 1.0);
    for (std::size_t i = 0; i < in.size(); i += 5) in[i] *= 1e17;
    const std::vector<double> out = reducedMask(in, w, h);
    for (int32_t y = 0; y < h / 2; ++y)
        for (int32_t x = 0; x < w / 2; ++x) {
            double s = 0.0;
            for (int32_t r = std::max(2 * y - 1, 0); r <= 2 * y + 1; ++r)
                for (int32_t c = std::max(2 * x - 1, 0); c <= 2 * x + 1; ++c)
                    s = std::fabs(in[static_cast<std::size_t>(r) * w + c]) + s;
            EXPECT_EQ(out[static_cast<std::size_t>(y) * (w / 2) + x], s) << x << "," << y;
        }
}

TEST(ReduceMask, PassesANaNOn) {
    std::vector<double> in(4 * 4, 0.0);
    in[5] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> out = reducedMask(in, 4, 4);
    for (const double v : out) EXPECT_TRUE(std::isnan(v));
}

TEST(BuildMaskPyramid, AllOnesGrowsByTheWindowCounts) {
    ImageMask mask(50, 49, 4, 1.0);
    mask.buildMaskPyramid();
    ASSERT_EQ(mask.levels.size(), 3u);
    const std::size_t sizes[] = {25 * 24, 12 * 12, 6 * 6};
    const double lowest[] = {4, 25, 196};
    const double highest[] = {9, 81, 729};
    for (std::size_t k = 0; k < 3; ++k) {
        ASSERT_EQ(mask.levels[k].size(), sizes[k]);
        const auto [lo, hi] = std::minmax_element(mask.levels[k].begin(), mask.levels[k].end());
        EXPECT_EQ(*lo, lowest[k]) << "level " << k + 1;
        EXPECT_EQ(*hi, highest[k]) << "level " << k + 1;
    }
    EXPECT_EQ(mask.data, std::vector<double>(50 * 49, 1.0)); // untouched
}

TEST(BuildMaskPyramid, ZerosStayZeroAndDepthOneAddsNothing) {
    ImageMask zeros(13, 10, 3, 0.0);
    zeros.buildMaskPyramid();
    ASSERT_EQ(zeros.levels.size(), 2u);
    EXPECT_EQ(zeros.levels[0], std::vector<double>(6 * 5, 0.0));
    EXPECT_EQ(zeros.levels[1], std::vector<double>(3 * 2, 0.0));

    ImageMask flat(13, 10, 1, 1.0);
    flat.buildMaskPyramid();
    EXPECT_TRUE(flat.levels.empty());
}

} // namespace
} // namespace alignopt

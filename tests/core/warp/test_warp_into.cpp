#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/linalg/Matrix.h"
#include "core/warp/Warp.h"

namespace alignopt {
namespace {

// The module hands the warp an uninitialised result array: every value must
// be written, with the bits warpImage returns, for every matrix shape and
// sizes that reach every border and the tile edges.
TEST(WarpImageInto, WritesEveryValueWithTheBitsOfWarpImage) {
    const int32_t sides[][2] = {{1, 1}, {1, 7}, {7, 1}, {2, 3}, {3, 2}, {23, 24}, {47, 23}, {257, 33}, {33, 257}};
    std::mt19937_64 random(21);
    std::uniform_real_distribution<double> values(-100.0, 100.0);
    std::uniform_real_distribution<double> shifts(-3.0, 3.0);
    for (const auto& [width, height] : sides) {
        std::vector<double> pixels(static_cast<std::size_t>(width) * height);
        for (double& v : pixels) v = values(random);
        Matrix translation(2, 1);
        translation.values = {shifts(random), shifts(random)};
        Matrix affine(2, 3);
        affine.values = {shifts(random), 0.96, -0.28, shifts(random), 0.28, 0.96};
        Matrix bilinear(2, 4);
        bilinear.values = {shifts(random), 1.01, 0.02, 1e-3, shifts(random), -0.03, 0.99, -2e-3};
        for (const Matrix& m : {translation, affine, bilinear}) {
            SCOPED_TRACE(::testing::Message() << width << "x" << height << ", " << m.columns << " columns");
            const std::vector<double> expected = warpImage(m, pixels.data(), width, height);
            std::vector<double> output(pixels.size(), std::numeric_limits<double>::quiet_NaN());
            warpImageInto(m, pixels.data(), width, height, output.data());
            ASSERT_EQ(expected.size(), output.size());
            for (std::size_t i = 0; i < output.size(); ++i)
                ASSERT_EQ(std::bit_cast<uint64_t>(expected[i]), std::bit_cast<uint64_t>(output[i])) << "value " << i;
        }
    }
}

} // namespace
} // namespace alignopt

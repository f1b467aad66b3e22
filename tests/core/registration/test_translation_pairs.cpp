#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "core/image/SplineImage.h"
#include "core/registration/RegistrationEngine.h"
#include "core/sampling/PixelRounding.h"

namespace alignopt {
namespace {

// The translation kernels evaluate a row at a time from model rows filtered
// once. The plain reference walks the same pixels one by one through the
// engine's own evaluation operations; error, gradient and Gauss-Newton matrix
// must match bit for bit, on sizes that put every pixel near a border,
// translations that reach the mirrored margins or miss the model, and masks
// with zeros and NaNs.
struct Sums {
    double error = 0.0;
    double gradient[2] = {0.0, 0.0};
    double hessian[3] = {0.0, 0.0, 0.0}; // (0,0), (0,1), (1,1)
};

Sums plainTranslation(RegistrationEngine& e, const std::vector<double>& grid, const std::vector<double>& gx,
                      const std::vector<double>& gy, double tx, double ty, bool masked) {
    Sums out;
    double s = 0.0;
    int32_t n = 0;
    double y = ty;
    for (int32_t j = 0; j < e.gridHeight; ++j, y += 1.0) {
        int32_t py;
        if (!nearestPixel(y, py) || py < 0 || py >= e.modelHeight) continue;
        double x = tx;
        for (int32_t k = 0; k < e.gridWidth; ++k, x += 1.0) {
            int32_t px;
            if (!nearestPixel(x, px) || px < 0 || px >= e.modelWidth) continue;
            const std::size_t i = static_cast<std::size_t>(j) * e.gridWidth + k;
            if (masked && !(e.modelMask[static_cast<std::size_t>(py) * e.modelWidth + px] * e.gridMask[i] != 0.0))
                continue;
            // Taps from floor(t) + k: a point with that base and a fraction of a half.
            e.sampleX = std::floor(tx) + k + 0.5;
            e.sampleY = std::floor(ty) + j + 0.5;
            e.computeXIndices();
            e.computeYOffsets();
            cubicWeights(tx - std::floor(tx), e.xWeights);
            cubicWeights(ty - std::floor(ty), e.yWeights);
            const double r = grid[i] - e.interpolate();
            s = s + r * r;
            ++n;
            out.gradient[0] = out.gradient[0] + gx[i] * r;
            out.gradient[1] = out.gradient[1] + gy[i] * r;
            out.hessian[0] = out.hessian[0] + gx[i] * gx[i];
            out.hessian[1] = out.hessian[1] + gx[i] * gy[i];
            out.hessian[2] = out.hessian[2] + gy[i] * gy[i];
        }
    }
    out.error = s / n;
    return out;
}

::testing::AssertionResult same(double expected, double actual) {
    if (std::bit_cast<uint64_t>(expected) == std::bit_cast<uint64_t>(actual)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

TEST(TranslationPairs, MatchThePlainWalkBitForBit) {
    const int32_t sides[] = {1, 2, 3, 23, 24, 47, 257};
    std::mt19937_64 random(8);
    std::uniform_real_distribution<double> values(-50.0, 50.0);
    const std::vector<double> dummy(1, 0.0);
    const SplineImage image(dummy.data(), 1, 1, TransformationType::Translation, false);
    for (const int32_t modelSide : sides) {
        for (const int32_t gridSide : {modelSide, modelSide == 1 ? 3 : modelSide - 1}) {
            const int32_t modelWidth = modelSide, modelHeight = modelSide == 257 ? 5 : modelSide;
            const int32_t gridWidth = gridSide, gridHeight = modelHeight;
            std::vector<double> model(static_cast<std::size_t>(modelWidth) * modelHeight);
            std::vector<double> grid(static_cast<std::size_t>(gridWidth) * gridHeight);
            std::vector<double> gx(grid.size()), gy(grid.size());
            for (double& v : model) v = values(random);
            for (double& v : grid) v = values(random);
            for (double& v : gx) v = values(random);
            for (double& v : gy) v = values(random);
            RegistrationEngine e(image, TransformationType::Translation);
            e.modelCoefficients = model;
            e.gridSamples = grid;
            e.gridGradientX = gx;
            e.gridGradientY = gy;
            e.modelWidth = modelWidth;
            e.modelHeight = modelHeight;
            e.gridWidth = gridWidth;
            e.gridHeight = gridHeight;
            std::uniform_real_distribution<double> shifts(-4.0, 4.0);
            // Masks with zeros and a NaN; read only in the masked trials.
            std::vector<double> modelMask(model.size()), gridMask(grid.size());
            std::bernoulli_distribution kept(0.8);
            for (double& v : modelMask) v = kept(random) ? 1.0 : 0.0;
            for (double& v : gridMask) v = kept(random) ? 0.5 : 0.0;
            modelMask[model.size() / 2] = std::numeric_limits<double>::quiet_NaN();
            for (int trial = 0; trial < 16; ++trial) {
                double tx = shifts(random), ty = shifts(random);
                // The same special shifts come with and without masks.
                const bool masked = trial >= 8;
                if (trial % 8 == 0) tx = ty = 0.0;
                if (trial % 8 == 1) tx = -2.0; // a negative integer
                if (trial % 8 == 2) tx = modelWidth - 0.75; // only the first column maps inside
                if (trial % 8 == 3) tx = 1.5 - 0x1p-52; // x + 1 rounds up to 2.5: pixel 2 is skipped
                e.modelMask = masked ? std::span<const double>(modelMask) : std::span<const double>();
                e.gridMask = masked ? std::span<const double>(gridMask) : std::span<const double>();
                SCOPED_TRACE(::testing::Message() << modelWidth << "x" << modelHeight << " model, " << gridWidth
                                                  << " wide grid, t = (" << tx << ", " << ty << ")"
                                                  << (masked ? ", masked" : ""));
                const Sums plain = plainTranslation(e, grid, gx, gy, tx, ty, masked);
                Matrix m(2, 1);
                m.values = {tx, ty};
                EXPECT_TRUE(same(plain.error, e.translationError(m)));
                Matrix hessian(2, 2);
                double gradient[2];
                EXPECT_TRUE(same(plain.error, e.translationErrorGradientHessian(m, hessian, gradient)));
                EXPECT_TRUE(same(plain.gradient[0], gradient[0]));
                EXPECT_TRUE(same(plain.gradient[1], gradient[1]));
                EXPECT_TRUE(same(plain.hessian[0], hessian(0, 0)));
                EXPECT_TRUE(same(plain.hessian[1], hessian(0, 1)));
                EXPECT_TRUE(same(plain.hessian[2], hessian(1, 1)));
            }
        }
    }
}

} // namespace
} // namespace alignopt

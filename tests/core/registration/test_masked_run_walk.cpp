#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/linalg/Matrix.h"
#include "core/registration/MaskedRunWalk.h"
#include "core/registration/MaskedWalk.h"
#include "core/registration/RegistrationEngine.h"
#include "core/simd/ProcessorLevel.h"
#include "test_rigid_bilinear_support.h"
#include "tests/core/RunnableLevels.h"

namespace alignopt {
namespace {

using testing::TestEngine;
using testing::TestLevel;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Everything a walk hands to its kernel, chunk by chunk, as bits.
std::vector<uint64_t> recorded(bool runs, bool bilinear, bool slopes, const RegistrationEngine& e, const Matrix& m,
                               ProcessorLevel at) {
    std::vector<uint64_t> out;
    const auto bits = [&](double v) {
        uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        out.push_back(b);
    };
    const auto visit = [&](const PixelChunk& c) {
        out.push_back(static_cast<uint64_t>(c.row));
        out.push_back(static_cast<uint64_t>(c.count));
        out.push_back(c.rowStart);
        for (int32_t p = 0; p < c.count; ++p) {
            out.push_back(static_cast<uint64_t>(c.column[p]));
            bits(c.columnValue[p]), bits(c.x[p]), bits(c.y[p]), bits(c.value[p]);
            if (slopes) bits(c.slopeX[p]), bits(c.slopeY[p]);
        }
    };
    int64_t count = 0;
    if (bilinear && slopes)
        count = runs ? walkMaskedRuns<true, true>(e, m, at, visit) : walkMaskedGrid<true, true>(e, m, at, visit);
    if (bilinear && !slopes)
        count = runs ? walkMaskedRuns<true, false>(e, m, at, visit) : walkMaskedGrid<true, false>(e, m, at, visit);
    if (!bilinear)
        count = runs ? walkMaskedRuns<false, false>(e, m, at, visit) : walkMaskedGrid<false, false>(e, m, at, visit);
    out.push_back(static_cast<uint64_t>(count));
    return out;
}

Matrix matrix(std::initializer_list<double> values) {
    Matrix m(2, static_cast<int32_t>(values.size() / 2));
    m.values = values;
    return m;
}

// The run form must hand the kernels exactly the chunks of the pixel-by-pixel
// masked walk: masks with holes, stripes and single pixels, matrices turned
// any way, partly or wholly outside, standing still, or not finite, and rows
// longer than a chunk; at every processor level, the margin copy built as the
// driver builds it.
TEST(MaskedRunWalk, HandsOnThePixelByPixelWalksChunksBitForBit) {
    const double c = std::cos(0.6), s = std::sin(0.6);
    const Matrix matrices[] = {
        matrix({0.0, 1.0, 0.0, 0.0, 0.0, 1.0}),
        matrix({2.5, c, -s, -1.5, s, c}),
        matrix({40.0, -c, s, 30.0, -s, -c}),
        matrix({-0.5, 1.0, 0.0, -0.5, 0.0, 1.0}),
        matrix({10.0, 0.0, 0.0, 7.0, 0.0, 0.0}),
        matrix({1e9, 1.0, 0.0, 0.0, 0.0, 1.0}),
        matrix({30.0, -2.5, 0.0, 5.0, 0.0, 1.0}),
        matrix({5.0, inf, 0.0, 5.0, 0.0, 1.0}),
        matrix({inf, -inf, 0.0, 5.0, 0.0, 1.0}),
        matrix({5.0, nan, 0.0, 5.0, 0.0, 1.0}),
        matrix({4.0, 1.0, 0.0, 5.0, 0.0, inf}),
        matrix({0.3, 0.5, 0.01, -0.2, 0.02, 0.9}), // many grid pixels per model pixel
    };
    const struct {
        int32_t modelWidth, modelHeight, gridWidth, gridHeight;
    } sizes[] = {{23, 47, 24, 23}, {1, 1, 3, 2}, {47, 24, 57, 19}, {600, 9, 700, 11}};
    std::mt19937_64 rng(5);
    for (const auto& size : sizes) {
        TestLevel level(size.modelWidth, size.modelHeight, size.gridWidth, size.gridHeight);
        // Zeros in runs and alone; a NaN product counts as used.
        for (std::size_t i = 0; i < level.modelMask.size(); ++i)
            level.modelMask[i] = (i / 7) % 3 == 0 ? 0.0 : rng() % 11 == 0 ? 0.0 : 1.0;
        for (std::size_t i = 0; i < level.gridMask.size(); ++i)
            level.gridMask[i] = i % 13 == 5 ? nan : rng() % 4 == 0 ? 0.0 : 1.0;
        for (const bool bilinear : {false, true}) {
            TestEngine e(bilinear ? TransformationType::Bilinear : TransformationType::Affine);
            level.install(*e);
            e->modelMargins.build(e->modelCoefficients, size.modelWidth, size.modelHeight);
            for (const Matrix& base : matrices) {
                Matrix m = base;
                if (bilinear) m = matrix({base(0, 0), base(0, 1), base(0, 2), 0.01, base(1, 0), base(1, 1),
                                          base(1, 2), -0.015});
                for (const bool slopes : {false, true}) {
                    if (slopes && !bilinear) continue;
                    for (const ProcessorLevel at : testing::runnableLevels()) {
                        SCOPED_TRACE(::testing::Message()
                                     << size.gridWidth << "x" << size.gridHeight << " bilinear " << bilinear
                                     << " slopes " << slopes << " m " << m.values[0] << " " << m.values[1] << " at "
                                     << testing::levelName(at));
                        EXPECT_EQ(recorded(true, bilinear, slopes, *e, m, at),
                                  recorded(false, bilinear, slopes, *e, m, at));
                    }
                }
            }
        }
    }
}

} // namespace
} // namespace alignopt

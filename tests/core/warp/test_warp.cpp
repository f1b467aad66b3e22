#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/image/SinglePrecision.h"
#include "core/image/SplineImage.h"
#include "core/linalg/Matrix.h"
#include "core/registration/RegistrationEngine.h"
#include "core/sampling/PixelRounding.h"
#include "core/warp/Warp.h"

namespace alignopt {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

Matrix makeMatrix(int32_t columns, std::initializer_list<double> values) {
    Matrix m(2, columns);
    m.values.assign(values);
    return m;
}

std::vector<double> randomImage(int32_t width, int32_t height, std::mt19937& rng) {
    std::uniform_real_distribution<double> pixel(0.0, 255.0);
    std::vector<double> image(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (auto& v : image) v = pixel(rng);
    return image;
}

// The plain warp: one engine evaluation per pixel by the general calling
// sequence, nothing hoisted, no shortcut around the fold. The fast loops must
// match it bit for bit.
std::vector<double> referenceWarp(const Matrix& m, const std::vector<double>& pixels, int32_t width, int32_t height) {
    const auto family = m.columns == 1   ? TransformationType::Translation
                        : m.columns == 3 ? TransformationType::Affine
                                         : TransformationType::Bilinear;
    SplineImage image(pixels.data(), width, height, family, false);
    image.computeCoefficients();
    RegistrationEngine e(image, family);
    e.modelCoefficients = image.coefficients;
    e.modelWidth = width;
    e.modelHeight = height;
    std::vector<double> out(pixels.size(), 0.0);
    auto inside = [&](double x, double y) {
        int32_t px = 0;
        int32_t py = 0;
        return nearestPixelInside(x, y, width, height, px, py);
    };
    auto evaluate = [&](double x, double y) {
        e.locatePoint(x, y);
        cubicWeights(e.sampleX, e.xWeights);
        cubicWeights(e.sampleY, e.yWeights);
        return roundToSingle(e.interpolate());
    };

    if (m.columns == 1) {
        const double fx = std::floor(m(0, 0));
        const double fy = std::floor(m(1, 0));
        cubicWeights(m(0, 0) - fx, e.xWeights);
        cubicWeights(m(1, 0) - fy, e.yWeights);
        double yp = m(1, 0);
        for (int32_t y = 0; y < height; ++y, yp += 1.0) {
            double xp = m(0, 0);
            for (int32_t x = 0; x < width; ++x, xp += 1.0) {
                if (!inside(xp, yp)) continue;
                // Taps from floor(t) + x: any coordinate with that integer part
                // (the half keeps negative bases off the integers).
                e.sampleY = fy + y + 0.5;
                e.computeYOffsets();
                e.sampleX = fx + x + 0.5;
                e.computeXIndices();
                out[static_cast<std::size_t>(y * width + x)] = roundToSingle(e.interpolate());
            }
        }
        return out;
    }
    double a = m(0, 0);
    double b = m(1, 0);
    double sx = 0.0;
    double sy = 0.0;
    for (int32_t y = 0; y < height; ++y) {
        double xp = a;
        double yp = b;
        for (int32_t x = 0; x < width; ++x) {
            if (inside(xp, yp)) out[static_cast<std::size_t>(y * width + x)] = evaluate(xp, yp);
            if (m.columns == 3) {
                xp += m(0, 1);
                yp += m(1, 1);
            } else {
                xp += (sx + m(0, 1));
                yp += (sy + m(1, 1));
            }
        }
        a += m(0, 2);
        b += m(1, 2);
        if (m.columns == 4) {
            sx += m(0, 3);
            sy += m(1, 3);
        }
    }
    return out;
}

void expectSameBits(const std::vector<double>& actual, const std::vector<double>& expected, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t i = 0; i < actual.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint64_t>(actual[i]), std::bit_cast<uint64_t>(expected[i]))
            << what << " at " << i << ": " << actual[i] << " vs " << expected[i];
}

// Matrices of every shape that put pixels inside, outside, on the borders
// and in the interior, with shear and rotation, and the identities.
std::vector<Matrix> randomMatrices(int32_t width, int32_t height, std::mt19937& rng) {
    std::uniform_real_distribution<double> shiftX(-0.3 * width - 2.0, 0.3 * width + 2.0);
    std::uniform_real_distribution<double> shiftY(-0.3 * height - 2.0, 0.3 * height + 2.0);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<Matrix> ms{makeMatrix(1, {0, 0}), makeMatrix(3, {0, 1, 0, 0, 0, 1}),
                           makeMatrix(4, {0, 1, 0, 0, 0, 0, 1, 0})};
    for (int i = 0; i < 4; ++i) {
        ms.push_back(makeMatrix(1, {shiftX(rng), shiftY(rng)}));
        ms.push_back(makeMatrix(1, {std::round(shiftX(rng)), shiftY(rng)}));
        const double angle = unit(rng);
        const double scale = 1.0 + 0.3 * unit(rng);
        ms.push_back(makeMatrix(3, {shiftX(rng), scale * std::cos(angle), -scale * std::sin(angle), shiftY(rng),
                                    scale * std::sin(angle), scale * std::cos(angle)}));
        ms.push_back(makeMatrix(3, {shiftX(rng), 1.0 + 0.2 * unit(rng), 0.1 * unit(rng), height - 1 + 0.5 * unit(rng),
                                    0.0, -1.0})); // y constant along a row, rows upside down
        ms.push_back(makeMatrix(4, {shiftX(rng), 1.0 + 0.1 * unit(rng), 0.2 * unit(rng), 0.02 * unit(rng),
                                    shiftY(rng), 0.2 * unit(rng), 1.0 + 0.1 * unit(rng), 0.02 * unit(rng)}));
    }
    return ms;
}

TEST(WarpImage, FastLoopsMatchThePlainEvaluationBitForBit) {
    std::mt19937 rng(20261209);
    std::vector<std::pair<int32_t, int32_t>> shapes;
    for (int32_t width : {1, 2, 3, 23, 24, 47})
        for (int32_t height : {1, 2, 3, 23, 24, 47}) shapes.emplace_back(width, height);
    shapes.emplace_back(150, 70); // crosses the blocks the loops walk the output in
    for (const auto& [width, height] : shapes) {
        const auto pixels = randomImage(width, height, rng);
        for (const auto& m : randomMatrices(width, height, rng)) {
            std::string what = std::to_string(width) + "x" + std::to_string(height) + " matrix";
            for (double v : m.values) what += " " + std::to_string(v);
            expectSameBits(warpImage(m, pixels.data(), width, height), referenceWarp(m, pixels, width, height), what);
        }
    }
}

TEST(WarpImage, IdentitiesGiveTheModelAtThePixels) {
    std::mt19937 rng(7);
    const int32_t width = 23;
    const int32_t height = 24;
    const auto pixels = randomImage(width, height, rng);
    const auto translation = warpImage(makeMatrix(1, {0, 0}), pixels.data(), width, height);
    expectSameBits(translation, referenceWarp(makeMatrix(1, {0, 0}), pixels, width, height), "translation");
    expectSameBits(warpImage(makeMatrix(3, {0, 1, 0, 0, 0, 1}), pixels.data(), width, height), translation, "affine");
    expectSameBits(warpImage(makeMatrix(4, {0, 1, 0, 0, 0, 0, 1, 0}), pixels.data(), width, height), translation,
                   "bilinear");
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        EXPECT_EQ(translation[i], roundToSingle(translation[i]));
        EXPECT_NEAR(translation[i], pixels[i], 1e-4); // the spline interpolates its samples
    }
}

struct ZeroedEdge {
    double tx, ty;
    int32_t column, row; // the column or row left at 0.0; -1 for none
};

// Half a pixel off the edge rounds away from zero, onto the next pixel
// outside; everything else is evaluated.
TEST(WarpImage, HalfPixelTranslationsZeroOneEdge) {
    std::mt19937 rng(3);
    const int32_t width = 5;
    const int32_t height = 4;
    auto pixels = randomImage(width, height, rng);
    for (auto& p : pixels) p = 100.0 + p / 25.0; // mild contrast keeps every value clear of 0
    for (const auto& c : {ZeroedEdge{0.5, 0, width - 1, -1}, ZeroedEdge{-0.5, 0, 0, -1},
                          ZeroedEdge{0, 0.5, -1, height - 1}, ZeroedEdge{0, -0.5, -1, 0},
                          ZeroedEdge{0, 0.4, -1, -1}, ZeroedEdge{-0.4999, 0.4999, -1, -1}}) {
        const auto out = warpImage(makeMatrix(1, {c.tx, c.ty}), pixels.data(), width, height);
        expectSameBits(out, referenceWarp(makeMatrix(1, {c.tx, c.ty}), pixels, width, height), "translation");
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const double v = out[static_cast<std::size_t>(y * width + x)];
                if (x == c.column || y == c.row)
                    EXPECT_EQ(std::bit_cast<uint64_t>(v), 0u) << c.tx << "," << c.ty << " at " << x << "," << y;
                else
                    EXPECT_GT(v, 50.0) << c.tx << "," << c.ty << " at " << x << "," << y;
            }
    }
}

TEST(WarpImage, PositionsThatLeaveTheImageGiveZeros) {
    std::mt19937 rng(5);
    const int32_t width = 6;
    const int32_t height = 3;
    const auto pixels = randomImage(width, height, rng);
    struct Case {
        Matrix m;
        std::size_t evaluated;
    };
    const std::vector<Case> cases{
        {makeMatrix(1, {width, 0}), 0}, {makeMatrix(1, {-width, 0}), 0}, {makeMatrix(1, {width - 0.5, 0}), 0},
        {makeMatrix(1, {0, height + 7.25}), 0}, {makeMatrix(1, {nan, 0}), 0}, {makeMatrix(1, {0, nan}), 0},
        {makeMatrix(1, {inf, 0}), 0}, {makeMatrix(1, {0, -inf}), 0}, {makeMatrix(1, {1e300, -1e300}), 0},
        {makeMatrix(1, {-4e9, 0}), 0}, {makeMatrix(1, {3e9, 3e9}), 0}, {makeMatrix(3, {nan, 1, 0, 0, 0, 1}), 0},
        // Only the first row stays inside.
        {makeMatrix(3, {0, 1, 0, 0, 0, 1e300}), width},
        // The NaN enters from the second row on, after the first step of each row.
        {makeMatrix(4, {0, 1, 0, 0, 0, 0, 1, nan}), width + height - 1},
    };
    for (const auto& c : cases) {
        const auto out = warpImage(c.m, pixels.data(), width, height);
        expectSameBits(out, referenceWarp(c.m, pixels, width, height), "m[0][0]=" + std::to_string(c.m.values[0]));
        std::size_t evaluated = 0;
        for (double v : out) evaluated += v != 0.0;
        EXPECT_EQ(evaluated, c.evaluated) << "m[0][0]=" << c.m.values[0];
    }
}

// The sampled area is the open rectangle (-0.5, size - 0.5): a position on
// its edge is outside, one slightly inwards inside. The rounding adds the
// half first, so the double next to -0.5 still rounds to -1 and is outside.
TEST(WarpImage, EdgesOfTheSampledRectangle) {
    std::mt19937 rng(13);
    const int32_t width = 24;
    const int32_t height = 3;
    auto pixels = randomImage(width, height, rng);
    for (auto& p : pixels) p = 100.0 + p / 25.0;
    struct Case {
        double offset;
        int32_t evaluatedColumns;
    };
    for (const Case& c : {Case{-0.5, width - 1}, Case{std::nextafter(-0.5, 0.0), width - 1},
                          Case{-0.5 + 1e-15, width}, Case{0.5, width - 1}, Case{0.5 - 1e-12, width}}) {
        for (const Matrix& m : {makeMatrix(1, {c.offset, 0}), makeMatrix(3, {c.offset, 1, 0, 0, 0, 1})}) {
            const auto out = warpImage(m, pixels.data(), width, height);
            expectSameBits(out, referenceWarp(m, pixels, width, height), "offset " + std::to_string(c.offset));
            std::size_t evaluated = 0;
            for (double v : out) evaluated += v != 0.0;
            EXPECT_EQ(evaluated, static_cast<std::size_t>(c.evaluatedColumns * height)) << c.offset;
        }
    }
}

// A NaN zeroes only the pixels whose position it enters: the first column is
// read at the row start, before m[0][1] is ever added.
TEST(WarpImage, NanStepKeepsTheFirstColumn) {
    std::mt19937 rng(11);
    const int32_t width = 7;
    const int32_t height = 5;
    const auto pixels = randomImage(width, height, rng);
    const auto identity = warpImage(makeMatrix(1, {0, 0}), pixels.data(), width, height);
    for (const auto& m : {makeMatrix(3, {0, nan, 0, 0, 0, 1}), makeMatrix(4, {0, nan, 0, 0, 0, 0, 1, 0})}) {
        const auto out = warpImage(m, pixels.data(), width, height);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const auto i = static_cast<std::size_t>(y * width + x);
                EXPECT_EQ(out[i], x == 0 ? identity[i] : 0.0) << x << "," << y;
            }
    }
}

TEST(WarpImage, SinglePixelImage) {
    const std::vector<double> pixel{0.1};
    const double single = roundToSingle(0.1);
    for (const auto& m : {makeMatrix(1, {0, 0}), makeMatrix(3, {0, 1, 0, 0, 0, 1}),
                          makeMatrix(4, {0, 1, 0, 0, 0, 0, 1, 0}), makeMatrix(1, {0.3, -0.2}),
                          makeMatrix(3, {-0.4, 2, 0, 0.4, 0, -3})}) {
        const auto out = warpImage(m, pixel.data(), 1, 1);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_NEAR(out[0], single, 1e-15);
        EXPECT_EQ(out[0], roundToSingle(out[0]));
    }
    EXPECT_EQ(warpImage(makeMatrix(1, {0.5, 0}), pixel.data(), 1, 1), std::vector<double>{0.0});
}

// A translation whose fraction lies within rounding of 1 makes the
// accumulated coordinate t + x land on the next integer while the weights
// still say "almost 1"; reading the taps from that coordinate put the value
// one whole pixel off. On a ramp the value must stay the position.
TEST(WarpImage, TranslationFractionNearOneStaysOnItsPixel) {
    const int32_t length = 40;
    struct Case {
        double shift;
        int32_t expectedOffset; // value at pixel k is k + offset
    };
    for (bool alongX : {true, false}) {
        const int32_t width = alongX ? length : 3;
        const int32_t height = alongX ? 3 : length;
        std::vector<double> ramp;
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) ramp.push_back(alongX ? x : y);
        for (const Case& c : {Case{-1e-15, 0}, Case{0.9999999999999999, 1}, Case{-1.0000000000000002, -1}}) {
            const Matrix m = alongX ? makeMatrix(1, {c.shift, 0}) : makeMatrix(1, {0, c.shift});
            const auto out = warpImage(m, ramp.data(), width, height);
            expectSameBits(out, referenceWarp(m, ramp, width, height), "shift");
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    const int32_t k = alongX ? x : y;
                    const int32_t source = k + c.expectedOffset;
                    const double expected = source >= 0 && source < length ? source : 0.0;
                    EXPECT_NEAR(out[static_cast<std::size_t>(y * width + x)], expected, 1e-4)
                        << (alongX ? "x" : "y") << " shift " << c.shift << " at " << k;
                }
        }
    }
}

TEST(WarpImage, RefusesOtherColumnCountsBeforeReadingAnything) {
    for (int32_t columns : {0, 2, 5}) {
        try {
            warpImage(Matrix(2, columns), nullptr, 4, 4);
            ADD_FAILURE() << columns << " columns accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Invalid transformation");
        }
    }
    // A matrix without its second row is refused the same way.
    EXPECT_THROW(warpImage(Matrix(1, 3), nullptr, 4, 4), std::runtime_error);
}

TEST(WarpImage, EmptyImageGivesEmptyResult) {
    EXPECT_TRUE(warpImage(makeMatrix(1, {0, 0}), nullptr, 0, 5).empty());
    EXPECT_TRUE(warpImage(makeMatrix(3, {0, 1, 0, 0, 0, 1}), nullptr, 3, 0).empty());
}

} // namespace
} // namespace alignopt

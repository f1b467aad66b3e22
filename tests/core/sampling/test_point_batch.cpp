#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <random>
#include <vector>

#include "core/sampling/MarginModel.h"
#include "core/sampling/PixelRounding.h"
#include "core/sampling/PointBatch.h"
#include "tests/core/RunnableLevels.h"

namespace alignopt {
namespace {

// Points inside a width x height model where the evaluation is hardest to get
// right: anywhere, on integers and -0.0 (where the base and the fraction's
// sign are decided), and on the margins, whose taps fold.
std::vector<double> insideCoordinates(std::mt19937& random, int32_t size, int32_t count) {
    std::uniform_real_distribution<double> anywhere(-0.5, size - 0.5);
    std::uniform_real_distribution<double> margin(0.0, 2.0);
    std::vector<double> v;
    while (static_cast<int32_t>(v.size()) < count) {
        double c = anywhere(random);
        switch (v.size() % 6) {
        case 1: c = std::round(c); break;
        case 2: c = -0.0; break;
        case 3: c = margin(random) - 0.5; break;
        case 4: c = size - 0.5 - margin(random); break;
        default: break;
        }
        int32_t pixel = 0;
        if (nearestPixel(c, pixel) && pixel >= 0 && pixel < size) v.push_back(c);
    }
    std::shuffle(v.begin(), v.end(), random);
    return v;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A model's coefficients as the batch sees them: plain, and with the margin
// copy that the registration's walks read.
struct TestModel {
    std::vector<double> coefficients;
    MarginModel margins;
    PointModel plain;
    PointModel withMargins;

    TestModel(int32_t width, int32_t height, std::mt19937& random, bool negativeZeroFirst)
        : coefficients(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        std::normal_distribution<double> coefficient(0.0, 100.0);
        for (double& v : coefficients) v = coefficient(random);
        if (negativeZeroFirst) coefficients[0] = -0.0; // a -0.0 product must not change a sum's sign
        margins.build(coefficients, width, height);
        plain = {coefficients.data(), width, height};
        withMargins = {coefficients.data(), width, height, margins.originFor(coefficients, width, height)};
    }
};

// Values, and values with slopes, at the points (x, y) on every path the
// processor runs, with and without margins, against the scalar path.
void expectEveryPathGivesTheScalarBits(const TestModel& model, const std::vector<double>& x,
                                       const std::vector<double>& y) {
    const int32_t n = static_cast<int32_t>(x.size());
    std::vector<double> reference(n), referenceDx(n), referenceDy(n), referenceValue(n);
    batchValuesAt(ProcessorLevel::Baseline, model.plain, x.data(), y.data(), n, reference.data());
    batchValuesAndSlopesAt(ProcessorLevel::Baseline, model.plain, x.data(), y.data(), n, referenceValue.data(),
                           referenceDx.data(), referenceDy.data());
    for (const ProcessorLevel level : testing::runnableLevels())
        for (const PointModel& m : {model.plain, model.withMargins}) {
            SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(level)
                                              << (m.withMargins ? ", with margins" : ""));
            std::vector<double> out(n), value(n), dx(n), dy(n);
            batchValuesAt(level, m, x.data(), y.data(), n, out.data());
            batchValuesAndSlopesAt(level, m, x.data(), y.data(), n, value.data(), dx.data(), dy.data());
            EXPECT_TRUE(sameBits(out, reference));
            EXPECT_TRUE(sameBits(value, referenceValue));
            EXPECT_TRUE(sameBits(dx, referenceDx));
            EXPECT_TRUE(sameBits(dy, referenceDy));
        }
}

// Every path the processor runs gives the scalar reference's bits, for values
// and for values with slopes, on models from smaller than the kernel to wider
// than a gather group, with counts that leave a partial group.
TEST(PointBatch, EveryPathGivesTheScalarBits) {
    const int32_t sizes[][2] = {{1, 1}, {2, 2}, {3, 3}, {23, 23}, {24, 24}, {47, 47}, {257, 257},
                                {1, 47}, {47, 2}, {4, 4}, {24, 257}};
    std::mt19937 random(11);
    for (const auto& [width, height] : sizes) {
        const TestModel model(width, height, random, true);
        for (const int32_t n : {1, 7, 13, 203}) {
            SCOPED_TRACE(::testing::Message() << width << "x" << height << ", n = " << n);
            const std::vector<double> x = insideCoordinates(random, width, n);
            const std::vector<double> y = insideCoordinates(random, height, n);
            expectEveryPathGivesTheScalarBits(model, x, y);
        }
    }
}

// Points in runs, as walks make them: neighbours whose taps overlap, which the
// wide paths load together, also when a group of them steps into the next
// row or the one before. Runs along and across rows, backwards, as far
// apart as the shared loads allow and a little further, through the folded
// margins, and up to the model's last coefficient.
TEST(PointBatch, RunsOfNeighbouringPointsGiveTheScalarBits) {
    const int32_t sizes[][2] = {{24, 24}, {47, 23}, {257, 9}, {16, 5}};
    const double steps[][2] = {{1.0, 0.0},  {0.998, 0.052}, {0.97, -0.26}, {-1.0, 0.0}, {1.7, 0.0},
                               {1.75, 0.0}, {1.8, 0.01},    {0.0, 1.0},    {0.25, 0.0}, {0.5, 0.5}};
    std::mt19937 random(5);
    for (const auto& [width, height] : sizes) {
        const TestModel model(width, height, random, false);
        for (const auto& [stepX, stepY] : steps) {
            // Runs that start all over the model and end wherever they leave it.
            std::vector<double> x, y;
            for (double startY = -0.4; startY < height - 0.5; startY += 0.73)
                for (double startX = -0.45; startX < width - 0.5; startX += 2.9) {
                    double px = startX, py = startY;
                    for (int32_t k = 0; k < 40 && roundsInside(px, py, width, height); ++k) {
                        x.push_back(px);
                        y.push_back(py);
                        px += stepX;
                        py += stepY;
                    }
                }
            SCOPED_TRACE(::testing::Message() << width << "x" << height << ", step " << stepX << ", " << stepY);
            expectEveryPathGivesTheScalarBits(model, x, y);
        }
    }
}

// The copy with margins serves only the coefficients it was built from.
TEST(MarginModel, ServesOnlyItsOwnCoefficients) {
    std::vector<double> c(12, 1.0), other(12, 1.0);
    MarginModel margins;
    EXPECT_EQ(margins.originFor(c, 4, 3), nullptr);
    margins.build(c, 4, 3);
    EXPECT_NE(margins.originFor(c, 4, 3), nullptr);
    EXPECT_EQ(margins.originFor(other, 4, 3), nullptr);
    EXPECT_EQ(margins.originFor(c, 3, 4), nullptr);
}

} // namespace
} // namespace alignopt

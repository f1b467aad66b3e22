#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/registration/ChunkSums.h"
#include "core/registration/KernelTerms.h"

namespace alignopt {
namespace {

// The chunk sums must equal the pixel-by-pixel sums bit for bit on every path
// the processor has, whatever the values: signed zeros, infinities, NaNs and
// magnitudes far apart, and chunks of any length after any earlier pixel.
// Only a NaN matches any NaN: which of two NaN operands an operation passes
// on is left open by the arithmetic, and compilers swap the operands of a
// product or sum freely.
bool sameSums(const double* expected, const double* actual, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(expected[i]) && std::isnan(actual[i])) continue;
        if (std::memcmp(&expected[i], &actual[i], sizeof(double)) != 0) return false;
    }
    return true;
}

template <int32_t N>
void expectSameSums(const GaussNewtonSums<N>& expected, const GaussNewtonSums<N>& actual) {
    EXPECT_TRUE(sameSums(expected.g, actual.g, N));
    EXPECT_TRUE(sameSums(expected.h, actual.h, GaussNewtonSums<N>::packed));
    EXPECT_TRUE(sameSums(&expected.s, &actual.s, 1));
}

// Values for the terms: with specials, or finite and moderate only, where a
// single NaN or infinity would otherwise turn every sum of a long chunk into
// one and hide a sum added in the wrong order.
struct Draw {
    std::mt19937_64 random;
    std::uniform_real_distribution<double> values{-1e3, 1e3};
    std::uniform_int_distribution<int> special{0, 40};
    bool specials = true;

    explicit Draw(uint64_t seed) : random(seed) {}
    double operator()() {
        static const double extremes[] = {0.0, -0.0, 1e-300, -1e300, std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::quiet_NaN()};
        const int s = special(random);
        if (s < 6 && specials) return extremes[s];
        return values(random) * (s % 2 ? 1e-6 : 1.0);
    }
};

// Terms read from a table: the sums alone, on any values.
template <int32_t N>
struct TableRule {
    static constexpr int32_t count = N;
    const std::vector<double>& table; // N terms and the residual per pixel

    double terms(int32_t p, double (&d)[N]) const {
        for (int32_t a = 0; a < N; ++a) d[a] = table[static_cast<std::size_t>(p) * (N + 1) + a];
        return table[static_cast<std::size_t>(p) * (N + 1) + N];
    }
    __attribute__((target("avx512f"))) void lanes(int32_t p, Lanes& t, Residual& r) const {
        double d[N];
        r = {terms(p, d), 0.0}; // r - 0 is r, -0.0 included
        t = Lanes{};
        for (int32_t a = 0; a < N; ++a) t[a] = d[a];
    }
};

// Runs `rule` over `count` pixels on the scalar path and on the processor's
// own, from the same earlier sums, and compares.
template <class Rule>
void expectPathsAgree(const Rule& rule, int32_t count, Draw& draw) {
    constexpr int32_t N = Rule::count;
    GaussNewtonSums<N> earlier;
    double d[N];
    for (double& v : d) v = draw.values(draw.random);
    earlier.add(d, draw.values(draw.random));
    GaussNewtonSums<N> plain = earlier;
    addChunkAt(ProcessorLevel::Baseline, plain, rule, count);
    GaussNewtonSums<N> wide = earlier;
    addChunkAt(supportedProcessorLevel(), wide, rule, count);
    expectSameSums(plain, wide);
}

template <int32_t N>
void expectTableSumsAgree() {
    Draw draw(N);
    for (const int32_t count : {0, 1, 7, 255, 256}) {
        SCOPED_TRACE(::testing::Message() << N << " terms, " << count << " pixels");
        std::vector<double> table(static_cast<std::size_t>(count) * (N + 1));
        for (double& v : table) v = draw();
        expectPathsAgree(TableRule<N>{table}, count, draw);
    }
}

TEST(ChunkSums, MatchPixelByPixelSumsBitForBit) {
    expectTableSumsAgree<2>();
    expectTableSumsAgree<3>();
    expectTableSumsAgree<4>();
    expectTableSumsAgree<6>();
    expectTableSumsAgree<8>();
}

// A chunk of a grid row with random pixels, values and slopes; its columns
// follow one another, as in runs, or skip some, as masked walks may.
struct RandomChunk {
    std::vector<double> grid, gradientX, gradientY, value, slopeX, slopeY;
    std::vector<int32_t> column;
    std::vector<double> columnValue;
    PixelChunk chunk;

    RandomChunk(int32_t count, Draw& draw, bool consecutive) {
        const std::size_t n = static_cast<std::size_t>(count);
        for (auto* v : {&grid, &gradientX, &gradientY}) v->resize(2 * n + 5);
        for (auto* v : {&value, &slopeX, &slopeY}) v->resize(n);
        for (auto* v : {&grid, &gradientX, &gradientY, &value, &slopeX, &slopeY})
            for (double& x : *v) x = draw();
        std::uniform_int_distribution<int32_t> gap(1, consecutive ? 1 : 2);
        for (int32_t p = 0, k = 0; p < count; ++p, k += gap(draw.random)) {
            column.push_back(k);
            columnValue.push_back(static_cast<double>(k));
        }
        chunk.row = 17;
        chunk.count = count;
        chunk.rowStart = 3;
        chunk.column = column.data();
        chunk.columnValue = columnValue.data();
        chunk.value = value.data();
        chunk.slopeX = slopeX.data();
        chunk.slopeY = slopeY.data();
    }
};

// Each family's terms in lanes equal its terms pixel by pixel, and so do the
// rigid body's terms of eight consecutive pixels at once: chunks shorter than
// eight, of one group and a few more, of two groups, and long.
TEST(ChunkSums, FamilyTermsInLanesMatchTheirPixelForms) {
    Draw draw(99);
    LandmarkSet l(3, 2);
    l.values = {2.0, 3.0, 17.0, 4.5, 6.0, 19.0};
    const RigidBodyTerms rigid;
    const ScaledRotationTerms scaledRotation(l);
    const AffineTerms affine(l, 161.5);
    std::vector<double> inverse(16);
    for (double& v : inverse) v = draw.values(draw.random) * 1e-3;
    for (const bool specials : {true, false}) {
        draw.specials = specials;
        for (const bool consecutive : {false, true}) {
            for (const int32_t count : {1, 7, 9, 16, 23, 256}) {
                SCOPED_TRACE(::testing::Message() << count << (consecutive ? " consecutive" : "") << " pixels"
                                                  << (specials ? ", specials" : ""));
                const RandomChunk c(count, draw, consecutive);
                const double* grid = c.grid.data();
                const double* gx = c.gradientX.data();
                const double* gy = c.gradientY.data();
                expectPathsAgree(GridGradientRule(rigid, c.chunk, grid, gx, gy), count, draw);
                expectPathsAgree(GridGradientRule(scaledRotation, c.chunk, grid, gx, gy), count, draw);
                expectPathsAgree(GridGradientRule(affine, c.chunk, grid, gx, gy), count, draw);
                expectPathsAgree(BilinearRule(c.chunk, grid, inverse.data()), count, draw);
            }
        }
    }
}

} // namespace
} // namespace alignopt

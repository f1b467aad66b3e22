#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/registration/GaussNewtonSums.h"

namespace alignopt {
namespace {

// The block sums must equal the pixel-by-pixel sums bit for bit on every path
// the processor has, whatever the values: signed zeros, infinities, NaNs and
// magnitudes far apart, and blocks of any length after any earlier block.
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
void expectBlockSumsMatchPixelSums() {
    std::mt19937_64 random(N);
    std::uniform_real_distribution<double> values(-1e3, 1e3);
    std::uniform_int_distribution<int> special(0, 40);
    const double specials[] = {0.0, -0.0, 1e-300, -1e300, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};
    auto draw = [&] {
        const int s = special(random);
        return s < 6 ? specials[s] : values(random) * (s % 2 ? 1e-6 : 1.0);
    };
    for (const int32_t count : {0, 1, 7, 255, 256}) {
        std::vector<double> d(static_cast<std::size_t>(count) * N), r(static_cast<std::size_t>(count));
        for (double& v : d) v = draw();
        for (double& v : r) v = draw();
        const auto* rows = reinterpret_cast<const double(*)[N]>(d.data());

        // An earlier pixel, so that the block starts from sums that are not zero.
        double earlier[N];
        for (double& v : earlier) v = values(random);
        GaussNewtonSums<N> plain;
        plain.add(earlier, values(random));
        const GaussNewtonSums<N> blocks = plain;
        for (int32_t p = 0; p < count; ++p) plain.add(rows[p], r[static_cast<std::size_t>(p)]);
        for (const BatchLevel level : {BatchLevel::Scalar, supportedBatchLevel()}) {
            SCOPED_TRACE(::testing::Message() << N << " terms, " << count << " pixels, level "
                                              << static_cast<int>(level));
            GaussNewtonSums<N> sums = blocks;
            if (!addAllWide(level, sums, rows, r.data(), count))
                for (int32_t p = 0; p < count; ++p) sums.add(rows[p], r[static_cast<std::size_t>(p)]);
            EXPECT_TRUE(sameSums(plain.g, sums.g, N));
            EXPECT_TRUE(sameSums(plain.h, sums.h, GaussNewtonSums<N>::packed));
            EXPECT_TRUE(sameSums(&plain.s, &sums.s, 1));
        }
    }
}

TEST(GaussNewtonSums, BlocksMatchPixelByPixelSumsBitForBit) {
    expectBlockSumsMatchPixelSums<3>(); // rigid body
    expectBlockSumsMatchPixelSums<4>(); // scaled rotation
    expectBlockSumsMatchPixelSums<6>(); // affine
    expectBlockSumsMatchPixelSums<8>(); // bilinear
}

} // namespace
} // namespace alignopt

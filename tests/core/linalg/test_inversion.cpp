#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/linalg/Inversion.h"

namespace alignopt {
namespace {

Matrix square(int32_t n, std::vector<double> values) {
    Matrix m(n, n);
    m.values = std::move(values);
    return m;
}

bool allFinite(const Matrix& m) {
    for (double v : m.values)
        if (!std::isfinite(v)) return false;
    return true;
}

TEST(InvertMatrix, EmptyMatrixIsLeftAlone) {
    Matrix m;
    invertMatrix(m);
    EXPECT_EQ(m, Matrix());
}

TEST(InvertMatrix, SingleEntryBecomesItsReciprocal) {
    for (double a : {4.0, -3.0, 1e-300, 7.5}) {
        Matrix m = square(1, {a});
        invertMatrix(m);
        EXPECT_EQ(m.values[0], 1.0 / a) << a;
    }
}

TEST(InvertMatrix, ZeroDiagonalIsHandledByPivoting) {
    Matrix exchange = square(2, {0, 1, 1, 0});
    invertMatrix(exchange);
    EXPECT_EQ(exchange, square(2, {0, 1, 1, 0}));

    Matrix cyclic = square(3, {0, 2, 0, 0, 0, 4, -8, 0, 0});
    invertMatrix(cyclic);
    EXPECT_EQ(cyclic, square(3, {0, 0, -0.125, 0.5, 0, 0, 0, 0.25, 0}));
}

// Rows 1 and 2 equilibrate to (1, 1, -0.6) and (1, 2/7, 1/7): a tie in the
// first pivot column. Keeping the upper row gives these bits; moving to the
// lower row gives results a few units in the last place away.
TEST(InvertMatrix, PivotTieKeepsTheUpperRow) {
    Matrix m = square(3, {-2, 7, -3, 5, 5, -3, 7, 2, 1});
    invertMatrix(m);
    const std::vector<double> expected = {
        -0.08527131782945738, 0.1007751937984496,   0.046511627906976744,
        0.20155038759689925,  -0.14728682170542637, 0.16279069767441862,
        0.19379844961240314,  -0.41085271317829464, 0.3488372093023256};
    EXPECT_EQ(m.values, expected);
}

// Row 0 has -1, 1, -1 (all of magnitude 1): the leftmost -1 must be the
// scale. Taking a later entry flips the sign of the exact zero at (2, 2).
TEST(InvertMatrix, ScaleTieTakesTheLeftmostEntry) {
    Matrix m = square(3, {-1, 1, -1, -3, 3, 1, -1, 2, 5});
    invertMatrix(m);
    EXPECT_EQ(m.values[8], 0.0);
    EXPECT_TRUE(std::signbit(m.values[8]));
    EXPECT_EQ(m.values[6], -0.75);
    EXPECT_EQ(m.values[7], 0.25);
}

// Scaling row i by a power of two (negative too) leaves the equilibrated
// matrix and the pivots unchanged, so the inverse's column i is scaled by
// exactly 1/f and nothing else moves by a single bit.
TEST(InvertMatrix, RowScalingScalesTheInverseColumnExactly) {
    const Matrix a = square(4, {3, -1, 2, 0.5, 1, 4, -2, 1, -2, 1, 5, 3, 0.25, 2, -1, 6});
    Matrix reference = a;
    invertMatrix(reference);
    for (int32_t row = 0; row < 4; ++row)
        for (double f : {-1.0, 2.0, -0.25, 8.0}) {
            Matrix scaled = a;
            for (int32_t c = 0; c < 4; ++c) scaled(row, c) *= f;
            invertMatrix(scaled);
            for (int32_t r = 0; r < 4; ++r)
                for (int32_t c = 0; c < 4; ++c)
                    EXPECT_EQ(scaled(r, c), c == row ? reference(r, c) / f : reference(r, c))
                        << "row " << row << " factor " << f << " at " << r << "," << c;
        }
}

TEST(InvertMatrix, SingularInputComesBackNonFiniteWithoutReport) {
    Matrix zeroRow = square(2, {1, 2, 0, 0});
    invertMatrix(zeroRow);
    for (double v : zeroRow.values) EXPECT_TRUE(std::isnan(v));

    Matrix equalRows = square(2, {1, 2, 1, 2});
    invertMatrix(equalRows);
    EXPECT_EQ(equalRows.values, (std::vector<double>{INFINITY, -INFINITY, -INFINITY, INFINITY}));

    // Rounding hides this singularity: huge but finite, still unreported.
    Matrix nearly = square(3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    invertMatrix(nearly);
    EXPECT_TRUE(allFinite(nearly));
    EXPECT_GT(std::fabs(nearly(1, 1)), 1e15);
}

TEST(InvertMatrix, InvertsAndInvertingTwiceRestoresTheInput) {
    const Matrix a = square(6, {4, 1, 0, 2, -1, 0.5, 1, 5, 1, 0, 2, -1, 0, 1, 6, 1, 0, 2,
                                2, 0, 1, 7, 1, 0, -1, 2, 0, 1, 8, 1, 0.5, -1, 2, 0, 1, 9});
    Matrix inverse = a;
    invertMatrix(inverse);
    for (int32_t r = 0; r < 6; ++r)
        for (int32_t c = 0; c < 6; ++c) {
            double sum = 0.0;
            for (int32_t k = 0; k < 6; ++k) sum += a(r, k) * inverse(k, c);
            EXPECT_NEAR(sum, r == c ? 1.0 : 0.0, 1e-14);
        }
    Matrix twice = inverse;
    invertMatrix(twice);
    for (std::size_t i = 0; i < a.values.size(); ++i) EXPECT_NEAR(twice.values[i], a.values[i], 1e-13);
}

} // namespace
} // namespace alignopt

// Inputs the fuzzers found faults with, each pinned by the behaviour that is
// right for it. The faults themselves (undefined conversions, stray reads)
// show only in the sanitizer build, which runs these too.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/linalg/Matrix.h"
#include "core/warp/Warp.h"

namespace alignopt {
namespace {

// A translation whose row offset is NaN reads no row, but the row base was
// converted to an integer before that was known: NaN to int64 is undefined.
TEST(FuzzRegressions, TranslationWithNanRowOffsetIsAllOutside) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> pixels(5 * 4, 1.0);
    for (const double tx : {0.0, 0.25, -1.5}) {
        Matrix matrix(2, 1);
        matrix(0, 0) = tx;
        matrix(1, 0) = nan;
        EXPECT_EQ(warpImage(matrix, pixels.data(), 5, 4), std::vector<double>(5 * 4, 0.0)) << tx;
    }
}

} // namespace
} // namespace alignopt

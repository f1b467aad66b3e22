#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "core/simd/RunAtLevel.h"
#include "core/simd/VectorTypes.h"
#include "tests/core/RunnableLevels.h"

namespace alignopt {
namespace {

// The runner must call the pass instantiated for the level it is given, and
// a vector pass compiled for each level must give the plain code's bits.
TEST(RunAtLevel, RunsThePassOfTheLevelAskedFor) {
    const double values[8] = {0.1, -0.0, 3.0e300, -7.25, 1e-310, 2.5, -1.0 / 3.0, 6.0};
    double plain[8];
    for (int i = 0; i < 8; ++i) plain[i] = (values[i] * 0.75 - 1.0) / 3.0;
    for (const ProcessorLevel level : testing::runnableLevels()) {
        SCOPED_TRACE(testing::levelName(level));
        ProcessorLevel ran = level == ProcessorLevel::Baseline ? ProcessorLevel::Avx512 : ProcessorLevel::Baseline;
        double out[8];
        runAtLevel(level, [&]<ProcessorLevel V>() {
            ran = V;
            using Real = VectorTypes<8>::Real;
            Real v;
            std::memcpy(&v, values, sizeof v);
            v = (v * 0.75 - 1.0) / 3.0;
            std::memcpy(out, &v, sizeof v);
        });
        EXPECT_EQ(ran, level);
        EXPECT_EQ(std::memcmp(out, plain, sizeof out), 0);
    }
}

} // namespace
} // namespace alignopt

// registerImages on two images of the same fuzzed size (1 ... 64 per side),
// fuzzed pixels and every family: it must neither fault nor abort, and its
// result must have the shapes of the family. Pixels whose spline model
// overflows single precision (NaN and infinities included, which the module
// refuses before they get here) are refused, and only those.

#include "fuzz/FuzzFamilies.h"
#include "fuzz/FuzzInput.h"

#include "core/registration/Registration.h"

#include <algorithm>
#include <cmath>

namespace {

using fuzzfamilies::families;
using fuzzfamilies::landmarkCount;
using fuzzfamilies::matrixColumns;

// Far below where any filter gain could reach the largest float.
bool moderate(const std::vector<double>& pixels) {
    return std::all_of(pixels.begin(), pixels.end(), [](double v) { return std::fabs(v) <= 1e30; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const int family = input.byte() % 5;
    const int32_t width = input.side();
    const int32_t height = input.side();
    const std::vector<double> target = input.pixels(width, height);
    const std::vector<double> source = input.pixels(width, height);

    alignopt::RegistrationResult result;
    try {
        result = alignopt::registerImages(target.data(), source.data(), families[family], width, height);
    } catch (const alignopt::ValueRangeError&) {
        FUZZ_REQUIRE(!(moderate(target) && moderate(source)));
        return 0;
    }

    FUZZ_REQUIRE(result.matrix.rows == 2 && result.matrix.columns == matrixColumns[family]);
    FUZZ_REQUIRE(result.matrix.values.size() == 2u * static_cast<std::size_t>(matrixColumns[family]));
    for (const alignopt::LandmarkSet* set : {&result.targetLandmarks, &result.sourceLandmarks}) {
        FUZZ_REQUIRE(set->rows == landmarkCount[family] && set->columns == 2);
        FUZZ_REQUIRE(set->values.size() == 2u * static_cast<std::size_t>(landmarkCount[family]));
    }
    // The target landmarks are placed, never moved: always finite.
    for (double v : result.targetLandmarks.values) FUZZ_REQUIRE(std::isfinite(v));
    return 0;
}

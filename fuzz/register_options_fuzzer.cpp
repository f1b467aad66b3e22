// registerWithOptions on two images of the same fuzzed size (1 ... 64 per
// side), fuzzed pixels (NaN and infinities included), fuzzed masks, a fuzzed
// initial matrix of every shape and a fuzzed level cap, for every family: it
// must neither fault nor abort; it refuses only what it documents, and its result has the
// family's shapes, an error that is NaN exactly when no pixel was used, and,
// without options, registerImages' bits.

#include "fuzz/FuzzFamilies.h"
#include "fuzz/FuzzInput.h"

#include "core/registration/Registration.h"
#include "core/registration/RegistrationOptions.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using fuzzfamilies::families;
using fuzzfamilies::landmarkCount;
using fuzzfamilies::matrixColumns;

// Far below where any filter gain or landmark product could overflow.
bool within(const std::vector<double>& values, double bound) {
    return std::all_of(values.begin(), values.end(), [bound](double v) { return std::fabs(v) <= bound; });
}

bool anyInfinite(const std::vector<double>& values) {
    return std::any_of(values.begin(), values.end(), [](double v) { return std::isinf(v); });
}

bool allFinite(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// A mask: none, mostly ones with fuzzed zeros, or raw values (NaN included).
std::vector<double> mask(FuzzInput& input, std::size_t count) {
    const uint8_t kind = input.byte() % 3;
    if (kind == 0) return {};
    std::vector<double> values(count, 1.0);
    for (double& v : values) v = kind == 1 ? (input.byte() % 4 == 0 ? 0.0 : 1.0) : input.rawDouble();
    return values;
}

// How many pixels the registration may use: kept by the mask and not NaN.
int64_t usable(const std::vector<double>& pixels, const std::vector<double>& mask) {
    int64_t count = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i)
        count += (mask.empty() || mask[i] != 0.0) && !std::isnan(pixels[i]) ? 1 : 0;
    return count;
}

bool sameBits(const alignopt::Matrix& a, const alignopt::Matrix& b) {
    return a.rows == b.rows && a.columns == b.columns &&
           std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(double)) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const int family = input.byte() % 5;
    const int32_t width = input.side();
    const int32_t height = input.side();
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::vector<double> target = input.pixels(width, height);
    const std::vector<double> source = input.pixels(width, height);
    const std::vector<double> targetMask = mask(input, count);
    const std::vector<double> sourceMask = mask(input, count);
    const uint8_t initialKind = input.byte() % 4; // none, (2, 1), (2, 3), (2, 4)
    alignopt::Matrix initial;
    if (initialKind > 0) {
        initial = alignopt::Matrix(2, initialKind == 1 ? 1 : initialKind == 2 ? 3 : 4);
        // Near the identity, or raw bit patterns.
        const bool raw = input.byte() % 2 == 1;
        for (int32_t r = 0; r < 2; ++r)
            for (int32_t c = 0; c < initial.columns; ++c)
                initial(r, c) = raw ? input.rawDouble()
                                    : (c == r + 1 ? 1.0 : 0.0) + (static_cast<int>(input.byte()) - 128) / 32.0;
    }

    alignopt::RegistrationOptions options;
    options.targetMask = targetMask;
    options.sourceMask = sourceMask;
    options.initial = initialKind > 0 ? &initial : nullptr;
    // Read last, so that earlier inputs keep their meaning: 0 (every level) when absent.
    options.maximumLevels = input.byte() % 5;
    alignopt::RegistrationOutcome outcome;
    try {
        outcome = alignopt::registerWithOptions(target.data(), source.data(), families[family], width, height,
                                                options);
    } catch (const alignopt::OptionError&) {
        const int64_t needed = alignopt::parameterCount(families[family]);
        const auto total = static_cast<int64_t>(count);
        const auto tooFew = [&](const std::vector<double>& pixels, const std::vector<double>& m) {
            const int64_t n = usable(pixels, m);
            return n < total && n < needed;
        };
        FUZZ_REQUIRE(!allFinite(targetMask) || !allFinite(sourceMask) || anyInfinite(target) ||
                     anyInfinite(source) || tooFew(target, targetMask) || tooFew(source, sourceMask) ||
                     (initialKind > 0 && !within(initial.values, 1e150)));
        return 0;
    } catch (const alignopt::ValueRangeError&) {
        FUZZ_REQUIRE(!(within(target, 1e30) && within(source, 1e30)));
        return 0;
    }

    const alignopt::RegistrationResult& result = outcome.registration;
    FUZZ_REQUIRE(result.matrix.rows == 2 && result.matrix.columns == matrixColumns[family]);
    for (const alignopt::LandmarkSet* set : {&result.targetLandmarks, &result.sourceLandmarks})
        FUZZ_REQUIRE(set->rows == landmarkCount[family] && set->columns == 2);
    for (double v : result.targetLandmarks.values) FUZZ_REQUIRE(std::isfinite(v));
    FUZZ_REQUIRE(outcome.pixels >= 0 && outcome.pixels <= static_cast<int64_t>(count));
    FUZZ_REQUIRE((outcome.pixels == 0) == std::isnan(outcome.error));
    FUZZ_REQUIRE(outcome.pixels == 0 || outcome.error >= 0.0);

    if (targetMask.empty() && sourceMask.empty() && initialKind == 0 && options.maximumLevels == 0 &&
        allFinite(target) && allFinite(source)) {
        const alignopt::RegistrationResult plain =
            alignopt::registerImages(target.data(), source.data(), families[family], width, height);
        FUZZ_REQUIRE(sameBits(plain.matrix, result.matrix));
        FUZZ_REQUIRE(sameBits(plain.sourceLandmarks, result.sourceLandmarks));
    }
    return 0;
}

#pragma once

// Shared by the image tests: reproducible random data, bit-exact comparison
// and the plain line-by-line versions of the separable passes.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/image/BSplineFilters.h"
#include "core/image/SinglePrecision.h"
#include "core/simd/ProcessorLevel.h"
#include "tests/core/RunnableLevels.h"

namespace alignopt::testing {

inline std::vector<double> randomValues(std::size_t n, uint32_t seed, double low = 0.0, double high = 255.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(low, high);
    std::vector<double> v(n);
    for (double& x : v) x = dist(rng);
    return v;
}

// Same bits, so -0.0 and 0.0 differ and a NaN only matches its own pattern.
inline ::testing::AssertionResult sameBits(std::span<const double> expected, std::span<const double> actual) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size();
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (std::bit_cast<uint64_t>(expected[i]) != std::bit_cast<uint64_t>(actual[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": expected " << expected[i] << ", got " << actual[i];
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult allSinglePrecision(std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i)
        if (static_cast<double>(static_cast<float>(values[i])) != values[i])
            return ::testing::AssertionFailure() << "element " << i << " = " << values[i] << " is not a float";
    return ::testing::AssertionSuccess();
}

struct Size {
    int32_t width;
    int32_t height;
};

inline std::string sizeName(const Size& s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

// Odd and even sizes that reach every border case, lines of one sample included.
inline std::vector<Size> borderSizes() {
    const int32_t lengths[] = {1, 2, 3, 23, 24, 47, 257};
    std::vector<Size> sizes;
    for (const int32_t w : lengths)
        for (const int32_t h : lengths)
            if (static_cast<int64_t>(w) * h <= 257 * 47) sizes.push_back({w, h});
    return sizes;
}

// Reference versions of the separable passes: one line at a time through the
// public line operations, each pass rounded on write-back.
namespace plain {

using LineFilter = void (*)(std::vector<double>& line, SplineDegree degree);

inline void prefilter(std::vector<double>& line, SplineDegree degree) { prefilterLine(line, degree); }

inline void sample(std::vector<double>& line, SplineDegree degree) {
    std::vector<double> out(line.size());
    sampleLine(samplingKernel(degree), line, out);
    line = out;
}

inline void differentiate(std::vector<double>& line, SplineDegree) { differentiateLine(line); }

inline void prefilterThenDifferentiate(std::vector<double>& line, SplineDegree degree) {
    prefilterLine(line, degree);
    differentiateLine(line);
}

inline void rowPass(const std::vector<double>& in, std::vector<double>& out, int32_t w, int32_t h, LineFilter f,
                    SplineDegree degree) {
    std::vector<double> line(static_cast<std::size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) line[x] = in[static_cast<std::size_t>(y) * w + x];
        f(line, degree);
        for (int32_t x = 0; x < w; ++x) out[static_cast<std::size_t>(y) * w + x] = roundToSingle(line[x]);
    }
}

inline void columnPass(const std::vector<double>& in, std::vector<double>& out, int32_t w, int32_t h, LineFilter f,
                       SplineDegree degree) {
    std::vector<double> line(static_cast<std::size_t>(h));
    for (int32_t x = 0; x < w; ++x) {
        for (int32_t y = 0; y < h; ++y) line[y] = in[static_cast<std::size_t>(y) * w + x];
        f(line, degree);
        for (int32_t y = 0; y < h; ++y) out[static_cast<std::size_t>(y) * w + x] = roundToSingle(line[y]);
    }
}

inline std::vector<double> separable(const std::vector<double>& in, int32_t w, int32_t h, LineFilter f,
                                     SplineDegree degree) {
    std::vector<double> out(in.size());
    rowPass(in, out, w, h, f, degree);
    columnPass(out, out, w, h, f, degree);
    return out;
}

} // namespace plain

} // namespace alignopt::testing

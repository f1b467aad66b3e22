// Halving of spline images, line by line and a block of lines at a time.
#include "core/image/Reduction.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <span>

#include "core/image/BSplineFilters.h"
#include "core/image/LaneFilters.h"
#include "core/image/MirrorFold.h"

namespace alignopt {

// Binomial taps 1, 4, 6, 4, 1 (/16) centred on the even samples; the plain
// form of the reduction, which reduceImage runs several lines at a time.
void reduceLine(std::span<const double> input, std::span<double> output) {
    assert(!input.empty() && output.size() == input.size() / 2);
    const auto n = static_cast<int32_t>(input.size());
    auto x = [&](int64_t i) { return input[static_cast<std::size_t>(foldMirror(i, n))]; };
    for (std::size_t j = 0; j < output.size(); ++j) {
        const auto c = static_cast<int64_t>(2 * j);
        const double v = (x(c - 1) + x(c + 1)) * 0.25 + x(c) * 0.375;
        output[j] = v + (x(c - 2) + x(c + 2)) * 0.0625;
    }
}

// Rows reduced into a ring, and each output row from the five rows its
// column taps reach, in one sweep (LaneFilters.h).
ImageBuffer reduceImageAt(ProcessorLevel level, const double* input, int32_t width, int32_t height) {
    assert(width >= 0 && height >= 0);
    const int32_t halfWidth = width / 2;
    const int32_t halfHeight = height / 2;
    ImageBuffer result(static_cast<std::size_t>(halfWidth) * static_cast<std::size_t>(halfHeight));
    if (result.empty()) return result;

    lanes::RowRing ring(halfWidth);
    runAtLevel(level, [&]<ProcessorLevel V>() {
        constexpr int32_t W = lanes::Shape<V>::vector;
        lanes::sweep(
            height, halfHeight, [](int32_t j) { return 2 * j + 2; },
            [&](int32_t t) { lanes::reduceAlong<W>(input + static_cast<std::ptrdiff_t>(t) * width, ring.row(t), width); },
            [&](int32_t j) {
                const double* rows[5];
                for (int32_t d = -2; d <= 2; ++d) rows[2 + d] = ring.row(lanes::tap(2 * j + d, height));
                lanes::reduceAcross<W>(rows, result.data() + static_cast<std::ptrdiff_t>(j) * halfWidth, halfWidth);
            });
    });
    return result;
}

// Three rings: the degree-7 row pass of the coefficients, dual rows as their
// column stencil completes them, and those rows reduced along; each output
// row then from the five reduced rows its column taps reach. The dual image
// is never held whole, where forming it cost a trip through memory and back.
ImageBuffer reducedDualAt(ProcessorLevel level, const double* coefficients, int32_t width, int32_t height) {
    assert(width >= 0 && height >= 0);
    const int32_t halfWidth = width / 2;
    const int32_t halfHeight = height / 2;
    ImageBuffer result(static_cast<std::size_t>(halfWidth) * static_cast<std::size_t>(halfHeight));
    if (result.empty()) return result;

    const std::span<const double> septic = samplingKernel(SplineDegree::Septic);
    lanes::RowRing sampledRows(width);
    lanes::RowRing dualRows(width);
    lanes::RowRing reducedRows(halfWidth);
    runAtLevel(level, [&]<ProcessorLevel V>() {
        constexpr int32_t W = lanes::Shape<V>::vector;
        int32_t sampled = 0;
        lanes::sweep(
            height, halfHeight, [](int32_t j) { return 2 * j + 2; },
            [&](int32_t t) {
                for (const int32_t last = std::min(height - 1, t + 3); sampled <= last; ++sampled)
                    lanes::sampleAlong<4, W>(septic.data(), coefficients + static_cast<std::ptrdiff_t>(sampled) * width,
                                             sampledRows.row(sampled), width);
                const double* rows[7];
                for (int32_t d = -3; d <= 3; ++d) rows[3 + d] = sampledRows.row(lanes::tap(t + d, height));
                lanes::sampleAcross<4, W>(septic.data(), rows, dualRows.row(t), width);
                lanes::reduceAlong<W>(dualRows.row(t), reducedRows.row(t), width);
            },
            [&](int32_t j) {
                const double* rows[5];
                for (int32_t d = -2; d <= 2; ++d) rows[2 + d] = reducedRows.row(lanes::tap(2 * j + d, height));
                lanes::reduceAcross<W>(rows, result.data() + static_cast<std::ptrdiff_t>(j) * halfWidth, halfWidth);
            });
    });
    return result;
}

ImageBuffer reducedDual(const double* coefficients, int32_t width, int32_t height) {
    return reducedDualAt(supportedProcessorLevel(), coefficients, width, height);
}

ImageBuffer reduceImage(const double* input, int32_t width, int32_t height) {
    return reduceImageAt(supportedProcessorLevel(), input, width, height);
}

void dualFromSamples(const double* samples, double* dual, int32_t width, int32_t height) {
    prefilterImage(samples, dual, width, height, SplineDegree::Cubic);
    sampleImage(dual, dual, width, height, SplineDegree::Septic);
}

void samplesFromDual(const double* dual, double* samples, int32_t width, int32_t height) {
    prefilterImage(dual, samples, width, height, SplineDegree::Septic);
    sampleImage(samples, samples, width, height, SplineDegree::Cubic);
}

} // namespace alignopt

#include "core/image/Reduction.h"

#include <algorithm>
#include <cassert>
#include <cstddef>

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

ImageBuffer reduceImageAt(LaneLevel level, const double* input, int32_t width, int32_t height) {
    assert(width >= 0 && height >= 0);
    const int32_t halfWidth = width / 2;
    const int32_t halfHeight = height / 2;
    ImageBuffer result(static_cast<std::size_t>(halfWidth) * static_cast<std::size_t>(halfHeight));
    if (result.empty()) return result;

    using lanes::LineBlock;
    lanes::LaneScratch scratch(std::max(width, height), 2);
    double* const in = scratch.block(0);
    double* const out = scratch.block(1);
    ImageBuffer rowsReduced(static_cast<std::size_t>(halfWidth) * static_cast<std::size_t>(height));
    lanes::runAt(level, [&]<LaneLevel V>() {
        using S = lanes::Shape<V>;
        constexpr int32_t C = S::columns;
        constexpr int32_t W = S::vector;
        for (int32_t y = 0; y < height; ++y)
            lanes::reduceAlong<W>(input + static_cast<std::ptrdiff_t>(y) * width,
                                  rowsReduced.data() + static_cast<std::ptrdiff_t>(y) * halfWidth, width);
        lanes::forColumnBlocks<C>(halfWidth, height, [&](const LineBlock& b) {
            const lanes::LaneSource source = lanes::columnSource<C, W>(rowsReduced.data(), b, in);
            lanes::reduce<C, W>(source.first, source.step, out, b.length);
            const LineBlock target{b.first, 1, halfWidth, halfHeight, b.count};
            lanes::scatterRounded<C, W>(out, target, result.data());
        });
    });
    return result;
}

ImageBuffer reduceImage(const double* input, int32_t width, int32_t height) {
    return reduceImageAt(supportedLaneLevel(), input, width, height);
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

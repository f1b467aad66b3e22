// The B-spline line filters in their plain form, and the image passes that run
// them several lines at a time on every processor level.
#include "core/image/BSplineFilters.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/image/LaneFilters.h"
#include "core/image/MirrorFold.h"
#include "core/image/SeparablePasses.h"
#include "core/image/SplineConstants.h"

namespace alignopt {

// The line operations below are the plain form of each filter; the image
// passes run the same arithmetic several lines at a time (LaneFilters.h).

void prefilterLine(std::span<double> line, SplineDegree degree) {
    assert(!line.empty());
    const std::size_t n = line.size();
    if (n == 1) return; // a constant under the mirror extension: its own coefficients
    const std::span<const double> poles = splinePoles(degree);
    const double gain = prefilterGain(poles);
    for (double& v : line) v = v * gain;
    for (const double z : poles) {
        line[0] = initialCausalCoefficient(line, z);
        for (std::size_t k = 1; k < n; ++k) line[k] = line[k - 1] * z + line[k];
        line[n - 1] = (z * line[n - 1]) / (z - 1.0);
        for (std::size_t k = n - 1; k-- > 0;) line[k] = (line[k + 1] - line[k]) * z;
    }
}

// Sum of z^k x[-k] over the mirror-extended line, taken over one period of 2N
// and divided by 1 - z^(2N): exact, with no truncated tail.
double initialCausalCoefficient(std::span<const double> line, double z) {
    assert(!line.empty());
    const std::size_t n = line.size();
    // One sample repeats forever under the mirror rule; the general sum below
    // would count it twice (x[0] and x[N-1] are the same sample).
    if (n == 1) return line[0] / (1.0 - z);
    const double zN = std::pow(z, static_cast<double>(n));
    double s = (zN * line[n - 1] + line[0]) * (z + 1.0);
    double a = zN * zN;
    double b = z;
    for (std::size_t k = 1; k + 1 < n; ++k) {
        a = a / z;
        b = b * z;
        s = s + (a + b) * line[k];
    }
    return s / (1.0 - std::pow(z, 2.0 * static_cast<double>(n)));
}

void sampleLine(std::span<const double> halfKernel, std::span<const double> input, std::span<double> output) {
    assert(halfKernel.size() == 2 || halfKernel.size() == 4);
    assert(!input.empty() && input.size() == output.size());
    assert(input.data() != output.data());
    const auto n = static_cast<int32_t>(input.size());
    const auto& h = halfKernel;
    auto x = [&](int64_t i) { return input[static_cast<std::size_t>(foldMirror(i, n))]; };
    for (int64_t k = 0; k < n; ++k) {
        double v = (x(k - 1) + x(k + 1)) * h[1] + x(k) * h[0];
        if (h.size() == 4) {
            v = v + (x(k - 2) + x(k + 2)) * h[2];
            v = v + (x(k - 3) + x(k + 3)) * h[3];
        }
        output[static_cast<std::size_t>(k)] = v;
    }
}

// The cubic B-spline's derivative is -1/2 at +1 and +1/2 at -1, so the
// spline's slope at a knot is half the central difference of its
// coefficients; the mirror rule makes the ends one-sided and a single
// sample flat.
void differentiateLine(std::span<double> line) {
    assert(!line.empty());
    const auto n = static_cast<int32_t>(line.size());
    std::vector<double> out(line.size());
    for (int64_t k = 0; k < n; ++k) {
        const double after = line[static_cast<std::size_t>(foldMirror(k + 1, n))];
        const double before = line[static_cast<std::size_t>(foldMirror(k - 1, n))];
        out[static_cast<std::size_t>(k)] = (after - before) * 0.5;
    }
    std::copy(out.begin(), out.end(), line.begin());
}

std::span<const double> samplingKernel(SplineDegree degree) {
    // B-spline values at 0, 1, 2, 3: 2/3, 1/6 (cubic); 151/315, 397/1680, 1/42, 1/5040 (degree 7).
    static constexpr double cubic[] = {0.6666666666666666, 0.16666666666666666};
    static constexpr double septic[] = {0.4793650793650794, 0.2363095238095238, 0.023809523809523808,
                                        0.0001984126984126984};
    if (degree == SplineDegree::Cubic) return cubic;
    return septic;
}

namespace {

using lanes::LineBlock;

bool isEmptyImage(int32_t width, int32_t height) {
    assert(width >= 0 && height >= 0);
    return width <= 0 || height <= 0;
}

} // namespace

void prefilterRowsAt(ProcessorLevel level, const double* input, double* output, int32_t width, int32_t height,
                     SplineDegree degree) {
    if (isEmptyImage(width, height)) return;
    lanes::LaneScratch scratch(width, 1);
    double* const buffer = scratch.block(0);
    const lanes::PrefilterPlan plan(degree, width);
    runAtLevel(level, [&]<ProcessorLevel V>() {
        using S = lanes::Shape<V>;
        lanes::forRowBlocks<S::rows>(width, height, [&](const LineBlock& b) {
            lanes::gather<S::rows, S::vector>(input, b, buffer);
            lanes::prefilter<S::rows, S::group, S::vector>(buffer, plan);
            lanes::scatterRounded<S::rows, S::vector>(buffer, b, output);
        });
    });
}

void prefilterColumnsAt(ProcessorLevel level, double* image, int32_t width, int32_t height, SplineDegree degree) {
    if (isEmptyImage(width, height)) return;
    lanes::LaneScratch scratch(height, 1);
    double* const buffer = scratch.block(0);
    const lanes::PrefilterPlan plan(degree, height);
    runAtLevel(level, [&]<ProcessorLevel V>() {
        using S = lanes::Shape<V>;
        lanes::forColumnBlocks<S::columns>(width, height, [&](const LineBlock& b) {
            lanes::gather<S::columns, S::vector>(image, b, buffer);
            lanes::prefilter<S::columns, S::group, S::vector>(buffer, plan);
            lanes::scatterRounded<S::columns, S::vector>(buffer, b, image);
        });
    });
}

void prefilterRows(const double* input, double* output, int32_t width, int32_t height, SplineDegree degree) {
    prefilterRowsAt(supportedProcessorLevel(), input, output, width, height, degree);
}

void prefilterColumns(double* image, int32_t width, int32_t height, SplineDegree degree) {
    prefilterColumnsAt(supportedProcessorLevel(), image, width, height, degree);
}

void prefilterImageAt(ProcessorLevel level, const double* input, double* output, int32_t width, int32_t height,
                      SplineDegree degree) {
    prefilterRowsAt(level, input, output, width, height, degree);
    prefilterColumnsAt(level, output, width, height, degree);
}

void prefilterImage(const double* input, double* output, int32_t width, int32_t height, SplineDegree degree) {
    prefilterImageAt(supportedProcessorLevel(), input, output, width, height, degree);
}

// Output row y is written once the row pass has read every input row it
// ever reads up to y + 3, and later row passes read only rows below: so
// `output` may be `input`.
void sampleImageAt(ProcessorLevel level, const double* input, double* output, int32_t width, int32_t height,
                   SplineDegree degree) {
    if (isEmptyImage(width, height)) return;
    const std::span<const double> kernel = samplingKernel(degree);
    const auto reach = static_cast<int32_t>(kernel.size()) - 1;
    lanes::RowRing ring(width);
    runAtLevel(level, [&]<ProcessorLevel V>() {
        constexpr int32_t W = lanes::Shape<V>::vector;
        auto across = [&]<int K>(int32_t y) {
            const double* rows[2 * K - 1];
            for (int32_t d = -reach; d <= reach; ++d) rows[reach + d] = ring.row(lanes::tap(y + d, height));
            lanes::sampleAcross<K, W>(kernel.data(), rows, output + static_cast<std::ptrdiff_t>(y) * width, width);
        };
        lanes::sweep(
            height, height, [&](int32_t y) { return y + reach; },
            [&](int32_t t) {
                lanes::sampleAlong<W>(kernel, input + static_cast<std::ptrdiff_t>(t) * width, ring.row(t), width);
            },
            [&](int32_t y) {
                if (reach == 1)
                    across.template operator()<2>(y);
                else
                    across.template operator()<4>(y);
            });
    });
}

void sampleImage(const double* input, double* output, int32_t width, int32_t height, SplineDegree degree) {
    sampleImageAt(supportedProcessorLevel(), input, output, width, height, degree);
}

// Derivative along one axis, cubic sampling along the other, in one sweep.
// Output row y is written after every coefficient row the sweep reads up to
// y + 1, so either gradient may be the coefficients' own buffer.
void gradientsFromCoefficientsAt(ProcessorLevel level, const double* coefficients, double* gradientX, double* gradientY,
                                 int32_t width, int32_t height) {
    if (isEmptyImage(width, height)) return;
    const std::span<const double> cubic = samplingKernel(SplineDegree::Cubic);
    lanes::RowRing differentiated(width);
    lanes::RowRing sampled(width);
    runAtLevel(level, [&]<ProcessorLevel V>() {
        constexpr int32_t W = lanes::Shape<V>::vector;
        lanes::sweep(
            height, height, [](int32_t y) { return y + 1; },
            [&](int32_t t) {
                const double* row = coefficients + static_cast<std::ptrdiff_t>(t) * width;
                lanes::differentiateAlong<W>(row, differentiated.row(t), width);
                lanes::sampleAlong<W>(cubic, row, sampled.row(t), width);
            },
            [&](int32_t y) {
                const int32_t before = lanes::tap(y - 1, height);
                const int32_t after = lanes::tap(y + 1, height);
                const double* rows[3] = {differentiated.row(before), differentiated.row(y), differentiated.row(after)};
                const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(y) * width;
                lanes::sampleAcross<2, W>(cubic.data(), rows, gradientX + at, width);
                lanes::differentiateAcross<W>(sampled.row(before), sampled.row(after), gradientY + at, width);
            });
    });
}

void gradientsFromCoefficients(const double* coefficients, double* gradientX, double* gradientY, int32_t width,
                               int32_t height) {
    gradientsFromCoefficientsAt(supportedProcessorLevel(), coefficients, gradientX, gradientY, width, height);
}

namespace {

// Each direction in one pass straight from the samples: the 2-D cubic spline
// restricted to a row or column is the 1-D spline of that line's samples.
// Where `rowsFiltered` is given, the prefiltered rows are also stored there,
// as prefilterRows would store them.
void gradientsFromSamplesOn(ProcessorLevel level, const double* samples, double* rowsFiltered, double* gradientX,
                            double* gradientY, int32_t width, int32_t height) {
    if (isEmptyImage(width, height)) return;
    lanes::LaneScratch scratch(std::max(width, height), 2);
    double* const in = scratch.block(0);
    double* const out = scratch.block(1);
    const lanes::PrefilterPlan rowPlan(SplineDegree::Cubic, width);
    const lanes::PrefilterPlan columnPlan(SplineDegree::Cubic, height);
    runAtLevel(level, [&]<ProcessorLevel V>() {
        using S = lanes::Shape<V>;
        constexpr int32_t R = S::rows;
        constexpr int32_t C = S::columns;
        constexpr int32_t W = S::vector;
        lanes::forRowBlocks<R>(width, height, [&](const LineBlock& b) {
            lanes::gather<R, W>(samples, b, in);
            lanes::prefilter<R, S::group, W>(in, rowPlan);
            if (rowsFiltered != nullptr) lanes::scatterRounded<R, W>(in, b, rowsFiltered);
            lanes::differentiate<R, W>(in, R, out, b.length);
            lanes::scatterRounded<R, W>(out, b, gradientX);
        });
        lanes::forColumnBlocks<C>(width, height, [&](const LineBlock& b) {
            lanes::gather<C, W>(samples, b, in);
            lanes::prefilter<C, S::group, W>(in, columnPlan);
            lanes::differentiate<C, W>(in, C, out, b.length);
            lanes::scatterRounded<C, W>(out, b, gradientY);
        });
    });
}

} // namespace

void gradientsFromSamplesAt(ProcessorLevel level, const double* samples, double* gradientX, double* gradientY,
                            int32_t width, int32_t height) {
    gradientsFromSamplesOn(level, samples, nullptr, gradientX, gradientY, width, height);
}

void coefficientsAndGradientsFromSamplesAt(ProcessorLevel level, const double* samples, double* coefficients,
                                           double* gradientX, double* gradientY, int32_t width, int32_t height) {
    gradientsFromSamplesOn(level, samples, coefficients, gradientX, gradientY, width, height);
    prefilterColumnsAt(level, coefficients, width, height, SplineDegree::Cubic);
}

void coefficientsAndGradientsFromSamples(const double* samples, double* coefficients, double* gradientX,
                                         double* gradientY, int32_t width, int32_t height) {
    coefficientsAndGradientsFromSamplesAt(supportedProcessorLevel(), samples, coefficients, gradientX, gradientY, width,
                                          height);
}

void gradientsFromSamples(const double* samples, double* gradientX, double* gradientY, int32_t width,
                          int32_t height) {
    gradientsFromSamplesAt(supportedProcessorLevel(), samples, gradientX, gradientY, width, height);
}

} // namespace alignopt

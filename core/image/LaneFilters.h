#pragma once

// Line filters run on several lines at once. A column walked alone strides
// through memory and leaves each recursion waiting on the previous sample, so
// the separable passes gather kLanes rows or columns into a small interleaved
// buffer (sample k of lane l at k * kLanes + l) and run the same recursions
// lane by lane. Every lane sees exactly the operations, in exactly the order,
// of the plain line functions in BSplineFilters.cpp, so results are identical
// to the bit; the tests hold the image passes against those line functions.

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/image/MirrorFold.h"
#include "core/image/SinglePrecision.h"
#include "core/image/SplineConstants.h"

namespace alignopt::lanes {

inline constexpr int32_t kLanes = 8;

inline std::size_t at(int32_t k, int32_t l) {
    return static_cast<std::size_t>(k) * kLanes + static_cast<std::size_t>(l);
}

// Where `count` consecutive lines of an image lie: line i starts at element
// first + i * lineStep and its samples are sampleStep apart. Rows have
// (lineStep, sampleStep) = (width, 1), columns (1, width).
struct LineBlock {
    std::ptrdiff_t first;
    std::ptrdiff_t lineStep;
    std::ptrdiff_t sampleStep;
    int32_t length;
    int32_t count;

    std::ptrdiff_t index(int32_t k, int32_t l) const { return first + l * lineStep + k * sampleStep; }
};

// Lanes past `count` are zero-filled so that the filters run on defined values;
// they are never written back.
inline void gather(const double* image, const LineBlock& b, double* buffer) {
    for (int32_t k = 0; k < b.length; ++k) {
        for (int32_t l = 0; l < b.count; ++l) buffer[at(k, l)] = image[b.index(k, l)];
        for (int32_t l = b.count; l < kLanes; ++l) buffer[at(k, l)] = 0.0;
    }
}

// Write-back of a pass: every stored value is rounded to single precision.
inline void scatterRounded(const double* buffer, const LineBlock& b, double* image) {
    for (int32_t k = 0; k < b.length; ++k)
        for (int32_t l = 0; l < b.count; ++l) image[b.index(k, l)] = roundToSingle(buffer[at(k, l)]);
}

// Calls visit(block) for the rows of a width x height image, kLanes at a time.
template <class Visit>
void forRowBlocks(int32_t width, int32_t height, Visit visit) {
    for (int32_t y = 0; y < height; y += kLanes) {
        const int32_t count = height - y < kLanes ? height - y : kLanes;
        visit(LineBlock{static_cast<std::ptrdiff_t>(y) * width, width, 1, width, count});
    }
}

// Likewise for the columns.
template <class Visit>
void forColumnBlocks(int32_t width, int32_t height, Visit visit) {
    for (int32_t x = 0; x < width; x += kLanes) {
        const int32_t count = width - x < kLanes ? width - x : kLanes;
        visit(LineBlock{x, 1, width, height, count});
    }
}

// Everything of the prefilter that depends only on the degree and the line
// length, worked out once per pass instead of once per line: the gain, and per
// pole z^N, the divisor 1 - z^(2N) and the weights z^(2N-k) + z^(k+1) that the
// initial causal coefficient gives sample k. The weights come from the same
// running quotient and product as in initialCausalCoefficient, so they are
// the same doubles.
struct PrefilterPlan {
    std::span<const double> poles;
    double gain = 1.0;
    int32_t length = 0;
    std::vector<double> zN;
    std::vector<double> divisor;
    std::vector<double> weights; // poles.size() rows of `length` values; k = 1 ... length-2 used

    PrefilterPlan(SplineDegree degree, int32_t n)
        : poles(splinePoles(degree)), gain(prefilterGain(poles)), length(n), zN(poles.size()),
          divisor(poles.size()), weights(poles.size() * static_cast<std::size_t>(n)) {
        for (std::size_t p = 0; p < poles.size(); ++p) {
            const double z = poles[p];
            zN[p] = std::pow(z, static_cast<double>(n));
            divisor[p] = 1.0 - std::pow(z, 2.0 * static_cast<double>(n));
            double a = zN[p] * zN[p];
            double b = z;
            double* w = &weights[p * static_cast<std::size_t>(n)];
            for (int32_t k = 1; k <= n - 2; ++k) {
                a = a / z;
                b = b * z;
                w[k] = a + b;
            }
        }
    }
};

// prefilterLine on kLanes interleaved lines of plan.length samples, in place.
inline void prefilter(double* x, const PrefilterPlan& plan) {
    const int32_t n = plan.length;
    assert(n >= 1);
    if (n == 1) return;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) * kLanes; ++i) x[i] = x[i] * plan.gain;
    for (std::size_t p = 0; p < plan.poles.size(); ++p) {
        const double z = plan.poles[p];
        const double* w = &plan.weights[p * static_cast<std::size_t>(n)];
        double s[kLanes];
        for (int32_t l = 0; l < kLanes; ++l) s[l] = (plan.zN[p] * x[at(n - 1, l)] + x[at(0, l)]) * (z + 1.0);
        for (int32_t k = 1; k <= n - 2; ++k)
            for (int32_t l = 0; l < kLanes; ++l) s[l] = s[l] + w[k] * x[at(k, l)];
        for (int32_t l = 0; l < kLanes; ++l) x[at(0, l)] = s[l] / plan.divisor[p];
        for (int32_t k = 1; k < n; ++k)
            for (int32_t l = 0; l < kLanes; ++l) x[at(k, l)] = x[at(k - 1, l)] * z + x[at(k, l)];
        for (int32_t l = 0; l < kLanes; ++l) x[at(n - 1, l)] = (z * x[at(n - 1, l)]) / (z - 1.0);
        for (int32_t k = n - 2; k >= 0; --k)
            for (int32_t l = 0; l < kLanes; ++l) x[at(k, l)] = (x[at(k + 1, l)] - x[at(k, l)]) * z;
    }
}

// Indices of the taps k - j and k + j (j = 0 ... K-1), folded only near the ends.
template <int K>
void tapIndices(int32_t k, int32_t n, int32_t (&minus)[K], int32_t (&plus)[K]) {
    const bool inside = k >= K - 1 && k + (K - 1) < n;
    for (int32_t j = 0; j < K; ++j) {
        minus[j] = inside ? k - j : foldMirror(static_cast<int64_t>(k) - j, n);
        plus[j] = inside ? k + j : foldMirror(static_cast<int64_t>(k) + j, n);
    }
}

// sampleLine with a half kernel of K values (2 or 4), on interleaved lines.
template <int K>
void sample(const double* h, const double* in, double* out, int32_t n) {
    assert(n >= 1);
    for (int32_t k = 0; k < n; ++k) {
        int32_t m[K];
        int32_t p[K];
        tapIndices<K>(k, n, m, p);
        for (int32_t l = 0; l < kLanes; ++l) {
            double v = (in[at(m[1], l)] + in[at(p[1], l)]) * h[1] + in[at(k, l)] * h[0];
            if constexpr (K == 4) {
                v = v + (in[at(m[2], l)] + in[at(p[2], l)]) * h[2];
                v = v + (in[at(m[3], l)] + in[at(p[3], l)]) * h[3];
            }
            out[at(k, l)] = v;
        }
    }
}

inline void sample(std::span<const double> h, const double* in, double* out, int32_t n) {
    assert(h.size() == 2 || h.size() == 4);
    if (h.size() == 2)
        sample<2>(h.data(), in, out, n);
    else
        sample<4>(h.data(), in, out, n);
}

// differentiateLine on interleaved lines, into `out`; a one-sample line gives 0.
inline void differentiate(const double* in, double* out, int32_t n) {
    assert(n >= 1);
    for (int32_t k = 0; k < n; ++k) {
        const int32_t before = foldMirror(static_cast<int64_t>(k) - 1, n);
        const int32_t after = foldMirror(static_cast<int64_t>(k) + 1, n);
        for (int32_t l = 0; l < kLanes; ++l) out[at(k, l)] = (in[at(after, l)] - in[at(before, l)]) * 0.5;
    }
}

// reduceLine on interleaved lines: n samples in, n / 2 out.
inline void reduce(const double* in, double* out, int32_t n) {
    assert(n >= 1);
    const int32_t m = n / 2;
    for (int32_t j = 0; j < m; ++j) {
        const int32_t c = 2 * j;
        const bool inside = c >= 2 && c + 2 < n;
        int32_t t[5];
        for (int32_t i = 0; i < 5; ++i) t[i] = inside ? c - 2 + i : foldMirror(static_cast<int64_t>(c) - 2 + i, n);
        for (int32_t l = 0; l < kLanes; ++l) {
            double v = (in[at(t[1], l)] + in[at(t[3], l)]) * 0.25 + in[at(t[2], l)] * 0.375;
            out[at(j, l)] = v + (in[at(t[0], l)] + in[at(t[4], l)]) * 0.0625;
        }
    }
}

} // namespace alignopt::lanes

#pragma once

// The model spline at the grid of a translation, a row of weights at a time.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/image/MirrorFold.h"
#include "core/sampling/CubicSplineRule.h"
#include "core/sampling/PixelRounding.h"

namespace alignopt {

// The model spline at the grid pixels of a translation (tx, ty): pixel (k, j)
// reads the model at (tx + k, ty + j), row by row, as the warp and the
// translation kernels both need it.
//
// Every pixel shares the translation's fractions, so the weights are made
// once. The taps come from floor(t) + k and floor(t) + j, the same integer
// base as the weights: the accumulated coordinate t + k can round up to the
// next integer when the fraction is within rounding of 1, and taking the taps
// from it would read the spline one pixel off. Inside or outside is still
// decided on the accumulated coordinates.
//
// A row sum of the 4 x 4 evaluation depends only on the model row and the
// grid column, and neighbouring grid rows share three of their four model
// rows. So each model row is filtered along x once, into one of four row
// buffers, and every value is the y-weighted sum of four buffered row sums:
// the same products added in the same order (each sum starting from 0), at
// less than half the work of evaluating pixels one by one.
class TranslationRows {
public:
    using Weights = std::array<double, 4>;

    TranslationRows(std::span<const double> coefficients, int32_t modelWidth, int32_t modelHeight, double tx,
                    double ty, int32_t gridWidth)
        : coefficients_(coefficients.data()), modelWidth_(modelWidth), modelHeight_(modelHeight) {
        const double floorX = std::floor(tx);
        const double floorY = std::floor(ty);
        cubicWeightRule(tx - floorX, wx_);
        cubicWeightRule(ty - floorY, wy_);
        baseX_ = integerBase(floorX);
        baseY_ = integerBase(floorY);
        findColumnsInside(tx, gridWidth);
        if (firstColumn_ == endColumn_) return;
        planColumnTaps();
        buffers_.resize(5 * static_cast<std::size_t>(endColumn_));
    }

    // Grid columns [firstColumn, endColumn) lie inside the model; the same in
    // every row, and contiguous: x only grows along a row, and so does its
    // nearest pixel.
    int32_t firstColumn() const { return firstColumn_; }
    int32_t endColumn() const { return endColumn_; }

    // Whether grid row j lies inside the model (ty + j, accumulated, is what
    // the caller passes as `y`).
    bool rowInside(double y) const {
        int32_t py = 0;
        return nearestPixel(y, py) && py >= 0 && py < modelHeight_;
    }

    // Calls emit(k, value) for the inside columns k of grid row j, in
    // increasing k. The row must be inside and rows are best asked for in
    // increasing order, which is what lets the row buffers be reused.
    template <typename Emit>
    void forRow(int32_t j, Emit&& emit) {
        const std::array<int32_t, 4> wanted = rowsOf(j);
        std::array<const double*, 4> rows;
        for (int k = 0; k < 4; ++k) rows[k] = filteredRow(wanted[k], wanted);
        double* values = buffers_.data() + 4 * static_cast<std::size_t>(endColumn_);
        int32_t k = firstColumn_;
        for (; k + 4 <= endColumn_; k += 4) {
            Quad sum = {};
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) addProducts(sum, rows[t] + k, wy_[t]);
            store(values + k, sum);
        }
        for (; k < endColumn_; ++k) {
            double sum = 0.0 + rows[0][k] * wy_[0];
            sum += rows[1][k] * wy_[1];
            sum += rows[2][k] * wy_[2];
            sum += rows[3][k] * wy_[3];
            values[k] = sum;
        }
        for (k = firstColumn_; k < endColumn_; ++k) emit(k, values[k]);
    }

    // floor of a translation component as an integer base. Only used for
    // pixels inside, which bound the component far within 2^62; the bounds
    // (NaN takes the lower one) only keep the conversion defined for the others.
    static int64_t integerBase(double floorValue) {
        constexpr double limit = 4611686018427387904.0; // 2^62
        const double bounded = floorValue > limit ? limit : floorValue > -limit ? floorValue : -limit;
        return static_cast<int64_t>(bounded);
    }

private:
    // Four neighbouring columns at once: each element runs the scalar sum's
    // operations in its order (starting from +0.0), so the same bits. (Taken
    // by reference: a vector this wide is returned differently by builds
    // with and without wider instructions.)
    using Quad = double __attribute__((vector_size(4 * sizeof(double))));
    [[gnu::always_inline]] static void addProducts(Quad& sum, const double* from, double weight) {
        Quad v;
        std::memcpy(&v, from, sizeof v);
        sum += v * weight;
    }
    static void store(double* to, const Quad& v) { std::memcpy(to, &v, sizeof v); }

    void findColumnsInside(double tx, int32_t gridWidth) {
        firstColumn_ = endColumn_ = 0;
        bool found = false;
        double x = tx;
        for (int32_t k = 0; k < gridWidth; ++k, x += 1.0) {
            int32_t px = 0;
            if (!(nearestPixel(x, px) && px >= 0 && px < modelWidth_)) continue;
            if (!found) firstColumn_ = k;
            found = true;
            endColumn_ = k + 1;
        }
    }

    // Columns whose four taps stay inside the model row read it directly; the
    // few at the edges (all of them when the model is narrower than the
    // kernel) take folded taps, made once here.
    void planColumnTaps() {
        interiorBegin_ = static_cast<int32_t>(std::clamp<int64_t>(1 - baseX_, firstColumn_, endColumn_));
        interiorEnd_ = static_cast<int32_t>(
            std::clamp<int64_t>(static_cast<int64_t>(modelWidth_) - 2 - baseX_, interiorBegin_, endColumn_));
        columnTaps_.resize(static_cast<std::size_t>(endColumn_));
        for (int32_t k = firstColumn_; k < endColumn_; ++k) {
            if (k == interiorBegin_) k = interiorEnd_;
            if (k == endColumn_) break;
            for (int t = 0; t < 4; ++t)
                columnTaps_[static_cast<std::size_t>(k)][t] = foldMirror(baseX_ + k + 2 - t, modelWidth_);
        }
    }

    std::array<int32_t, 4> rowsOf(int32_t j) const {
        std::array<int32_t, 4> rows;
        for (int k = 0; k < 4; ++k) rows[k] = foldMirror(baseY_ + j + 2 - k, modelHeight_);
        return rows;
    }

    // The buffer holding model row `row` filtered along x, filtering it into a
    // buffer that none of `wanted` (the rows of the current grid row) needs.
    // A grid row needs at most four distinct model rows, so such a buffer
    // always exists.
    const double* filteredRow(int32_t row, const std::array<int32_t, 4>& wanted) {
        int slot = 0;
        while (slot < 4 && bufferRow_[slot] != row) ++slot;
        if (slot == 4) {
            slot = 0;
            while (std::find(wanted.begin(), wanted.end(), bufferRow_[slot]) != wanted.end()) ++slot;
            bufferRow_[slot] = row;
            filterRow(row, buffers_.data() + static_cast<std::size_t>(slot) * static_cast<std::size_t>(endColumn_));
        }
        return buffers_.data() + static_cast<std::size_t>(slot) * static_cast<std::size_t>(endColumn_);
    }

    void filterRow(int32_t row, double* filtered) const {
        const double* r = coefficients_ + static_cast<std::ptrdiff_t>(row) * modelWidth_;
        auto folded = [&](int32_t k) {
            const auto& taps = columnTaps_[static_cast<std::size_t>(k)];
            double sum = 0.0;
            for (int t = 0; t < 4; ++t) sum += r[taps[t]] * wx_[t];
            filtered[k] = sum;
        };
        for (int32_t k = firstColumn_; k < interiorBegin_; ++k) folded(k);
        const auto shift = static_cast<std::ptrdiff_t>(baseX_ + 2);
        int32_t k = interiorBegin_;
        for (; k + 4 <= interiorEnd_; k += 4) {
            const double* p = r + (shift + k);
            Quad sum = {};
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) addProducts(sum, p - t, wx_[t]);
            store(filtered + k, sum);
        }
        for (; k < interiorEnd_; ++k) {
            const double* p = r + (shift + k);
            double sum = 0.0 + p[0] * wx_[0];
            sum += p[-1] * wx_[1];
            sum += p[-2] * wx_[2];
            sum += p[-3] * wx_[3];
            filtered[k] = sum;
        }
        for (int32_t k = interiorEnd_; k < endColumn_; ++k) folded(k);
    }

    const double* coefficients_;
    int32_t modelWidth_;
    int32_t modelHeight_;
    Weights wx_{};
    Weights wy_{};
    int64_t baseX_ = 0;
    int64_t baseY_ = 0;
    int32_t firstColumn_ = 0;
    int32_t endColumn_ = 0;
    int32_t interiorBegin_ = 0;
    int32_t interiorEnd_ = 0;
    std::vector<std::array<int32_t, 4>> columnTaps_;
    std::vector<double> buffers_; // four filtered model rows of endColumn values, then a row of values
    std::array<int32_t, 4> bufferRow_{-1, -1, -1, -1};
};

} // namespace alignopt

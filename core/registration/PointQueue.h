#pragma once

// The queue of used pixels that the masked walk evaluates a chunk at a time.

#include <cstddef>
#include <cstdint>

#include "core/registration/PixelChunk.h"
#include "core/registration/RegistrationEngine.h"
#include "core/sampling/PointBatch.h"

namespace alignopt {

// The used pixels of a walk, collected as the walk finds them and evaluated a
// chunk at a time by the batch evaluation at the pass's level; flush() then hands the chunk with
// the model values (and slopes, with Slopes) to the caller, the pixels in the
// order they were added, so sums over them keep their pixel order. The storage is
// fixed: a pass makes one queue and the pixel loop never allocates.
template <bool Slopes>
class PointQueue {
public:
    static constexpr int32_t capacity = chunkCapacity;

    PointQueue(const PointModel& model, ProcessorLevel level) : model_(model), level_(level) {}

    PointQueue(const PointQueue&) = delete;
    PointQueue& operator=(const PointQueue&) = delete;

    // Adds the pixel in grid column k, mapped to (x, y) inside the model;
    // `visit` takes the pixels in the queue once it is full. The pixels of a
    // chunk lie in one row.
    template <typename Visit>
    void push(int32_t k, double x, double y, Visit& visit) {
        column_[size_] = k;
        columnValue_[size_] = static_cast<double>(k);
        x_[size_] = x;
        y_[size_] = y;
        if (++size_ == capacity) flush(visit);
    }

    // visit(chunk) with every queued pixel, in order, and its model value
    // (the chunk's row and its start are left for the caller); the queue is empty afterwards.
    template <typename Visit>
    void flush(Visit& visit) {
        if (size_ == 0) return;
        PixelChunk chunk;
        chunk.count = size_;
        chunk.column = column_;
        chunk.columnValue = columnValue_;
        chunk.x = x_;
        chunk.y = y_;
        chunk.value = value_;
        if constexpr (Slopes) {
            batchValuesAndSlopesAt(level_, model_, x_, y_, size_, value_, dx_, dy_);
            chunk.slopeX = dx_;
            chunk.slopeY = dy_;
        } else {
            batchValuesAt(level_, model_, x_, y_, size_, value_);
        }
        visit(chunk);
        size_ = 0;
    }

private:
    static constexpr int32_t slopeCapacity = Slopes ? capacity : 1;

    PointModel model_;
    ProcessorLevel level_;
    int32_t size_ = 0;
    int32_t column_[capacity];
    double columnValue_[capacity];
    double x_[capacity];
    double y_[capacity];
    double value_[capacity];
    double dx_[slopeCapacity];
    double dy_[slopeCapacity];
};

// The engine's model for the batch evaluation, with its margins when they
// were built for this level.
inline PointModel pointModel(const RegistrationEngine& e) {
    return {e.modelCoefficients.data(), e.modelWidth, e.modelHeight,
            e.modelMargins.originFor(e.modelCoefficients, e.modelWidth, e.modelHeight)};
}

} // namespace alignopt

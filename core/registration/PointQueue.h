#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/registration/InlineEvaluation.h"
#include "core/registration/PointBatch.h"

namespace alignopt {

// The used pixels of a walk, collected as the walk finds them and evaluated a
// chunk at a time by the batch evaluation; flush() then hands each pixel with
// its model value (and slopes, with Slopes) to the caller in the order the
// pixels were added, so sums over them keep their pixel order. The storage is
// fixed: a pass makes one queue and the pixel loop never allocates.
template <bool Slopes>
class PointQueue {
public:
    static constexpr int32_t capacity = 256;
    using Result = std::conditional_t<Slopes, inlineEvaluation::ValueAndSlopes, double>;

    explicit PointQueue(const PointModel& model) : model_(model) {}

    PointQueue(const PointQueue&) = delete;
    PointQueue& operator=(const PointQueue&) = delete;

    // Adds the pixel at grid index i, column k, mapped to (x, y) inside the
    // model; `visit` takes the pixels in the queue once it is full.
    template <typename Visit>
    void push(std::size_t i, int32_t k, double x, double y, Visit& visit) {
        index_[size_] = i;
        column_[size_] = k;
        x_[size_] = x;
        y_[size_] = y;
        if (++size_ == capacity) flush(visit);
    }

    // visit(i, k, x, y, result) for every queued pixel, in order; the queue
    // is empty afterwards.
    template <typename Visit>
    void flush(Visit& visit) {
        if (size_ == 0) return;
        if constexpr (Slopes) {
            batchValuesAndSlopes(model_, x_, y_, size_, value_, dx_, dy_);
            for (int32_t p = 0; p < size_; ++p)
                visit(index_[p], column_[p], x_[p], y_[p], Result{value_[p], dx_[p], dy_[p]});
        } else {
            batchValues(model_, x_, y_, size_, value_);
            for (int32_t p = 0; p < size_; ++p) visit(index_[p], column_[p], x_[p], y_[p], value_[p]);
        }
        size_ = 0;
    }

private:
    static constexpr int32_t slopeCapacity = Slopes ? capacity : 1;

    PointModel model_;
    int32_t size_ = 0;
    std::size_t index_[capacity];
    int32_t column_[capacity];
    double x_[capacity];
    double y_[capacity];
    double value_[capacity];
    double dx_[slopeCapacity];
    double dy_[slopeCapacity];
};

inline PointModel pointModel(const RegistrationEngine& e) {
    return {e.modelCoefficients.data(), e.modelWidth, e.modelHeight};
}

} // namespace alignopt

#pragma once

// Small hand-installed levels for the rigid-body and bilinear tests: the model
// is a smooth spline given directly by its coefficients, and grid images are
// sampled from it through the engine's own evaluation.

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/image/SplineImage.h"
#include "core/linalg/Matrix.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt::testing {

inline double smoothPattern(double x, double y) {
    return std::sin(0.45 * x + 0.2 * y) + 0.5 * std::cos(0.3 * y - 0.25 * x);
}

// The engine's arrays are views, so the level keeps the storage they point at.
struct TestLevel {
    int32_t modelWidth = 0;
    int32_t modelHeight = 0;
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    std::vector<double> modelCoefficients;
    std::vector<double> modelMask;
    std::vector<double> gridSamples;
    std::vector<double> gridMask;
    std::vector<double> gridGradientX;
    std::vector<double> gridGradientY;

    TestLevel(int32_t modelW, int32_t modelH, int32_t gridW, int32_t gridH,
              const std::function<double(double, double)>& coefficient = smoothPattern)
        : modelWidth(modelW), modelHeight(modelH), gridWidth(gridW), gridHeight(gridH),
          modelCoefficients(static_cast<std::size_t>(modelW) * static_cast<std::size_t>(modelH)),
          modelMask(modelCoefficients.size(), 1.0),
          gridSamples(static_cast<std::size_t>(gridW) * static_cast<std::size_t>(gridH), 0.0),
          gridMask(gridSamples.size(), 1.0), gridGradientX(gridSamples.size(), 0.0),
          gridGradientY(gridSamples.size(), 0.0) {
        for (int32_t y = 0; y < modelH; ++y)
            for (int32_t x = 0; x < modelW; ++x)
                modelCoefficients[static_cast<std::size_t>(y) * static_cast<std::size_t>(modelW) +
                                  static_cast<std::size_t>(x)] = coefficient(x, y);
    }

    void install(RegistrationEngine& engine) const {
        engine.modelCoefficients = modelCoefficients;
        engine.modelMask = modelMask;
        engine.gridSamples = gridSamples;
        engine.gridMask = gridMask;
        engine.gridGradientX = gridGradientX;
        engine.gridGradientY = gridGradientY;
        engine.modelWidth = modelWidth;
        engine.modelHeight = modelHeight;
        engine.gridWidth = gridWidth;
        engine.gridHeight = gridHeight;
    }
};

// An engine built through the warping construction, with landmarks and a
// level installed by hand.
struct TestEngine {
    double pixel = 0.0;
    std::unique_ptr<SplineImage> image;
    std::unique_ptr<RegistrationEngine> engine;

    explicit TestEngine(TransformationType type)
        : image(std::make_unique<SplineImage>(&pixel, 1, 1, type, false)),
          engine(std::make_unique<RegistrationEngine>(*image, type)) {
        engine->transformation = type;
        engine->levelScale = 1;
    }
    RegistrationEngine* operator->() { return engine.get(); }
    RegistrationEngine& operator*() { return *engine; }
};

inline LandmarkSet landmarks(std::initializer_list<std::pair<double, double>> points) {
    LandmarkSet set(static_cast<int32_t>(points.size()), 2);
    int32_t r = 0;
    for (const auto& [x, y] : points) {
        set(r, 0) = x;
        set(r, 1) = y;
        ++r;
    }
    return set;
}

struct ModelSample {
    double value;
    double dx;
    double dy;
};

// The model at (x, y) with its derivatives, through the general-point sequence.
inline ModelSample sampleModel(RegistrationEngine& engine, double x, double y) {
    engine.locatePoint(x, y);
    engine.computeXWeights();
    engine.computeYWeights();
    return {engine.interpolate(), engine.interpolateDx(), engine.interpolateDy()};
}

} // namespace alignopt::testing

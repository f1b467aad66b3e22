#pragma once

// The record every numeric step of a registration works on.

#include <array>
#include <cstdint>
#include <span>

#include "core/image/ImageMask.h"
#include "core/image/SplineImage.h"
#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"
#include "core/sampling/CubicSplineRule.h"
#include "core/sampling/MarginModel.h"

namespace alignopt {

// The four cubic B-spline weights of the taps base+2, base+1, base, base-1
// for the fraction t, without derivatives.
void cubicWeights(double t, std::array<double, 4>& w);

// The record through which every numeric step of a registration or a warp
// talks to the others: the landmark pairs, the current level's model image
// (interpolated) and grid image (walked), the optimiser constants and the
// scratch state of the spline evaluation.
//
// The level arrays are read-only views of the pyramids owned by the images
// and masks (or of the warped image's coefficients), and nothing done through
// the engine changes them. Installing a level copies only the model's
// coefficients, into `modelMargins`, where the 512-bit batch evaluation
// reads them.
struct RegistrationEngine {
    std::array<double, 16> bilinearInverse{}; // column by column: [4*l + r] = G^-1(r, l)
    double pixelPrecision = 0.001;
    double landmarkNormaliser = 0.0;
    double sampleX = 0.0;
    double sampleY = 0.0;
    LandmarkSet sourceLandmarks;
    LandmarkSet targetLandmarks;
    std::array<double, 4> xDerivativeWeights{};
    std::array<double, 4> yDerivativeWeights{};
    std::array<double, 4> xWeights{};
    std::array<double, 4> yWeights{};
    std::array<int32_t, 4> xIndices{};
    std::array<int32_t, 4> yOffsets{}; // row indices already multiplied by modelWidth

    std::span<const double> modelCoefficients;
    MarginModel modelMargins; // built by the driver for each level
    std::span<const double> modelMask;
    std::span<const double> gridSamples;
    std::span<const double> gridMask;
    std::span<const double> gridGradientX;
    std::span<const double> gridGradientY;

    int32_t modelWidth = 0;
    int32_t modelHeight = 0;
    int32_t levelScale = 1;
    int32_t iterationFactor = 10;
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    int32_t pyramidDepth = 1;
    TransformationType transformation = TransformationType::Translation;

    const SplineImage* sourceImage = nullptr;
    const SplineImage* targetImage = nullptr;
    const ImageMask* sourceMask = nullptr;
    const ImageMask* targetMask = nullptr;
    LandmarkSet* sourceLandmarksOut = nullptr; // the caller's set, refreshed after every level

    // The squared residual sum and pixel count of the latest error pass, and
    // of the pass the optimiser of the current level accepted last.
    double passSquaredSum = 0.0;
    int64_t passPixels = 0;
    double acceptedSquaredSum = 0.0;
    int64_t acceptedPixels = 0;
    void notePass(double squaredSum, int64_t pixels) {
        passSquaredSum = squaredSum;
        passPixels = pixels;
    }
    void acceptPass() {
        acceptedSquaredSum = passSquaredSum;
        acceptedPixels = passPixels;
    }

    // For a registration: copies both landmark sets, refers to the rest.
    RegistrationEngine(const SplineImage& source, const ImageMask& sourceMask, LandmarkSet& sourceLandmarks,
                       const SplineImage& target, const ImageMask& targetMask, const LandmarkSet& targetLandmarks,
                       TransformationType transformation);
    // For warping `image`; the warp installs the fields it uses.
    RegistrationEngine(const SplineImage& image, TransformationType transformation);

    // Spline evaluation at (sampleX, sampleY).
    // The first half of the general-point sequence: the taps from (x, y),
    // then sampleX and sampleY replaced by the fractions the weights take.
    void locatePoint(double x, double y);
    void computeXIndices();
    void computeYOffsets();
    void computeXWeights();
    void computeYWeights();
    double interpolate() const;
    double interpolateDx() const;
    double interpolateDy() const;

    // Kernels and optimiser of translation, scaled rotation and affine.
    double translationError(const Matrix& m);
    double translationErrorGradientHessian(const Matrix& m, Matrix& hessian, std::span<double> gradient);
    double scaledRotationError(const LandmarkSet& landmarks, const Matrix& m);
    double scaledRotationErrorGradientHessian(const LandmarkSet& landmarks, const Matrix& m, Matrix& hessian,
                                              std::span<double> gradient);
    double affineError(const LandmarkSet& landmarks, const Matrix& m);
    double affineErrorGradientHessian(const LandmarkSet& landmarks, const Matrix& m, Matrix& hessian,
                                      std::span<double> gradient);
    void optimiseGeneral();

    // Rigid body: works on an angle and a translation.
    double rigidBodyError(const Matrix& m);
    double rigidBodyErrorGradientHessian(const Matrix& m, Matrix& hessian, std::span<double> gradient);
    void optimiseRigidBody();

    // Bilinear: the grid is the target, the model the source.
    void updateBilinearInverse();
    double bilinearError(const Matrix& m);
    double bilinearErrorGradientHessian(const Matrix& m, Matrix& hessian, std::span<double> gradient);
    void optimiseBilinear();

    // Coarse to fine over the pyramids of the referenced images and masks.
    void runLevels();
};

} // namespace alignopt

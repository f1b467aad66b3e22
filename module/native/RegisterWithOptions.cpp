// register(target, source, code, target_mask=None, source_mask=None,
// initial=None, levels=None): the registration with masks, NaN pixels left out and an
// initial map, returning the final error with the matrix and landmarks.
#include "module/ArrayArguments.h"
#include "module/ErrorBoundary.h"
#include "module/ImagePairArguments.h"
#include "module/InterpreterLock.h"
#include "module/native/NativeMethods.h"

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"
#include "core/registration/Registration.h"
#include "core/registration/RegistrationOptions.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>

namespace alignopt::module {

const char registerWithOptionsDoc[] =
    "register(target, source, code, target_mask=None, source_mask=None, initial=None, levels=None)\n"
    "    -> (matrix, target_landmarks, source_landmarks, error, pixels)\n"
    "\n"
    "Registers source onto target as alignopt._register does (same images, codes 2, 3, 4, 6, 8 and\n"
    "messages), with options:\n"
    "  target_mask, source_mask: None or an array of the images' shape (H, W); 0 leaves a pixel out,\n"
    "    any other finite value keeps it.\n"
    "  initial: None or a (2, 1), (2, 3) or (2, 4) matrix in the layout of the result (target\n"
    "    positions to source positions). The source landmarks start where it sends the target\n"
    "    landmarks and each family keeps what its landmarks can hold: translation the displacement\n"
    "    of its landmark (the image centre), rigid body that of the centre and the turn of the middle\n"
    "    column, scaled rotation the similarity through its two landmarks, affine the affine map\n"
    "    through its three (exact for (2, 3)), bilinear the map itself (exact for every shape).\n"
    "  levels: None or the most pyramid levels to visit, full resolution included (1: full\n"
    "    resolution only); None visits as many as the images allow.\n"
    "NaN pixels are left out as a 0 in the mask would (their values replaced by the mean of the\n"
    "usable pixels before any filtering); infinities are refused.\n"
    "error: the mean squared difference at the returned matrix, from the optimiser's last accepted\n"
    "error pass at full resolution (nothing moves after it), in the optimiser's own direction: for\n"
    "codes 2, 3, 4 and 6 over the usable source pixels whose position the inverse map sends into the\n"
    "target, the target's spline model sampled there; for code 8 over the usable target pixels, the\n"
    "source's model sampled at the mapped position. Interpolation smooths the sampled image's noise,\n"
    "so with white noise it is about a quarter below the mean squared difference of target and\n"
    "_transform(source, matrix). pixels: their number (error NaN and pixels 0 when no pixel of one\n"
    "image maps into the other). Without masks, NaN pixels and initial the first three items are\n"
    "_register's, bit for bit.\n"
    "ValueError for a mask of another shape, a mask that is not finite, an image or mask that\n"
    "leaves no usable pixel or fewer than the family's parameters (2, 3, 4, 6, 8), an initial matrix\n"
    "of another shape or not finite; MemoryError when memory runs out.\n";

namespace {

// snprintf rather than decimal, whose digit table would be exported
// as a unique symbol.
std::string decimal(npy_intp value) {
    char text[24];
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return text;
}

std::string shapeText(PyObject* array) {
    const ArrayObjectFields& fields = arrayFields(array);
    std::string text = "(";
    for (int axis = 0; axis < fields.nd; ++axis) {
        if (axis > 0) text += ", ";
        text += decimal(fields.dimensions[axis]);
    }
    return text + (fields.nd == 1 ? ",)" : ")");
}

// None, or the mask converted to doubles of exactly the images' shape.
OwnedRef convertMask(PyObject* object, const char* name, int32_t width, int32_t height) {
    if (object == nullptr || object == Py_None) return OwnedRef();
    refuseHugeArrays({object});
    OwnedRef mask = asDoubleArray(object);
    if (!mask) throw PythonErrorAlreadySet{};
    if (!isTwoDimensional(mask.get()) || rowCount(mask.get()) != height || columnCount(mask.get()) != width) {
        throw ArgumentError(std::string(name) + " must have the images' shape (" + decimal(height) + ", " +
                            decimal(width) + "), not " + shapeText(mask.get()));
    }
    return mask;
}

// None, or the initial matrix copied into a core matrix of its shape.
bool convertInitial(PyObject* object, Matrix& initial) {
    if (object == nullptr || object == Py_None) return false;
    refuseHugeArrays({object});
    const OwnedRef array = asDoubleArray(object);
    if (!array) throw PythonErrorAlreadySet{};
    const bool shaped = isTwoDimensional(array.get()) && rowCount(array.get()) == 2 &&
                        (columnCount(array.get()) == 1 || columnCount(array.get()) == 3 ||
                         columnCount(array.get()) == 4);
    if (!shaped) {
        throw ArgumentError("initial must have the shape (2, 1), (2, 3) or (2, 4), not " + shapeText(array.get()));
    }
    initial = Matrix(2, static_cast<int32_t>(columnCount(array.get())));
    std::copy_n(doubleData(array.get()), initial.values.size(), initial.values.begin());
    return true;
}

// None (0: every level), or a level count of at least 1.
int32_t convertLevels(PyObject* object) {
    if (object == nullptr || object == Py_None) return 0;
    if (!PyLong_Check(object) || PyBool_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "levels must be None or an int");
        throw PythonErrorAlreadySet{};
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow > 0 || (overflow == 0 && value > std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (overflow < 0 || value < 1) throw ArgumentError("levels must be at least 1");
    return static_cast<int32_t>(value);
}

std::span<const double> maskView(const OwnedRef& mask, std::size_t count) {
    return mask ? std::span<const double>(doubleData(mask.get()), count) : std::span<const double>();
}

// The core work, with the interpreter lock released: native values only.
RegistrationOutcome registerOutsideInterpreter(const double* target, const double* source,
                                               TransformationType transformation, int32_t width, int32_t height,
                                               const RegistrationOptions& options) {
    try {
        const InterpreterLockRelease unlocked;
        return registerWithOptions(target, source, transformation, width, height, options);
    } catch (const ValueRangeError& error) {
        throw ArgumentError(error.what());
    } catch (const OptionError& error) {
        throw ArgumentError(error.what());
    }
}

OwnedRef registerPairWithOptions(PyObject* args, PyObject* keywords) {
    static const char* const keywordNames[] = {"target",      "source",      "code", "target_mask",
                                               "source_mask", "initial",     "levels", nullptr};
    PyObject* targetObject = nullptr;
    PyObject* sourceObject = nullptr;
    PyObject* codeObject = nullptr;
    PyObject* targetMaskObject = nullptr;
    PyObject* sourceMaskObject = nullptr;
    PyObject* initialObject = nullptr;
    PyObject* levelsObject = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, keywords, "OOO|OOOO:register", const_cast<char**>(keywordNames),
                                     &targetObject, &sourceObject, &codeObject, &targetMaskObject,
                                     &sourceMaskObject, &initialObject, &levelsObject)) {
        throw PythonErrorAlreadySet{};
    }
    const TransformationType transformation = transformationFromCode(codeObject);
    ImagePair images = convertImagePair(targetObject, sourceObject);
    OwnedRef targetMask = convertMask(targetMaskObject, "target_mask", images.width, images.height);
    OwnedRef sourceMask = convertMask(sourceMaskObject, "source_mask", images.width, images.height);
    Matrix initial;
    const bool hasInitial = convertInitial(initialObject, initial);
    const int32_t maximumLevels = convertLevels(levelsObject);

    const std::size_t count = static_cast<std::size_t>(images.width) * static_cast<std::size_t>(images.height);
    RegistrationOptions options;
    options.targetMask = maskView(targetMask, count);
    options.sourceMask = maskView(sourceMask, count);
    options.initial = hasInitial ? &initial : nullptr;
    options.maximumLevels = maximumLevels;
    const RegistrationOutcome outcome =
        registerOutsideInterpreter(doubleData(images.target.get()), doubleData(images.source.get()),
                                   transformation, images.width, images.height, options);

    // The converted copies go before the results are allocated.
    sourceMask.reset();
    targetMask.reset();
    images.source.reset();
    images.target.reset();
    const OwnedRef matrix = newArrayFromMatrix(outcome.registration.matrix);
    const OwnedRef targetLandmarks = newArrayFromMatrix(outcome.registration.targetLandmarks);
    const OwnedRef sourceLandmarks = newArrayFromMatrix(outcome.registration.sourceLandmarks);
    OwnedRef tuple = OwnedRef::fromNew(Py_BuildValue("OOOdL", matrix.get(), targetLandmarks.get(),
                                                     sourceLandmarks.get(), outcome.error,
                                                     static_cast<long long>(outcome.pixels)));
    if (!tuple) {
        throw PythonErrorAlreadySet{};
    }
    return tuple;
}

} // namespace

PyObject* registerWithOptionsMethod(PyObject*, PyObject* args, PyObject* keywords) noexcept {
    return guardedCall("register", [args, keywords] { return registerPairWithOptions(args, keywords); });
}

} // namespace alignopt::module

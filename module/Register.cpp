#include "module/ArrayArguments.h"
#include "module/ErrorBoundary.h"
#include "module/ImagePairArguments.h"
#include "module/InterpreterLock.h"
#include "module/Methods.h"

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"
#include "core/registration/Registration.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace alignopt::module {

namespace {

// The only core work of the method. It sees native values only and touches
// nothing of Python, so the interpreter lock can be released around it; the
// converted arrays that own both buffers stay referenced until it returns.
// The core refuses non-finite pixels first, in the pass over the pixels it
// makes anyway, which threads can then overlap.
RegistrationResult registerOutsideInterpreter(const double* target, const double* source,
                                              TransformationType transformation, int32_t width, int32_t height) {
    try {
        const InterpreterLockRelease unlocked;
        return registerImages(target, source, transformation, width, height);
    } catch (const ValueRangeError& error) {
        throw ArgumentError(error.what());
    }
}

OwnedRef registerImagePair(PyObject* args) {
    PyObject* targetObject = nullptr;
    PyObject* sourceObject = nullptr;
    PyObject* codeObject = nullptr;
    if (!PyArg_ParseTuple(args, "OOO", &targetObject, &sourceObject, &codeObject)) {
        throw PythonErrorAlreadySet{};
    }
    const TransformationType transformation = transformationFromCode(codeObject);
    ImagePair images = convertImagePair(targetObject, sourceObject);
    const RegistrationResult result =
        registerOutsideInterpreter(doubleData(images.target.get()), doubleData(images.source.get()),
                                   transformation, images.width, images.height);

    // The converted copies go before the results are allocated.
    images.source.reset();
    images.target.reset();
    const OwnedRef matrix = newArrayFromMatrix(result.matrix);
    const OwnedRef targetLandmarks = newArrayFromMatrix(result.targetLandmarks);
    const OwnedRef sourceLandmarks = newArrayFromMatrix(result.sourceLandmarks);
    // The tuple takes references of its own; the arrays' references here are
    // dropped on return, leaving the tuple as their only owner.
    OwnedRef tuple =
        OwnedRef::fromNew(Py_BuildValue("OOO", matrix.get(), targetLandmarks.get(), sourceLandmarks.get()));
    if (!tuple) {
        throw PythonErrorAlreadySet{};
    }
    return tuple;
}

} // namespace

PyObject* registerMethod(PyObject*, PyObject* args) noexcept {
    return guardedCall("_register", [args] { return registerImagePair(args); });
}

} // namespace alignopt::module

#include "module/ArrayApi.h"

namespace alignopt::module {

namespace {

// Written once by a successful bindArrayApi, read-only afterwards. NumPy keeps
// the table alive for as long as its module stays imported, which is for the
// life of the interpreter.
void** arrayApiTable = nullptr;

// Positions of the entries used here in NumPy's published table.
enum ArrayApiIndex : int {
    getNDArrayCVersionIndex = 0,
    arrayTypeIndex = 2,
    descrFromTypeIndex = 45,
    fromAnyIndex = 69,
    newIndex = 93,
    getEndiannessIndex = 210,
    getNDArrayCFeatureVersionIndex = 211,
};

using GetVersionFunction = unsigned (*)();
using GetEndiannessFunction = int (*)();
using DescrFromTypeFunction = PyObject* (*)(int typeNumber);
// Steals the reference to the descriptor, also when it fails.
using FromAnyFunction = PyObject* (*)(PyObject* object, PyObject* descr, int minDepth, int maxDepth,
                                      int requirements, PyObject* context);
using NewFunction = PyObject* (*)(PyTypeObject* subtype, int nd, const npy_intp* dims, int typeNumber,
                                  const npy_intp* strides, void* data, int itemSize, int flags, PyObject* prototype);

template <typename Function>
Function entry(ArrayApiIndex index) noexcept {
    return reinterpret_cast<Function>(arrayApiTable[index]);
}

PyTypeObject* arrayType() noexcept { return static_cast<PyTypeObject*>(arrayApiTable[arrayTypeIndex]); }

// Looks up the table in the capsule and checks that this NumPy is one the
// module can work with. On failure an exception is set.
bool loadTable() noexcept {
    OwnedRef capsule;
    {
        const OwnedRef numpy = OwnedRef::fromNew(PyImport_ImportModule("numpy.core._multiarray_umath"));
        if (!numpy) {
            return false;
        }
        capsule = OwnedRef::fromNew(PyObject_GetAttrString(numpy.get(), "_ARRAY_API"));
    }
    if (!capsule) {
        PyErr_SetString(PyExc_AttributeError, "_ARRAY_API not found");
        return false;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    arrayApiTable = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    capsule.reset();
    if (arrayApiTable == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return false;
    }

    const unsigned abiVersion = entry<GetVersionFunction>(getNDArrayCVersionIndex)();
    if (abiVersion != expectedAbiVersion) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     expectedAbiVersion, abiVersion);
        return false;
    }
    const unsigned featureVersion = entry<GetVersionFunction>(getNDArrayCFeatureVersionIndex)();
    if (featureVersion < minimumFeatureVersion) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against API version 0x%x but this version of numpy is 0x%x",
                     minimumFeatureVersion, featureVersion);
        return false;
    }
    const int endianness = entry<GetEndiannessFunction>(getEndiannessIndex)();
    if (endianness == npyCpuUnknownEndian) {
        PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
        return false;
    }
    if (endianness != npyCpuLittle) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FATAL: module compiled as little endian, but detected different endianness at runtime");
        return false;
    }
    return true;
}

} // namespace

bool bindArrayApi() noexcept {
    if (loadTable()) {
        return true;
    }
    // The importer sees one fixed error; the specific cause is printed first.
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return false;
}

OwnedRef asDoubleArray(PyObject* object) noexcept {
    PyObject* descr = entry<DescrFromTypeFunction>(descrFromTypeIndex)(npyDouble);
    if (descr == nullptr) {
        return {};
    }
    return OwnedRef::fromNew(entry<FromAnyFunction>(fromAnyIndex)(object, descr, 0, 0, npyArrayInArray, nullptr));
}

OwnedRef newDoubleArray(npy_intp rows, npy_intp columns) noexcept {
    const npy_intp shape[2] = {rows, columns};
    return OwnedRef::fromNew(
        entry<NewFunction>(newIndex)(arrayType(), 2, shape, npyDouble, nullptr, nullptr, 0, 0, nullptr));
}

bool isArray(PyObject* object) noexcept { return PyObject_TypeCheck(object, arrayType()) != 0; }

} // namespace alignopt::module

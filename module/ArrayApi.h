#pragma once

#include "module/OwnedRef.h"

#include <cstdint>

namespace alignopt::module {

// The module reaches NumPy only through the table of entry points that NumPy
// publishes in its "_ARRAY_API" capsule; the few types it needs are declared
// here, laid out as NumPy's 1.x C interface defines them.
using npy_intp = Py_ssize_t;
static_assert(sizeof(npy_intp) == 8, "sizes are checked in 64-bit arithmetic");

// The leading fields of NumPy's array object (stable across the 1.x ABI).
struct ArrayObjectFields {
    PyObject base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* baseObject;
    void* descr;
    int flags;
    PyObject* weakreflist;
};

inline constexpr unsigned expectedAbiVersion = 0x1000009;
inline constexpr unsigned minimumFeatureVersion = 0x10;
inline constexpr int npyDouble = 12;
inline constexpr int npyArrayInArray = 257; // C-contiguous | aligned
inline constexpr int npyCpuLittle = 1;
inline constexpr int npyCpuUnknownEndian = 0;

// Imports NumPy and binds its C interface; checks ABI version, feature version
// and byte order. On failure a Python exception is set and false is returned.
bool bindArrayApi() noexcept;

// Converts any array-like object to an aligned, C-ordered array of doubles (a
// new reference; the input itself when it already is one). Null with NumPy's
// exception set on failure.
OwnedRef asDoubleArray(PyObject* object) noexcept;

// A fresh C-ordered (rows, columns) array of doubles; null with an exception
// set on failure.
OwnedRef newDoubleArray(npy_intp rows, npy_intp columns) noexcept;

// True for NumPy arrays, subclasses included.
bool isArray(PyObject* object) noexcept;

inline const ArrayObjectFields& arrayFields(PyObject* array) noexcept {
    return *reinterpret_cast<const ArrayObjectFields*>(array);
}

} // namespace alignopt::module

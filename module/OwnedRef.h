#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace alignopt::module {

// Owns one reference to a Python object, so that every early return and every
// exception releases what the method holds without manual bookkeeping.
// Destroying it calls into the interpreter: only with the interpreter lock held.
class OwnedRef {
public:
    OwnedRef() noexcept = default;

    // Takes over a new reference (may be null, e.g. a failed API call).
    static OwnedRef fromNew(PyObject* object) noexcept { return OwnedRef(object); }

    // Adds a reference of its own to an object borrowed from elsewhere.
    static OwnedRef fromBorrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = other.release();
        }
        return *this;
    }
    ~OwnedRef() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (typically: to Python as a result).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

} // namespace alignopt::module

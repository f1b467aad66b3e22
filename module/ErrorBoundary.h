#pragma once

#include "module/OwnedRef.h"

#include <stdexcept>
#include <string>

namespace alignopt::module {

// A refused argument; becomes ValueError with exactly this message.
class ArgumentError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Thrown after a Python API call failed: the interpreter's exception is already
// set and must reach the caller unchanged.
struct PythonErrorAlreadySet {};

// Sets the Python exception that stands for the exception being handled.
// Call only from inside a catch block.
void setPythonErrorFromCurrentException(const char* methodName) noexcept;

// Runs a method body so that nothing native crosses into the interpreter: the
// body returns its result as an OwnedRef, and every exception it throws
// becomes a Python exception with a null result.
template <typename Body>
PyObject* guardedCall(const char* methodName, Body&& body) noexcept {
    try {
        PyObject* result = body().release();
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s returned no result", methodName);
        }
        return result;
    } catch (...) {
        setPythonErrorFromCurrentException(methodName);
        return nullptr;
    }
}

} // namespace alignopt::module

#include "module/ErrorBoundary.h"

#include <exception>
#include <new>

namespace alignopt::module {

void setPythonErrorFromCurrentException(const char* methodName) noexcept {
    try {
        throw;
    } catch (const PythonErrorAlreadySet&) {
        // Guard against a call site that threw without an error pending: a null
        // result without an exception would make the interpreter fail obscurely.
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s failed without setting an error", methodName);
        }
    } catch (const ArgumentError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than it can ever hold: out of memory too.
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "%s: %s", methodName, error.what());
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "%s: unknown native error", methodName);
    }
}

} // namespace alignopt::module

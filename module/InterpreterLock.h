#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace alignopt::module {

// Releases the interpreter lock for the lifetime of the object, so that other
// Python threads run while the numeric core works. The destructor takes the
// lock back, also while an exception unwinds, so the exception boundary that
// turns it into a Python error always runs with the lock held. Nothing in the
// scope may touch Python objects.
class InterpreterLockRelease {
public:
    InterpreterLockRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~InterpreterLockRelease() { PyEval_RestoreThread(state_); }
    InterpreterLockRelease(const InterpreterLockRelease&) = delete;
    InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

private:
    PyThreadState* state_;
};

} // namespace alignopt::module

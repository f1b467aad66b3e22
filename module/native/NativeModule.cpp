// The private module of the application's own registration path: the
// registration with options, kept apart so that alignopt's surface stays
// exactly what it is.
#include "module/ArrayApi.h"
#include "module/native/NativeMethods.h"

namespace {

PyMethodDef methods[] = {
    {"register", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(alignopt::module::registerWithOptionsMethod)),
     METH_VARARGS | METH_KEYWORDS, alignopt::module::registerWithOptionsDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Single-phase initialisation; all state is the process-wide NumPy table.
PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT, "_orvik_native", "Native registration helpers of the application (private).\n", -1,
    methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__orvik_native() {
    if (!alignopt::module::bindArrayApi()) {
        return nullptr;
    }
    return PyModule_Create2(&moduleDefinition, 1013);
}

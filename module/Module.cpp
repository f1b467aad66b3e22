#include "module/ArrayApi.h"
#include "module/Methods.h"

namespace {

PyMethodDef methods[] = {
    {"_register", alignopt::module::registerMethod, METH_VARARGS, "Quandrilox\n"},
    {"_transform", alignopt::module::transformMethod, METH_VARARGS, "Quandrilox\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Single-phase initialisation; all state is the process-wide NumPy table.
PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT, "alignopt", "alignopt\n", -1, methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_alignopt() {
    if (!alignopt::module::bindArrayApi()) {
        return nullptr;
    }
    return PyModule_Create2(&moduleDefinition, 1013);
}

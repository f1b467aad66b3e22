// Placeholder until the module start lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef moduleDefinition = {PyModuleDef_HEAD_INIT, "alignopt", "alignopt\n", -1, nullptr,
                                       nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_alignopt() { return PyModule_Create2(&moduleDefinition, 1013); }

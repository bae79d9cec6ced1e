#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_native", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&def); }

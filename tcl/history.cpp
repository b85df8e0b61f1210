// ortan.tcl.history: placeholder until the module is written.
#include "support.h"

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ortan.tcl.history", nullptr, 0, nullptr,
                                 nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_history() { return PyModule_Create(&module_def); }

// ortan.tcl.nestmap: placeholder until the module is written.
#include "support.h"

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ortan.tcl.nestmap", nullptr, 0, nullptr,
                                 nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_nestmap() { return PyModule_Create(&module_def); }

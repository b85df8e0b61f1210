// ortan.tcl.hop: placeholder until the module is written.
#include "support.h"

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ortan.tcl.hop", nullptr, 0, nullptr,
                                 nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_hop() { return PyModule_Create(&module_def); }

// ortan.tcl.namespace: Tcl variables, commands and namespaces of an interpreter as Python objects.
#include "namespace/callbacks.h"
#include "namespace/common.h"

#include <iterator>

namespace ortan_namespace {

// ---------------------------------------------------------------------------------------------
// Module init: constants, imports, classes.

bool read_assertion_mode() {
    PyObject *flags = PySys_GetObject("flags"); // borrowed
    if (!flags)
        return true;
    Ref optimize = ortan::get_attr(flags, "optimize");
    if (!optimize)
        return false;
    const long level = PyLong_AsLong(optimize.get());
    if (level == -1 && PyErr_Occurred())
        return false;
    assertions_enabled = level == 0;
    return true;
}

const char *const module_doc =
    "Abstraction of Tcl namespaces, variables and commands.\n\n"
    "Implements TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable,\n"
    "TclCommand, TempTclCommand, TclNamespace and TempTclNamespace: Python objects that stand\n"
    "for the variables, arrays, commands and namespaces of a Tcl interpreter, with mapping\n"
    "views of a namespace's variables, commands and procedures.";

bool init_module(PyObject *module) {
    if (!init_constants() || !read_assertion_mode())
        return false;
    using ortan::import_attr;
    using ortan::import_module;
    if (!bind(module, "MutableMapping", import_attr("collections.abc", "MutableMapping"),
              &mutable_mapping) ||
        !bind(module, "scribe", import_attr("ortan.tcl.scribe", "scribe"), &scribe_fn) ||
        !bind(module, "tclobj", import_attr("ortan.tcl.scribe", "tclobj"), &tclobj_fn) ||
        !bind(module, "TclError", import_attr("tkinter", "TclError"), &tcl_error) ||
        !bind(module, "Tk", import_attr("tkinter", "Tk")) ||
        !bind(module, "MethodType", import_attr("types", "MethodType"), &method_type) ||
        !bind(module, "weakref", import_module("weakref")) ||
        !bind(module, "sys", import_module("sys")) ||
        !bind(module, "functools", import_module("functools")))
        return false;
    if (!(mapping_abc = import_attr("collections.abc", "Mapping").release()))
        return false;
    if (!(weak_proxy = import_attr("weakref", "proxy").release()) ||
        !(tkinter_misc = import_attr("tkinter", "Misc").release()) ||
        !(update_wrapper = import_attr("functools", "update_wrapper").release()))
        return false;
    if (PyType_Ready(&name_iterator_type) < 0)
        return false;
    // The calls sent through tkinter (exported to the other modules as `_calls`), and Python
    // callbacks as Tcl commands.
    if (!ortan::calls::init(module) || !ortan::callbacks::init())
        return false;

    const char *const all[] = {"TclVariable",          "TempTclVariable", "TclArrayVariable",
                               "TempTclArrayVariable", "TclCommand",      "TempTclCommand",
                               "TclNamespace",         "TempTclNamespace"};
    if (!ortan::bind_public_names(module, all, std::size(all)))
        return false;

    if (!make_variable_classes() || !make_command_classes() || !make_namespace_classes())
        return false;
    PyObject *const classes[] = {
        TclVariable_cls, TempTclVariable_cls, TclArrayVariable_cls, TempTclArrayVariable_cls,
        TclCommand_cls,  TempTclCommand_cls,  TclNamespace_cls,     TempTclNamespace_cls};
    for (int i = 0; i < 8; ++i)
        if (!bind(module, all[i], Ref::borrow(classes[i])))
            return false;
    return true;
}

PyModuleDef module_def = ortan::define_module(module_name, module_doc);

} // namespace ortan_namespace

PyMODINIT_FUNC PyInit_namespace() {
    return ortan::create_module(ortan_namespace::module_def, ortan_namespace::init_module);
}

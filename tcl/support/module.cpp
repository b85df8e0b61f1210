// Module init: the module definition, interned names, and the globals a module binds.
#include "module.h"
#include "classes.h"
#include "pyapi.h"

namespace ortan {

// Each module is one extension (this file is linked into each), so these are that module's.
namespace {

bool (*module_init)(PyObject *module) = nullptr;
PyObject *first_dict = nullptr; // the module's namespace as its first import made it

// The modules keep their state in C++ statics and run Python code from Tcl's threads through
// tkinter: both belong to the main interpreter, so a subinterpreter is refused. CPython refuses
// an isolated one itself (the slot below, from 3.12); a legacy one (shared GIL) is let through
// to here, which runs in the importing interpreter. (A single-phase init could not tell: from
// 3.14 CPython runs it in the main interpreter.) A second import in the main interpreter (after
// its entry left sys.modules) gets the first one's names, as a single-phase module would: there
// is one set of classes per process.
int exec_module(PyObject *module) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support loading in subinterpreters: its state and its Tcl "
                     "callbacks belong to the main interpreter",
                     PyModule_GetName(module));
        return -1;
    }
    PyObject *dict = PyModule_GetDict(module); // borrowed
    if (first_dict)
        return PyDict_Update(dict, first_dict);
    if (!module_init(module))
        return -1;
    first_dict = Py_NewRef(dict);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

} // namespace

PyModuleDef define_module(const char *name, const char *doc) {
    PyModuleDef def = {
        PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
    };
    return def;
}

PyObject *create_module(PyModuleDef &def, bool (*init)(PyObject *module)) {
    if (!name_method_type(def.m_name))
        return nullptr;
    module_init = init;
    return PyModuleDef_Init(&def);
}

PyObject *intern(const char *text) {
    // Immortal for our purposes: the reference is never released.
    return PyUnicode_InternFromString(text);
}

bool intern_all(std::initializer_list<InternedName> names) {
    for (const InternedName &name : names) {
        if (!(*name.slot = intern(name.text)))
            return false;
    }
    return true;
}

bool bind(PyObject *module, const char *name, Ref value, PyObject **keep) {
    if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0)
        return false;
    if (keep) {
        PyObject *old = *keep;
        *keep = value.release();
        Py_XDECREF(old);
    }
    return true;
}

bool bind_public_names(PyObject *module, const char *const *names, size_t count) {
    Ref all = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; i < count; ++i) {
        PyObject *name = all ? PyUnicode_FromString(names[i]) : nullptr;
        if (!name)
            return false;
        PyTuple_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), name);
    }
    return bind(module, "__all__", std::move(all));
}

Ref module_function(PyMethodDef *def, PyObject *module) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    return name ? Ref::steal(PyCFunction_NewEx(def, module, name.get())) : name;
}

} // namespace ortan

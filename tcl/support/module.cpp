// Module init: the module definition, interned names, and the globals a module binds.
#include "module.h"
#include "classes.h"
#include "pyapi.h"

namespace ortan {

PyModuleDef define_module(const char *name, const char *doc) {
    PyModuleDef def = {
        PyModuleDef_HEAD_INIT, name, doc, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return def;
}

PyObject *create_module(PyModuleDef &def, bool (*init)(PyObject *module)) {
    // The modules keep their state in C++ statics and run Python code from Tcl's threads
    // through tkinter: both belong to the main interpreter. Refused elsewhere, never half-made.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError,
                     "%s cannot be imported in a subinterpreter: its state and its Tcl "
                     "callbacks belong to the main interpreter",
                     def.m_name);
        return nullptr;
    }
    if (!name_method_type(def.m_name))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create(&def));
    if (!module || !init(module.get()))
        return nullptr;
    return module.release();
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

// Module init: the module definition, interned names, and the globals a module binds.
#pragma once

#include "ref.h"

#include <initializer_list>

namespace ortan {

// The definition of a module (multi-phase, with the slots of module.cpp): its namespace is made
// once per process, so the objects its C++ code keeps in statics always belong to it, and it is
// refused in subinterpreters. Keep the result in a static.
PyModuleDef define_module(const char *name, const char *doc);

// The body of every PyInit_<module>: `init` fills the module when CPython executes it (the
// first import; a later one gets the first one's names). Names this module's copy of the
// method descriptor type first (see name_method_type). Returns the initialised definition, or
// null with an exception set.
PyObject *create_module(PyModuleDef &def, bool (*init)(PyObject *module));

// An interned str that lives as long as the process (the module keeps it in a static).
PyObject *intern(const char *text);

// One name to intern at import: `*slot = intern(text)`.
struct InternedName {
    PyObject **slot;
    const char *text;
};

// Interns every name into its slot; false with an exception set on failure.
bool intern_all(std::initializer_list<InternedName> names);

// module.<name> = value. With `keep`, *keep also holds a strong reference (replacing what it
// held) for the C++ code. False with an exception set, also when `value` is null.
bool bind(PyObject *module, const char *name, Ref value, PyObject **keep = nullptr);

// module.__all__ = the tuple of `names`: the module's public names, which `from module import *`
// takes (never the modules and classes it imports for itself). Underscored helpers stay out of
// it and importable by name.
bool bind_public_names(PyObject *module, const char *const *names, size_t count);
inline bool bind_public_names(PyObject *module, std::initializer_list<const char *> names) {
    return bind_public_names(module, names.begin(), names.size());
}

// A module-level builtin function of `def`, its __module__ being the module's name.
Ref module_function(PyMethodDef *def, PyObject *module);

} // namespace ortan

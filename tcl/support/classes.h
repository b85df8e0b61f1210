// Plain Python classes with C++ methods: the method descriptor and the class builder.
//
// Every class of this package is an ordinary Python class, made at import by calling its
// metaclass (type, or ABCMeta for the mappings) with a namespace dict. That is what lets the
// classes derive from Python bases such as MutableMapping and keep their state in the instance
// __dict__. The methods in that namespace are instances of a small descriptor type that binds
// like a Python function: `obj.meth(x)` calls the C++ function with (obj, x).
#pragma once

#include "ref.h"

namespace ortan {

// A zero-initialised static type object with its name and instance size set, ready for the
// caller to fill in its slots and pass to PyType_Ready. (Aggregate initialisation of
// PyTypeObject with the HEAD_INIT macros leaves most slots unnamed and trips -Wextra.)
inline PyTypeObject static_type(const char *name, Py_ssize_t basicsize) {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&type), 1);
    type.tp_name = name;
    type.tp_basicsize = basicsize;
    return type;
}

// A METH_FASTCALL (| METH_KEYWORDS) function as the PyCFunction that PyMethodDef stores. The
// detour through void(*)() is the sanctioned way past -Wcast-function-type.
template <class F> PyCFunction as_cfunction(F *fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A C++ method: args[0] is self (or the class, for a classmethod); the rest are the Python
// positional arguments, then the values of the keyword names in `kwnames`.
using MethodFn = PyObject *(*)(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

struct MethodDef {
    const char *name;
    MethodFn fn;
    const char *signature; // text signature including "$self", e.g. "($self, name, value=None)"
    const char *doc;       // may be null
};

// A descriptor object for `def`, its __qualname__ being `class_qualname.name`.
Ref make_method(const MethodDef &def, const char *class_qualname);

// Puts make_method(def) into `ns` under def.name; false with an exception set on failure.
bool add_method(PyObject *ns, const MethodDef &def, const char *class_qualname);
// The same, wrapped as staticmethod or classmethod. A staticmethod's function receives no self:
// args[0] is the first Python argument.
bool add_staticmethod(PyObject *ns, const MethodDef &def, const char *class_qualname);
bool add_classmethod(PyObject *ns, const MethodDef &def, const char *class_qualname);
// A read-only property whose getter is `def` (signature "($self)").
bool add_property(PyObject *ns, const MethodDef &def, const char *class_qualname);

// A namespace dict with __module__, __qualname__ and (when given) __doc__ already in place.
Ref new_class_namespace(const char *module, const char *qualname, const char *doc);

// metaclass(name, bases, ns): the class object.
Ref build_class(PyObject *metaclass, const char *name, PyObject *bases, PyObject *ns);

// super(cls, self).<name>: the parent's attribute bound to self.
Ref super_attr(PyObject *cls, PyObject *self, PyObject *name);

} // namespace ortan

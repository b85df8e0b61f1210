// Plain Python classes with C++ methods: the method descriptor and the class builder.
//
// Every class of this package is an ordinary Python class, made at import by calling its
// metaclass (type, or ABCMeta for the mappings) with a namespace dict. That is what lets the
// classes derive from Python bases such as MutableMapping and keep their state in the instance
// __dict__. The methods in that namespace are instances of a small descriptor type that binds
// like a Python function: `obj.meth(x)` calls the C++ function with (obj, x).
#pragma once

#include "ref.h"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <type_traits>

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

// fn(self, *args, **kwargs) from a tp_call slot's tuple and dict: CPython's generic slot for a
// class's __call__ looks the method up again and re-packs the arguments it was just given. The
// keyword names and values are held for the call, as the dict may change while `fn` runs.
PyObject *call_unpacked(PyObject *self, PyObject *args, PyObject *kwargs, MethodFn fn);
// A tp_call slot made of call_unpacked and one MethodFn. Assigning __call__ on the class later
// makes CPython recompute the slot, and subclasses get the generic one, so such a slot never
// hides a different __call__.
template <MethodFn Fn>
PyObject *unpacked_call_slot(PyObject *self, PyObject *args, PyObject *kwargs) {
    return call_unpacked(self, args, kwargs, Fn);
}

struct MethodDef {
    const char *name;
    MethodFn fn;
    const char *signature; // text signature including "$self", e.g. "($self, name, value=None)"
    const char *doc;       // may be null
};

// The method descriptor type is static, so every module (each .so links the support library)
// has its own copy. Each is named for its module, "<module>.method", so that two of them never
// pass for one; create_module does this before the module's init makes any method. False with
// an exception set when the name does not fit.
bool name_method_type(const char *module);

// tp_descr_get of a callable that binds like a Python function: through an instance it becomes
// a bound method, through the class (or None) it is itself.
PyObject *bind_like_function(PyObject *self, PyObject *obj, PyObject *type);

// A descriptor object for `def`, its __qualname__ being `class_qualname.name`.
Ref make_method(const MethodDef &def, const char *class_qualname);

// Puts make_method(def) into `ns` under def.name; false with an exception set on failure.
bool add_method(PyObject *ns, const MethodDef &def, const char *class_qualname);
// add_method for each of `defs`, in order (the order of the class namespace).
bool add_methods(PyObject *ns, std::initializer_list<MethodDef> defs, const char *class_qualname);
bool add_methods(PyObject *ns, const MethodDef *defs, size_t count, const char *class_qualname);
template <size_t N>
bool add_methods(PyObject *ns, const MethodDef (&defs)[N], const char *class_qualname) {
    return add_methods(ns, defs, N, class_qualname);
}
// The same, wrapped as staticmethod or classmethod. A staticmethod's function receives no self:
// args[0] is the first Python argument.
bool add_staticmethod(PyObject *ns, const MethodDef &def, const char *class_qualname);
bool add_classmethod(PyObject *ns, const MethodDef &def, const char *class_qualname);

// The class builder. A class is described by its name, qualified name, doc and method table;
// new_class makes it as a class statement would: the namespace holds __module__, __qualname__,
// __doc__ and every method before the metaclass runs (ABCMeta computes the abstract methods
// then), and the metaclass is the most derived one of the bases.
struct ClassDef {
    const char *name;
    const char *qualname;     // "Outer.Inner" for a nested class; null: the name
    const char *doc;          // null: no __doc__
    const MethodDef *methods; // instance methods, in namespace order; may be null
    size_t method_count;
};
template <size_t N>
constexpr ClassDef class_def(const char *name, const char *qualname, const char *doc,
                             const MethodDef (&methods)[N]) {
    return {name, qualname, doc, methods, N};
}
constexpr ClassDef class_def(const char *name, const char *qualname, const char *doc) {
    return {name, qualname, doc, nullptr, 0};
}

// The metaclass a class statement picks for `bases` (a tuple; none means type): the most
// derived of their metaclasses. TypeError ("metaclass conflict") when one of them is not a
// subclass of all the others.
Ref class_metaclass(PyObject *bases);

// Adds the rest of a class's namespace (static methods, slots, aliases) after its method table;
// false with an exception set stops the build.
using ClassFillFn = bool (*)(void *context, PyObject *ns, const char *qualname);

// The class of `def` in module `module`, with `bases` (a tuple; null means (object,)). `fill`,
// when given, runs after the method table is in the namespace.
Ref new_class(const char *module, const ClassDef &def, PyObject *bases, ClassFillFn fill = nullptr,
              void *context = nullptr);
// The same with any callable `fill(ns, qualname)` returning bool.
template <class Fill>
Ref new_class(const char *module, const ClassDef &def, PyObject *bases, Fill &&fill) {
    using Fn = std::remove_reference_t<Fill>;
    auto *context = const_cast<std::remove_const_t<Fn> *>(std::addressof(fill));
    return new_class(
        module, def, bases,
        [](void *c, PyObject *ns, const char *qualname) -> bool {
            return (*static_cast<Fn *>(c))(ns, qualname);
        },
        context);
}

// super(cls, self).<name>: the parent's attribute bound to self.
Ref super_attr(PyObject *cls, PyObject *self, PyObject *name);

// Direct construction. `cls(...)` runs type.__call__, which packs the arguments into a tuple
// and a dict only for object.__new__ and __init__ to unpack them again. A hot path that makes
// instances of one of this package's classes may do the two steps itself, as long as the class
// still has object's __new__ and the __init__ it was built with (recorded at import with
// defined_init); once either is replaced on the class, the ordinary call is made.

// cls.__dict__['__init__'] as it is now; null with an exception set when there is none.
Ref defined_init(PyObject *cls);
// Whether `cls(...)` still means object.__new__ followed by `init`. A failed look-up counts
// as no (the ordinary call meets the error again).
bool plain_construction(PyObject *cls, PyObject *init);
// object.__new__(cls): also sets up the instance's attribute storage, which a bare tp_alloc
// leaves to be built the slow way on the first attribute set.
Ref new_instance(PyObject *cls);

} // namespace ortan

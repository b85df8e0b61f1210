// The method descriptor type and the class builder.
#include "classes.h"
#include "buffer.h"
#include "module.h"
#include "pyapi.h"

#include <cstddef>
#include <structmember.h>

namespace ortan {
namespace {

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    MethodFn fn;
    Py_ssize_t min_args; // 1 for methods and classmethods (self or cls), 0 for staticmethods
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *signature;
    PyObject *signature_object; // an inspect.Signature where a text signature cannot say it
};

PyObject *method_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    auto *m = reinterpret_cast<MethodObject *>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < m->min_args) {
        PyErr_Format(PyExc_TypeError, "%U() needs an argument", m->qualname);
        return nullptr;
    }
    return m->fn(args, nargs, kwnames);
}

void method_dealloc(PyObject *self) {
    auto *m = reinterpret_cast<MethodObject *>(self);
    Py_XDECREF(m->name);
    Py_XDECREF(m->qualname);
    Py_XDECREF(m->doc);
    Py_XDECREF(m->signature);
    Py_XDECREF(m->signature_object);
    PyObject_Free(self);
}

PyObject *method_repr(PyObject *self) {
    return PyUnicode_FromFormat("<method %R>", reinterpret_cast<MethodObject *>(self)->qualname);
}

PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(MethodObject, signature), READONLY, nullptr},
    // inspect.signature() takes this first; a module sets it for a method whose default is an
    // object (a private marker, say) that a text signature cannot name.
    {"__signature__", T_OBJECT, offsetof(MethodObject, signature_object), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// "<module>.method", set by name_method_type before the type is readied.
char method_type_name[96] = "ortan.tcl.method";

PyTypeObject method_type = [] {
    PyTypeObject t = static_type(method_type_name, sizeof(MethodObject));
    t.tp_dealloc = method_dealloc;
    t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    t.tp_repr = method_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_members = method_members;
    t.tp_descr_get = bind_like_function;
    return t;
}();

// The text signature as a Python function would show it: "($self, x)" is written "(self, x)".
// CPython's "$" marks a builtin's bound first parameter as positional-only; these methods are
// the functions of plain Python classes, whose `self` is an ordinary parameter.
Ref text_signature(const char *signature) {
    if (signature[0] == '(' && signature[1] == '$')
        return Ref::steal(PyUnicode_FromFormat("(%s", signature + 2));
    return Ref::steal(PyUnicode_FromString(signature));
}

Ref new_method(const MethodDef &def, const char *class_qualname, Py_ssize_t min_args) {
    if (!(method_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&method_type) < 0)
        return Ref();
    Ref name = Ref::steal(PyUnicode_FromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_qualname, def.name));
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    Ref signature = def.signature ? text_signature(def.signature) : Ref::borrow(Py_None);
    if (!name || !qualname || !doc || !signature)
        return Ref();
    auto *m = PyObject_New(MethodObject, &method_type);
    if (!m)
        return Ref();
    m->vectorcall = method_vectorcall;
    m->fn = def.fn;
    m->min_args = min_args;
    m->name = name.release();
    m->qualname = qualname.release();
    m->doc = doc.release();
    m->signature = signature.release();
    m->signature_object = nullptr;
    return Ref::steal(reinterpret_cast<PyObject *>(m));
}

bool add_wrapped(PyObject *ns, const MethodDef &def, const char *class_qualname,
                 PyTypeObject *wrapper, Py_ssize_t min_args) {
    Ref method = new_method(def, class_qualname, min_args);
    if (!method)
        return false;
    Ref wrapped =
        Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(wrapper), method.get()));
    return set_item(ns, def.name, wrapped);
}

// "__init__", interned on first use and kept for the process.
PyObject *init_name() {
    static PyObject *name = nullptr;
    if (!name)
        name = intern("__init__");
    return name;
}

// A namespace dict with __module__, __qualname__ and (when given) __doc__ already in place.
Ref new_class_namespace(const char *module, const char *qualname, const char *doc) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || !set_item(ns.get(), "__module__", Ref::steal(PyUnicode_FromString(module))) ||
        !set_item(ns.get(), "__qualname__", Ref::steal(PyUnicode_FromString(qualname))))
        return Ref();
    if (doc && !set_item(ns.get(), "__doc__", Ref::steal(PyUnicode_FromString(doc))))
        return Ref();
    return ns;
}

// metaclass(name, bases, ns): the class object.
Ref build_class(PyObject *metaclass, const char *name, PyObject *bases, PyObject *ns) {
    Ref pyname = Ref::steal(PyUnicode_FromString(name));
    if (!pyname)
        return pyname;
    return Ref::steal(PyObject_CallFunctionObjArgs(metaclass, pyname.get(), bases, ns, nullptr));
}

} // namespace

bool name_method_type(const char *module) {
    if (method_type.tp_flags & Py_TPFLAGS_READY)
        return true; // named already: the module was imported before, in this process
    const int n = PyOS_snprintf(method_type_name, sizeof method_type_name, "%s.method", module);
    if (n < 0 || static_cast<size_t>(n) >= sizeof method_type_name) {
        PyErr_Format(PyExc_SystemError, "module name too long for its method type: %s", module);
        return false;
    }
    return true;
}

PyObject *bind_like_function(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

Ref make_method(const MethodDef &def, const char *class_qualname) {
    return new_method(def, class_qualname, 1);
}

bool add_method(PyObject *ns, const MethodDef &def, const char *class_qualname) {
    return set_item(ns, def.name, make_method(def, class_qualname));
}

bool add_methods(PyObject *ns, const MethodDef *defs, size_t count, const char *class_qualname) {
    for (size_t i = 0; i < count; ++i) {
        if (!add_method(ns, defs[i], class_qualname))
            return false;
    }
    return true;
}

bool add_methods(PyObject *ns, std::initializer_list<MethodDef> defs, const char *class_qualname) {
    return add_methods(ns, defs.begin(), defs.size(), class_qualname);
}

bool add_staticmethod(PyObject *ns, const MethodDef &def, const char *class_qualname) {
    return add_wrapped(ns, def, class_qualname, &PyStaticMethod_Type, 0);
}

bool add_classmethod(PyObject *ns, const MethodDef &def, const char *class_qualname) {
    return add_wrapped(ns, def, class_qualname, &PyClassMethod_Type, 1);
}

Ref class_metaclass(PyObject *bases) {
    // As type.__new__ and __build_class__ do (_PyType_CalculateMetaclass).
    PyTypeObject *winner = &PyType_Type;
    const Py_ssize_t n = bases ? PyTuple_GET_SIZE(bases) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject *meta = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, meta))
            continue;
        if (!PyType_IsSubtype(meta, winner)) {
            PyErr_SetString(PyExc_TypeError, "metaclass conflict: the metaclass of a derived "
                                             "class must be a (non-strict) subclass of the "
                                             "metaclasses of all its bases");
            return Ref();
        }
        winner = meta;
    }
    return Ref::borrow(reinterpret_cast<PyObject *>(winner));
}

Ref new_class(const char *module, const ClassDef &def, PyObject *bases, ClassFillFn fill,
              void *context) {
    const char *qualname = def.qualname ? def.qualname : def.name;
    Ref ns = new_class_namespace(module, qualname, def.doc);
    if (!ns || (def.methods && !add_methods(ns.get(), def.methods, def.method_count, qualname)) ||
        (fill && !fill(context, ns.get(), qualname)))
        return Ref();
    Ref base_tuple =
        bases ? Ref::borrow(bases)
              : Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    Ref metaclass = base_tuple ? class_metaclass(base_tuple.get()) : Ref();
    if (!metaclass)
        return Ref();
    return build_class(metaclass.get(), def.name, base_tuple.get(), ns.get());
}

Ref super_attr(PyObject *cls, PyObject *self, PyObject *name) {
    Ref proxy = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                        cls, self, nullptr));
    if (!proxy)
        return proxy;
    return Ref::steal(PyObject_GetAttr(proxy.get(), name));
}

Ref defined_init(PyObject *cls) {
    PyObject *name = init_name();
    PyObject *init =
        name ? PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(cls)->tp_dict, name)
             : nullptr;
    if (!init && !PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%R defines no __init__", cls);
    return Ref::borrow(init);
}

bool plain_construction(PyObject *cls, PyObject *init) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new)
        return false;
    PyObject *name = init_name();
    if (!name) {
        PyErr_Clear();
        return false;
    }
    // Through the type's lookup cache (which sets no exception): hot paths ask on every call.
    // The class defines its own __init__, so the first one found is the one in its __dict__.
    return _PyType_Lookup(type, name) == init;
}

PyObject *call_unpacked(PyObject *self, PyObject *args, PyObject *kwargs, MethodFn fn) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    const Py_ssize_t count = 1 + npos + nkw;
    SmallArray<PyObject *, 16> stack;
    if (!stack.resize(static_cast<size_t>(count)))
        return nullptr;
    stack[0] = self;
    for (Py_ssize_t i = 0; i < npos; ++i)
        stack[1 + i] = PyTuple_GET_ITEM(args, i); // the tuple holds them for the call
    Ref kwnames = nkw ? Ref::steal(PyTuple_New(nkw)) : Ref();
    PyObject *result = nullptr;
    if (!nkw || kwnames) {
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        bool all_text = true;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            all_text = all_text && PyUnicode_Check(key);
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            stack[1 + npos + k++] = Py_NewRef(value);
        }
        if (!all_text)
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        else
            result = fn(stack.data(), 1 + npos, kwnames.get());
        for (Py_ssize_t i = 0; i < k; ++i)
            Py_DECREF(stack[1 + npos + i]);
    }
    return result;
}

Ref new_instance(PyObject *cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    Ref no_args = Ref::steal(PyTuple_New(0));
    return no_args ? Ref::steal(type->tp_new(type, no_args.get(), nullptr)) : no_args;
}

} // namespace ortan

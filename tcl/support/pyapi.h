// Small wrappers over the C API that return Refs: imports, attribute access, calls, weak
// references and exceptions.
#pragma once

#include "buffer.h"
#include "ref.h"

#include <initializer_list>

namespace ortan {

// `import module`.
inline Ref import_module(const char *module) { return Ref::steal(PyImport_ImportModule(module)); }

// `from module import name`.
Ref import_attr(const char *module, const char *name);

// `from sibling import name` when the family's sibling module `sibling` (another distribution of
// the `ortan` namespace) is installed, else the same name from this package's private stand-ins,
// `ortan.tcl._family`. Only an absent sibling falls back: one that is installed but fails to
// import, or lacks `name`, fails the caller.
Ref import_family_attr(const char *sibling, const char *name);

// getattr(obj, name); null with the AttributeError set when missing.
inline Ref get_attr(PyObject *obj, const char *name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}
inline Ref get_attr(PyObject *obj, PyObject *name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// setattr(obj, name, value); false with an exception set, also when `value` is null (so that a
// failed maker can be passed straight in).
inline bool set_attr(PyObject *obj, PyObject *name, PyObject *value) {
    return value && PyObject_SetAttr(obj, name, value) == 0;
}

// getattr(obj, name, None) that counts only AttributeError as absence: returns -1 with an
// exception set, 0 with `out` null when absent, 1 with `out` set when present.
int get_optional_attr(PyObject *obj, PyObject *name, Ref &out);

// callable(*args) with borrowed arguments.
inline Ref call(PyObject *callable, std::initializer_list<PyObject *> args = {}) {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

// The message of a use after the host interpreter was deleted: wrappers hold their host
// through a weak proxy, so the caller must keep the Interpreter itself alive.
constexpr const char dead_host_message[] =
    "the Interpreter this object belongs to no longer exists; keep a reference to the "
    "Interpreter for as long as its objects are used";

// True when `obj` is a tkinter object (the _tkinter application object, a tkinter.Tk, the
// result of tkinter.Tcl(), any widget); -1 with an exception set on failure.
int is_tkinter_object(PyObject *obj);

// Where a host interpreter is expected: false with a TypeError that says how to wrap `tcl`
// when it is a tkinter object (or with the exception of a failed check), true otherwise.
// `who` names the caller, for example "Hop()".
bool refuse_tkinter_host(PyObject *tcl, const char *who);

// Whether `obj` is a weakref.proxy (of a callable or not): what weakref.ProxyTypes holds.
inline bool is_weak_proxy(PyObject *obj) { return PyWeakref_CheckProxy(obj); }

// The object behind a weakref.proxy, held for as long as the caller needs it (so each step
// reaches it directly, not through the proxy); any other object as it is. A proxy whose
// referent is gone raises ReferenceError, as any use of the proxy does. Inline: every call
// through a wrapper that keeps its interpreter behind a proxy starts here.
inline Ref unproxied(PyObject *obj) {
    if (!is_weak_proxy(obj))
        return Ref::borrow(obj);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *referent = nullptr;
    if (PyWeakref_GetRef(obj, &referent) < 0)
        return Ref();
    Ref alive = Ref::steal(referent);
#else
    PyObject *referent = PyWeakref_GET_OBJECT(obj); // borrowed; None once it is gone
    Ref alive = referent == Py_None ? Ref() : Ref::borrow(referent);
#endif
    if (!alive)
        PyErr_SetString(PyExc_ReferenceError, dead_host_message);
    return alive;
}

// call_method for more arguments than its stack holds: the vector on the stack-first buffer.
Ref call_method_long(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args,
                     PyObject *kwnames);

// obj.name(*args) with borrowed arguments; `name` should be an interned str. With `kwnames`,
// the last len(kwnames) of `args` are the values of those keywords. Inline: it sits on hot
// paths, and the argument vector is best built in the caller's frame (a fixed array: a hot
// path measured slower with the buffer object here).
inline Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args = {},
                       PyObject *kwnames = nullptr) {
    // PyObject_VectorcallMethod wants the receiver in slot 0 of the argument vector.
    PyObject *stack[8];
    if (args.size() + 1 > sizeof stack / sizeof stack[0])
        return call_method_long(obj, name, args, kwnames);
    stack[0] = obj;
    Py_ssize_t n = 1;
    for (PyObject *arg : args)
        stack[n++] = arg;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n - nkw, kwnames));
}

// Builds a str from UTF-8 text.
inline Ref text(const char *utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

// Stores `value` under `name` in `dict`; false with an exception set on failure.
inline bool set_item(PyObject *dict, const char *name, const Ref &value) {
    return value && PyDict_SetItemString(dict, name, value.get()) == 0;
}

// The pending exception as one object (normalised, its traceback attached), cleared; null when
// none is set.
Ref fetch_exception();

// Raises `exc` as it is, with its traceback and its context, without the implicit chaining of
// PyErr_SetObject (which would make the exception being handled its context). Does nothing
// when `exc` is null.
void restore_exception(Ref exc);

// Raises `error` with `context` as its __context__, as raising it inside an `except` block
// that caught `context` does, and otherwise as it is (see restore_exception). A null `error`
// raises nothing; with a null `context` the error keeps its own.
void raise_with_context(Ref error, Ref context);

// The pending exception gets `context` as its __context__: for an error met while handling
// `context`, which the caller had fetched.
inline void chain_exception(Ref context) {
    raise_with_context(fetch_exception(), std::move(context));
}

// Raises `type` with `message` and returns a null Ref, for one-line error returns.
inline Ref raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    return Ref();
}

} // namespace ortan

// ortan.tcl.namespace: the shared constants and the helpers every family uses.
#include "common.h"
#include "calls.h"

namespace ortan_namespace {

// ---------------------------------------------------------------------------------------------
// Module constants.

Names S;

// Imported objects.
PyObject *mutable_mapping; // collections.abc.MutableMapping
PyObject *mapping_abc;     // collections.abc.Mapping
PyObject *scribe_fn;       // ortan.tcl.scribe.scribe
PyObject *tclobj_fn;       // ortan.tcl.scribe.tclobj
PyObject *tcl_error;       // tkinter.TclError
PyObject *method_type;     // types.MethodType
PyObject *weak_proxy;      // weakref.proxy
PyObject *tkinter_misc;    // tkinter.Misc, the base of Tk, Tcl() and every widget
PyObject *update_wrapper;  // functools.update_wrapper

// Keyword-name tuples of the calls this module makes.
PyObject *kw_array_index;            // ("array_index",)
PyObject *kw_nocomplain;             // ("nocomplain",)
PyObject *kw_array_index_nocomplain; // ("array_index", "nocomplain")
PyObject *kw_pattern;                // ("pattern",)
PyObject *kw_tcl;                    // ("tcl",)
PyObject *kw_tcl_cast;               // ("tcl", "cast")
PyObject *kw_array_index_tcl_cast;   // ("array_index", "tcl", "cast")
PyObject *kw_cls_id;                 // ("cls", "id")
PyObject *slice_from_1;              // slice(1, None)
PyObject *zero;                      // 0

// The classes, stored once they are made.
PyObject *TclVariable_cls;
PyObject *TempTclVariable_cls;
PyObject *TclArrayVariable_cls;
PyObject *TempTclArrayVariable_cls;
PyObject *TclCommand_cls;
PyObject *TempTclCommand_cls;
PyObject *TclNamespace_cls;
PyObject *TempTclNamespace_cls;
PyObject *VariablesView_cls;
PyObject *ObjectsView_cls;
PyObject *CommandsView_cls;
PyObject *ProcsView_cls;

PyObject *variable_init_fn;     // TclVariable.__init__ as the module made it
PyObject *marker;               // TclVariable._TclVariable__marker
PyObject *dashed_args_fn;       // the function behind TclCommand.kwargs_to_dashed_args
bool assertions_enabled = true; // false under python -O

PyObject *words_own_vars;
PyObject *words_own_commands;
PyObject *words_own_procs;
PyObject *words_current;

bool init_constants() {
    if (!S.intern())
        return false;
    struct Tuple {
        PyObject **slot;
        std::initializer_list<PyObject *> items;
    };
    for (const Tuple &t : {
             Tuple{&kw_array_index, {S.array_index}},
             Tuple{&kw_nocomplain, {S.nocomplain}},
             Tuple{&kw_array_index_nocomplain, {S.array_index, S.nocomplain}},
             Tuple{&kw_pattern, {S.pattern}},
             Tuple{&kw_tcl, {S.tcl}},
             Tuple{&kw_tcl_cast, {S.tcl, S.cast}},
             Tuple{&kw_array_index_tcl_cast, {S.array_index, S.tcl, S.cast}},
             Tuple{&kw_cls_id, {S.cls, S.id}},
             Tuple{&words_own_vars, {S.w_apply, S.own_names_lambda, S.w_vars}},
             Tuple{&words_own_commands, {S.w_apply, S.own_names_lambda, S.w_commands}},
             Tuple{&words_own_procs, {S.w_apply, S.own_names_lambda, S.w_procs}},
             Tuple{&words_current, {S.w_namespace, S.w_current}},
         }) {
        if (!(*t.slot = tuple_of(t.items).release()))
            return false;
    }
    zero = PyLong_FromLong(0);
    Ref one = Ref::steal(PyLong_FromLong(1));
    slice_from_1 = one ? PySlice_New(one.get(), Py_None, Py_None) : nullptr;
    return zero && slice_from_1;
}

// ---------------------------------------------------------------------------------------------
// Conversions and helpers.

bool is_native_scalar(PyObject *obj) {
    if (PyUnicode_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBool_Check(obj) ||
        PyBytes_CheckExact(obj))
        return true;
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        return v >= PY_SSIZE_T_MIN && v <= PY_SSIZE_T_MAX;
    }
    return false;
}

// tclobj(obj). Values the binding takes as they are come back unchanged; an exact tuple of such
// values (nested to any depth) is returned as it is, since tclobj would rebuild an equal tuple.
Ref to_tclobj(PyObject *obj) {
    if (is_native_scalar(obj))
        return Ref::borrow(obj);
    if (!PyTuple_CheckExact(obj))
        return ortan::call(tclobj_fn, {obj});
    ortan::RecursionGuard guard(" while converting a value for Tcl");
    if (!guard.ok())
        return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    Ref result;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(obj, i);
        Ref converted = to_tclobj(item);
        if (!converted)
            return Ref();
        if (!result && converted.get() == item)
            continue;
        if (!result) {
            result = Ref::steal(PyTuple_New(n));
            if (!result)
                return Ref();
            for (Py_ssize_t j = 0; j < i; ++j)
                PyTuple_SET_ITEM(result.get(), j, Py_NewRef(PyTuple_GET_ITEM(obj, j)));
        }
        PyTuple_SET_ITEM(result.get(), i, converted.release());
    }
    return result ? result : Ref::borrow(obj);
}

// The package module, which stands for its default interpreter.
Ref eval_script(PyObject *tk, PyObject *script) {
    if (!ortan::calls::is_tkinter(tk)) // another host's interpreter object: its own eval
        return call_method(tk, S.eval, {script});
    Ref words = tuple_of({script});
    return words ? ortan::calls::call(tk, words.get(), ortan::CallResult::script, nullptr) : words;
}

Ref package_module() { return Ref::steal(PyImport_ImportModule(package_name)); }

// Whether `host` (never a proxy) is a tkinter object, which a wrapper refuses: a TypeError that
// says to wrap it in an Interpreter, raised for `self`'s class. Checked against tkinter.Misc,
// kept at import, before the shared check words the error.
bool refuse_tkinter(PyObject *self, PyObject *host) {
    // The type's own bases only: isinstance() would also read host.__class__ on every miss.
    const int misc =
        PyType_IsSubtype(Py_TYPE(host), reinterpret_cast<PyTypeObject *>(tkinter_misc));
    if (!misc && std::strcmp(Py_TYPE(host)->tp_name, "_tkinter.tkapp") != 0)
        return true;
    char who[200];
    PyOS_snprintf(who, sizeof who, "%s()", Py_TYPE(self)->tp_name);
    return ortan::refuse_tkinter_host(host, who);
}

// The interpreter a wrapper keeps: the package module when `tcl` is false, always behind a
// weak proxy, so wrappers never keep their interpreter alive. A tkinter object is refused, and
// a proxy whose interpreter is gone raises the ReferenceError that says to keep it.
Ref host_proxy(PyObject *self, PyObject *tcl, PyObject *package) {
    Ref host;
    int given = 0;
    if (tcl) {
        Ref referent = ortan::unproxied(tcl);
        if (!referent)
            return referent;
        given = PyObject_IsTrue(referent.get());
        if (given < 0 || (given && !refuse_tkinter(self, referent.get())))
            return Ref();
    }
    if (given)
        host = Ref::borrow(tcl);
    else
        host = package ? Ref::borrow(package) : package_module();
    if (!host || ortan::is_weak_proxy(host.get()))
        return host;
    return ortan::call(weak_proxy, {host.get()});
}

// obj.startswith("::"); -1 with an exception set on failure.
int starts_with_colons(PyObject *obj) {
    if (PyUnicode_Check(obj))
        return PyUnicode_Tailmatch(obj, S.colons, 0, PY_SSIZE_T_MAX, -1) ? 1 : 0;
    Ref result = call_method(obj, S.startswith, {S.colons});
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// getattr(super(cls, self), name) where only AttributeError counts as absence: -1 on error,
// 0 when absent, 1 with `out` set.
int next_attr(PyObject *cls, PyObject *self, PyObject *name, Ref &out) {
    Ref proxy = ortan::call(reinterpret_cast<PyObject *>(&PySuper_Type), {cls, self});
    if (!proxy)
        return -1;
    return ortan::get_optional_attr(proxy.get(), name, out);
}

// super(cls, self).__init__() with no arguments. The exact classes listed skip it: for them the
// next __init__ is object's, which does nothing.
bool init_next_plain(PyObject *cls, PyObject *self, std::initializer_list<PyObject *> exact) {
    for (PyObject *type : exact)
        if (reinterpret_cast<PyObject *>(Py_TYPE(self)) == type)
            return true;
    Ref init = ortan::super_attr(cls, self, S.dunder_init);
    return init && ortan::call(init.get());
}

// type(self).__name__ through self.__class__.
Ref class_name(PyObject *self) {
    Ref klass = get_attr(self, S.dunder_class);
    return klass ? get_attr(klass.get(), S.dunder_name) : klass;
}

// str(template).format(cls=type(self).__name__, id=id(self)): the unique temporary name.
Ref temporary_name(PyObject *self, PyObject *name) {
    Ref text = PyUnicode_Check(name) ? Ref::borrow(name) : Ref::steal(PyObject_Str(name));
    if (!text)
        return text;
    Ref cls_name = class_name(self);
    Ref ident = Ref::steal(PyLong_FromVoidPtr(self));
    if (!cls_name || !ident)
        return Ref();
    return call_method(text.get(), S.format, {cls_name.get(), ident.get()}, kw_cls_id);
}

// True when the pending exception is a TclError, which the caller then clears.
bool swallow_tcl_error() {
    if (!PyErr_ExceptionMatches(tcl_error))
        return false;
    PyErr_Clear();
    return true;
}

// `raise KeyError(exc) from exc` for the pending exception `exc`.
void reraise_as_key_error() {
    Ref exc = ortan::fetch_exception();
    if (!exc)
        return;
    Ref key_error = ortan::call(PyExc_KeyError, {exc.get()});
    if (!key_error)
        return;
    PyException_SetCause(key_error.get(), Py_NewRef(exc.get()));
    ortan::raise_with_context(std::move(key_error), std::move(exc));
}

// ---------------------------------------------------------------------------------------------
// Argument lists and parsing.

// The message CPython gives for a repeated keyword in `callable(..., name=x, **kwargs)`.
void raise_repeated_keyword(PyObject *callable, PyObject *name) {
    Ref qualname = get_attr(callable, S.dunder_name);
    if (!qualname) {
        PyErr_Clear();
        qualname = Ref::steal(PyObject_Repr(callable));
        if (!qualname)
            return;
    }
    PyErr_Format(PyExc_TypeError, "%S() got multiple values for keyword argument '%S'",
                 qualname.get(), name);
}

// no_arguments for a method shared by several classes: `cls` is the one that defines it.
bool no_arguments_of(PyObject *cls, const char *method, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 1 && !kwnames)
        return true;
    char qualname[200];
    PyOS_snprintf(qualname, sizeof qualname, "%s.%s",
                  reinterpret_cast<PyTypeObject *>(cls)->tp_name, method);
    return no_arguments(qualname, nargs, kwnames);
}

// ---------------------------------------------------------------------------------------------
// Temporary variants: the shared `with` protocol.

// Calls the next class's __init__ with the expanded temporary name first, then the keywords
// gathered in `rest`.
PyObject *init_temporary(PyObject *cls, PyObject *self, PyObject *template_, CallArgs &rest) {
    Ref name = temporary_name(self, arg_or(template_, S.temp_template));
    Ref init = name ? ortan::super_attr(cls, self, S.dunder_init) : name;
    if (!init)
        return nullptr;
    rest.positional(name.get());
    if (!rest.call(init.get()))
        return nullptr;
    Py_RETURN_NONE;
}

// __init__(self, <name_param>=<template>, **kwargs) of the temporaries named by one parameter.
PyObject *init_named_temporary(PyObject *cls, const char *name_param, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    CallArgs rest;
    if (!parse_with_kwargs("__init__", args, nargs, kwnames, {name_param}, params, rest))
        return nullptr;
    PyObject *name_template = params[0];
    return init_temporary(cls, args[0], name_template, rest);
}

// __enter__ of the temporary classes: the next class's __enter__() when there is one, else self.
Ref enter_next(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments_of(cls, "__enter__", nargs, kwnames))
        return Ref();
    PyObject *self = args[0];
    Ref enter;
    const int found = next_attr(cls, self, S.dunder_enter, enter);
    if (found < 0)
        return Ref();
    return found ? ortan::call(enter.get()) : Ref::borrow(self);
}

// The tail of __exit__: the next class's __exit__(*exc_info) when there is one, else False.
PyObject *exit_next(PyObject *cls, PyObject *self, PyObject *const *exc_info, Py_ssize_t n) {
    Ref exit_fn;
    const int found = next_attr(cls, self, S.dunder_exit, exit_fn);
    if (found < 0)
        return nullptr;
    if (!found)
        Py_RETURN_FALSE;
    return PyObject_Vectorcall(exit_fn.get(), exc_info, static_cast<size_t>(n), nullptr);
}

bool positional_only(const char *fname, PyObject *kwnames) {
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", fname);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Classes.

bool add_table(PyObject *ns, const MethodDef *defs, size_t count, const char *qualname) {
    for (size_t i = 0; i < count; ++i) {
        const MethodDef &def = defs[i];
        if (def.fn) {
            if (!ortan::add_method(ns, def, qualname))
                return false;
            continue;
        }
        PyObject *fn = PyDict_GetItemString(ns, def.signature); // borrowed
        if (!fn || PyDict_SetItemString(ns, def.name, fn) < 0)
            return false;
    }
    return true;
}

} // namespace ortan_namespace

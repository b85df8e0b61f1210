// ortan.tcl.namespace: Tcl variables, commands and namespaces of an interpreter as Python objects.
#include "support.h"

#include "namespace/callbacks.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <utility>

using ortan::bind;
using ortan::call_method;
using ortan::get_attr;
using ortan::parse_method_args;
using ortan::Ref;
using ortan::set_attr;

// How this module is put together
//
// Every class here is a plain Python class made at import by calling its metaclass (type, or
// ABCMeta for the mappings) with a namespace of C++ methods, so the classes can derive from
// MutableMapping and keep their state in the instance __dict__: each method reads `self.tcl`,
// `self.var_name` and friends afresh, and every attribute stays plainly assignable. A method that
// works through another one (`self.get(...)`, `self.byref(...)`) calls it by name, so subclasses
// and the view subclasses can override it. On the hot calls, instances of the module's own exact
// classes take direct C++ paths instead: those assume that the classes' own methods were not
// replaced on the class itself (subclasses always take the general way).
//
// Wrappers never hold the host interpreter strongly: they keep a weakref.proxy of it, so using a
// wrapper after its interpreter is gone raises ReferenceError from the proxy.

namespace {

// ---------------------------------------------------------------------------------------------
// Module-wide constants, set once by the module init and never changed afterwards.

const char *const module_name = "ortan.tcl.namespace";
const char *const package_name = "ortan.tcl";

// The names a view lists, as the words ("::apply", <this>, kind): the own variables (kind "vars"),
// commands or procedures of the namespace the words run in, relative to it. Only names that the
// view reads back are listed: no visible global, no child namespace's names, for "vars" only
// variables that hold a scalar value (no array, nothing declared but unset), and no name that
// the name arithmetic refuses (empty, or holding a single colon).
#define ORTAN_OWN_NAMES_LAMBDA                                                                     \
    "{kind} {"                                                                                     \
    "::set ns [::uplevel 1 {::namespace current}]; ::set names {}; "                               \
    "::foreach name [::info $kind ${ns}::*] {"                                                     \
    "::if {$kind eq {vars} && (![::info exists $name] || [::array exists $name])} ::continue; "    \
    "::set tail [::namespace tail $name]; "                                                        \
    "::if {$tail ne {} && [::string first : $tail] < 0} {::lappend names $tail}"                   \
    "}; ::return $names}"

// The text of an array element addressed by array name and index as two words, so that a
// "(" in the name cannot move the index: ("::apply", <this>, name, index), evaluated. A failure
// names the element as the caller knows it, not by the local link.
#define ORTAN_ELEMENT_TEXT_LAMBDA                                                                  \
    "{name index} {"                                                                               \
    "::upvar 1 $name a; "                                                                          \
    "::if {![::catch {::set a($index)} value]} {::return $value}; "                                \
    "::set prefix \"can't read \\\"a($index)\\\": \"; "                                            \
    "::if {[::string first $prefix $value] == 0} {"                                                \
    "::set value \"can't read \\\"${name}($index)\\\": "                                           \
    "[::string range $value [::string length $prefix] end]\"}; "                                   \
    "::return -code error $value}"

// Interned identifiers and Tcl words. One list, so that declaring and interning cannot drift.
#define ORTAN_NAMESPACE_STRINGS(X)                                                                 \
    X(tcl, "tcl")                                                                                  \
    X(tk, "tk")                                                                                    \
    X(cast, "cast")                                                                                \
    X(var_name, "var_name")                                                                        \
    X(cmd_name, "cmd_name")                                                                        \
    X(args, "args")                                                                                \
    X(keywords, "keywords")                                                                        \
    X(logger, "logger")                                                                            \
    X(ns, "ns")                                                                                    \
    X(vars, "vars")                                                                                \
    X(objs, "objs")                                                                                \
    X(procs, "procs")                                                                              \
    X(cmds, "cmds")                                                                                \
    X(call, "call")                                                                                \
    X(eval, "eval")                                                                                \
    X(getvar, "getvar")                                                                            \
    X(setvar, "setvar")                                                                            \
    X(unsetvar, "unsetvar")                                                                        \
    X(createcommand, "createcommand")                                                              \
    X(cast_boolean, "cast_boolean")                                                                \
    X(cast_list, "cast_list")                                                                      \
    X(cast_array, "cast_array")                                                                    \
    X(get, "get")                                                                                  \
    X(get_str, "get_str")                                                                          \
    X(get_obj, "get_obj")                                                                          \
    X(set, "set")                                                                                  \
    X(unset, "unset")                                                                              \
    X(exists, "exists")                                                                            \
    X(is_proc, "is_proc")                                                                          \
    X(delete_, "delete")                                                                           \
    X(rename, "rename")                                                                            \
    X(origin, "origin")                                                                            \
    X(proc_body, "proc_body")                                                                      \
    X(proc_args, "proc_args")                                                                      \
    X(proc_arg_default, "proc_arg_default")                                                        \
    X(create, "create")                                                                            \
    X(current, "current")                                                                          \
    X(is_absolute, "is_absolute")                                                                  \
    X(absolute, "absolute")                                                                        \
    X(byref, "byref")                                                                              \
    X(array_names, "array_names")                                                                  \
    X(array_size, "array_size")                                                                    \
    X(array_set, "array_set")                                                                      \
    X(array_unset, "array_unset")                                                                  \
    X(array_get_str, "array_get_str")                                                              \
    X(array_get_obj, "array_get_obj")                                                              \
    X(is_array, "is_array")                                                                        \
    X(build_tclcmd, "build_tclcmd")                                                                \
    X(kwargs_to_dashed_args, "kwargs_to_dashed_args")                                              \
    X(info, "info")                                                                                \
    X(items, "items")                                                                              \
    X(copy, "copy")                                                                                \
    X(format, "format")                                                                            \
    X(startswith, "startswith")                                                                    \
    X(var_type, "var_type")                                                                        \
    X(array_index, "array_index")                                                                  \
    X(nocomplain, "nocomplain")                                                                    \
    X(pattern, "pattern")                                                                          \
    X(cls, "cls")                                                                                  \
    X(id, "id")                                                                                    \
    X(dunder_init, "__init__")                                                                     \
    X(dunder_enter, "__enter__")                                                                   \
    X(dunder_exit, "__exit__")                                                                     \
    X(dunder_del, "__del__")                                                                       \
    X(dunder_wrapped, "__wrapped__")                                                               \
    X(dunder_class, "__class__")                                                                   \
    X(dunder_name, "__name__")                                                                     \
    X(VariablesView, "VariablesView")                                                              \
    X(ObjectsView, "ObjectsView")                                                                  \
    X(CommandsView, "CommandsView")                                                                \
    X(ProcsView, "ProcsView")                                                                      \
    X(w_info, "::info")                                                                            \
    X(w_array, "::array")                                                                          \
    X(w_rename, "::rename")                                                                        \
    X(w_namespace_global, "::namespace")                                                           \
    X(w_namespace, "namespace")                                                                    \
    X(w_exists, "exists")                                                                          \
    X(w_set, "set")                                                                                \
    X(w_get, "get")                                                                                \
    X(w_unset, "unset")                                                                            \
    X(w_size, "size")                                                                              \
    X(w_names, "names")                                                                            \
    X(w_commands, "commands")                                                                      \
    X(w_procs, "procs")                                                                            \
    X(w_vars, "vars")                                                                              \
    X(w_body, "body")                                                                              \
    X(w_args, "args")                                                                              \
    X(w_default, "default")                                                                        \
    X(w_origin, "origin")                                                                          \
    X(w_current, "current")                                                                        \
    X(w_eval, "eval")                                                                              \
    X(w_children, "children")                                                                      \
    X(w_code, "code")                                                                              \
    X(w_delete, "delete")                                                                          \
    X(w_export, "export")                                                                          \
    X(w_clear, "-clear")                                                                           \
    X(w_forget, "forget")                                                                          \
    X(w_import, "import")                                                                          \
    X(w_force, "-force")                                                                           \
    X(w_parent, "parent")                                                                          \
    X(w_which, "which")                                                                            \
    X(w_command_opt, "-command")                                                                   \
    X(w_variable_opt, "-variable")                                                                 \
    X(empty, "")                                                                                   \
    X(colons, "::")                                                                                \
    X(dash, "-")                                                                                   \
    X(calling, "Calling: ")                                                                        \
    X(set_space, "set ")                                                                           \
    X(hook_scribe, "__scribe__")                                                                   \
    X(hook_tclobj, "__tclobj__")                                                                   \
    X(temp_template, "::__ortan__{cls}_{id}_tmp")                                                  \
    X(w_apply, "::apply")                                                                          \
    X(w_exact, "-exact")                                                                           \
    X(own_names_lambda, ORTAN_OWN_NAMES_LAMBDA)                                                    \
    X(element_text_lambda, ORTAN_ELEMENT_TEXT_LAMBDA)

struct Strings {
#define ORTAN_DECLARE(id, text) PyObject *id = nullptr;
    ORTAN_NAMESPACE_STRINGS(ORTAN_DECLARE)
#undef ORTAN_DECLARE
};
Strings S;

// Imported objects.
PyObject *mutable_mapping; // collections.abc.MutableMapping
PyObject *mapping_abc;     // collections.abc.Mapping
PyObject *abc_meta;        // its metaclass, abc.ABCMeta
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

// ---------------------------------------------------------------------------------------------
// Conversions and helpers

// scribe(obj): an exact str is its own Tcl text, so it skips the call.
Ref to_text(PyObject *obj) {
    if (PyUnicode_CheckExact(obj))
        return Ref::borrow(obj);
    return ortan::call(scribe_fn, {obj});
}

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

// A str's buffer may be scanned by kind only once it is ready (legacy strings before 3.12).
bool ready(PyObject *text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

Ref none() { return Ref::borrow(Py_None); }

// bool(value); a null value (its call failed) passes through.
PyObject *as_bool(Ref value) {
    if (!value)
        return nullptr;
    const int truth = PyObject_IsTrue(value.get());
    return truth < 0 ? nullptr : PyBool_FromLong(truth);
}

// A tuple of borrowed items.
Ref tuple_of(std::initializer_list<PyObject *> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple)
        return tuple;
    Py_ssize_t i = 0;
    for (PyObject *item : items)
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

// tcl.tk. For a weak proxy (the usual case) the attribute is read from the referent directly,
// as the proxy itself would, raising the proxy's ReferenceError once the referent is gone.
Ref host_tk(PyObject *tcl) {
    Ref host = ortan::unproxied(tcl);
    return host ? get_attr(host.get(), S.tk) : host;
}

// self.tcl.tk
Ref tk_of(PyObject *self) {
    Ref tcl = get_attr(self, S.tcl);
    return tcl ? host_tk(tcl.get()) : tcl;
}

// Attribute reads of one wrapper in one method call. The module's own classes define no class
// attributes under the names of their instance attributes, so for them a name found in the
// instance dict is the attribute: the dict is fetched once and read directly. Anything else,
// and any name missing from the dict, takes the ordinary look-up.
class Attrs {
  public:
    Attrs(PyObject *self, bool own) : self_(self) {
        if (own && !(dict_ = Ref::steal(PyObject_GenericGetDict(self, nullptr))))
            PyErr_Clear();
    }
    PyObject *self() const { return self_; }
    Ref operator()(PyObject *name) const {
        if (dict_) {
            if (PyObject *value = PyDict_GetItemWithError(dict_.get(), name))
                return Ref::borrow(value);
            if (PyErr_Occurred())
                return Ref();
        }
        return get_attr(self_, name);
    }
    // self.tcl.tk
    Ref tk() const {
        Ref tcl = (*this)(S.tcl);
        return tcl ? host_tk(tcl.get()) : tcl;
    }

  private:
    PyObject *self_;
    Ref dict_;
};

// self.tcl.tk.call(words): one tuple of words.
Ref tk_call(PyObject *self, PyObject *words) {
    Ref tk = tk_of(self);
    return tk ? call_method(tk.get(), S.call, {words}) : tk;
}

// self.tcl.<caster>(result); a null result (its call failed) passes through.
Ref host_cast(PyObject *self, PyObject *caster, const Ref &result) {
    if (!result)
        return result;
    Ref tcl = get_attr(self, S.tcl);
    Ref host = tcl ? ortan::unproxied(tcl.get()) : tcl;
    return host ? call_method(host.get(), caster, {result.get()}) : host;
}

// cast(value) when `cast` is true; None (or any false cast) leaves the value as it is. A null
// `cast` (its look-up failed) fails the call.
PyObject *cast_with(const Ref &cast, Ref value) {
    if (!cast)
        return nullptr;
    if (cast.get() == Py_None)
        return value.release();
    const int truth = PyObject_IsTrue(cast.get());
    if (truth < 0)
        return nullptr;
    return truth ? ortan::call(cast.get(), {value.get()}).release() : value.release();
}

// The package module, which stands for its default interpreter.
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
Ref host_proxy(PyObject *self, PyObject *tcl, PyObject *package = nullptr) {
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
    if (!host || PyWeakref_CheckProxy(host.get()))
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

// The `with` statement around a callable: `with manager as value: body(value)`. Returns the
// body's result, or None when __exit__ swallowed the body's exception.
template <class Body> Ref with_block(PyObject *manager, Body &&body) {
    PyObject *manager_type = reinterpret_cast<PyObject *>(Py_TYPE(manager));
    Ref exit_fn = get_attr(manager_type, S.dunder_exit);
    Ref enter_fn = exit_fn ? get_attr(manager_type, S.dunder_enter) : exit_fn;
    if (!enter_fn)
        return Ref();
    Ref value = ortan::call(enter_fn.get(), {manager});
    if (!value)
        return value;
    Ref result = body(value.get());
    if (result) {
        Ref done = ortan::call(exit_fn.get(), {manager, Py_None, Py_None, Py_None});
        return done ? result : done;
    }
    Ref exc = ortan::fetch_exception();
    if (!exc)
        return Ref();
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref swallowed =
        ortan::call(exit_fn.get(), {manager, reinterpret_cast<PyObject *>(Py_TYPE(exc.get())),
                                    exc.get(), tb ? tb.get() : Py_None});
    if (!swallowed)
        return swallowed; // __exit__'s own error replaces the body's
    const int truth = PyObject_IsTrue(swallowed.get());
    if (truth < 0)
        return Ref();
    if (truth)
        return none();
    ortan::restore_exception(std::move(exc));
    return Ref();
}

// ---------------------------------------------------------------------------------------------
// Vectorcall argument lists built at run time

// Positional values, then keyword values with their names; all borrowed. Slot 0 of the stack
// is kept free so that the callee may use PY_VECTORCALL_ARGUMENTS_OFFSET, or for `self` when
// calling a method by name. A value that cannot be stored (out of memory) leaves MemoryError set
// and makes the call fail without calling.
class CallArgs {
  public:
    CallArgs() { ok_ = stack_.push_back(nullptr); }

    void positional(PyObject *value) { ok_ = ok_ && stack_.push_back(value); }
    void positional(PyObject *const *values, Py_ssize_t n) {
        PyObject **slots = ok_ ? stack_.extend(static_cast<size_t>(n)) : nullptr;
        ok_ = slots != nullptr;
        if (ok_ && n > 0)
            std::memcpy(static_cast<void *>(slots), values,
                        static_cast<size_t>(n) * sizeof *values);
    }
    void keyword(PyObject *name, PyObject *value) {
        ok_ = ok_ && names_.push_back(name) && values_.push_back(value);
    }

    Ref call(PyObject *callable) {
        Ref kwnames;
        if (!prepare(kwnames))
            return Ref();
        return Ref::steal(PyObject_Vectorcall(
            callable, stack_.data() + 1, npos_ | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    }
    // fn(stack, nargs, kwnames) with the arguments as gathered (no slot kept free).
    template <class F> Ref call_function(F &&fn) {
        Ref kwnames;
        if (!prepare(kwnames))
            return Ref();
        return fn(stack_.data() + 1, static_cast<Py_ssize_t>(npos_), kwnames.get());
    }
    Ref call_method(PyObject *self, PyObject *name) {
        Ref kwnames;
        if (!prepare(kwnames))
            return Ref();
        stack_[0] = self;
        return Ref::steal(PyObject_VectorcallMethod(name, stack_.data(), npos_ + 1, kwnames.get()));
    }

  private:
    bool prepare(Ref &kwnames) {
        if (!ok_)
            return false; // MemoryError is set
        npos_ = stack_.size() - 1;
        if (names_.empty())
            return true;
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names_.size())));
        if (!kwnames)
            return false;
        for (size_t i = 0; i < names_.size(); ++i)
            PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names_[i]));
        stack_.resize(npos_ + 1);
        PyObject **slots = stack_.extend(values_.size());
        if (!slots)
            return false;
        if (!values_.empty())
            std::memcpy(static_cast<void *>(slots), values_.data(),
                        values_.size() * sizeof(PyObject *));
        return true;
    }

    ortan::SmallArray<PyObject *, 8> stack_;
    ortan::SmallArray<PyObject *, 4> names_;
    ortan::SmallArray<PyObject *, 4> values_;
    size_t npos_ = 0;
    bool ok_ = true;
};

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

// For a method that takes only self; `qualname` is "Class.method", as CPython words the error.
bool no_arguments(const char *qualname, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 1 && !kwnames)
        return true;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", qualname);
    else
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", qualname, nargs - 1);
    return false;
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

// For signatures of the form (first, *rest): binds `first` (null when not given) from the first
// of the `npos` positional values or a keyword of that name, whose values are at `kwvalues`;
// refuses any other keyword.
bool bind_first(const char *fname, PyObject *const *pos, Py_ssize_t npos, PyObject *const *kwvalues,
                PyObject *kwnames, const char *first_name, PyObject **first) {
    *first = npos > 0 ? pos[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(key, first_name) != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return false;
        }
        if (*first) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                         first_name);
            return false;
        }
        *first = kwvalues[i];
    }
    return true;
}

// bind_first for a method, `(self, first=default, *rest)`: args[0] is self.
bool parse_flag_and_rest(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames, const char *flag_name, PyObject **flag) {
    return bind_first(fname, args + 1, nargs - 1, args + nargs, kwnames, flag_name, flag);
}

// Splits the arguments of `fname(self, <names...>, **kwargs)`: the named parameters (borrowed,
// null when omitted) and the remaining keywords, which go to `rest`.
bool parse_with_kwargs(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames, std::initializer_list<const char *> names, PyObject **out,
                       CallArgs &rest) {
    return parse_method_args(fname, args, nargs, kwnames, names, 0, out,
                             [&rest](PyObject *name, PyObject *value) {
                                 rest.keyword(name, value);
                                 return true;
                             });
}

PyObject *arg_or(PyObject *value, PyObject *fallback) { return value ? value : fallback; }

bool is_none(PyObject *value) { return value == nullptr || value == Py_None; }

// ---------------------------------------------------------------------------------------------
// Lazy name iterator
//
// The mapping classes iterate over names that one Tcl query returns. Like a generator, the
// iterator sends nothing until its first item is asked for; then it runs the query once and
// yields the names in order.

enum class NameSource { array_names, view_query };

struct NameIterator {
    PyObject_HEAD NameSource source;
    PyObject *owner; // the array or view; dropped once the query has run
    PyObject *words; // the query words of a view
    PyObject *items; // the iterator over the names, once the query has run
};

// array.array_names(), or view.ns.tcl.cast_list(view.ns.call(words)).
Ref run_name_query(NameSource source, PyObject *owner, PyObject *words) {
    if (source == NameSource::array_names)
        return call_method(owner, S.array_names);
    Ref ns = get_attr(owner, S.ns);
    if (!ns)
        return ns;
    Ref result = call_method(ns.get(), S.call, {words});
    return host_cast(ns.get(), S.cast_list, result);
}

PyObject *name_iterator_next(PyObject *self) {
    auto *it = reinterpret_cast<NameIterator *>(self);
    if (!it->items) {
        if (!it->owner)
            return nullptr; // finished, or the query failed earlier
        // Held here: a re-entrant next() during the query drops the iterator's references.
        Ref owner = Ref::borrow(it->owner), words = Ref::borrow(it->words);
        Ref names = run_name_query(it->source, owner.get(), words.get());
        Py_CLEAR(it->owner);
        Py_CLEAR(it->words);
        if (!names)
            return nullptr;
        Py_CLEAR(it->items); // a re-entrant next() during the query may have started one
        it->items = PyObject_GetIter(names.get());
        if (!it->items)
            return nullptr;
    }
    // Held for the same reason: a sequence's own iteration may run Python code.
    Ref items = Ref::borrow(it->items);
    PyObject *item = PyIter_Next(items.get());
    if (!item && !PyErr_Occurred())
        Py_CLEAR(it->items);
    return item;
}

int name_iterator_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *it = reinterpret_cast<NameIterator *>(self);
    Py_VISIT(it->owner);
    Py_VISIT(it->words);
    Py_VISIT(it->items);
    return 0;
}

int name_iterator_clear(PyObject *self) {
    auto *it = reinterpret_cast<NameIterator *>(self);
    Py_CLEAR(it->owner);
    Py_CLEAR(it->words);
    Py_CLEAR(it->items);
    return 0;
}

void name_iterator_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    name_iterator_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject name_iterator_type = [] {
    PyTypeObject t = ortan::static_type("ortan.tcl.namespace.name_iterator", sizeof(NameIterator));
    t.tp_dealloc = name_iterator_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = name_iterator_traverse;
    t.tp_clear = name_iterator_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = name_iterator_next;
    return t;
}();

Ref new_name_iterator(NameSource source, PyObject *owner, PyObject *words) {
    auto *it = PyObject_GC_New(NameIterator, &name_iterator_type);
    if (!it)
        return Ref();
    it->source = source;
    it->owner = Py_NewRef(owner);
    Py_XINCREF(words);
    it->words = words;
    it->items = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(it));
    return Ref::steal(reinterpret_cast<PyObject *>(it));
}

// len(iter(obj)) by counting, so that an overridden __iter__ is honoured.
Ref count_iteration(PyObject *obj) {
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it)
        return it;
    Py_ssize_t count = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        ++count;
    if (PyErr_Occurred())
        return Ref();
    return Ref::steal(PyLong_FromSsize_t(count));
}

// ---------------------------------------------------------------------------------------------
// Namespace names
//
// Components are separated by "::" (found left to right, as str.split("::") finds them); empty
// components are dropped; a component still holding a ":" makes the name invalid.

Ref invalid_namespace(PyObject *name) {
    PyErr_Format(PyExc_ValueError, "Invalid Tcl namespace '%U'", name);
    return Ref();
}

// Calls piece(start, end) for every component of `text` between "::" separators, empty ones
// included; returns false as soon as piece does.
template <class C, class F> bool for_each_piece(const C *s, Py_ssize_t n, F &&piece) {
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i + 1 < n;) {
        if (s[i] == ':' && s[i + 1] == ':') {
            if (!piece(start, i))
                return false;
            i += 2;
            start = i;
        } else {
            ++i;
        }
    }
    return piece(start, n);
}

struct NameShape {
    bool absolute = false;
    bool valid = true;
    bool normal = true; // normalising gives the text back unchanged
    Py_ssize_t parts = 0;
};

NameShape shape_of(PyObject *text) {
    NameShape shape;
    ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        shape.absolute = n >= 2 && s[0] == ':' && s[1] == ':';
        bool first = true;
        for_each_piece(s, n, [&](Py_ssize_t start, Py_ssize_t end) {
            if (start == end) {
                // The leading empty piece of an absolute name is kept by normalising.
                if (!(first && shape.absolute))
                    shape.normal = false;
            } else {
                ++shape.parts;
                for (Py_ssize_t i = start; i < end; ++i)
                    if (s[i] == ':') {
                        shape.valid = false;
                        return false;
                    }
            }
            first = false;
            return true;
        });
        if (n == 0)
            shape.normal = true;
        else if (shape.absolute && shape.parts == 0)
            shape.normal = false; // "::" and the like normalise to ""
    });
    return shape;
}

// TclNamespace.normalize for a text.
Ref normalize_text(PyObject *text) {
    const NameShape shape = shape_of(text);
    if (!shape.valid)
        return invalid_namespace(text);
    if (shape.normal)
        return Ref::borrow(text);
    if (shape.parts == 0)
        return Ref::borrow(S.empty);
    ortan::TextWriter out(PyUnicode_GET_LENGTH(text));
    bool ok = out.ok();
    bool wrote = false;
    ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        for_each_piece(s, n, [&](Py_ssize_t start, Py_ssize_t end) {
            if (start == end)
                return true;
            if (wrote || shape.absolute)
                ok = ok && out.put_ascii("::", 2);
            ok = ok && out.put_range(text, start, end);
            wrote = true;
            return ok;
        });
    });
    return ok ? out.finish() : Ref();
}

// TclNamespace.split for a text.
Ref split_text(PyObject *text) {
    const NameShape shape = shape_of(text);
    if (!shape.valid)
        return invalid_namespace(text);
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts)
        return parts;
    if (shape.absolute && PyList_Append(parts.get(), S.empty) < 0)
        return Ref();
    bool ok = true;
    ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        for_each_piece(s, n, [&](Py_ssize_t start, Py_ssize_t end) {
            if (start == end)
                return true;
            Ref part = Ref::steal(PyUnicode_Substring(text, start, end));
            ok = part && PyList_Append(parts.get(), part.get()) == 0;
            return ok;
        });
    });
    return ok ? parts : Ref();
}

// Whether `obj` has the conversion hook `name`, true; -1 on error.
int has_hook(PyObject *obj, PyObject *name) {
    Ref hook;
    const int found = ortan::get_optional_attr(obj, name, hook);
    return found <= 0 ? found : PyObject_IsTrue(hook.get());
}

// scribe() of a namespace object of this module is its str(): the classes define no hooks,
// so only an instance that was given one takes the general way.
bool is_plain_namespace_object(PyObject *obj) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (type != TclNamespace_cls && type != TempTclNamespace_cls)
        return false;
    const int scribe_hook = has_hook(obj, S.hook_scribe);
    const int tclobj_hook = scribe_hook == 0 ? has_hook(obj, S.hook_tclobj) : scribe_hook;
    if (tclobj_hook != 0)
        PyErr_Clear(); // the general way meets any error again
    return scribe_hook == 0 && tclobj_hook == 0;
}

// scribe(obj), which must be text for the name arithmetic.
Ref name_text(PyObject *obj) {
    Ref text = is_plain_namespace_object(obj) ? Ref::steal(PyObject_Str(obj)) : to_text(obj);
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "a Tcl namespace name must be text, not %.200s",
                     Py_TYPE(text.get())->tp_name);
        return Ref();
    }
    return text && ready(text.get()) ? text : Ref();
}

// TclNamespace.join(first, *rest).
Ref join_names(PyObject *first, PyObject *const *rest, Py_ssize_t nrest) {
    Ref joined = name_text(first);
    if (!joined)
        return joined;
    for (Py_ssize_t i = 0; i < nrest; ++i) {
        Ref arg = name_text(rest[i]);
        if (!arg)
            return arg;
        if (PyUnicode_GET_LENGTH(joined.get()) == 0 ||
            PyUnicode_Tailmatch(arg.get(), S.colons, 0, PY_SSIZE_T_MAX, -1)) {
            joined = arg;
        } else if (PyUnicode_GET_LENGTH(arg.get()) != 0) {
            Ref left = Ref::steal(PyUnicode_Concat(joined.get(), S.colons));
            if (!left)
                return left;
            joined = Ref::steal(PyUnicode_Concat(left.get(), arg.get()));
            if (!joined)
                return joined;
        }
    }
    return normalize_text(joined.get());
}

Ref join2(PyObject *first, PyObject *second) { return join_names(first, &second, 1); }

Ref tail_text(PyObject *text) {
    const Py_ssize_t p = PyUnicode_Find(text, S.colons, 0, PY_SSIZE_T_MAX, -1);
    if (p == -2)
        return Ref();
    if (p == -1)
        return Ref::borrow(text);
    return Ref::steal(PyUnicode_Substring(text, p + 2, PyUnicode_GET_LENGTH(text)));
}

Ref qualifiers_text(PyObject *text) {
    Py_ssize_t p = PyUnicode_Find(text, S.colons, 0, PY_SSIZE_T_MAX, -1);
    if (p == -2)
        return Ref();
    if (p == -1)
        return Ref::borrow(S.empty);
    while (p > 0 && PyUnicode_READ_CHAR(text, p - 1) == ':')
        --p;
    return Ref::steal(PyUnicode_Substring(text, 0, p));
}

// The enclosing namespace of an absolute name, as Tcl's `namespace parent` reports it. Tcl
// separates components by runs of two or more colons; a single colon belongs to the name.
Ref tcl_parent_of(PyObject *text) {
    struct Range {
        Py_ssize_t start, end;
    };
    ortan::SmallArray<Range, 16> parts;
    const bool stored = ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        Py_ssize_t i = 0;
        while (i < n) {
            while (i < n && s[i] == ':' && i + 1 < n && s[i + 1] == ':') {
                i += 2;
                while (i < n && s[i] == ':')
                    ++i;
            }
            if (i >= n)
                break;
            const Py_ssize_t start = i;
            while (i < n && !(s[i] == ':' && i + 1 < n && s[i + 1] == ':'))
                ++i;
            if (!parts.push_back({start, i}))
                return false; // MemoryError is set
        }
        return true;
    });
    if (!stored)
        return Ref();
    if (parts.empty())
        return Ref::borrow(S.empty);
    if (parts.size() == 1)
        return Ref::borrow(S.colons);
    ortan::TextWriter out(PyUnicode_GET_LENGTH(text));
    bool ok = out.ok();
    for (size_t i = 0; i + 1 < parts.size() && ok; ++i)
        ok = out.put_ascii("::", 2) && out.put_range(text, parts[i].start, parts[i].end);
    return ok ? out.finish() : Ref();
}

// ---------------------------------------------------------------------------------------------
// TclVariable

// "name(index)" for an element (the index as its Tcl text), the name itself when the index is
// None or omitted; a null name passes through.
Ref with_index(Ref name, PyObject *array_index) {
    if (!name || is_none(array_index))
        return name;
    Ref index = to_text(array_index);
    return index ? Ref::steal(PyUnicode_FromFormat("%S(%S)", name.get(), index.get())) : index;
}

// *name*: the variable's name, or "name(index)" for an element.
Ref element_name(PyObject *self, PyObject *array_index) {
    return with_index(get_attr(self, S.var_name), array_index);
}

bool init_variable(PyObject *self, PyObject *var_name, PyObject *array_index, PyObject *tcl,
                   PyObject *cast) {
    Ref host = host_proxy(self, tcl);
    if (!set_attr(self, S.tcl, host.get()) || !set_attr(self, S.cast, arg_or(cast, Py_None)))
        return false;
    Ref name = with_index(to_text(var_name), array_index);
    return set_attr(self, S.var_name, name.get());
}

// TclVariable(name, tcl=tcl). While the class keeps the module's own constructor, the object
// is made directly: object.__new__, then the same initialisation, without the type call.
Ref new_variable(PyObject *name, PyObject *tcl) {
    if (ortan::plain_construction(TclVariable_cls, variable_init_fn)) {
        Ref variable = ortan::new_instance(TclVariable_cls);
        if (!variable || !init_variable(variable.get(), name, nullptr, tcl, nullptr))
            return Ref();
        return variable;
    }
    PyObject *stack[] = {nullptr, name, tcl};
    return Ref::steal(PyObject_Vectorcall(TclVariable_cls, stack + 1,
                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_tcl));
}

PyObject *TclVariable_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[4];
    if (!parse_method_args("__init__", args, nargs, kwnames,
                           {"var_name", "array_index", "tcl", "cast"}, 1, a))
        return nullptr;
    if (!init_variable(args[0], a[0], a[1], a[2], a[3]))
        return nullptr;
    Py_RETURN_NONE;
}

bool is_own_variable(PyObject *self) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    return type == TclVariable_cls || type == TempTclVariable_cls || type == TclArrayVariable_cls ||
           type == TempTclArrayVariable_cls;
}

PyObject *TclVariable_get_obj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[2] = {nullptr, nullptr};
    if ((nargs > 1 || kwnames) &&
        !parse_method_args("get_obj", args, nargs, kwnames, {"array_index", "cast"}, 0, a))
        return nullptr;
    Attrs attrs(self, is_own_variable(self));
    Ref tk = attrs.tk();
    Ref name = tk ? attrs(S.var_name) : tk;
    if (!name)
        return nullptr;
    Ref value;
    if (is_none(a[0])) {
        value = call_method(tk.get(), S.getvar, {name.get()});
    } else {
        // The binding takes only text as an index; other values go as their Tcl text, the
        // same text `set` writes under.
        Ref index = PyUnicode_Check(a[0]) ? Ref::borrow(a[0]) : to_text(a[0]);
        value = index ? call_method(tk.get(), S.getvar, {name.get(), index.get()}) : index;
    }
    if (!value)
        return nullptr;
    Ref cast = (a[1] == nullptr || a[1] == marker) ? attrs(S.cast) : Ref::borrow(a[1]);
    return cast_with(cast, std::move(value));
}

// Whether list quoting leaves the text unchanged: it is not empty and holds none of the
// characters that make Tcl's list formatting brace or backslash an element.
bool is_plain_element(PyObject *text) {
    if (!PyUnicode_CheckExact(text) || !ready(text) || PyUnicode_GET_LENGTH(text) == 0) {
        PyErr_Clear(); // the general way meets the error again
        return false;
    }
    return ortan::visit_text(text, [](auto *s, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            switch (s[i]) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
            case '\f':
            case '\v':
            case '{':
            case '}':
            case '[':
            case ']':
            case '$':
            case ';':
            case '"':
            case '\\':
                return false;
            default:
                break;
            }
        }
        return true;
    });
}

// scribe(("set", name)): the two-word command that reads a variable.
Ref set_command_text(PyObject *name) {
    if (is_plain_element(name))
        return Ref::steal(PyUnicode_Concat(S.set_space, name));
    Ref words = tuple_of({S.w_set, name});
    return words ? ortan::call(scribe_fn, {words.get()}) : words;
}

// Whether an element of the array `name` is better addressed by name and index as two parts:
// Tcl reads "x(y(k)" as element "y(k" of array "x", so a name holding "(" cannot carry its index
// in one text. -1 with an exception set.
int needs_two_parts(PyObject *name) {
    if (!PyUnicode_Check(name))
        return 0; // not text: the general way converts it
    const Py_ssize_t at = PyUnicode_FindChar(name, '(', 0, PyUnicode_GET_LENGTH(name), 1);
    return at == -2 ? -1 : at >= 0;
}

// The variable's name, and the index as text unless it is None: false with an exception set.
// `two_parts` tells whether the element must be addressed by the two.
bool element_parts(PyObject *self, PyObject *array_index, Ref &name, Ref &index, int &two_parts) {
    name = get_attr(self, S.var_name);
    if (!name)
        return false;
    two_parts = 0;
    if (is_none(array_index))
        return true;
    index = to_text(array_index);
    return index && (two_parts = needs_two_parts(name.get())) >= 0;
}

// variable.get_str(array_index=index) of a TclVariable.
Ref variable_get_str(PyObject *variable, PyObject *index) {
    if (!is_none(index)) {
        Ref name, index_text;
        int two_parts = 0;
        if (!element_parts(variable, index, name, index_text, two_parts))
            return Ref();
        if (two_parts) {
            Ref words = tuple_of({S.w_apply, S.element_text_lambda, name.get(), index_text.get()});
            Ref script = words ? ortan::call(scribe_fn, {words.get()}) : words;
            Ref tk = script ? tk_of(variable) : script;
            return tk ? call_method(tk.get(), S.eval, {script.get()}) : tk;
        }
    }
    Ref name = element_name(variable, index);
    Ref script = name ? set_command_text(name.get()) : name;
    Ref tk = script ? tk_of(variable) : script;
    return tk ? call_method(tk.get(), S.eval, {script.get()}) : tk;
}

PyObject *TclVariable_get_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1] = {nullptr};
    if ((nargs > 1 || kwnames) &&
        !parse_method_args("get_str", args, nargs, kwnames, {"array_index"}, 0, a))
        return nullptr;
    return variable_get_str(args[0], a[0]).release();
}

PyObject *TclVariable_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[2] = {nullptr, nullptr};
    if (nargs == 2 && !kwnames)
        a[0] = args[1];
    else if (!parse_method_args("set", args, nargs, kwnames, {"value", "array_index"}, 1, a))
        return nullptr;
    Attrs attrs(self, is_own_variable(self));
    Ref tk = attrs.tk();
    Ref name = tk ? attrs(S.var_name) : tk;
    if (!name)
        return nullptr;
    if (is_none(a[1])) {
        Ref value = to_tclobj(a[0]);
        return value ? call_method(tk.get(), S.setvar, {name.get(), value.get()}).release()
                     : nullptr;
    }
    Ref index = to_text(a[1]);
    Ref value = index ? to_tclobj(a[0]) : index;
    return value ? call_method(tk.get(), S.setvar, {name.get(), index.get(), value.get()}).release()
                 : nullptr;
}

PyObject *TclVariable_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[2] = {nullptr, nullptr};
    if (!parse_method_args("unset", args, nargs, kwnames, {"array_index", "nocomplain"}, 0, a))
        return nullptr;
    Ref tk = tk_of(self);
    Ref name = tk ? get_attr(self, S.var_name) : tk;
    if (!name)
        return nullptr;
    Ref done;
    if (is_none(a[0])) {
        done = call_method(tk.get(), S.unsetvar, {name.get()});
    } else {
        Ref index = to_text(a[0]);
        if (!index)
            return nullptr;
        done = call_method(tk.get(), S.unsetvar, {name.get(), index.get()});
    }
    if (!done) {
        if (!PyErr_ExceptionMatches(tcl_error) || !a[1])
            return nullptr;
        Ref error = ortan::fetch_exception();
        const int nocomplain = PyObject_IsTrue(a[1]);
        if (nocomplain < 0) {
            // As in an except clause: the TclError becomes the context of the new error.
            ortan::chain_exception(std::move(error));
            return nullptr;
        }
        if (!nocomplain) {
            ortan::restore_exception(std::move(error)); // re-raised unchanged
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject *TclVariable_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1] = {nullptr};
    if ((nargs > 1 || kwnames) &&
        !parse_method_args("exists", args, nargs, kwnames, {"array_index"}, 0, a))
        return nullptr;
    Ref name, index;
    int two_parts = 0;
    if (!element_parts(args[0], a[0], name, index, two_parts))
        return nullptr;
    if (two_parts) {
        // `array names name -exact index` lists the element when it exists.
        Ref words = tuple_of({S.w_array, S.w_names, name.get(), S.w_exact, index.get()});
        Ref result = words ? tk_call(args[0], words.get()) : words;
        return as_bool(host_cast(args[0], S.cast_list, result));
    }
    name = with_index(std::move(name), index.get());
    Ref words = name ? tuple_of({S.w_info, S.w_exists, name.get()}) : name;
    Ref result = words ? tk_call(args[0], words.get()) : words;
    return host_cast(args[0], S.cast_boolean, result).release();
}

PyObject *TclVariable_array_item_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[2];
    if (!parse_method_args("array_item_byref", args, nargs, kwnames, {"array_index", "cast"}, 1, a))
        return nullptr;
    Ref tcl = get_attr(self, S.tcl);
    if (!tcl)
        return nullptr;
    PyObject *stack[] = {nullptr, self, a[0], tcl.get(), arg_or(a[1], Py_None)};
    return PyObject_Vectorcall(TclVariable_cls, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               kw_array_index_tcl_cast);
}

// ("::array", <sub>, self.var_name) plus the pattern word when one is given.
Ref array_words(PyObject *self, PyObject *sub, PyObject *pattern_word) {
    Ref name = get_attr(self, S.var_name);
    if (!name)
        return name;
    if (!pattern_word)
        return tuple_of({S.w_array, sub, name.get()});
    return tuple_of({S.w_array, sub, name.get(), pattern_word});
}

// The array command with `scribe(pattern)` appended when a pattern is given.
Ref array_call_with_pattern(PyObject *self, PyObject *sub, PyObject *pattern) {
    Ref pattern_text;
    if (!is_none(pattern) && !(pattern_text = to_text(pattern)))
        return Ref();
    Ref words = array_words(self, sub, pattern_text.get());
    return words ? tk_call(self, words.get()) : words;
}

PyObject *TclVariable_array_get_obj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1] = {nullptr};
    if (!parse_method_args("array_get_obj", args, nargs, kwnames, {"pattern"}, 0, a))
        return nullptr;
    Ref result = array_call_with_pattern(args[0], S.w_get, a[0]);
    return host_cast(args[0], S.cast_array, result).release();
}

PyObject *TclVariable_array_get_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1] = {nullptr};
    if (!parse_method_args("array_get_str", args, nargs, kwnames, {"pattern"}, 0, a))
        return nullptr;
    Ref words = array_words(args[0], S.w_get, is_none(a[0]) ? nullptr : a[0]);
    Ref script = words ? ortan::call(scribe_fn, {words.get()}) : words;
    Ref tk = script ? tk_of(args[0]) : script;
    Ref result = tk ? call_method(tk.get(), S.eval, {script.get()}) : tk;
    return host_cast(args[0], S.cast_array, result).release();
}

PyObject *TclVariable_array_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("array_set", args, nargs, kwnames, {"value"}, 1, a))
        return nullptr;
    Ref value = to_tclobj(a[0]);
    Ref words = value ? array_words(args[0], S.w_set, value.get()) : value;
    Ref result = words ? tk_call(args[0], words.get()) : words;
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclVariable_array_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1] = {nullptr};
    if (!parse_method_args("array_unset", args, nargs, kwnames, {"pattern"}, 0, a))
        return nullptr;
    if (!array_call_with_pattern(args[0], S.w_unset, a[0]))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclVariable_array_size(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.array_size", nargs, kwnames))
        return nullptr;
    return array_call_with_pattern(args[0], S.w_size, nullptr).release();
}

PyObject *TclVariable_array_names(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1] = {nullptr};
    if (!parse_method_args("array_names", args, nargs, kwnames, {"pattern"}, 0, a))
        return nullptr;
    Ref result = array_call_with_pattern(args[0], S.w_names, a[0]);
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclVariable_is_array(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.is_array", nargs, kwnames))
        return nullptr;
    Ref result = array_call_with_pattern(args[0], S.w_exists, nullptr);
    return host_cast(args[0], S.cast_boolean, result).release();
}

// The absolute form of the name in attribute `attr`: unchanged when it starts with "::",
// otherwise joined to the interpreter's current namespace.
Ref absolute_name(PyObject *self, PyObject *attr) {
    Ref name = get_attr(self, attr);
    if (!name)
        return name;
    const int absolute = starts_with_colons(name.get());
    if (absolute < 0)
        return Ref();
    if (absolute)
        return name;
    Ref tk = tk_of(self);
    Ref current = tk ? call_method(tk.get(), S.call, {S.w_namespace, S.w_current}) : tk;
    return current ? join2(current.get(), name.get()) : current;
}

PyObject *TclVariable_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.absolute", nargs, kwnames))
        return nullptr;
    return absolute_name(args[0], S.var_name).release();
}

// self.<attr> = self.absolute()
PyObject *make_absolute(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        PyObject *attr) {
    if (!no_arguments_of(cls, "make_absolute", nargs, kwnames))
        return nullptr;
    Ref name = call_method(args[0], S.absolute);
    if (!set_attr(args[0], attr, name.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclVariable_make_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_absolute(TclVariable_cls, args, nargs, kwnames, S.var_name);
}

PyObject *TclVariable_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.__str__", nargs, kwnames))
        return nullptr;
    return PyObject_GetAttr(args[0], S.var_name);
}

PyObject *TclVariable_tclobj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.__tclobj__", nargs, kwnames))
        return nullptr;
    Ref name = get_attr(args[0], S.var_name);
    return name ? to_text(name.get()).release() : nullptr;
}

PyObject *TclVariable_repr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.__repr__", nargs, kwnames))
        return nullptr;
    Ref name = class_name(args[0]);
    Ref var_name = name ? get_attr(args[0], S.var_name) : name;
    return var_name ? PyUnicode_FromFormat("%S(%R)", name.get(), var_name.get()) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Temporary variants: the shared `with` protocol

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
    PyObject *a[1];
    CallArgs rest;
    if (!parse_with_kwargs("__init__", args, nargs, kwnames, {name_param}, a, rest))
        return nullptr;
    return init_temporary(cls, args[0], a[0], rest);
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
// TempTclVariable

PyObject *TempTclVariable_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return init_named_temporary(TempTclVariable_cls, "var_name", args, nargs, kwnames);
}

PyObject *TempTclVariable_enter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return enter_next(TempTclVariable_cls, args, nargs, kwnames).release();
}

PyObject *TempTclVariable_exit(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("__exit__", kwnames))
        return nullptr;
    if (!call_method(args[0], S.unset, {Py_True}, kw_nocomplain))
        return nullptr;
    return exit_next(TempTclVariable_cls, args[0], args + 1, nargs - 1);
}

// ---------------------------------------------------------------------------------------------
// TclArrayVariable

PyObject *TclArrayVariable_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[3];
    if (!parse_method_args("__init__", args, nargs, kwnames, {"var_name", "tcl", "cast"}, 1, a))
        return nullptr;
    PyObject *tcl = arg_or(a[1], Py_None), *cast = arg_or(a[2], Py_None);
    // For the module's own array classes the next __init__ is TclVariable's.
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    if (type == TclArrayVariable_cls || type == TempTclArrayVariable_cls) {
        if (!init_variable(self, a[0], nullptr, tcl, cast))
            return nullptr;
        Py_RETURN_NONE;
    }
    Ref init = ortan::super_attr(TclArrayVariable_cls, self, S.dunder_init);
    if (!init)
        return nullptr;
    PyObject *stack[] = {nullptr, a[0], tcl, cast};
    Ref done = Ref::steal(PyObject_Vectorcall(init.get(), stack + 1,
                                              1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_tcl_cast));
    if (!done)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclArrayVariable_len(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclArrayVariable.__len__", nargs, kwnames))
        return nullptr;
    return call_method(args[0], S.array_size).release();
}

PyObject *TclArrayVariable_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclArrayVariable.__iter__", nargs, kwnames))
        return nullptr;
    return new_name_iterator(NameSource::array_names, args[0], nullptr).release();
}

PyObject *TclArrayVariable_contains(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("__contains__", args, nargs, kwnames, {"key"}, 1, a))
        return nullptr;
    return call_method(args[0], S.exists, {a[0]}, kw_array_index).release();
}

PyObject *TclArrayVariable_getitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("__getitem__", args, nargs, kwnames, {"key"}, 1, a))
        return nullptr;
    return call_method(args[0], S.get, {a[0]}, kw_array_index).release();
}

PyObject *TclArrayVariable_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("__setitem__", args, nargs, kwnames, {"key", "value"}, 2, a))
        return nullptr;
    if (!call_method(args[0], S.set, {a[1], a[0]}, kw_array_index))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclArrayVariable_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("__delitem__", args, nargs, kwnames, {"key"}, 1, a))
        return nullptr;
    if (!call_method(args[0], S.unset, {a[0]}, kw_array_index))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclArrayVariable_clear(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclArrayVariable.clear", nargs, kwnames))
        return nullptr;
    if (!call_method(args[0], S.array_unset))
        return nullptr;
    Py_RETURN_NONE;
}

// dict(*args, **kwargs) from a vectorcall argument list.
Ref dict_from_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyDict_Type), args,
                                          static_cast<size_t>(nargs), kwnames));
}

PyObject *TclArrayVariable_update(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref pairs = dict_from_arguments(args + 1, nargs - 1, kwnames);
    if (!pairs || !call_method(args[0], S.array_set, {pairs.get()}))
        return nullptr;
    Py_RETURN_NONE;
}
// ---------------------------------------------------------------------------------------------
// TclCommand

// (cmd[0], cmd[1:]) of a word sequence.
bool split_command(PyObject *words, Ref &name, Ref &rest) {
    rest = Ref::steal(PyObject_GetItem(words, slice_from_1));
    if (rest)
        name = Ref::steal(PyObject_GetItem(words, zero));
    return name && rest;
}

// self.keywords filled from `keywords.items()`, values converted by tclobj.
bool fill_keywords(PyObject *target, PyObject *keywords) {
    if (PyDict_CheckExact(keywords)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(keywords, &pos, &key, &value)) {
            Ref k = Ref::borrow(key);
            Ref converted = to_tclobj(value);
            if (!converted || PyObject_SetItem(target, k.get(), converted.get()) < 0)
                return false;
        }
        return true;
    }
    Ref items = call_method(keywords, S.items);
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : items;
    if (!it)
        return false;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref fields = Ref::steal(PySequence_Tuple(pair.get()));
        if (!fields)
            return false;
        if (PyTuple_GET_SIZE(fields.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "keywords.items() must yield (key, value) pairs");
            return false;
        }
        Ref converted = to_tclobj(PyTuple_GET_ITEM(fields.get(), 1));
        if (!converted ||
            PyObject_SetItem(target, PyTuple_GET_ITEM(fields.get(), 0), converted.get()) < 0)
            return false;
    }
    return !PyErr_Occurred();
}

bool init_command(PyObject *self, PyObject *cmd, PyObject *args, PyObject *keywords, PyObject *tcl,
                  PyObject *cast, PyObject *logger) {
    if (!init_next_plain(TclCommand_cls, self, {TclCommand_cls, TempTclCommand_cls}))
        return false;
    Ref package = package_module();
    Ref host = package ? host_proxy(self, tcl, package.get()) : package;
    if (!set_attr(self, S.tcl, host.get()))
        return false;

    Ref name, bound;
    if (is_none(args)) {
        Ref words;
        const int is_command = PyObject_IsInstance(cmd, TclCommand_cls);
        if (is_command < 0)
            return false;
        if (is_command)
            words = call_method(cmd, S.build_tclcmd);
        else if (!PyTuple_CheckExact(cmd))
            words = call_method(package.get(), S.cast_list, {cmd});
        else
            words = Ref::borrow(cmd);
        if (!words || !split_command(words.get(), name, bound))
            return false;
    } else {
        bound = call_method(package.get(), S.cast_list, {args});
        if (!bound)
            return false;
        const int is_command = PyObject_IsInstance(cmd, TclCommand_cls);
        if (is_command < 0)
            return false;
        if (is_command) {
            Ref build = get_attr(cmd, S.build_tclcmd);
            Ref call_args = build ? Ref::steal(PySequence_Tuple(bound.get())) : build;
            Ref words = call_args ? Ref::steal(PyObject_Call(build.get(), call_args.get(), nullptr))
                                  : call_args;
            if (!words || !split_command(words.get(), name, bound))
                return false;
        } else {
            name = Ref::borrow(cmd);
        }
    }

    Ref cmd_name = to_text(name.get());
    if (!set_attr(self, S.cmd_name, cmd_name.get()))
        return false;
    Ref converted = to_tclobj(bound.get());
    if (!set_attr(self, S.args, converted.get()))
        return false;
    Ref bound_keywords = Ref::steal(PyDict_New());
    if (!set_attr(self, S.keywords, bound_keywords.get()))
        return false;
    if (keywords) {
        const int given = PyObject_IsTrue(keywords);
        if (given < 0 || (given && !fill_keywords(bound_keywords.get(), keywords)))
            return false;
    }
    return set_attr(self, S.cast, arg_or(cast, Py_None)) &&
           set_attr(self, S.logger, arg_or(logger, Py_None));
}

PyObject *TclCommand_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[6];
    if (!parse_method_args("__init__", args, nargs, kwnames,
                           {"cmd", "args", "keywords", "tcl", "cast", "logger"}, 1, a))
        return nullptr;
    if (!init_command(args[0], a[0], a[1], a[2], a[3], a[4], a[5]))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclCommand_createcommand(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("createcommand", args, nargs, kwnames, {"func"}, 1, a))
        return nullptr;
    Ref tk = tk_of(args[0]);
    Ref name = tk ? get_attr(args[0], S.cmd_name) : tk;
    if (!name)
        return nullptr;
    // A plain Tcl command of our own whose errors reach Tcl (tkinter's only for other hosts).
    const int made = ortan::callbacks::create_command(args[0], tk.get(), name.get(), a[0]);
    if (made < 0 || (made == 0 && !call_method(tk.get(), S.createcommand, {name.get(), a[0]})))
        return nullptr;
    Py_RETURN_NONE;
}

// self.tcl.tk.call((first, second, self.cmd_name[, extra]))
Ref command_query(PyObject *self, PyObject *first, PyObject *second, PyObject *extra = nullptr,
                  PyObject *extra2 = nullptr) {
    Ref name = get_attr(self, S.cmd_name);
    if (!name)
        return name;
    Ref words = !extra    ? tuple_of({first, second, name.get()})
                : !extra2 ? tuple_of({first, second, name.get(), extra})
                          : tuple_of({first, second, name.get(), extra, extra2});
    return words ? tk_call(self, words.get()) : words;
}

PyObject *TclCommand_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.exists", nargs, kwnames))
        return nullptr;
    return as_bool(command_query(args[0], S.w_info, S.w_commands));
}

PyObject *TclCommand_is_command(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.is_command", nargs, kwnames))
        return nullptr;
    Ref exists = call_method(args[0], S.exists);
    if (!exists)
        return nullptr;
    const int truth = PyObject_IsTrue(exists.get());
    if (truth <= 0)
        return truth < 0 ? nullptr : exists.release();
    Ref is_proc = call_method(args[0], S.is_proc);
    if (!is_proc)
        return nullptr;
    const int proc = PyObject_IsTrue(is_proc.get());
    return proc < 0 ? nullptr : PyBool_FromLong(!proc);
}

PyObject *TclCommand_is_proc(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.is_proc", nargs, kwnames))
        return nullptr;
    return as_bool(command_query(args[0], S.w_info, S.w_procs));
}

// self.tcl.tk.call(("::rename", self.cmd_name, new_name)): command_query with a two-word head.
Ref rename_query(PyObject *self, PyObject *new_name) {
    Ref name = get_attr(self, S.cmd_name);
    Ref words = name ? tuple_of({S.w_rename, name.get(), new_name}) : name;
    return words ? tk_call(self, words.get()) : words;
}

PyObject *TclCommand_rename(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("rename", args, nargs, kwnames, {"new_name"}, 1, a))
        return nullptr;
    Ref new_name = to_text(a[0]);
    if (!new_name || !rename_query(args[0], new_name.get()))
        return nullptr;
    if (!set_attr(args[0], S.cmd_name, new_name.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclCommand_delete(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.delete", nargs, kwnames))
        return nullptr;
    if (!rename_query(args[0], S.empty))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclCommand_origin(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.origin", nargs, kwnames))
        return nullptr;
    return command_query(args[0], S.w_namespace_global, S.w_origin).release();
}

PyObject *TclCommand_proc_body(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.proc_body", nargs, kwnames))
        return nullptr;
    return command_query(args[0], S.w_info, S.w_body).release();
}

PyObject *TclCommand_proc_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.proc_args", nargs, kwnames))
        return nullptr;
    Ref result = command_query(args[0], S.w_info, S.w_args);
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclCommand_proc_arg_default(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[1];
    if (!parse_method_args("proc_arg_default", args, nargs, kwnames, {"arg_name"}, 1, a))
        return nullptr;
    Ref tcl = get_attr(self, S.tcl);
    if (!tcl)
        return nullptr;
    PyObject *stack[] = {nullptr, tcl.get()};
    Ref temp = Ref::steal(PyObject_Vectorcall(TempTclVariable_cls, stack + 1,
                                              0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_tcl));
    if (!temp)
        return nullptr;
    return with_block(temp.get(),
                      [&](PyObject *variable) -> Ref {
                          Ref arg_name = to_text(a[0]);
                          Ref result = arg_name ? command_query(self, S.w_info, S.w_default,
                                                                arg_name.get(), variable)
                                                : arg_name;
                          Ref found = host_cast(self, S.cast_boolean, result);
                          if (!found)
                              return found;
                          const int truth = PyObject_IsTrue(found.get());
                          if (truth < 0)
                              return Ref();
                          return truth ? call_method(variable, S.get) : none();
                      })
        .release();
}

// The options of one call, merged by option word: a keyword and its other spelling (`from` and
// `from_`, both -from) are one option, kept at its first place with its last value. Each entry
// owns its keyword (as first spelled), its option word and its value. Past a few entries the
// words are also indexed by a dict, so that merging stays linear.
class Options {
  public:
    Options() = default;
    Options(const Options &) = delete;
    Options &operator=(const Options &) = delete;
    ~Options() {
        for (Entry &e : entries_) {
            Py_DECREF(e.key);
            Py_DECREF(e.word);
            Py_DECREF(e.value);
        }
    }

    // Adds the option of `key` with `value` (both borrowed); false with an exception set.
    bool add(PyObject *key, PyObject *value) {
        // The usual override repeats the very keyword object (both interned): found without
        // making its option word.
        if (!index_)
            for (size_t i = 0; i < entries_.size(); ++i)
                if (entries_[i].key == key)
                    return replace(i, value);
        Ref word = ortan::option_word(key);
        if (!word)
            return false;
        const Py_ssize_t at = find(word.get());
        if (at == -2)
            return false;
        if (at >= 0)
            return replace(static_cast<size_t>(at), value);
        if (!entries_.push_back(Entry{key, word.get(), value}))
            return false;
        Py_INCREF(key);
        Py_INCREF(value);
        PyObject *w = word.release();
        return !index_ || index_word(w, static_cast<Py_ssize_t>(entries_.size() - 1));
    }

    size_t size() const { return entries_.size(); }

    // Writes word, value, word, value, ... into `words` from slot `i` on.
    void put_pairs(PyObject *words, Py_ssize_t i) const {
        for (const Entry &e : entries_) {
            PyTuple_SET_ITEM(words, i++, Py_NewRef(e.word));
            PyTuple_SET_ITEM(words, i++, Py_NewRef(e.value));
        }
    }

    // {keyword: value}, keywords as first spelled: the arguments of an overridden
    // kwargs_to_dashed_args.
    Ref as_kwargs() const {
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs)
            return kwargs;
        for (const Entry &e : entries_)
            if (PyDict_SetItem(kwargs.get(), e.key, e.value) < 0)
                return Ref();
        return kwargs;
    }

  private:
    struct Entry {
        PyObject *key, *word, *value;
    };

    bool replace(size_t at, PyObject *value) {
        PyObject *old = entries_[at].value;
        entries_[at].value = Py_NewRef(value);
        Py_DECREF(old);
        return true;
    }
    static constexpr size_t linear_limit = 8;

    // The position of `word`, -1 when absent, -2 with an exception set.
    Py_ssize_t find(PyObject *word) {
        if (!index_ && entries_.size() < linear_limit) {
            // Option words are new, ready, exact str: equal texts have one kind and one buffer.
            const Py_ssize_t length = PyUnicode_GET_LENGTH(word);
            const int kind = PyUnicode_KIND(word);
            for (size_t i = 0; i < entries_.size(); ++i) {
                PyObject *other = entries_[i].word;
                if (PyUnicode_GET_LENGTH(other) == length && PyUnicode_KIND(other) == kind &&
                    std::memcmp(PyUnicode_DATA(other), PyUnicode_DATA(word),
                                static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0)
                    return static_cast<Py_ssize_t>(i);
            }
            return -1;
        }
        if (!index_) {
            index_ = Ref::steal(PyDict_New());
            if (!index_)
                return -2;
            for (size_t i = 0; i < entries_.size(); ++i)
                if (!index_word(entries_[i].word, static_cast<Py_ssize_t>(i)))
                    return -2;
        }
        PyObject *at = PyDict_GetItemWithError(index_.get(), word);
        if (at)
            return PyLong_AsSsize_t(at);
        return PyErr_Occurred() ? -2 : -1;
    }

    bool index_word(PyObject *word, Py_ssize_t at) {
        Ref position = Ref::steal(PyLong_FromSsize_t(at));
        return position && PyDict_SetItem(index_.get(), word, position.get()) == 0;
    }

    ortan::SmallArray<Entry, linear_limit> entries_;
    Ref index_; // option word -> position
};

// The bound options as they are when the call begins: every pair of `keywords` is taken (its
// references held) before any option word is made, so nothing that runs later (a conversion
// hook, a collection) changes which options this call sends.
bool snapshot_options(PyObject *keywords, Options &out) {
    if (!PyDict_Check(keywords)) {
        Ref items = Ref::steal(PyMapping_Items(keywords)); // a list of its own
        if (!items)
            return false;
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *pair = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_ValueError, "keywords.items() must yield (key, value) pairs");
                return false;
            }
            if (!out.add(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)))
                return false;
        }
        return true;
    }
    const Py_ssize_t n = PyDict_GET_SIZE(keywords);
    if (n == 0)
        return true;
    struct Pair {
        PyObject *key, *value;
    };
    ortan::SmallArray<Pair, 8> pairs;
    if (!pairs.reserve(static_cast<size_t>(n)))
        return false;
    // Nothing in this loop allocates an object, so no Python code can run inside it.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(keywords, &pos, &key, &value) && pairs.size() < static_cast<size_t>(n)) {
        Py_INCREF(key);
        Py_INCREF(value);
        pairs.push_back(Pair{key, value}); // within the reserved room
    }
    bool ok = true;
    for (const Pair &p : pairs) {
        ok = ok && out.add(p.key, p.value);
        Py_DECREF(p.key);
        Py_DECREF(p.value);
    }
    return ok;
}

// The call's keywords merged into `out`, each value converted by tclobj.
bool merge_call_options(Options &out, PyObject *const *kw_names, PyObject *const *kw_values,
                        Py_ssize_t nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        Ref value = to_tclobj(kw_values[k]);
        if (!value || !out.add(kw_names[k], value.get()))
            return false;
    }
    return true;
}

// (name, *bound, *tclobj(pos), *options): the options as the module's own kwargs_to_dashed_args
// words them when `dashed` is null, else the words `dashed` holds.
Ref command_tuple(Ref name, PyObject *bound, PyObject *const *pos, Py_ssize_t npos,
                  const Options &options, PyObject *dashed) {
    const Py_ssize_t nbound = PyTuple_GET_SIZE(bound);
    const Py_ssize_t noptions =
        dashed ? PyTuple_GET_SIZE(dashed) : 2 * static_cast<Py_ssize_t>(options.size());
    Ref words = Ref::steal(PyTuple_New(1 + nbound + npos + noptions));
    if (!words)
        return words;
    PyObject *w = words.get();
    Py_ssize_t i = 0;
    PyTuple_SET_ITEM(w, i++, name.release());
    for (Py_ssize_t j = 0; j < nbound; ++j)
        PyTuple_SET_ITEM(w, i++, Py_NewRef(PyTuple_GET_ITEM(bound, j)));
    for (Py_ssize_t j = 0; j < npos; ++j) {
        Ref value = to_tclobj(pos[j]);
        if (!value)
            return Ref(); // unfilled slots are null, which the tuple's dealloc allows
        PyTuple_SET_ITEM(w, i++, value.release());
    }
    if (!dashed) {
        options.put_pairs(w, i);
        return words;
    }
    for (Py_ssize_t j = 0; j < noptions; ++j)
        PyTuple_SET_ITEM(w, i++, Py_NewRef(PyTuple_GET_ITEM(dashed, j)));
    return words;
}

PyObject *TclCommand_kwargs_to_dashed_args(PyObject *const *args, Py_ssize_t nargs,
                                           PyObject *kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError,
                     "kwargs_to_dashed_args() takes 0 positional arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Options options;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!options.add(PyTuple_GET_ITEM(kwnames, k), args[k]))
            return nullptr;
    Ref words = Ref::steal(PyTuple_New(2 * static_cast<Py_ssize_t>(options.size())));
    if (!words)
        return nullptr;
    options.put_pairs(words.get(), 0);
    return words.release();
}

bool is_own_command(PyObject *self) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    return type == TclCommand_cls || type == TempTclCommand_cls;
}

// build_tclcmd for the module's own command classes with `keywords` a dict: the module's own
// kwargs_to_dashed_args over the bound options (a snapshot taken first) merged with the call's
// keywords, written straight into the result: bound options in their order, a call keyword of
// the same option replacing the value in place, then the call's new options in call order.
Ref build_own_words(PyObject *const *pos, Py_ssize_t npos, PyObject *const *kw_names,
                    PyObject *const *kw_values, Py_ssize_t nkw, Ref name, PyObject *bound,
                    PyObject *keywords) {
    Options options;
    if (!snapshot_options(keywords, options) ||
        !merge_call_options(options, kw_names, kw_values, nkw))
        return Ref();
    return command_tuple(std::move(name), bound, pos, npos, options, nullptr);
}

// build_tclcmd(*args, **kwargs) where args[0] is self. The options are merged as for the
// module's own classes and then worded by self.kwargs_to_dashed_args, so a subclass that keeps
// that method gets the very same words.
Ref build_command_words(const Attrs &attrs, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    PyObject *self = args[0];
    Ref name = attrs(S.cmd_name);
    Ref bound = name ? attrs(S.args) : name;
    Ref keywords = bound ? attrs(S.keywords) : bound;
    if (!keywords)
        return keywords;
    if (!PyTuple_CheckExact(bound.get()) && !(bound = Ref::steal(PySequence_Tuple(bound.get()))))
        return Ref();
    PyObject *const *kw_names = kwnames ? PySequence_Fast_ITEMS(kwnames) : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (PyDict_CheckExact(keywords.get()) && is_own_command(self))
        return build_own_words(args + 1, nargs - 1, kw_names, args + nargs, nkw, std::move(name),
                               bound.get(), keywords.get());
    Options options;
    if (!snapshot_options(keywords.get(), options) ||
        !merge_call_options(options, kw_names, args + nargs, nkw))
        return Ref();
    Ref fn = get_attr(self, S.kwargs_to_dashed_args);
    if (!fn)
        return fn;
    if (fn.get() == dashed_args_fn)
        return command_tuple(std::move(name), bound.get(), args + 1, nargs - 1, options, nullptr);
    Ref kwargs = options.as_kwargs();
    Ref no_args = kwargs ? Ref::steal(PyTuple_New(0)) : kwargs;
    Ref dashed =
        no_args ? Ref::steal(PyObject_Call(fn.get(), no_args.get(), kwargs.get())) : no_args;
    if (dashed && !PyTuple_Check(dashed.get()))
        dashed = Ref::steal(PySequence_Tuple(dashed.get()));
    if (!dashed)
        return dashed;
    return command_tuple(std::move(name), bound.get(), args + 1, nargs - 1, options, dashed.get());
}

PyObject *TclCommand_build_tclcmd(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return build_command_words(Attrs(args[0], is_own_command(args[0])), args, nargs, kwnames)
        .release();
}

// self.build_tclcmd(*args, **kwargs), the same argument vector passed on.
Ref command_words(const Attrs &attrs, bool own, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) {
    if (own)
        return build_command_words(attrs, args, nargs, kwnames);
    return Ref::steal(
        PyObject_VectorcallMethod(S.build_tclcmd, args, static_cast<size_t>(nargs), kwnames));
}

// result, or self.cast(result) when the object has a true `cast`.
PyObject *apply_cast(const Attrs &attrs, Ref result) {
    return result ? cast_with(attrs(S.cast), std::move(result)) : nullptr;
}

bool log_call(const Attrs &attrs, PyObject *words) {
    Ref logger = attrs(S.logger);
    if (!logger)
        return false;
    if (logger.get() == Py_None)
        return true;
    const int truth = PyObject_IsTrue(logger.get());
    if (truth <= 0)
        return truth == 0;
    Ref text = ortan::call(scribe_fn, {words});
    Ref shown = text ? Ref::steal(PyObject_Format(text.get(), nullptr)) : text;
    Ref message = shown ? Ref::steal(PyUnicode_Concat(S.calling, shown.get())) : shown;
    return message && call_method(logger.get(), S.info, {message.get()});
}

// The words of a call of the module's own command classes, keywords given as parallel arrays.
Ref own_call_words(const Attrs &attrs, PyObject *const *pos, Py_ssize_t npos,
                   PyObject *const *kw_names, PyObject *const *kw_values, Py_ssize_t nkw) {
    Ref name = attrs(S.cmd_name);
    Ref bound = name ? attrs(S.args) : name;
    Ref keywords = bound ? attrs(S.keywords) : bound;
    if (!keywords)
        return keywords;
    if (PyTuple_CheckExact(bound.get()) && PyDict_CheckExact(keywords.get()))
        return build_own_words(pos, npos, kw_names, kw_values, nkw, std::move(name), bound.get(),
                               keywords.get());
    // Unusual attribute values: the general builder, with a vectorcall argument list.
    CallArgs call;
    call.positional(attrs.self());
    call.positional(pos, npos);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        call.keyword(kw_names[k], kw_values[k]);
    return call.call_function([&](PyObject *const *stack, Py_ssize_t n, PyObject *kwnames) {
        return build_command_words(attrs, stack, n, kwnames);
    });
}

// Logs the words, runs them, casts the result.
PyObject *run_command(const Attrs &attrs, Ref words) {
    if (!words || !log_call(attrs, words.get()))
        return nullptr;
    Ref tk = attrs.tk();
    Ref result = tk ? call_method(tk.get(), S.call, {words.get()}) : tk;
    if (!result && tk)
        ortan::callbacks::link_cause(tk.get()); // a Python callback's error as the cause
    return apply_cast(attrs, std::move(result));
}

PyObject *TclCommand_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    const bool own = is_own_command(self);
    Attrs attrs(self, own);
    if (!own)
        return run_command(attrs, command_words(attrs, false, args, nargs, kwnames));
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return run_command(attrs, own_call_words(attrs, args + 1, nargs - 1,
                                             nkw ? PySequence_Fast_ITEMS(kwnames) : nullptr,
                                             args + nargs, nkw));
}

PyObject *TclCommand_dunder_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (is_own_command(args[0]))
        return TclCommand_call(args, nargs, kwnames);
    return PyObject_VectorcallMethod(S.call, args, static_cast<size_t>(nargs), kwnames);
}

PyObject *TclCommand_eval(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const bool own = is_own_command(args[0]);
    Attrs attrs(args[0], own);
    Ref words = command_words(attrs, own, args, nargs, kwnames);
    Ref script = words ? ortan::call(scribe_fn, {words.get()}) : words;
    Ref tk = script ? attrs.tk() : script;
    Ref result = tk ? call_method(tk.get(), S.eval, {script.get()}) : tk;
    if (!result && tk)
        ortan::callbacks::link_cause(tk.get()); // a Python callback's error as the cause
    return apply_cast(attrs, std::move(result));
}

PyObject *TclCommand_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.absolute", nargs, kwnames))
        return nullptr;
    return absolute_name(args[0], S.cmd_name).release();
}

PyObject *TclCommand_make_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_absolute(TclCommand_cls, args, nargs, kwnames, S.cmd_name);
}

PyObject *TclCommand_repr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.__repr__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref name = class_name(self);
    Ref cmd_name = name ? get_attr(self, S.cmd_name) : name;
    Ref text =
        cmd_name ? Ref::steal(PyUnicode_FromFormat("%S(%R", name.get(), cmd_name.get())) : cmd_name;
    if (!text)
        return nullptr;
    struct Field {
        PyObject *attr;
        const char *format;
    };
    for (Field field : {Field{S.args, ", args=%R"}, Field{S.keywords, ", keywords=%R"},
                        Field{S.cast, ", cast=%R"}}) {
        Ref value = get_attr(self, field.attr);
        if (!value)
            return nullptr;
        const int truth = PyObject_IsTrue(value.get());
        if (truth < 0)
            return nullptr;
        if (!truth)
            continue;
        Ref part = Ref::steal(PyUnicode_FromFormat(field.format, value.get()));
        text = part ? Ref::steal(PyUnicode_Concat(text.get(), part.get())) : part;
        if (!text)
            return nullptr;
    }
    Ref close = ortan::text(")");
    return close ? PyUnicode_Concat(text.get(), close.get()) : nullptr;
}

PyObject *TclCommand_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.__str__", nargs, kwnames))
        return nullptr;
    Ref words = call_method(args[0], S.build_tclcmd);
    return words ? ortan::call(scribe_fn, {words.get()}).release() : nullptr;
}

PyObject *TclCommand_tclobj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.__tclobj__", nargs, kwnames))
        return nullptr;
    return call_method(args[0], S.build_tclcmd).release();
}

PyObject *TclCommand_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("__get__", args, nargs, kwnames, {"instance", "owner"}, 1, a))
        return nullptr;
    if (a[0] == Py_None)
        return Py_NewRef(args[0]);
    return ortan::call(method_type, {args[0], a[0]}).release();
}

// ---------------------------------------------------------------------------------------------
// TempTclCommand

PyObject *TempTclCommand_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[2];
    CallArgs rest;
    if (!parse_with_kwargs("__init__", args, nargs, kwnames, {"func", "cmd_name"}, a, rest))
        return nullptr;
    if (!Ref::steal(init_temporary(TempTclCommand_cls, self, a[1], rest)))
        return nullptr;
    const int given = a[0] ? PyObject_IsTrue(a[0]) : 0;
    if (given < 0)
        return nullptr;
    if (given &&
        (!call_method(self, S.createcommand, {a[0]}) || !ortan::call(update_wrapper, {self, a[0]})))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TempTclCommand_enter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return enter_next(TempTclCommand_cls, args, nargs, kwnames).release();
}

// self.delete(), a TclError ignored.
bool delete_quietly(PyObject *self) { return call_method(self, S.delete_) || swallow_tcl_error(); }

PyObject *TempTclCommand_exit(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("__exit__", kwnames) || !delete_quietly(args[0]))
        return nullptr;
    return exit_next(TempTclCommand_cls, args[0], args + 1, nargs - 1);
}

PyObject *TempTclCommand_del(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TempTclCommand.__del__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref wrapped;
    const int registered = ortan::get_optional_attr(self, S.dunder_wrapped, wrapped);
    if (registered < 0)
        PyErr_Clear(); // any failure of the look-up counts as absent
    // Collected in another thread: the deletion is queued to the interpreter's thread.
    const int elsewhere = registered > 0 ? ortan::callbacks::delete_elsewhere(self) : 0;
    if (elsewhere < 0)
        return nullptr;
    // When the interpreter is gone, so is the command: a collection after that has nothing to
    // remove, and Python would only print the ReferenceError as an ignored exception.
    if (registered > 0 && elsewhere == 0 && !delete_quietly(self)) {
        if (!PyErr_ExceptionMatches(PyExc_ReferenceError))
            return nullptr;
        PyErr_Clear();
    }
    Ref next_del;
    const int found = next_attr(TempTclCommand_cls, self, S.dunder_del, next_del);
    if (found < 0 || (found && !ortan::call(next_del.get())))
        return nullptr;
    Py_RETURN_NONE;
}
// ---------------------------------------------------------------------------------------------
// TclNamespace

// Query words of the views, made once.
PyObject *words_own_vars;     // ("::apply", own_names_lambda, "vars")
PyObject *words_own_commands; // ("::apply", own_names_lambda, "commands")
PyObject *words_own_procs;    // ("::apply", own_names_lambda, "procs")
PyObject *words_current;      // ("namespace", "current")

bool init_namespace(PyObject *self, PyObject *ns, PyObject *tcl) {
    if (!init_next_plain(TclNamespace_cls, self, {TclNamespace_cls, TempTclNamespace_cls}))
        return false;
    Ref name = to_text(ns);
    if (!set_attr(self, S.ns, name.get()))
        return false;
    Ref host = host_proxy(self, tcl);
    if (!set_attr(self, S.tcl, host.get()))
        return false;
    struct View {
        PyObject *attr, *cls_name;
    };
    for (View view : {View{S.vars, S.VariablesView}, View{S.objs, S.ObjectsView},
                      View{S.procs, S.ProcsView}, View{S.cmds, S.CommandsView}}) {
        Ref cls = get_attr(TclNamespace_cls, view.cls_name);
        Ref made = cls ? ortan::call(cls.get(), {self}) : cls;
        if (!set_attr(self, view.attr, made.get()))
            return false;
    }
    return true;
}

PyObject *TclNamespace_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("__init__", args, nargs, kwnames, {"ns", "tcl"}, 1, a))
        return nullptr;
    if (!init_namespace(args[0], a[0], a[1]))
        return nullptr;
    Py_RETURN_NONE;
}

// self.ns, and whether it is true; false with an exception set on failure.
bool namespace_name(PyObject *self, Ref &name, bool &given) {
    name = get_attr(self, S.ns);
    if (!name)
        return false;
    const int truth = PyObject_IsTrue(name.get());
    given = truth > 0;
    return truth >= 0;
}

// *N*: self.ns when it is not empty, else self.current().
Ref namespace_or_current(PyObject *self) {
    Ref name;
    bool given = false;
    if (!namespace_name(self, name, given))
        return Ref();
    return given ? name : call_method(self, S.current);
}

// self.call(words)
Ref call_inside(PyObject *self, PyObject *words) { return call_method(self, S.call, {words}); }

// A tuple of `head` followed by `rest`.
Ref words_with(std::initializer_list<PyObject *> head, PyObject *const *rest, Py_ssize_t nrest) {
    const Py_ssize_t nhead = static_cast<Py_ssize_t>(head.size());
    Ref words = Ref::steal(PyTuple_New(nhead + nrest));
    if (!words)
        return words;
    Py_ssize_t i = 0;
    for (PyObject *word : head)
        PyTuple_SET_ITEM(words.get(), i++, Py_NewRef(word));
    for (Py_ssize_t j = 0; j < nrest; ++j)
        PyTuple_SET_ITEM(words.get(), i++, Py_NewRef(rest[j]));
    return words;
}

PyObject *TclNamespace_children(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1] = {nullptr};
    if (!parse_method_args("children", args, nargs, kwnames, {"pattern"}, 0, a))
        return nullptr;
    Ref words;
    if (is_none(a[0])) {
        words = tuple_of({S.w_namespace, S.w_children});
    } else {
        Ref pattern = to_text(a[0]);
        words = pattern ? tuple_of({S.w_namespace, S.w_children, pattern.get()}) : pattern;
    }
    Ref result = words ? call_inside(args[0], words.get()) : words;
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclNamespace_code(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("code", args, nargs, kwnames, {"script"}, 1, a))
        return nullptr;
    Ref words = tuple_of({S.w_namespace, S.w_code, a[0]});
    return words ? call_inside(args[0], words.get()).release() : nullptr;
}

PyObject *TclNamespace_current(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.current", nargs, kwnames))
        return nullptr;
    return tk_call(args[0], words_current).release();
}

PyObject *TclNamespace_create(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.create", nargs, kwnames))
        return nullptr;
    Ref name;
    bool given = false;
    if (!namespace_name(args[0], name, given))
        return nullptr;
    if (!given)
        return ortan::raise(PyExc_ValueError, "Cannot create current namespace").release();
    if (!call_method(args[0], S.eval, {S.empty}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclNamespace_delete(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.delete", nargs, kwnames))
        return nullptr;
    Ref name = namespace_or_current(args[0]);
    Ref words = name ? tuple_of({S.w_namespace, S.w_delete, name.get()}) : name;
    if (!words || !tk_call(args[0], words.get()))
        return nullptr;
    Py_RETURN_NONE;
}

// The command of call/eval: tclcmd, or (tclcmd,) + args; wrapped in `namespace eval` of the
// namespace's name when it is not empty.
Ref namespace_command(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    PyObject *tclcmd;
    if (!parse_flag_and_rest(fname, args, nargs, kwnames, "tclcmd", &tclcmd))
        return Ref();
    if (!tclcmd) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'tclcmd' (pos 1)", fname);
        return Ref();
    }
    Ref command = nargs > 2 ? words_with({tclcmd}, args + 2, nargs - 2) : Ref::borrow(tclcmd);
    Ref name;
    bool given = false;
    if (!command || !namespace_name(args[0], name, given))
        return Ref();
    if (!given)
        return command;
    return tuple_of({S.w_namespace, S.w_eval, name.get(), command.get()});
}

PyObject *TclNamespace_eval(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref command = namespace_command("eval", args, nargs, kwnames);
    Ref script = command ? ortan::call(scribe_fn, {command.get()}) : command;
    Ref tk = script ? tk_of(args[0]) : script;
    return tk ? call_method(tk.get(), S.eval, {script.get()}).release() : nullptr;
}

PyObject *TclNamespace_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref command = namespace_command("call", args, nargs, kwnames);
    Ref words = command ? to_tclobj(command.get()) : command;
    return words ? tk_call(args[0], words.get()).release() : nullptr;
}

PyObject *TclNamespace_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.exists", nargs, kwnames))
        return nullptr;
    Ref name = namespace_or_current(args[0]);
    Ref words = name ? tuple_of({S.w_namespace, S.w_exists, name.get()}) : name;
    Ref result = words ? tk_call(args[0], words.get()) : words;
    return host_cast(args[0], S.cast_boolean, result).release();
}

// ("namespace", sub[, flag_word when flag is true], *patterns), sent inside the namespace.
// `flag_or_patterns` tells whether the flag was true or patterns were given.
Ref flagged_namespace_call(const char *fname, const char *flag_name, PyObject *sub,
                           PyObject *flag_word, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, bool &flag_or_patterns) {
    PyObject *flag;
    if (!parse_flag_and_rest(fname, args, nargs, kwnames, flag_name, &flag))
        return Ref();
    const int set = flag ? PyObject_IsTrue(flag) : 0;
    if (set < 0)
        return Ref();
    PyObject *const *patterns = args + 2;
    const Py_ssize_t npatterns = nargs > 2 ? nargs - 2 : 0;
    Ref words = set ? words_with({S.w_namespace, sub, flag_word}, patterns, npatterns)
                    : words_with({S.w_namespace, sub}, patterns, npatterns);
    flag_or_patterns = set || npatterns > 0;
    return words ? call_inside(args[0], words.get()) : words;
}

PyObject *TclNamespace_export(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bool flag_or_patterns = false;
    Ref result = flagged_namespace_call("export", "clear", S.w_export, S.w_clear, args, nargs,
                                        kwnames, flag_or_patterns);
    if (!result)
        return nullptr;
    if (flag_or_patterns)
        Py_RETURN_NONE;
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclNamespace_forget(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("forget", kwnames))
        return nullptr;
    Ref words = words_with({S.w_namespace, S.w_forget}, args + 1, nargs - 1);
    if (!words || !call_inside(args[0], words.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclNamespace_import(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bool flag_or_patterns = false;
    if (!flagged_namespace_call("import_", "force", S.w_import, S.w_force, args, nargs, kwnames,
                                flag_or_patterns))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclNamespace_origin(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("origin", args, nargs, kwnames, {"command"}, 1, a))
        return nullptr;
    Ref words = tuple_of({S.w_namespace, S.w_origin, a[0]});
    return words ? call_inside(args[0], words.get()).release() : nullptr;
}

PyObject *TclNamespace_parent(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *a[1] = {nullptr};
    if (!parse_method_args("parent", args, nargs, kwnames, {"force_eval"}, 0, a))
        return nullptr;
    const int force = a[0] ? PyObject_IsTrue(a[0]) : 0;
    if (force < 0)
        return nullptr;
    if (force) {
        Ref absolute = call_method(self, S.is_absolute);
        const int truth = absolute ? PyObject_IsTrue(absolute.get()) : -1;
        if (truth < 0)
            return nullptr;
        if (truth) {
            Ref ns = get_attr(self, S.ns);
            Ref name = ns ? name_text(ns.get()) : ns;
            return name ? tcl_parent_of(name.get()).release() : nullptr;
        }
    }
    Ref name;
    bool given = false;
    if (!namespace_name(self, name, given))
        return nullptr;
    Ref words;
    if (given) {
        Ref word = to_tclobj(name.get());
        words = word ? tuple_of({S.w_namespace, S.w_parent, word.get()}) : word;
    } else {
        words = tuple_of({S.w_namespace, S.w_parent});
    }
    return words ? tk_call(self, words.get()).release() : nullptr;
}

PyObject *TclNamespace_which(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[3];
    if (!parse_method_args("which", args, nargs, kwnames, {"name", "command", "variable"}, 1, a))
        return nullptr;
    const int command = a[1] ? PyObject_IsTrue(a[1]) : 0;
    const int variable = command >= 0 && a[2] ? PyObject_IsTrue(a[2]) : 0;
    if (command < 0 || variable < 0)
        return nullptr;
    PyObject *words_buf[5] = {S.w_namespace, S.w_which};
    Py_ssize_t n = 2;
    if (command)
        words_buf[n++] = S.w_command_opt;
    if (variable)
        words_buf[n++] = S.w_variable_opt;
    words_buf[n++] = a[0];
    Ref words = words_with({}, words_buf, n);
    return words ? call_inside(args[0], words.get()).release() : nullptr;
}

// is_absolute / is_relative: the empty name itself when it is empty, else a bool.
PyObject *name_kind(PyObject *self, bool want_absolute) {
    Ref name;
    bool given = false;
    if (!namespace_name(self, name, given))
        return nullptr;
    if (!given)
        return name.release();
    const int absolute = starts_with_colons(name.get());
    if (absolute < 0)
        return nullptr;
    return PyBool_FromLong(want_absolute ? absolute : !absolute);
}

PyObject *TclNamespace_is_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.is_absolute", nargs, kwnames))
        return nullptr;
    return name_kind(args[0], true);
}

PyObject *TclNamespace_is_relative(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.is_relative", nargs, kwnames))
        return nullptr;
    return name_kind(args[0], false);
}

PyObject *TclNamespace_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.absolute", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref absolute = call_method(self, S.is_absolute);
    const int truth = absolute ? PyObject_IsTrue(absolute.get()) : -1;
    if (truth < 0)
        return nullptr;
    if (truth)
        return PyObject_GetAttr(self, S.ns);
    Ref current = call_method(self, S.current);
    Ref name = current ? get_attr(self, S.ns) : current;
    return name ? join2(current.get(), name.get()).release() : nullptr;
}

PyObject *TclNamespace_make_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_absolute(TclNamespace_cls, args, nargs, kwnames, S.ns);
}

PyObject *TclNamespace_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.__str__", nargs, kwnames))
        return nullptr;
    return PyObject_GetAttr(args[0], S.ns);
}

// The static name methods: args[0] is the first argument.
bool one_name_argument(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames, Ref &text) {
    PyObject *a[1];
    if (!ortan::parse_args(fname, args, static_cast<size_t>(nargs), kwnames, {"string"}, 1, a))
        return false;
    text = name_text(a[0]);
    return bool(text);
}

PyObject *TclNamespace_qualifiers(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("qualifiers", args, nargs, kwnames, text)
               ? qualifiers_text(text.get()).release()
               : nullptr;
}

PyObject *TclNamespace_tail(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("tail", args, nargs, kwnames, text) ? tail_text(text.get()).release()
                                                                 : nullptr;
}

PyObject *TclNamespace_join(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // join(string, *args): `string` by position, or by keyword when it is the only argument.
    PyObject *first;
    if (!bind_first("join", args, nargs, args + nargs, kwnames, "string", &first))
        return nullptr;
    if (!first)
        return ortan::raise(PyExc_TypeError, "join() missing required argument 'string' (pos 1)")
            .release();
    return join_names(first, args + 1, nargs > 1 ? nargs - 1 : 0).release();
}

PyObject *TclNamespace_split(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("split", args, nargs, kwnames, text) ? split_text(text.get()).release()
                                                                  : nullptr;
}

PyObject *TclNamespace_normalize(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("normalize", args, nargs, kwnames, text)
               ? normalize_text(text.get()).release()
               : nullptr;
}

// ---------------------------------------------------------------------------------------------
// TempTclNamespace

PyObject *TempTclNamespace_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return init_named_temporary(TempTclNamespace_cls, "ns", args, nargs, kwnames);
}

PyObject *TempTclNamespace_enter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref result = enter_next(TempTclNamespace_cls, args, nargs, kwnames);
    if (!result || !call_method(args[0], S.create))
        return nullptr;
    return result.release();
}

PyObject *TempTclNamespace_exit(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("__exit__", kwnames) || !delete_quietly(args[0]))
        return nullptr;
    return exit_next(TempTclNamespace_cls, args[0], args + 1, nargs - 1);
}
// ---------------------------------------------------------------------------------------------
// The views: TclNamespace.VariablesView, .ObjectsView, .CommandsView, .ProcsView

bool init_view(PyObject *cls, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames, std::initializer_list<PyObject *> exact) {
    PyObject *a[1];
    if (!parse_method_args("__init__", args, nargs, kwnames, {"ns"}, 1, a))
        return false;
    if (assertions_enabled) {
        const int ok = PyObject_IsInstance(a[0], TclNamespace_cls);
        if (ok <= 0) {
            if (ok == 0)
                PyErr_SetNone(PyExc_AssertionError);
            return false;
        }
    }
    return init_next_plain(cls, self, exact) && set_attr(self, S.ns, a[0]);
}

PyObject *VariablesView_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!init_view(VariablesView_cls, args[0], args, nargs, kwnames,
                   {VariablesView_cls, ObjectsView_cls}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *CommandsView_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!init_view(CommandsView_cls, args[0], args, nargs, kwnames,
                   {CommandsView_cls, ProcsView_cls}))
        return nullptr;
    Py_RETURN_NONE;
}

// join(self.ns, name) and self.ns.tcl, which a view's wrappers are made from; false with an
// exception set on failure.
bool view_target(PyObject *self, PyObject *name, Ref &qualified, Ref &tcl) {
    Ref ns = get_attr(self, S.ns);
    qualified = ns ? join2(ns.get(), name) : ns;
    tcl = qualified ? get_attr(ns.get(), S.tcl) : qualified;
    return bool(tcl);
}

// byref(self, <name_param>, *args, **kwargs): `maker(join(self.ns, name), *args,
// tcl=self.ns.tcl, **kwargs)`. When `takes_var_type`, a keyword `var_type` chooses the maker.
// For the command views (`whole_command_name`) the qualified name is one word: given without
// bound words, it goes as the one-word tuple (name,), which TclCommand does not split as a list.
PyObject *view_byref(const char *fname, const char *name_param, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, bool takes_var_type, PyObject *maker,
                     bool whole_command_name = false) {
    PyObject *self = args[0];
    PyObject *name = nargs > 1 ? args[1] : nullptr;
    PyObject *bound_words = nargs > 2 ? args[2] : nullptr; // TclCommand's `args`
    struct Keyword {
        PyObject *key, *value;
    };
    ortan::SmallArray<Keyword, 8> extra;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (takes_var_type && PyUnicode_Compare(key, S.var_type) == 0) {
            maker = value;
        } else if (PyUnicode_CompareWithASCIIString(key, name_param) == 0) {
            if (name) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                             name_param);
                return nullptr;
            }
            name = value;
        } else {
            if (PyUnicode_Compare(key, S.args) == 0)
                bound_words = value;
            if (!extra.push_back(Keyword{key, value}))
                return nullptr;
        }
    }
    if (!name) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos 1)", fname,
                     name_param);
        return nullptr;
    }
    Ref qualified, tcl;
    if (!view_target(self, name, qualified, tcl))
        return nullptr;
    if (maker == TclVariable_cls && nargs <= 2 && extra.empty())
        return new_variable(qualified.get(), tcl.get()).release();
    if (whole_command_name && is_none(bound_words) && !(qualified = tuple_of({qualified.get()})))
        return nullptr;
    CallArgs made;
    made.positional(qualified.get());
    if (nargs > 2)
        made.positional(args + 2, nargs - 2);
    made.keyword(S.tcl, tcl.get());
    for (const Keyword &kw : extra) {
        if (PyUnicode_Compare(kw.key, S.tcl) == 0) {
            raise_repeated_keyword(maker, S.tcl);
            return nullptr;
        }
        made.keyword(kw.key, kw.value);
    }
    return made.call(maker).release();
}

PyObject *VariablesView_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_byref("byref", "var_name", args, nargs, kwnames, true, TclVariable_cls);
}

PyObject *VariablesView_array_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs < 2 && !kwnames)
        return ortan::raise(PyExc_TypeError,
                            "array_byref() missing required argument 'var_name' (pos 1)")
            .release();
    CallArgs call;
    call.positional(args + 1, nargs - 1);
    call.keyword(S.var_type, TclArrayVariable_cls);
    if (kwnames) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Compare(key, S.var_type) == 0) {
                PyErr_SetString(PyExc_TypeError,
                                "byref() got multiple values for keyword argument 'var_type'");
                return nullptr;
            }
            call.keyword(key, args[nargs + k]);
        }
    }
    return call.call_method(args[0], S.byref).release();
}

bool is_own_variables_view(PyObject *self) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    return type == VariablesView_cls || type == ObjectsView_cls;
}

// self.byref(name): the wrapper one view method works on. The module's own variable views
// make the variable directly.
Ref view_item(PyObject *self, PyObject *name) {
    if (!is_own_variables_view(self))
        return call_method(self, S.byref, {name});
    Ref qualified, tcl;
    return view_target(self, name, qualified, tcl) ? new_variable(qualified.get(), tcl.get())
                                                   : Ref();
}

// VariablesView.get: self.byref(name).get_str()
Ref variables_view_get(PyObject *self, PyObject *name) {
    Ref variable = view_item(self, name);
    if (!variable)
        return variable;
    if (Py_TYPE(variable.get()) == reinterpret_cast<PyTypeObject *>(TclVariable_cls))
        return variable_get_str(variable.get(), nullptr);
    return call_method(variable.get(), S.get_str);
}

// self.byref(name).<method>(*values) with keyword names `kw` for the trailing values.
PyObject *view_delegate(PyObject *self, PyObject *name, PyObject *method,
                        std::initializer_list<PyObject *> values = {}, PyObject *kw = nullptr) {
    Ref item = view_item(self, name);
    return item ? call_method(item.get(), method, values, kw).release() : nullptr;
}

PyObject *none_or_null(PyObject *result) {
    if (!result)
        return nullptr;
    Py_DECREF(result);
    Py_RETURN_NONE;
}

PyObject *VariablesView_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (nargs == 2 && !kwnames)
        a[0] = args[1];
    else if (!parse_method_args("get", args, nargs, kwnames, {"var_name"}, 1, a))
        return nullptr;
    return variables_view_get(args[0], a[0]).release();
}

PyObject *VariablesView_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[3];
    if (!parse_method_args("set", args, nargs, kwnames, {"var_name", "value", "array_index"}, 2, a))
        return nullptr;
    return view_delegate(args[0], a[0], S.set, {a[1], arg_or(a[2], Py_None)}, kw_array_index);
}

PyObject *VariablesView_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[3];
    if (!parse_method_args("unset", args, nargs, kwnames, {"var_name", "array_index", "nocomplain"},
                           1, a))
        return nullptr;
    return none_or_null(view_delegate(args[0], a[0], S.unset,
                                      {arg_or(a[1], Py_None), arg_or(a[2], Py_False)},
                                      kw_array_index_nocomplain));
}

PyObject *VariablesView_array_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("array_get", args, nargs, kwnames, {"var_name", "pattern"}, 1, a))
        return nullptr;
    return view_delegate(args[0], a[0], S.array_get_str, {arg_or(a[1], Py_None)}, kw_pattern);
}

PyObject *VariablesView_array_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("array_set", args, nargs, kwnames, {"var_name", "value"}, 2, a))
        return nullptr;
    return none_or_null(view_delegate(args[0], a[0], S.array_set, {a[1]}));
}

PyObject *VariablesView_array_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("array_unset", args, nargs, kwnames, {"var_name", "pattern"}, 1, a))
        return nullptr;
    return none_or_null(
        view_delegate(args[0], a[0], S.array_unset, {arg_or(a[1], Py_None)}, kw_pattern));
}

PyObject *VariablesView_array_names(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("array_names", args, nargs, kwnames, {"var_name", "pattern"}, 1, a))
        return nullptr;
    return view_delegate(args[0], a[0], S.array_names, {arg_or(a[1], Py_None)}, kw_pattern);
}

PyObject *VariablesView_is_array(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("is_array", args, nargs, kwnames, {"var_name"}, 1, a))
        return nullptr;
    return view_delegate(args[0], a[0], S.is_array);
}

PyObject *VariablesView_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("exists", args, nargs, kwnames, {"var_name", "array_index"}, 1, a))
        return nullptr;
    return view_delegate(args[0], a[0], S.exists, {arg_or(a[1], Py_None)}, kw_array_index);
}

// `result` as it is; when it is null, a pending exception matching `a` or `b` (b may be null)
// becomes KeyError.
PyObject *as_key_error(PyObject *result, PyObject *a, PyObject *b) {
    if (!result && (PyErr_ExceptionMatches(a) || (b && PyErr_ExceptionMatches(b))))
        reraise_as_key_error();
    return result;
}

PyObject *key_argument(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    if (nargs == 2 && !kwnames)
        return args[1];
    PyObject *a[1];
    return parse_method_args(fname, args, nargs, kwnames, {"key"}, 1, a) ? a[0] : nullptr;
}

PyObject *VariablesView_getitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__getitem__", args, nargs, kwnames);
    if (!key)
        return nullptr;
    PyObject *self = args[0];
    Ref value = reinterpret_cast<PyObject *>(Py_TYPE(self)) == VariablesView_cls
                    ? variables_view_get(self, key)
                    : call_method(self, S.get, {key});
    return as_key_error(value.release(), tcl_error, PyExc_ValueError);
}

PyObject *view_contains(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__contains__", args, nargs, kwnames);
    return key ? call_method(args[0], S.exists, {key}).release() : nullptr;
}

// `key in view` of the variable views: true when view[key] reads a value, that is when the
// variable (or element) exists and is not an array.
PyObject *VariablesView_contains(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__contains__", args, nargs, kwnames);
    if (!key)
        return nullptr;
    Ref exists = call_method(args[0], S.exists, {key});
    const int truth = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (truth <= 0)
        return truth < 0 ? nullptr : Py_NewRef(Py_False);
    Ref array = call_method(args[0], S.is_array, {key});
    const int is_array = array ? PyObject_IsTrue(array.get()) : -1;
    return is_array < 0 ? nullptr : PyBool_FromLong(!is_array);
}

// The views' __setitem__: self.<method>(key, value).
PyObject *view_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject *method) {
    PyObject *a[2];
    if (!parse_method_args("__setitem__", args, nargs, kwnames, {"key", "value"}, 2, a))
        return nullptr;
    return none_or_null(call_method(args[0], method, {a[0], a[1]}).release());
}

// The views' __delitem__: self.<method>(key), a TclError raised as KeyError.
PyObject *view_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject *method) {
    PyObject *key = key_argument("__delitem__", args, nargs, kwnames);
    if (!key)
        return nullptr;
    return none_or_null(
        as_key_error(call_method(args[0], method, {key}).release(), tcl_error, nullptr));
}

PyObject *VariablesView_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_setitem(args, nargs, kwnames, S.set);
}

PyObject *VariablesView_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_delitem(args, nargs, kwnames, S.unset);
}

PyObject *view_len(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments_of(cls, "__len__", nargs, kwnames))
        return nullptr;
    return count_iteration(args[0]).release();
}

PyObject *VariablesView_len(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_len(VariablesView_cls, args, nargs, kwnames);
}

PyObject *view_iter(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject *words) {
    if (!no_arguments_of(cls, "__iter__", nargs, kwnames))
        return nullptr;
    return new_name_iterator(NameSource::view_query, args[0], words).release();
}

PyObject *VariablesView_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_iter(VariablesView_cls, args, nargs, kwnames, words_own_vars);
}

PyObject *ObjectsView_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("get", args, nargs, kwnames, {"var_name", "array_index"}, 1, a))
        return nullptr;
    return view_delegate(args[0], a[0], S.get_obj, {arg_or(a[1], Py_None)}, kw_array_index);
}

PyObject *ObjectsView_array_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("array_get", args, nargs, kwnames, {"var_name", "pattern"}, 1, a))
        return nullptr;
    return view_delegate(args[0], a[0], S.array_get_obj, {arg_or(a[1], Py_None)}, kw_pattern);
}

PyObject *CommandsView_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_byref("byref", "cmd_name", args, nargs, kwnames, false, TclCommand_cls, true);
}

// The command views' one-name methods: self.byref(cmd_name).<method>(*extra).
PyObject *command_view_method(const char *fname, PyObject *method, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames, bool returns_none) {
    PyObject *a[1];
    if (!parse_method_args(fname, args, nargs, kwnames, {"cmd_name"}, 1, a))
        return nullptr;
    PyObject *result = view_delegate(args[0], a[0], method);
    return returns_none ? none_or_null(result) : result;
}

// `name` with the glob characters of its last component escaped: the pattern of `info commands`
// or `info procs` that matches the command of that very name (their namespace part is never a
// pattern).
Ref literal_command_pattern(PyObject *name) {
    if (!PyUnicode_Check(name) || !ready(name))
        return PyErr_Occurred() ? Ref() : Ref::borrow(name);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    const Py_ssize_t colons = PyUnicode_Find(name, S.colons, 0, n, -1);
    if (colons == -2)
        return Ref();
    const Py_ssize_t tail = colons < 0 ? 0 : colons + 2;
    auto is_glob = [](Py_UCS4 ch) {
        return ch == '*' || ch == '?' || ch == '[' || ch == ']' || ch == '\\';
    };
    Py_ssize_t first = -1;
    for (Py_ssize_t i = tail; i < n && first < 0; ++i)
        if (is_glob(PyUnicode_READ_CHAR(name, i)))
            first = i;
    if (first < 0)
        return Ref::borrow(name);
    ortan::TextWriter out(n + 8);
    bool ok = out.ok() && out.put_range(name, 0, first);
    for (Py_ssize_t i = first; i < n && ok; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(name, i);
        ok = (!is_glob(ch) || out.put('\\')) && out.put(ch);
    }
    return ok ? out.finish() : Ref();
}

// The command views' existence tests: self.byref(cmd_name), asked with `info <sub>` about its
// name taken literally, so that a name with glob characters is only itself.
PyObject *command_view_exists(PyObject *sub, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("exists", args, nargs, kwnames, {"cmd_name"}, 1, a))
        return nullptr;
    Ref command = view_item(args[0], a[0]);
    Ref name = command ? get_attr(command.get(), S.cmd_name) : command;
    Ref pattern = name ? literal_command_pattern(name.get()) : name;
    Ref words = pattern ? tuple_of({S.w_info, sub, pattern.get()}) : pattern;
    return as_bool(words ? tk_call(command.get(), words.get()) : words);
}

PyObject *CommandsView_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_exists(S.w_commands, args, nargs, kwnames);
}

PyObject *CommandsView_createcommand(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("createcommand", args, nargs, kwnames, {"cmd_name", "func"}, 2, a))
        return nullptr;
    return none_or_null(view_delegate(args[0], a[0], S.createcommand, {a[1]}));
}

PyObject *CommandsView_delete(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("delete", S.delete_, args, nargs, kwnames, true);
}

PyObject *CommandsView_rename(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("rename", args, nargs, kwnames, {"cmd_name", "new_name"}, 2, a))
        return nullptr;
    Ref ns = get_attr(args[0], S.ns);
    Ref new_name = ns ? join2(ns.get(), a[1]) : ns;
    if (!new_name)
        return nullptr;
    return none_or_null(view_delegate(args[0], a[0], S.rename, {new_name.get()}));
}

PyObject *CommandsView_origin(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("origin", S.origin, args, nargs, kwnames, false);
}

PyObject *CommandsView_proc_body(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("proc_body", S.proc_body, args, nargs, kwnames, false);
}

PyObject *CommandsView_proc_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("proc_args", S.proc_args, args, nargs, kwnames, false);
}

PyObject *CommandsView_proc_arg_default(PyObject *const *args, Py_ssize_t nargs,
                                        PyObject *kwnames) {
    PyObject *a[2];
    if (!parse_method_args("proc_arg_default", args, nargs, kwnames, {"cmd_name", "arg_name"}, 2,
                           a))
        return nullptr;
    return view_delegate(args[0], a[0], S.proc_arg_default, {a[1]});
}

PyObject *CommandsView_getitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__getitem__", args, nargs, kwnames);
    return key ? view_item(args[0], key).release() : nullptr;
}

PyObject *CommandsView_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_setitem(args, nargs, kwnames, S.createcommand);
}

PyObject *CommandsView_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_delitem(args, nargs, kwnames, S.delete_);
}

PyObject *CommandsView_len(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_len(CommandsView_cls, args, nargs, kwnames);
}

// Whether two values of command mappings stand for the same command: equal, or TclCommand
// objects of one class that send the same words to the same interpreter (a view makes a new
// object for every look-up). -1 with an exception set.
int same_command(PyObject *a, PyObject *b) {
    if (a == b)
        return 1;
    const int a_command = PyObject_IsInstance(a, TclCommand_cls);
    const int b_command = a_command < 0 ? -1 : PyObject_IsInstance(b, TclCommand_cls);
    if (b_command < 0)
        return -1;
    if (!a_command || !b_command)
        return PyObject_RichCompareBool(a, b, Py_EQ);
    if (Py_TYPE(a) != Py_TYPE(b))
        return 0;
    Ref a_tcl = get_attr(a, S.tcl);
    Ref b_tcl = a_tcl ? get_attr(b, S.tcl) : a_tcl;
    Ref a_host = b_tcl ? ortan::unproxied(a_tcl.get()) : b_tcl;
    Ref b_host = a_host ? ortan::unproxied(b_tcl.get()) : a_host;
    if (!b_host)
        return -1;
    if (a_host.get() != b_host.get())
        return 0;
    Ref a_words = call_method(a, S.build_tclcmd);
    Ref b_words = a_words ? call_method(b, S.build_tclcmd) : a_words;
    return b_words ? PyObject_RichCompareBool(a_words.get(), b_words.get(), Py_EQ) : -1;
}

// dict(mapping.items())
Ref dict_of_items(PyObject *mapping) {
    Ref items = call_method(mapping, S.items);
    return items ? ortan::call(reinterpret_cast<PyObject *>(&PyDict_Type), {items.get()}) : items;
}

// view == other, as Mapping compares (the same keys, equal values), with commands compared by
// what they run: so a command view equals itself and the dict made of it.
PyObject *CommandsView_eq(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!parse_method_args("__eq__", args, nargs, kwnames, {"other"}, 1, a))
        return nullptr;
    const int mapping = PyObject_IsInstance(a[0], mapping_abc);
    if (mapping <= 0)
        return mapping < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
    Ref mine = dict_of_items(args[0]);
    Ref theirs = mine ? dict_of_items(a[0]) : mine;
    if (!theirs)
        return nullptr;
    if (PyDict_GET_SIZE(mine.get()) != PyDict_GET_SIZE(theirs.get()))
        Py_RETURN_FALSE;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(mine.get(), &pos, &key, &value)) {
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        PyObject *other = PyDict_GetItemWithError(theirs.get(), key);
        if (!other)
            return PyErr_Occurred() ? nullptr : Py_NewRef(Py_False);
        Ref held_other = Ref::borrow(other);
        const int same = same_command(value, other);
        if (same <= 0)
            return same < 0 ? nullptr : Py_NewRef(Py_False);
    }
    Py_RETURN_TRUE;
}

PyObject *CommandsView_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_iter(CommandsView_cls, args, nargs, kwnames, words_own_commands);
}

PyObject *ProcsView_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_exists(S.w_procs, args, nargs, kwnames);
}

PyObject *ProcsView_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_iter(ProcsView_cls, args, nargs, kwnames, words_own_procs);
}
// ---------------------------------------------------------------------------------------------
// Classes

using ortan::MethodDef;

// ns[alias] = ns[name]: the very same function under a second name.
bool add_alias(PyObject *ns, const char *alias, const char *name) {
    PyObject *fn = PyDict_GetItemString(ns, name);
    return fn && PyDict_SetItemString(ns, alias, fn) == 0;
}

// metaclass(name, bases, ns) for a class of this module; the namespace is filled by `fill`.
template <class Fill>
PyObject *make_class(PyObject *metaclass, const char *name, const char *qualname, const char *doc,
                     std::initializer_list<PyObject *> bases, Fill &&fill) {
    Ref ns = ortan::new_class_namespace(module_name, qualname, doc);
    Ref base_tuple = ns ? tuple_of(bases) : ns;
    if (!base_tuple || !fill(ns.get(), qualname))
        return nullptr;
    return ortan::build_class(metaclass, name, base_tuple.get(), ns.get()).release();
}

// make_class for a namespace of `methods` alone, in order.
PyObject *make_class(PyObject *metaclass, const char *name, const char *qualname, const char *doc,
                     std::initializer_list<PyObject *> bases,
                     std::initializer_list<MethodDef> methods) {
    return make_class(
        metaclass, name, qualname, doc, bases,
        [methods](PyObject *ns, const char *q) { return ortan::add_methods(ns, methods, q); });
}

PyObject *type_meta() { return reinterpret_cast<PyObject *>(&PyType_Type); }
PyObject *object_base() { return reinterpret_cast<PyObject *>(&PyBaseObject_Type); }

// inspect.Parameter(name, POSITIONAL_OR_KEYWORD[, default=value]).
Ref make_parameter(PyObject *parameter_cls, PyObject *kind, const char *name, PyObject *value) {
    Ref pyname = ortan::text(name);
    if (!pyname)
        return pyname;
    PyObject *args[] = {pyname.get(), kind, value};
    Ref kwnames = value ? Ref::steal(Py_BuildValue("(s)", "default")) : Ref();
    if (value && !kwnames)
        return kwnames;
    return Ref::steal(PyObject_Vectorcall(parameter_cls, args, 2, kwnames.get()));
}

// get_obj's default `cast` is the private marker object, which a text signature cannot name:
// its signature (shared by the alias `get`) is built as an inspect.Signature instead.
bool set_get_obj_signature() {
    Ref parameter_cls = ortan::import_attr("inspect", "Parameter");
    Ref signature_cls = ortan::import_attr("inspect", "Signature");
    Ref kind =
        parameter_cls ? ortan::get_attr(parameter_cls.get(), "POSITIONAL_OR_KEYWORD") : Ref();
    if (!signature_cls || !kind)
        return false;
    Ref params[] = {make_parameter(parameter_cls.get(), kind.get(), "self", nullptr),
                    make_parameter(parameter_cls.get(), kind.get(), "array_index", Py_None),
                    make_parameter(parameter_cls.get(), kind.get(), "cast", marker)};
    for (const Ref &p : params)
        if (!p)
            return false;
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return false;
    for (const Ref &p : params)
        if (PyList_Append(list.get(), p.get()) < 0)
            return false;
    Ref signature = ortan::call(signature_cls.get(), {list.get()});
    Ref method = signature ? ortan::get_attr(TclVariable_cls, S.get_obj) : Ref();
    return method && PyObject_SetAttrString(method.get(), "__signature__", signature.get()) == 0;
}

bool make_variable_classes() {
    TclVariable_cls = make_class(
        type_meta(), "TclVariable", "TclVariable",
        "A Tcl variable, array or array element of an interpreter, known by its name.\n\n"
        "Attributes: ``tcl`` (a weak proxy of the interpreter), ``cast`` (the default\n"
        "conversion of get_obj) and ``var_name``. No value is cached: every method asks Tcl.",
        {object_base()}, [](PyObject *ns, const char *q) {
            marker = PyBaseObject_Type.tp_alloc(&PyBaseObject_Type, 0);
            if (!marker || PyDict_SetItemString(ns, "_TclVariable__marker", marker) < 0)
                return false;
            return ortan::add_methods(
                       ns,
                       {{"__init__", TclVariable_init,
                         "($self, var_name, array_index=None, tcl=None, cast=None)", nullptr},
                        {"get_obj", TclVariable_get_obj, nullptr,
                         "get_obj(array_index=None, cast=<marker>): the value as the\n"
                         "interpreter returns it, converted by `cast`; self.cast when no cast\n"
                         "is given (the default is TclVariable._TclVariable__marker), and None\n"
                         "means no conversion."}},
                       q) &&
                   add_alias(ns, "get", "get_obj") &&
                   ortan::add_methods(
                       ns,
                       {{"get_str", TclVariable_get_str, "($self, array_index=None)",
                         "The value as Tcl text."},
                        {"set", TclVariable_set, "($self, value, array_index=None)",
                         "Sets the variable (or element) to tclobj(value)."},
                        {"unset", TclVariable_unset, "($self, array_index=None, nocomplain=False)",
                         "Removes the variable (or element)."},
                        {"exists", TclVariable_exists, "($self, array_index=None)",
                         "Whether the variable (or element) exists."},
                        {"array_item_byref", TclVariable_array_item_byref,
                         "($self, array_index, cast=None)",
                         "A TclVariable for one element of this array."},
                        {"array_get_obj", TclVariable_array_get_obj, "($self, pattern=None)",
                         "The array's elements (``array get``), as objects."}},
                       q) &&
                   add_alias(ns, "array_get", "array_get_obj") &&
                   ortan::add_methods(
                       ns,
                       {{"array_get_str", TclVariable_array_get_str, "($self, pattern=None)",
                         "The array's elements (``array get``), as text."},
                        {"array_set", TclVariable_array_set, "($self, value)",
                         "``array set`` with a mapping, a flat sequence or list text."},
                        {"array_unset", TclVariable_array_unset, "($self, pattern=None)",
                         "``array unset``."},
                        {"array_size", TclVariable_array_size, "($self)",
                         "``array size``, as the interpreter returns it."},
                        {"array_names", TclVariable_array_names, "($self, pattern=None)",
                         "``array names``, as a sequence."},
                        {"is_array", TclVariable_is_array, "($self)", "``array exists``."},
                        {"absolute", TclVariable_absolute, "($self)",
                         "The name made absolute against the current namespace."},
                        {"make_absolute", TclVariable_make_absolute, "($self)",
                         "Replaces var_name by its absolute form."},
                        {"__str__", TclVariable_str, "($self, /)", nullptr},
                        {"__tclobj__", TclVariable_tclobj, "($self, /)",
                         "The variable's name: a variable passed as a Tcl word is its name."},
                        {"__repr__", TclVariable_repr, "($self, /)", nullptr}},
                       q);
        });
    if (!TclVariable_cls || !set_get_obj_signature())
        return false;
    if (!(variable_init_fn = ortan::defined_init(TclVariable_cls).release()))
        return false;

    TempTclVariable_cls =
        make_class(type_meta(), "TempTclVariable", "TempTclVariable",
                   "A Tcl variable with a unique name that is removed when its `with` block ends.",
                   {TclVariable_cls},
                   {{"__init__", TempTclVariable_init,
                     "($self, var_name='::__ortan__{cls}_{id}_tmp', **kwargs)", nullptr},
                    {"__enter__", TempTclVariable_enter, "($self, /)", nullptr},
                    {"__exit__", TempTclVariable_exit, "($self, /, *exc_info)", nullptr}});
    if (!TempTclVariable_cls)
        return false;

    TclArrayVariable_cls = make_class(
        abc_meta, "TclArrayVariable", "TclArrayVariable",
        "A Tcl array as a mutable mapping of element names to values.\n\n"
        "``get`` is ``get_obj``: its second argument is a conversion, not a default.",
        {mutable_mapping, TclVariable_cls}, [](PyObject *ns, const char *q) {
            Ref get = ortan::get_attr(TclVariable_cls, "get");
            return get &&
                   ortan::add_methods(ns,
                                      {{"__init__", TclArrayVariable_init,
                                        "($self, var_name, tcl=None, cast=None)", nullptr}},
                                      q) &&
                   PyDict_SetItemString(ns, "get", get.get()) == 0 &&
                   ortan::add_methods(
                       ns,
                       {{"__len__", TclArrayVariable_len, "($self, /)", nullptr},
                        {"__iter__", TclArrayVariable_iter, "($self, /)", nullptr},
                        {"__contains__", TclArrayVariable_contains, "($self, key, /)", nullptr},
                        {"__getitem__", TclArrayVariable_getitem, "($self, key, /)", nullptr},
                        {"__setitem__", TclArrayVariable_setitem, "($self, key, value, /)",
                         nullptr},
                        {"__delitem__", TclArrayVariable_delitem, "($self, key, /)", nullptr},
                        {"clear", TclArrayVariable_clear, "($self)",
                         "Removes every element (``array unset``)."},
                        {"update", TclArrayVariable_update, "($self, other=(), /, **kwargs)",
                         "Sets all pairs with one ``array set``."}},
                       q);
        });
    if (!TclArrayVariable_cls)
        return false;

    TempTclArrayVariable_cls =
        make_class(abc_meta, "TempTclArrayVariable", "TempTclArrayVariable",
                   "A Tcl array with a unique name that is removed when its `with` block ends.",
                   {TempTclVariable_cls, TclArrayVariable_cls}, {});
    return TempTclArrayVariable_cls != nullptr;
}

bool make_command_classes() {
    TclCommand_cls = make_class(
        type_meta(), "TclCommand", "TclCommand",
        "A Tcl command of an interpreter, with words and options bound in advance.\n\n"
        "Calling it runs the command: positional arguments become words, keyword arguments\n"
        "``-name value`` options after them. In a class body it acts as a method.",
        {object_base()}, [](PyObject *ns, const char *q) {
            if (!ortan::add_methods(
                    ns,
                    {{"__init__", TclCommand_init,
                      "($self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)",
                      nullptr},
                     {"createcommand", TclCommand_createcommand, "($self, func)",
                      "Registers the Python callable `func` as this Tcl command."},
                     {"exists", TclCommand_exists, "($self)", "Whether the command exists."},
                     {"is_command", TclCommand_is_command, "($self)",
                      "Whether the command exists and is not a procedure."},
                     {"is_proc", TclCommand_is_proc, "($self)",
                      "Whether the command is a procedure."},
                     {"rename", TclCommand_rename, "($self, new_name)",
                      "Renames the command; cmd_name follows."},
                     {"delete", TclCommand_delete, "($self)", "Deletes the command."},
                     {"origin", TclCommand_origin, "($self)", "``namespace origin``."},
                     {"proc_body", TclCommand_proc_body, "($self)", "``info body``."},
                     {"proc_args", TclCommand_proc_args, "($self)", "``info args``."},
                     {"proc_arg_default", TclCommand_proc_arg_default, "($self, arg_name)",
                      "The default of a procedure argument, or None."},
                     {"build_tclcmd", TclCommand_build_tclcmd, "($self, *args, **kwargs)",
                      "The full word tuple of a call."}},
                    q))
                return false;
            if (!ortan::add_staticmethod(ns,
                                         {"kwargs_to_dashed_args", TclCommand_kwargs_to_dashed_args,
                                          "(**kwargs)",
                                          "The keywords as (\"-\" + key, value) word pairs."},
                                         q))
                return false;
            // Kept to recognise the module's own function in build_tclcmd.
            PyObject *wrapper = PyDict_GetItemString(ns, "kwargs_to_dashed_args");
            dashed_args_fn = wrapper ? PyObject_GetAttrString(wrapper, "__func__") : nullptr;
            if (!dashed_args_fn)
                return false;
            return ortan::add_methods(
                ns,
                {{"call", TclCommand_call, "($self, *args, **kwargs)",
                  "Runs the command (logged when a logger is set)."},
                 {"__call__", TclCommand_dunder_call, "($self, /, *args, **kwargs)", nullptr},
                 {"eval", TclCommand_eval, "($self, *args, **kwargs)",
                  "Runs the command as one list text through eval."},
                 {"absolute", TclCommand_absolute, "($self)",
                  "The name made absolute against the current namespace."},
                 {"make_absolute", TclCommand_make_absolute, "($self)",
                  "Replaces cmd_name by its absolute form."},
                 {"__repr__", TclCommand_repr, "($self, /)", nullptr},
                 {"__str__", TclCommand_str, "($self, /)", nullptr},
                 {"__tclobj__", TclCommand_tclobj, "($self, /)", "The word tuple."},
                 {"__get__", TclCommand_get, "($self, instance, owner=None, /)", nullptr}},
                q);
        });
    if (!TclCommand_cls)
        return false;
    reinterpret_cast<PyTypeObject *>(TclCommand_cls)->tp_call =
        ortan::unpacked_call_slot<TclCommand_dunder_call>;

    TempTclCommand_cls = make_class(
        type_meta(), "TempTclCommand", "TempTclCommand",
        "A Python callable registered as a Tcl command under a unique name; the command is\n"
        "deleted when the `with` block ends (or when the object is collected, if it registered\n"
        "a callable).",
        {TclCommand_cls},
        {{"__init__", TempTclCommand_init,
          "($self, func=None, cmd_name='::__ortan__{cls}_{id}_tmp', **kwargs)", nullptr},
         {"__enter__", TempTclCommand_enter, "($self, /)", nullptr},
         {"__exit__", TempTclCommand_exit, "($self, /, *exc_info)", nullptr},
         {"__del__", TempTclCommand_del, "($self, /)", nullptr}});
    if (!TempTclCommand_cls)
        return false;
    reinterpret_cast<PyTypeObject *>(TempTclCommand_cls)->tp_call =
        ortan::unpacked_call_slot<TclCommand_dunder_call>;
    return true;
}

bool make_view_classes() {
    VariablesView_cls = make_class(
        abc_meta, "VariablesView", "TclNamespace.VariablesView",
        "The variables of a namespace as a mutable mapping of names to values as text.",
        {mutable_mapping},
        {{"__init__", VariablesView_init, "($self, ns)", nullptr},
         {"byref", VariablesView_byref, "($self, var_name, *args, **kwargs)",
          "A variable object for the qualified name (var_type=TclVariable)."},
         {"array_byref", VariablesView_array_byref, "($self, var_name, *args, **kwargs)",
          "A TclArrayVariable for the qualified name."},
         {"get", VariablesView_get, "($self, var_name)", "The value as text."},
         {"set", VariablesView_set, "($self, var_name, value, array_index=None)", nullptr},
         {"unset", VariablesView_unset, "($self, var_name, array_index=None, nocomplain=False)",
          nullptr},
         {"array_get", VariablesView_array_get, "($self, var_name, pattern=None)", nullptr},
         {"array_set", VariablesView_array_set, "($self, var_name, value)", nullptr},
         {"array_unset", VariablesView_array_unset, "($self, var_name, pattern=None)", nullptr},
         {"array_names", VariablesView_array_names, "($self, var_name, pattern=None)", nullptr},
         {"is_array", VariablesView_is_array, "($self, var_name)", nullptr},
         {"exists", VariablesView_exists, "($self, var_name, array_index=None)", nullptr},
         {"__getitem__", VariablesView_getitem, "($self, key, /)", nullptr},
         {"__contains__", VariablesView_contains, "($self, key, /)", nullptr},
         {"__setitem__", VariablesView_setitem, "($self, key, value, /)", nullptr},
         {"__delitem__", VariablesView_delitem, "($self, key, /)", nullptr},
         {"__len__", VariablesView_len, "($self, /)", nullptr},
         {"__iter__", VariablesView_iter, "($self, /)", nullptr}});
    if (!VariablesView_cls)
        return false;

    ObjectsView_cls = make_class(
        abc_meta, "ObjectsView", "TclNamespace.ObjectsView",
        "The variables of a namespace as a mutable mapping of names to values as objects.",
        {VariablesView_cls},
        {{"get", ObjectsView_get, "($self, var_name, array_index=None)",
          "The value as the interpreter returns it."},
         {"array_get", ObjectsView_array_get, "($self, var_name, pattern=None)", nullptr}});
    if (!ObjectsView_cls)
        return false;

    CommandsView_cls = make_class(
        abc_meta, "CommandsView", "TclNamespace.CommandsView",
        "The commands of a namespace as a mutable mapping of names to TclCommand objects.",
        {mutable_mapping},
        {{"__init__", CommandsView_init, "($self, ns)", nullptr},
         {"byref", CommandsView_byref, "($self, cmd_name, *args, **kwargs)",
          "A TclCommand for the qualified name."},
         {"exists", CommandsView_exists, "($self, cmd_name)", nullptr},
         {"createcommand", CommandsView_createcommand, "($self, cmd_name, func)", nullptr},
         {"delete", CommandsView_delete, "($self, cmd_name)", nullptr},
         {"rename", CommandsView_rename, "($self, cmd_name, new_name)", nullptr},
         {"origin", CommandsView_origin, "($self, cmd_name)", nullptr},
         {"proc_body", CommandsView_proc_body, "($self, cmd_name)", nullptr},
         {"proc_args", CommandsView_proc_args, "($self, cmd_name)", nullptr},
         {"proc_arg_default", CommandsView_proc_arg_default, "($self, cmd_name, arg_name)",
          nullptr},
         {"__getitem__", CommandsView_getitem, "($self, key, /)", nullptr},
         {"__contains__", view_contains, "($self, key, /)", nullptr},
         {"__setitem__", CommandsView_setitem, "($self, key, value, /)", nullptr},
         {"__delitem__", CommandsView_delitem, "($self, key, /)", nullptr},
         {"__len__", CommandsView_len, "($self, /)", nullptr},
         {"__eq__", CommandsView_eq, "($self, other, /)", nullptr},
         {"__iter__", CommandsView_iter, "($self, /)", nullptr}});
    if (!CommandsView_cls)
        return false;

    ProcsView_cls = make_class(
        abc_meta, "ProcsView", "TclNamespace.ProcsView",
        "The procedures of a namespace: a CommandsView that tests for and lists procedures.",
        {CommandsView_cls},
        {{"exists", ProcsView_exists, "($self, cmd_name)", nullptr},
         {"__iter__", ProcsView_iter, "($self, /)", nullptr}});
    return ProcsView_cls != nullptr;
}

bool make_namespace_classes() {
    if (!make_view_classes())
        return false;
    TclNamespace_cls = make_class(
        type_meta(), "TclNamespace", "TclNamespace",
        "A Tcl namespace of an interpreter, known by its name (empty: the current namespace).\n\n"
        "Attributes: ``ns``, ``tcl`` and the views ``vars``, ``objs``, ``procs``, ``cmds``.",
        {object_base()}, [](PyObject *ns, const char *q) {
            if (PyDict_SetItemString(ns, "VariablesView", VariablesView_cls) < 0 ||
                PyDict_SetItemString(ns, "ObjectsView", ObjectsView_cls) < 0 ||
                PyDict_SetItemString(ns, "CommandsView", CommandsView_cls) < 0 ||
                PyDict_SetItemString(ns, "ProcsView", ProcsView_cls) < 0)
                return false;
            if (!ortan::add_methods(
                    ns,
                    {{"__init__", TclNamespace_init, "($self, ns, tcl=None)", nullptr},
                     {"children", TclNamespace_children, "($self, pattern=None)",
                      "``namespace children``, as a sequence."},
                     {"code", TclNamespace_code, "($self, script)", "``namespace code``."},
                     {"current", TclNamespace_current, "($self)", "``namespace current``."},
                     {"create", TclNamespace_create, "($self)",
                      "Creates the namespace (and missing parents)."},
                     {"delete", TclNamespace_delete, "($self)", "Deletes the namespace."},
                     {"eval", TclNamespace_eval, "($self, tclcmd, *args)",
                      "Evaluates a script or command inside the namespace."},
                     {"call", TclNamespace_call, "($self, tclcmd, *args)",
                      "Calls a command inside the namespace."},
                     {"exists", TclNamespace_exists, "($self)", "``namespace exists``."},
                     {"export", TclNamespace_export, "($self, clear=False, *patterns)",
                      "``namespace export``; without arguments, the export list."},
                     {"forget", TclNamespace_forget, "($self, *patterns)", "``namespace forget``."},
                     {"import_", TclNamespace_import, "($self, force=False, *patterns)",
                      "``namespace import``."},
                     {"origin", TclNamespace_origin, "($self, command)", "``namespace origin``."},
                     {"parent", TclNamespace_parent, "($self, force_eval=False)",
                      "``namespace parent``; with force_eval, an absolute name is answered\n"
                      "from the name alone."},
                     {"which", TclNamespace_which, "($self, name, command=False, variable=False)",
                      "``namespace which``."},
                     {"is_absolute", TclNamespace_is_absolute, "($self)", nullptr},
                     {"is_relative", TclNamespace_is_relative, "($self)", nullptr},
                     {"absolute", TclNamespace_absolute, "($self)",
                      "The name made absolute against the current namespace."},
                     {"make_absolute", TclNamespace_make_absolute, "($self)",
                      "Replaces ns by its absolute form."},
                     {"__str__", TclNamespace_str, "($self, /)", nullptr}},
                    q))
                return false;
            for (const MethodDef &def :
                 {MethodDef{"qualifiers", TclNamespace_qualifiers, "(string)",
                            "The name without its last component."},
                  MethodDef{"tail", TclNamespace_tail, "(string)",
                            "The last component of the name."},
                  MethodDef{"join", TclNamespace_join, "(string, *args)",
                            "Joins names; an absolute one restarts. The result is normalised."},
                  MethodDef{"split", TclNamespace_split, "(string)",
                            "The components; an absolute name starts with ''."},
                  MethodDef{"normalize", TclNamespace_normalize, "(string)",
                            "The name without empty components; '::' gives ''."}})
                if (!ortan::add_staticmethod(ns, def, q))
                    return false;
            return true;
        });
    if (!TclNamespace_cls)
        return false;

    TempTclNamespace_cls =
        make_class(type_meta(), "TempTclNamespace", "TempTclNamespace",
                   "A Tcl namespace with a unique name that exists while its `with` block runs.",
                   {TclNamespace_cls},
                   {{"__init__", TempTclNamespace_init,
                     "($self, ns='::__ortan__{cls}_{id}_tmp', **kwargs)", nullptr},
                    {"__enter__", TempTclNamespace_enter, "($self, /)", nullptr},
                    {"__exit__", TempTclNamespace_exit, "($self, /, *exc_info)", nullptr}});
    return TempTclNamespace_cls != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Module init: constants, imports, classes

bool init_constants() {
#define ORTAN_INTERNED(id, text) {&S.id, text},
    if (!ortan::intern_all({ORTAN_NAMESPACE_STRINGS(ORTAN_INTERNED)}))
        return false;
#undef ORTAN_INTERNED
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
    abc_meta = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(mutable_mapping)));
    if (!(mapping_abc = import_attr("collections.abc", "Mapping").release()))
        return false;
    if (!(weak_proxy = import_attr("weakref", "proxy").release()) ||
        !(tkinter_misc = import_attr("tkinter", "Misc").release()) ||
        !(update_wrapper = import_attr("functools", "update_wrapper").release()))
        return false;
    if (PyType_Ready(&name_iterator_type) < 0)
        return false;
    if (!ortan::callbacks::init(module)) // Python callbacks as Tcl commands, _callback_error
        return false;

    const char *const all[] = {"TclVariable",          "TempTclVariable", "TclArrayVariable",
                               "TempTclArrayVariable", "TclCommand",      "TempTclCommand",
                               "TclNamespace",         "TempTclNamespace"};
    Ref all_names = Ref::steal(PyTuple_New(8));
    if (!all_names)
        return false;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        PyObject *name = PyUnicode_FromString(all[i]);
        if (!name)
            return false;
        PyTuple_SET_ITEM(all_names.get(), i, name);
    }
    if (!bind(module, "__all__", all_names))
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

} // namespace

PyMODINIT_FUNC PyInit_namespace() { return ortan::create_module(module_def, init_module); }

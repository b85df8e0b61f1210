// ortan.tcl.namespace: what its family files share (interned names, imported objects, the
// classes, and the helpers every family uses).
#pragma once

#include "support.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>

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
//
// The module is one extension made of several files, one per family (names, variables,
// commands, namespaces, views, callbacks) and the module init in tcl/namespace.cpp. What they
// share is declared here, in the named namespace ortan_namespace (an anonymous namespace would
// not reach across files); the helpers on the hot paths are defined here, inline.

namespace ortan_namespace {

using ortan::bind;
using ortan::bind_first;
using ortan::call_method;
using ortan::get_attr;
using ortan::MethodDef;
using ortan::no_arguments;
using ortan::parse_flag_and_rest;
using ortan::parse_method_args;
using ortan::parse_with_kwargs;
using ortan::Ref;
using ortan::set_attr;
using ortan::text_ready;

// ---------------------------------------------------------------------------------------------
// Module constants, set once by the module init and never changed afterwards.

constexpr const char *module_name = "ortan.tcl.namespace";
constexpr const char *package_name = "ortan.tcl";

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

// Interned identifiers and Tcl words. Where one text stands under two identifiers (`set` and
// `w_set`, `vars` and `w_vars`, ...), the plain one is a Python attribute or keyword name and the
// `w_` one the same text as a Tcl word, so each use says which role it plays.
#define NAMESPACE_NAMES(X)                                                                         \
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
    X(w_eval_global, "::eval")                                                                     \
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

ORTAN_NAME_TABLE(Names, NAMESPACE_NAMES)
extern Names S;

// Imported objects.
extern PyObject *mutable_mapping; // collections.abc.MutableMapping
extern PyObject *mapping_abc;     // collections.abc.Mapping
extern PyObject *scribe_fn;       // ortan.tcl.scribe.scribe
extern PyObject *tclobj_fn;       // ortan.tcl.scribe.tclobj
extern PyObject *tcl_error;       // tkinter.TclError
extern PyObject *method_type;     // types.MethodType
extern PyObject *weak_proxy;      // weakref.proxy
extern PyObject *tkinter_misc;    // tkinter.Misc, the base of Tk, Tcl() and every widget
extern PyObject *update_wrapper;  // functools.update_wrapper

// Keyword-name tuples of the calls this module makes.
extern PyObject *kw_array_index;            // ("array_index",)
extern PyObject *kw_nocomplain;             // ("nocomplain",)
extern PyObject *kw_array_index_nocomplain; // ("array_index", "nocomplain")
extern PyObject *kw_pattern;                // ("pattern",)
extern PyObject *kw_tcl;                    // ("tcl",)
extern PyObject *kw_tcl_cast;               // ("tcl", "cast")
extern PyObject *kw_array_index_tcl_cast;   // ("array_index", "tcl", "cast")
extern PyObject *kw_cls_id;                 // ("cls", "id")
extern PyObject *slice_from_1;              // slice(1, None)
extern PyObject *zero;                      // 0

// The classes, stored once they are made.
extern PyObject *TclVariable_cls;
extern PyObject *TempTclVariable_cls;
extern PyObject *TclArrayVariable_cls;
extern PyObject *TempTclArrayVariable_cls;
extern PyObject *TclCommand_cls;
extern PyObject *TempTclCommand_cls;
extern PyObject *TclNamespace_cls;
extern PyObject *TempTclNamespace_cls;
extern PyObject *VariablesView_cls;
extern PyObject *ObjectsView_cls;
extern PyObject *CommandsView_cls;
extern PyObject *ProcsView_cls;

extern PyObject *variable_init_fn; // TclVariable.__init__ as the module made it
extern PyObject *marker;           // TclVariable._TclVariable__marker
extern PyObject *dashed_args_fn;   // the function behind TclCommand.kwargs_to_dashed_args
extern bool assertions_enabled;    // false under python -O

// Query words of the views, made once.
extern PyObject *words_own_vars;     // ("::apply", own_names_lambda, "vars")
extern PyObject *words_own_commands; // ("::apply", own_names_lambda, "commands")
extern PyObject *words_own_procs;    // ("::apply", own_names_lambda, "procs")
extern PyObject *words_current;      // ("namespace", "current")

// Makes the constants above that are not imports: the interned names and the tuples.
bool init_constants();

// ---------------------------------------------------------------------------------------------
// Conversions and helpers.

// scribe(obj): an exact str is its own Tcl text, so it skips the call.
inline Ref to_text(PyObject *obj) {
    if (PyUnicode_CheckExact(obj))
        return Ref::borrow(obj);
    return ortan::call(scribe_fn, {obj});
}

inline Ref none() { return Ref::borrow(Py_None); }

// bool(value); a null value (its call failed) passes through.
inline PyObject *as_bool(Ref value) {
    if (!value)
        return nullptr;
    const int truth = PyObject_IsTrue(value.get());
    return truth < 0 ? nullptr : PyBool_FromLong(truth);
}

// A tuple of borrowed items.
inline Ref tuple_of(std::initializer_list<PyObject *> items) {
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
inline Ref host_tk(PyObject *tcl) {
    Ref host = ortan::unproxied(tcl);
    return host ? get_attr(host.get(), S.tk) : host;
}

// self.tcl.tk
inline Ref tk_of(PyObject *self) {
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

// tk.eval(script) as a call, so that it works from any thread (tkinter marshals `call` to the
// interpreter's thread, and refuses `eval` there): Tcl's eval of the script, its result as
// Tcl's text, and a Python callback's error as the cause of the TclError.
Ref eval_script(PyObject *tk, PyObject *script);

// self.tcl.tk.call(words): one tuple of words.
inline Ref tk_call(PyObject *self, PyObject *words) {
    Ref tk = tk_of(self);
    return tk ? call_method(tk.get(), S.call, {words}) : tk;
}

// self.tcl.<caster>(result); a null result (its call failed) passes through.
inline Ref host_cast(PyObject *self, PyObject *caster, const Ref &result) {
    if (!result)
        return result;
    Ref tcl = get_attr(self, S.tcl);
    Ref host = tcl ? ortan::unproxied(tcl.get()) : tcl;
    return host ? call_method(host.get(), caster, {result.get()}) : host;
}

// cast(value) when `cast` is true; None (or any false cast) leaves the value as it is. A null
// `cast` (its look-up failed) fails the call.
inline PyObject *cast_with(const Ref &cast, Ref value) {
    if (!cast)
        return nullptr;
    if (cast.get() == Py_None)
        return value.release();
    const int truth = PyObject_IsTrue(cast.get());
    if (truth < 0)
        return nullptr;
    return truth ? ortan::call(cast.get(), {value.get()}).release() : value.release();
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

bool is_native_scalar(PyObject *obj);

// tclobj(obj). Values the binding takes as they are come back unchanged; an exact tuple of such
// values (nested to any depth) is returned as it is, since tclobj would rebuild an equal tuple.
Ref to_tclobj(PyObject *obj);

// The package module, which stands for its default interpreter.
Ref package_module();

// Whether `host` (never a proxy) is a tkinter object, which a wrapper refuses: a TypeError that
// says to wrap it in an Interpreter, raised for `self`'s class. Checked against tkinter.Misc,
// kept at import, before the shared check words the error.
bool refuse_tkinter(PyObject *self, PyObject *host);

// The interpreter a wrapper keeps: the package module when `tcl` is false, always behind a
// weak proxy, so wrappers never keep their interpreter alive. A tkinter object is refused, and
// a proxy whose interpreter is gone raises the ReferenceError that says to keep it.
Ref host_proxy(PyObject *self, PyObject *tcl, PyObject *package = nullptr);

// obj.startswith("::"); -1 with an exception set on failure.
int starts_with_colons(PyObject *obj);

// getattr(super(cls, self), name) where only AttributeError counts as absence: -1 on error,
// 0 when absent, 1 with `out` set.
int next_attr(PyObject *cls, PyObject *self, PyObject *name, Ref &out);

// super(cls, self).__init__() with no arguments. The exact classes listed skip it: for them the
// next __init__ is object's, which does nothing.
bool init_next_plain(PyObject *cls, PyObject *self, std::initializer_list<PyObject *> exact);

// type(self).__name__ through self.__class__.
Ref class_name(PyObject *self);

// str(template).format(cls=type(self).__name__, id=id(self)): the unique temporary name.
Ref temporary_name(PyObject *self, PyObject *name);

// True when the pending exception is a TclError, which the caller then clears.
bool swallow_tcl_error();

// `raise KeyError(exc) from exc` for the pending exception `exc`.
void reraise_as_key_error();

// ---------------------------------------------------------------------------------------------
// Argument lists and parsing.

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
void raise_repeated_keyword(PyObject *callable, PyObject *name);

// no_arguments for a method shared by several classes: `cls` is the one that defines it.
bool no_arguments_of(PyObject *cls, const char *method, Py_ssize_t nargs, PyObject *kwnames);

inline PyObject *arg_or(PyObject *value, PyObject *fallback) { return value ? value : fallback; }

inline bool is_none(PyObject *value) { return value == nullptr || value == Py_None; }

// ---------------------------------------------------------------------------------------------
// Classes.

// A method-table row that puts under `name` the very same function as the earlier row
// `target`, as `get = get_obj` does in a class body (its fn is null, its signature the target).
constexpr MethodDef alias_row(const char *name, const char *target) {
    return {name, nullptr, target, nullptr};
}

// The rows of a method table into the class namespace `ns`, in order; false with an exception
// set on failure.
bool add_table(PyObject *ns, const MethodDef *defs, size_t count, const char *qualname);
template <size_t N> bool add_table(PyObject *ns, const MethodDef (&defs)[N], const char *qualname) {
    return add_table(ns, defs, N, qualname);
}

// A class of this module with `bases`, its metaclass picked from them as a class statement
// picks it (ABCMeta for the mappings); the namespace is filled by `fill`.
template <class Fill>
PyObject *make_class(const char *name, const char *qualname, const char *doc,
                     std::initializer_list<PyObject *> bases, Fill &&fill) {
    Ref base_tuple = tuple_of(bases);
    if (!base_tuple)
        return nullptr;
    return ortan::new_class(module_name, ortan::class_def(name, qualname, doc), base_tuple.get(),
                            fill)
        .release();
}

// make_class for a namespace of one method table alone.
template <size_t N>
PyObject *make_class(const char *name, const char *qualname, const char *doc,
                     std::initializer_list<PyObject *> bases, const MethodDef (&methods)[N]) {
    return make_class(name, qualname, doc, bases, [&methods](PyObject *ns, const char *q) {
        return add_table(ns, methods, q);
    });
}

inline PyObject *object_base() { return reinterpret_cast<PyObject *>(&PyBaseObject_Type); }

// ---------------------------------------------------------------------------------------------
// What one family file offers the others.

// Temporary variants (common.cpp): the shared `with` protocol.

// Calls the next class's __init__ with the expanded temporary name first, then the keywords
// gathered in `rest`.
PyObject *init_temporary(PyObject *cls, PyObject *self, PyObject *template_, CallArgs &rest);
// __init__(self, <name_param>=<template>, **kwargs) of the temporaries named by one parameter.
PyObject *init_named_temporary(PyObject *cls, const char *name_param, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames);
// __enter__ of the temporary classes: the next class's __enter__() when there is one, else self.
Ref enter_next(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// The tail of __exit__: the next class's __exit__(*exc_info) when there is one, else False.
PyObject *exit_next(PyObject *cls, PyObject *self, PyObject *const *exc_info, Py_ssize_t n);
bool positional_only(const char *fname, PyObject *kwnames);

// Names (names.cpp).

// scribe(obj), which must be text for the name arithmetic.
Ref name_text(PyObject *obj);
// TclNamespace.join(first, second).
Ref join2(PyObject *first, PyObject *second);
// The enclosing namespace of an absolute name, as Tcl's `namespace parent` reports it.
Ref tcl_parent_of(PyObject *text);
// TclNamespace's static methods qualifiers, tail, join, split and normalize.
extern const MethodDef TclNamespace_static_methods[5];

// Variables (variables.cpp).

// TclVariable(name, tcl=tcl), made directly while the class keeps its own constructor.
Ref new_variable(PyObject *name, PyObject *tcl);
// variable.get_str(array_index=index) of a TclVariable.
Ref variable_get_str(PyObject *variable, PyObject *index);
// The absolute form of the name in attribute `attr`: unchanged when it starts with "::",
// otherwise joined to the interpreter's current namespace.
Ref absolute_name(PyObject *self, PyObject *attr);
// make_absolute() of the wrapper class `cls`: self.<attr> = self.absolute().
PyObject *make_absolute(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        PyObject *attr);
// TclVariable, TempTclVariable, TclArrayVariable, TempTclArrayVariable.
bool make_variable_classes();

// Commands (commands.cpp).

// self.delete(), a TclError ignored.
bool delete_quietly(PyObject *self);
// TclCommand, TempTclCommand.
bool make_command_classes();

// Namespaces (namespaces.cpp).

// The sources of a lazy name iterator's one query.
enum class NameSource { array_names, view_query };
extern PyTypeObject name_iterator_type;
// An iterator that runs its query (owner.array_names(), or the view's `words`) on first use.
Ref new_name_iterator(NameSource source, PyObject *owner, PyObject *words);
// len(iter(obj)) by counting, so that an overridden __iter__ is honoured.
Ref count_iteration(PyObject *obj);
// TclNamespace, TempTclNamespace, with the views as its nested classes.
bool make_namespace_classes();

// Views (views.cpp).

// TclNamespace.VariablesView, .ObjectsView, .CommandsView, .ProcsView.
bool make_view_classes();

} // namespace ortan_namespace

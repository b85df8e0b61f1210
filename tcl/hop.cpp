// ortan.tcl.hop: quick calls, `tcl.hop.ns.proc(1, opt=2)` runs the Tcl command `ns::proc 1 -opt 2`.
#include "support.h"

#include "calls_api.h"

#include <structmember.h>

#include <chrono>
#include <cstring>

using ortan::bind;
using ortan::bind_public_names;
using ortan::call;
using ortan::call_method;
using ortan::chain_exception;
using ortan::class_def;
using ortan::ClassGuard;
using ortan::create_module;
using ortan::define_module;
using ortan::defined_init;
using ortan::fetch_exception;
using ortan::find_slot;
using ortan::get_attr;
using ortan::get_optional_attr;
using ortan::import_attr;
using ortan::import_module;
using ortan::is_weak_proxy;
using ortan::MethodDef;
using ortan::new_class;
using ortan::new_instance;
using ortan::no_arguments;
using ortan::option_word;
using ortan::parse_method_args;
using ortan::plain_construction;
using ortan::raise_with_context;
using ortan::read_slot;
using ortan::RecursionGuard;
using ortan::Ref;
using ortan::refuse_tkinter_host;
using ortan::set_attr;
using ortan::set_item;
using ortan::Slot;
using ortan::text_ready;
using ortan::unpacked_call_slot;
using ortan::unproxied;
using ortan::write_slot;

namespace {

// ---------------------------------------------------------------------------------------------
// Module constants, set once by the module init and never changed afterwards.

#define HOP_NAMES(X)                                                                               \
    X(tcl, "tcl")                                                                                  \
    X(cmd, "cmd")                                                                                  \
    X(history, "history")                                                                          \
    X(append, "append")                                                                            \
    X(tk, "tk")                                                                                    \
    X(call, "call")                                                                                \
    X(vars, "vars")                                                                                \
    X(cast_any, "cast_any")                                                                        \
    X(cast_, "cast_")                                                                              \
    X(separator, "::")                                                                             \
    X(error_info, "::errorInfo")                                                                   \
    X(error_code, "::errorCode")                                                                   \
    X(errorinfo, "errorinfo")                                                                      \
    X(errorcode, "errorcode")                                                                      \
    X(getattr, "__getattr__")                                                                      \
    X(getattribute, "__getattribute__")                                                            \
    X(dict, "__dict__")                                                                            \
    X(weakref, "__weakref__")                                                                      \
    X(record, "_record")                                                                           \
    X(error, "error")                                                                              \
    X(duration, "duration")
ORTAN_NAME_TABLE(Names, HOP_NAMES)
Names S; // attribute names and Tcl words: S.tcl, S.error_info, ...

constexpr const char *module_name = "ortan.tcl.hop";

// Imported objects, bound at import: strong references the process keeps.
PyObject *weak_proxy;         // weakref.proxy
PyObject *tcl_error;          // tkinter.TclError
PyObject *scribe;             // ortan.tcl.scribe.scribe
PyObject *tcl_kwnames;        // ("tcl",): keyword names for Hop_Code(name, tcl=...)
const ortan::CallsApi *calls; // the namespace module's calls through tkinter
PyObject *stock_append;       // History.append, as the class holds it
PyObject *stock_record;       // History._record: the same, handing back the Entry made

// The Hop_Code class as built, and what the fast path confirmed of it at import.
PyObject *code_cls;    // the Hop_Code class built below
PyObject *code_init;   // its __init__, as built
ClassGuard code_guard; // whether it is unchanged since that construction was confirmed

// The texts of the small ints 0 to small_int_texts - 1, made at import (the most common
// numeric arguments: indices, counts, flags).
constexpr long small_int_texts = 256;
PyObject *small_ints[small_int_texts];

PyObject *object_getattribute; // object.__getattribute__

// Quick calls nested in quick calls (a history, a cast or a Tcl callback that makes one) are
// limited to this depth. Each level of a runaway nesting usually carries a longer path and a
// longer history line than the one before (the path grows in place), so memory grows faster
// than the depth; Python's own recursion limit does not stop it in time where it counts C
// calls only (from 3.12 on: 1,500 levels on 3.12, 10,000 on 3.13) or has been raised. Every level
// of a real Tcl-and-Python recursion also nests at least two Tcl evaluations, which Tcl stops at
// 1,000 by default, so the limit does not bind before Tcl's own.
constexpr int max_nested_calls = 500;

// The depth of nested quick calls on this thread: counts up and back down around every call,
// so it never outlives one.
thread_local int nested_calls = 0;

// ---------------------------------------------------------------------------------------------
// Conversions and helpers.

// self.<name> without the class's __getattr__: these objects turn every missing attribute
// into a path component, so their own state must be read around it.
Ref own_attr(PyObject *self, PyObject *name) {
    return Ref::steal(PyObject_GenericGetAttr(self, name));
}

// The state of a Hop (`tcl`) and of a Hop_Code (`tcl`, `cmd`) lives in slots (__slots__, with a
// __dict__ beside them for anything else): a quick call makes a Hop_Code and reads its state
// every time, and a slot costs a fraction of an attribute of the instance dict (ortan::Slot
// says when a slot is read in place). Read around the classes' __getattr__ with own_attr.
Slot hop_tcl_slot, code_tcl_slot,
    code_cmd_slot; // set up with the classes, never changed afterwards
// An Entry's `duration`, which a quick call fills in once its command has run.
Slot entry_duration_slot;

// A name that begins and ends with an underscore ("__len__", "_repr_html_"): the names that
// Python's own machinery and interactive tools probe (hasattr, help, copy, inspect, IPython).
// Also "_partialmethod", which inspect.signature() reads from any callable before Python 3.13
// (it reads "__partialmethod__" from 3.13 on). Such a name is never a path component, so that
// looking at a handle never changes the command it runs.
bool is_probe_name(PyObject *name) {
    if (!PyUnicode_Check(name) || !text_ready(name))
        return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    if (n == 0 || PyUnicode_READ_CHAR(name, 0) != '_')
        return false;
    return PyUnicode_READ_CHAR(name, n - 1) == '_' ||
           PyUnicode_CompareWithASCIIString(name, "_partialmethod") == 0;
}

// AttributeError for such a name, in CPython's wording.
PyObject *no_such_attribute(PyObject *self, PyObject *name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 Py_TYPE(self)->tp_name, name);
    return nullptr;
}

// obj.method(*words): the words of the list as separate arguments (another host's interpreter
// object; tkinter's own goes through the namespace module's calls). The words are held for the
// call, so whatever the callee does to the list cannot pull them away.
Ref call_with_words(PyObject *obj, PyObject *method, PyObject *words) {
    constexpr Py_ssize_t small = 16;
    PyObject *buffer[small + 1];
    const Py_ssize_t count = PyList_GET_SIZE(words);
    PyObject **stack = buffer;
    if (count > small) {
        stack = PyMem_New(PyObject *, count + 1);
        if (!stack) {
            PyErr_NoMemory();
            return Ref();
        }
    }
    stack[0] = obj;
    for (Py_ssize_t i = 0; i < count; ++i)
        stack[i + 1] = Py_NewRef(PyList_GET_ITEM(words, i));
    Ref result = Ref::steal(PyObject_VectorcallMethod(method, stack, count + 1, nullptr));
    for (Py_ssize_t i = 0; i < count; ++i)
        Py_DECREF(stack[i + 1]);
    if (stack != buffer)
        PyMem_Free(stack);
    return result;
}

// '::'.join(self.cmd): the Tcl command name of a path.
Ref command_name(PyObject *self) {
    Ref path = read_slot<own_attr>(code_cmd_slot, self);
    if (!path)
        return path;
    // One text component is its own name, as join() gives it.
    if (PyList_CheckExact(path.get()) && PyList_GET_SIZE(path.get()) == 1 &&
        PyUnicode_CheckExact(PyList_GET_ITEM(path.get(), 0)))
        return Ref::borrow(PyList_GET_ITEM(path.get(), 0));
    return Ref::steal(PyUnicode_Join(S.separator, path.get()));
}

// Whether `type` reads attributes the ordinary way, possibly with a __getattr__ for misses (the
// host interpreter's shape), yet through a hook rather than the generic read: CPython's hook
// for such a class looks up __getattr__ and __getattribute__ on every read, and turns a method
// read into a new bound method.
bool hooked_plain_reads(PyTypeObject *type) {
    return type->tp_getattro != PyObject_GenericGetAttr &&
           _PyType_Lookup(type, S.getattribute) == object_getattribute;
}

// getattr(obj, name) for such a class: the ordinary read, which reports a miss without raising,
// then __getattr__ as CPython's hook calls it. (Before 3.12 that hook builds a complete
// AttributeError, message included, for every miss, only to drop it and call __getattr__.)
Ref plain_read(PyObject *obj, PyObject *name) {
    PyObject *found = _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
    if (found || PyErr_Occurred())
        return Ref::steal(found);
    Ref getattr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), S.getattr));
    if (!getattr)
        return Ref::steal(PyObject_GenericGetAttr(obj, name));
    PyObject *call_args[] = {obj, name};
    if (PyType_HasFeature(Py_TYPE(getattr.get()), Py_TPFLAGS_METHOD_DESCRIPTOR))
        return Ref::steal(PyObject_Vectorcall(getattr.get(), call_args, 2, nullptr));
    Ref bound = Ref::steal(PyObject_GetAttr(obj, S.getattr));
    return bound ? Ref::steal(PyObject_Vectorcall(bound.get(), &name, 1, nullptr)) : bound;
}

// host.<name>: what getattr() gives, read without CPython's per-read hook overhead where the
// host's class reads attributes the ordinary way.
Ref host_attr(PyObject *host, PyObject *name) {
    if (ORTAN_COSTLY_GETATTR_HOOK && hooked_plain_reads(Py_TYPE(host)))
        return plain_read(host, name);
    return get_attr(host, name);
}

// host.<name>(arg), without a bound method where the method is a plain function of the host's
// class that the instance does not shadow.
Ref call_host_method(PyObject *host, PyObject *name, PyObject *arg) {
    PyObject *call_args[] = {host, arg};
    PyTypeObject *type = Py_TYPE(host);
    if (ORTAN_COSTLY_GETATTR_HOOK && hooked_plain_reads(type)) {
        PyObject *method = _PyType_Lookup(type, name);
        if (method && PyType_HasFeature(Py_TYPE(method), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            Ref hold = Ref::borrow(method);
            // The instance's own attributes, which win over a function of its class.
            PyObject **dict = _PyObject_GetDictPtr(host);
            PyObject *shadow = dict && *dict ? PyDict_GetItemWithError(*dict, name) : nullptr;
            if (!shadow && PyErr_Occurred())
                return Ref();
            if (dict && !shadow)
                return Ref::steal(PyObject_Vectorcall(method, call_args, 2, nullptr));
        }
        Ref bound = plain_read(host, name);
        return bound ? Ref::steal(PyObject_Vectorcall(bound.get(), call_args + 1, 1, nullptr))
                     : bound;
    }
    return Ref::steal(PyObject_VectorcallMethod(name, call_args, 2, nullptr));
}

// str(value) for an exact int: a small int's text made at import, or the decimal digits written
// straight into a new ASCII str where it fits in a long long (CPython's general conversion
// costs several times as much), else str().
Ref int_text(PyObject *value) {
    int overflow;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return Ref::steal(PyObject_Str(value));
    }
    if (v >= 0 && v < small_int_texts)
        return Ref::borrow(small_ints[v]);
    char digits[24];
    char *end = digits + sizeof digits, *at = end;
    // The magnitude as unsigned, so that the most negative value has one too.
    unsigned long long rest =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        *--at = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest);
    if (v < 0)
        *--at = '-';
    Ref text = Ref::steal(PyUnicode_New(end - at, 127));
    if (text)
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), at, static_cast<size_t>(end - at));
    return text;
}

// scribe(value); exact text, which scribe() returns as it is, and exact ints and floats, which
// it writes as str() does, without the call.
Ref scribed(PyObject *value) {
    if (PyUnicode_CheckExact(value))
        return Ref::borrow(value);
    if (PyLong_CheckExact(value))
        return int_text(value);
    if (PyFloat_CheckExact(value))
        return Ref::steal(PyObject_Str(value));
    return Ref::steal(PyObject_Vectorcall(scribe, &value, 1, nullptr));
}

// The words of one call: the command name, each positional argument through scribe(), then
// each keyword argument (but cast_) as its option word and scribe(value), in the caller's
// order. The option word drops one trailing underscore, as tkinter does, so that `from_=1`
// sends -from 1.
Ref command_words(PyObject *name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                  Py_ssize_t cast_index) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t size = 1 + nargs + 2 * (nkw - (cast_index >= 0));
    Ref words = Ref::steal(PyList_New(size));
    if (!words)
        return words;
    PyList_SET_ITEM(words.get(), 0, Py_NewRef(name));
    Py_ssize_t at = 1;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject *word = scribed(args[i]).release();
        if (!word)
            return Ref();
        PyList_SET_ITEM(words.get(), at++, word);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == cast_index)
            continue;
        PyObject *option = option_word(PyTuple_GET_ITEM(kwnames, k)).release();
        if (!option)
            return Ref();
        PyList_SET_ITEM(words.get(), at++, option);
        PyObject *value = scribed(args[nargs + k]).release();
        if (!value)
            return Ref();
        PyList_SET_ITEM(words.get(), at++, value);
    }
    return words;
}

// Tcl's ::errorCode as a tuple of text, split by Tcl's list rules.
Ref error_code(PyObject *tcl, PyObject *vars) {
    Ref code = Ref::steal(PyObject_GetItem(vars, S.error_code));
    Ref tk = code ? host_attr(tcl, S.tk) : Ref();
    return tk ? calls->error_code_words(tk.get(), code.get()) : tk;
}

// After a failed command: TclError(<Tcl's ::errorInfo>), the complete error trace, with the
// attributes `errorinfo` (the same text) and `errorcode` (Tcl's ::errorCode as a tuple of
// text), as the call reported them (read from the host's variables for an interpreter object
// other than tkinter's). It is raised from None, or from the Python exception that a callback
// of the package raised inside the command. An error while reading the variables propagates
// with the Tcl error as its context.
void raise_with_error_info(PyObject *tcl, ortan::CallFailure &failure) {
    Ref caught = fetch_exception();
    Ref info = failure.errorinfo;
    Ref code = failure.errorcode;
    if (!info || !code) {
        Ref vars = host_attr(tcl, S.vars);
        info = vars ? Ref::steal(PyObject_GetItem(vars.get(), S.error_info)) : Ref();
        code = info ? error_code(tcl, vars.get()) : Ref();
    }
    Ref error = code ? call(tcl_error, {info.get()}) : Ref();
    if (!error || !set_attr(error.get(), S.errorinfo, info.get()) ||
        !set_attr(error.get(), S.errorcode, code.get())) {
        chain_exception(std::move(caught));
        return;
    }
    // With a null cause this is `from None`; either way the context is suppressed.
    PyException_SetCause(error.get(), failure.cause.release());
    raise_with_context(std::move(error), std::move(caught));
}

// The result without casting: text as it is, anything else (a tuple for a Tcl list, a number,
// a Tcl_Obj) as its Tcl text, so a list comes back as Tcl list text.
Ref plain_result(Ref result) {
    if (PyUnicode_Check(result.get()))
        return result;
    return scribed(result.get());
}

// A call's record in the history gets its time, `duration`, in seconds.
bool note_duration(PyObject *entry, double seconds) {
    Ref value = Ref::steal(PyFloat_FromDouble(seconds));
    return value && write_slot(entry_duration_slot, entry, value.get());
}

// The record of a failed call gets its time and `error`, the message of the pending exception
// (Tcl's error message), which stays pending: a failure to note them must not hide the call's
// own error, so it is dropped.
void note_failure(PyObject *entry, double seconds) {
    Ref caught = fetch_exception();
    Ref message = Ref::steal(PyObject_Str(caught.get()));
    if (!message || !set_attr(entry, S.error, message.get()) || !note_duration(entry, seconds))
        PyErr_Clear();
    ortan::restore_exception(std::move(caught));
}

// Whether `obj` has an attribute `name` of its own, in its instance dict (which wins over a
// method of its class): 1, 0, or -1 with an exception set.
int has_own_attr(PyObject *obj, PyObject *name) {
    Ref own = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!own) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear(); // no instance dict
        return 0;
    }
    if (PyDict_GET_SIZE(own.get()) == 0)
        return 0;
    return PyDict_GetItemWithError(own.get(), name) ? 1 : PyErr_Occurred() ? -1 : 0;
}

// history.append(words). Where the history's `append` is History's own, History._record does
// the same and hands back the Entry made (null while recording is off), in `entry`, so that
// the call's outcome can be added to it; any other append is called as it is.
bool record_call(PyObject *history, PyObject *words, Ref &entry) {
    if (_PyType_Lookup(Py_TYPE(history), S.append) == stock_append) {
        const int shadowed = has_own_attr(history, S.append);
        if (shadowed < 0)
            return false;
        if (!shadowed) {
            PyObject *call_args[] = {history, words};
            entry = Ref::steal(PyObject_Vectorcall(stock_record, call_args, 2, nullptr));
            if (!entry)
                return false;
            if (entry.get() == Py_None)
                entry = Ref();
            return true;
        }
    }
    return bool(call_method(history, S.append, {words}));
}

// Runs `command` (the Tcl call) and adds how it ended to `entry`, its record in the history,
// when there is one: `duration`, the call's time by a monotonic clock, and for a failure
// `error` (see note_failure).
template <class Command> Ref timed_call(PyObject *entry, Command &&command) {
    if (!entry)
        return command();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Ref result = command();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!result)
        note_failure(entry, seconds);
    else if (!note_duration(entry, seconds))
        return Ref();
    return result;
}

// self.tcl = tcl, then self.cmd = list(path): the state of a Hop_Code.
bool set_code(PyObject *self, PyObject *tcl, PyObject *const *path, Py_ssize_t length) {
    if (!write_slot(code_tcl_slot, self, tcl))
        return false;
    Ref cmd = Ref::steal(PyList_New(length));
    if (!cmd)
        return false;
    for (Py_ssize_t i = 0; i < length; ++i)
        PyList_SET_ITEM(cmd.get(), i, Py_NewRef(path[i]));
    return write_slot(code_cmd_slot, self, cmd.get());
}

// A new instance of one of this module's slot classes, whose construction plain_construction()
// has confirmed: what object.__new__ makes, without setting up the instance dict (these classes
// keep their state in slots, so a dict is made only if something else is stored).
Ref fresh_instance(PyObject *cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
#ifdef Py_TPFLAGS_INLINE_VALUES
    if (PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES))
        return new_instance(cls);
#endif
    return Ref::steal(type->tp_alloc(type, 0));
}

// Hop_Code(name, tcl=tcl)
Ref new_code(PyObject *name, PyObject *tcl) {
    // Unchanged since import, or else still made the plain way.
    if (!code_guard.unchanged() && !plain_construction(code_cls, code_init)) {
        PyObject *call_args[] = {name, tcl};
        return Ref::steal(PyObject_Vectorcall(code_cls, call_args, 1, tcl_kwnames));
    }
    Ref code = fresh_instance(code_cls);
    if (!code || !set_code(code.get(), tcl, &name, 1))
        return Ref();
    return code;
}

// ---------------------------------------------------------------------------------------------
// Hop.

PyObject *Hop_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *tcl;
    if (!parse_method_args("__init__", args, nargs, kwnames, {"tcl"}, 1, &tcl) ||
        !refuse_tkinter_host(tcl, "Hop()"))
        return nullptr;
    PyObject *self = args[0];
    // A proxy handed in is kept as it is: it cannot be proxied again.
    Ref weak = is_weak_proxy(tcl) ? Ref::borrow(tcl) : call(weak_proxy, {tcl});
    if (!weak || !write_slot(hop_tcl_slot, self, weak.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *Hop_getattr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *name = nargs == 2 && !kwnames ? args[1] : nullptr;
    if (!name && !parse_method_args("__getattr__", args, nargs, kwnames, {"name"}, 1, &name))
        return nullptr;
    PyObject *self = args[0];
    if (is_probe_name(name))
        return no_such_attribute(self, name);
    Ref tcl = read_slot<own_attr>(hop_tcl_slot, self);
    // A path on an interpreter that is gone could never run: say so now.
    if (!tcl || !unproxied(tcl.get()))
        return nullptr;
    return new_code(name, tcl.get()).release();
}

PyObject *Hop_call(PyObject *const *, Py_ssize_t, PyObject *) {
    // The arguments are ignored: the Hop itself names no command, as Tcl says of "".
    PyErr_SetString(tcl_error, "invalid command name \"\"");
    return nullptr;
}

const ortan::MethodDef hop_methods[] = {
    {"__init__", Hop_init, "($self, tcl)", nullptr},
    {"__getattr__", Hop_getattr, "($self, name, /)", nullptr},
    {"__call__", Hop_call, "($self, /, *args, **kwargs)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// Hop_Code.

// One level of nested quick calls for the lifetime of a scope; ok() is false, with the
// RecursionError set, beyond max_nested_calls.
class NestedCall {
  public:
    NestedCall() : ok_(nested_calls < max_nested_calls) {
        if (ok_)
            ++nested_calls;
        else
            PyErr_Format(PyExc_RecursionError,
                         "maximum recursion depth exceeded while calling a Tcl command (%d "
                         "quick calls nested in one another)",
                         max_nested_calls);
    }
    ~NestedCall() {
        if (ok_)
            --nested_calls;
    }
    NestedCall(const NestedCall &) = delete;
    NestedCall &operator=(const NestedCall &) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_;
};

PyObject *Code_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *tcl = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Compare(key, S.tcl) != 0) {
            if (PyErr_Occurred())
                return nullptr;
            PyErr_Format(PyExc_TypeError, "__init__() got an unexpected keyword argument '%U'",
                         key);
            return nullptr;
        }
        tcl = args[nargs + k];
    }
    if (!tcl) {
        PyErr_SetString(PyExc_TypeError,
                        "__init__() missing 1 required keyword-only argument: 'tcl'");
        return nullptr;
    }
    PyObject *self = args[0];
    PyObject *const *cmd = args + 1; // the path's words, `*cmd`
    if (!refuse_tkinter_host(tcl, "Hop_Code()") || !set_code(self, tcl, cmd, nargs - 1))
        return nullptr;
    Py_RETURN_NONE;
}

// The path grows in place: every holder of this object sees the longer path.
PyObject *Code_getattr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *name = nargs == 2 && !kwnames ? args[1] : nullptr;
    if (!name && !parse_method_args("__getattr__", args, nargs, kwnames, {"name"}, 1, &name))
        return nullptr;
    PyObject *self = args[0];
    if (is_probe_name(name))
        return no_such_attribute(self, name);
    Ref path = read_slot<own_attr>(code_cmd_slot, self);
    if (!path)
        return nullptr;
    if (PyList_CheckExact(path.get()) ? PyList_Append(path.get(), name) < 0
                                      : !call_method(path.get(), S.append, {name}))
        return nullptr;
    return Py_NewRef(self);
}

// Runs the path as a Tcl command: recorded in the history first (so failures are recorded
// too), a Tcl error raised as TclError carrying Tcl's ::errorInfo, the result cast unless
// cast_ is false.
PyObject *Code_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // The host may build a cycle of C-only calls (say, a history that is itself a quick call).
    RecursionGuard guard(" while calling a Tcl command");
    NestedCall nested;
    if (!guard.ok() || !nested.ok())
        return nullptr;
    PyObject *self = args[0];
    const Py_ssize_t npos = nargs - 1;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t cast_index = -1;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (key == S.cast_ || PyUnicode_Compare(key, S.cast_) == 0) {
            cast_index = k;
            break;
        }
    }
    PyObject *cast = cast_index >= 0 ? args[nargs + cast_index] : Py_True;

    Ref name = command_name(self);
    Ref words = name ? command_words(name.get(), args + 1, npos, kwnames, cast_index) : Ref();
    Ref proxy = words ? read_slot<own_attr>(code_tcl_slot, self) : Ref();
    // The interpreter itself for the length of the call: each step reaches it directly.
    Ref tcl = proxy ? unproxied(proxy.get()) : Ref();
    Ref history = tcl ? host_attr(tcl.get(), S.history) : Ref();
    Ref entry;
    if (!history || !record_call(history.get(), words.get(), entry))
        return nullptr;

    // The very list the history was given is run, as it is now: through tkinter's interpreter
    // object as one tuple (from any thread), any other host's `call` with the words.
    Ref tk = host_attr(tcl.get(), S.tk);
    if (!tk)
        return nullptr;
    const int casting = PyObject_IsTrue(cast);
    if (casting < 0)
        return nullptr;
    ortan::CallFailure failure;
    Ref result = timed_call(entry.get(), [&] {
        return calls->is_tkinter(tk.get())
                   ? calls->call(tk.get(), words.get(),
                                 casting ? ortan::CallResult::converted : ortan::CallResult::text,
                                 &failure)
                   : call_with_words(tk.get(), S.call, words.get());
    });
    if (!result) {
        if (PyErr_ExceptionMatches(tcl_error))
            raise_with_error_info(tcl.get(), failure);
        return nullptr;
    }
    if (casting)
        return call_host_method(tcl.get(), S.cast_any, result.get()).release();
    return plain_result(std::move(result)).release();
}

PyObject *code_text(PyObject *self) {
    Ref name = command_name(self);
    if (!name)
        return nullptr;
    return PyUnicode_FromFormat("<tcl.Hop magic, referring Tcl code ::%U>", name.get());
}

PyObject *Code_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return no_arguments("Hop_Code.__str__", nargs, kwnames) ? code_text(args[0]) : nullptr;
}

PyObject *Code_repr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return no_arguments("Hop_Code.__repr__", nargs, kwnames) ? code_text(args[0]) : nullptr;
}

// A copy of a handle: the same class and attributes, and a path of its own, so that growing
// either path leaves the other as it is. The interpreter is shared (a deep copy too: the copy
// is a handle on the same interpreter).
PyObject *copy_code(PyObject *self) {
    Ref copy = new_instance(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    Ref state = copy ? get_attr(self, S.dict) : Ref();
    Ref copied = state ? get_attr(copy.get(), S.dict) : Ref();
    if (!copied || PyDict_Update(copied.get(), state.get()) < 0)
        return nullptr;
    Ref tcl = read_slot<own_attr>(code_tcl_slot, self);
    Ref path = tcl ? read_slot<own_attr>(code_cmd_slot, self) : Ref();
    Ref own_path = path ? Ref::steal(PySequence_List(path.get())) : Ref();
    if (!own_path || !write_slot(code_tcl_slot, copy.get(), tcl.get()) ||
        !write_slot(code_cmd_slot, copy.get(), own_path.get()))
        return nullptr;
    return copy.release();
}

PyObject *Code_copy(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return no_arguments("Hop_Code.__copy__", nargs, kwnames) ? copy_code(args[0]) : nullptr;
}

PyObject *Code_deepcopy(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *memo;
    if (!parse_method_args("__deepcopy__", args, nargs, kwnames, {"memo"}, 1, &memo))
        return nullptr;
    return copy_code(args[0]);
}

// Before 3.12, CPython's attribute hook for a class with __getattr__ builds a complete
// AttributeError for every miss; a quick call misses on every path component. This slot reads
// the way plain_read() does. Assigning __getattr__ or __getattribute__ on the class puts
// CPython's hook back (type_setattro updates the slot), and subclasses get CPython's hook from
// the start.
PyObject *path_getattro(PyObject *self, PyObject *name) { return plain_read(self, name).release(); }

const ortan::MethodDef code_methods[] = {
    {"__init__", Code_init, "($self, *cmd, tcl)", nullptr},
    {"__call__", Code_call, "($self, /, *args, **kwargs)", nullptr},
    {"__getattr__", Code_getattr, "($self, name, /)", nullptr},
    {"__repr__", Code_repr, "($self, /)", nullptr},
    {"__str__", Code_str, "($self, /)", nullptr},
    {"__copy__", Code_copy, "($self, /)", "A handle on the same command with a path of its own."},
    {"__deepcopy__", Code_deepcopy, "($self, memo, /)",
     "A handle on the same command with a path of its own (the interpreter is shared)."},
};

// ---------------------------------------------------------------------------------------------
// Module init.

const char *const hop_doc =
    "Quick calls of Tcl commands: `tcl.hop.ns_a.ns_b.procname('x', opt='y')` runs the Tcl "
    "command `ns_a::ns_b::procname x -opt y` and returns its result.\n\n"
    "Notes:\n"
    "- Positional arguments stay in their order of appearance.\n"
    "- Keyword arguments are converted to dashed arguments in Tcl and appear after the "
    "positional arguments; one trailing underscore is dropped, as tkinter does (from_=1 is "
    "-from 1).\n"
    "- Only [A-Za-z0-9_] is supported in Tcl namespace and procedure names (the path "
    "components are Python attribute names); a name that begins and ends with an underscore "
    "is never one.\n"
    "- cast_ (bool) turns casting of results on or off; default True.\n\n"
    "Every call is recorded in the interpreter's history before it runs; a Tcl error is raised "
    "as TclError carrying Tcl's full error trace (::errorInfo), with the attributes errorinfo "
    "and errorcode (::errorCode as a tuple), and the Python exception of a failed callback of "
    "the package as its __cause__. The Hop holds its interpreter through a weak proxy.";

const char *const code_doc =
    "A Tcl command path being built by attribute access (`cmd`, namespaces first, the command "
    "last); calling it runs the command. Every missing attribute extends the path in place, "
    "except names that begin and end with an underscore (those Python's own tools probe); "
    "copy.copy() gives a handle with a path of its own.";

// The state's slots, and __dict__ and __weakref__ as a class without __slots__ has them.
Ref slot_names(std::initializer_list<PyObject *> slots) {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(slots.size()) + 2));
    if (!names)
        return names;
    Py_ssize_t i = 0;
    for (PyObject *slot : slots)
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(slot));
    PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(S.dict));
    PyTuple_SET_ITEM(names.get(), i, Py_NewRef(S.weakref));
    return names;
}

template <size_t N>
Ref make_class(const char *name, const char *doc, const MethodDef (&methods)[N],
               std::initializer_list<PyObject *> slots) {
    return new_class(module_name, class_def(name, nullptr, doc, methods), nullptr,
                     [slots](PyObject *ns, const char *) {
                         return set_item(ns, "__slots__", slot_names(slots));
                     });
}

// Installs the faster call and miss paths.
void speed_up(PyObject *cls, bool callable) {
    if (callable)
        reinterpret_cast<PyTypeObject *>(cls)->tp_call = unpacked_call_slot<Code_call>;
    if (ORTAN_COSTLY_GETATTR_HOOK)
        reinterpret_cast<PyTypeObject *>(cls)->tp_getattro = path_getattro;
}

// History's own append and _record, and the Entry slot a quick call fills in.
bool find_history() {
    Ref history_cls = import_attr("ortan.tcl.history", "History");
    Ref entry_cls = history_cls ? import_attr("ortan.tcl.history", "Entry") : Ref();
    if (!entry_cls || !find_slot(entry_duration_slot, entry_cls.get(), S.duration))
        return false;
    PyObject *methods = reinterpret_cast<PyTypeObject *>(history_cls.get())->tp_dict;
    stock_append = PyDict_GetItemWithError(methods, S.append);
    stock_record = stock_append ? PyDict_GetItemWithError(methods, S.record) : nullptr;
    if (!stock_record) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "ortan.tcl.history.History has no _record");
        return false;
    }
    // Held for the process, as the class holds them.
    Py_INCREF(stock_append);
    Py_INCREF(stock_record);
    return true;
}

const char *const module_doc =
    "Quick calls: `Hop`, attribute-style calling of Tcl commands on an interpreter, and "
    "`Hop_Code`, the command path it builds.";

bool init_module(PyObject *m) {
    if (!S.intern())
        return false;
    if (!bind_public_names(m, {"Hop", "Hop_Code"}))
        return false;
    object_getattribute =
        get_attr(reinterpret_cast<PyObject *>(&PyBaseObject_Type), S.getattribute).release();
    if (!object_getattribute)
        return false;
    for (long i = 0; i < small_int_texts; ++i) {
        small_ints[i] = PyUnicode_FromFormat("%ld", i);
        if (!small_ints[i])
            return false;
    }
    Ref weakref = import_module("weakref");
    if (!weakref || !bind(m, "weakref", weakref) ||
        !bind(m, "TclError", import_attr("tkinter", "TclError"), &tcl_error) ||
        !bind(m, "scribe", import_attr("ortan.tcl.scribe", "scribe"), &scribe))
        return false;
    if (!(calls = ortan::import_calls_api()))
        return false;
    weak_proxy = get_attr(weakref.get(), "proxy").release();
    tcl_kwnames = PyTuple_Pack(1, S.tcl);
    if (!weak_proxy || !tcl_kwnames || !find_history())
        return false;
    Ref hop_cls = make_class("Hop", hop_doc, hop_methods, {S.tcl});
    if (!bind(m, "Hop", hop_cls) ||
        !bind(m, "Hop_Code", make_class("Hop_Code", code_doc, code_methods, {S.tcl, S.cmd}),
              &code_cls) ||
        !find_slot(hop_tcl_slot, hop_cls.get(), S.tcl) ||
        !find_slot(code_tcl_slot, code_cls, S.tcl) || !find_slot(code_cmd_slot, code_cls, S.cmd))
        return false;
    speed_up(hop_cls.get(), false);
    speed_up(code_cls, true);
    code_init = defined_init(code_cls).release();
    if (!code_init)
        return false;
    return code_guard.watch(reinterpret_cast<PyTypeObject *>(code_cls),
                            plain_construction(code_cls, code_init));
}

PyModuleDef module_def = define_module(module_name, module_doc);

} // namespace

PyMODINIT_FUNC PyInit_hop() { return create_module(module_def, init_module); }

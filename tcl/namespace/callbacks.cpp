// Python callables as Tcl commands: errors that reach Tcl, background errors, and deletion from
// other threads.
#include "namespace/callbacks.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// How a callback runs
//
// A Python callable registered here is a plain Tcl command (Tcl_CreateObjCommand) whose client
// data owns a reference to the callable. Tcl runs it while tkinter has released the GIL, and
// tkinter keeps, per thread, the Python thread state that its own commands restore when Tcl
// calls them; every tkinter call made from Python clears that record when it returns. A command
// that took the GIL by itself would leave the record cleared whenever the callable used
// tkinter, and the next tkinter command of the same Tcl evaluation would abort the process. So
// the Python side of every call runs inside a tkinter command of the same interpreter, the
// dispatcher ::__ortan__dispatch, made with tkinter's createcommand when the interpreter's first
// callback is registered and deleted with its last (on CPython before 3.14 a tkinter command
// holds its application object). Our command evaluates the dispatcher with its own words and a
// frame (thread-local) that says what to run; tkinter takes the GIL, turns the words into str,
// turns the result into a Tcl value and restores its record.
//
// An exception never leaves the dispatcher (tkinter would keep it and raise it from a later
// mainloop()): the frame carries the error back and our command turns it into a Tcl error,
// "Type: message", with errorInfo "Type: message" and the Python traceback after it, and the
// errorCode ORTAN PYERR <token> under which the interpreter's state keeps the exception (see
// calls.cpp), for the TclError of the call it failed in, or for the background-error handler
// installed here. SystemExit alone goes tkinter's way, so that a callback can still end a
// mainloop() by sys.exit().
//
// Only when the GIL is already held (C code that holds it called Tcl) does a callback run
// directly. A command's delete procedure drops the callable's reference at once when the GIL is
// held and otherwise leaves it to Py_AddPendingCall, so that no Python code runs inside Tcl
// outside tkinter's procedure.

namespace ortan {
namespace callbacks {
namespace {

using calls::api;
using calls::InterpState;
using calls::tcl_error;

// ---------------------------------------------------------------------------------------------
// Module constants, set by init.

PyObject *tclobj_fn;       // ortan.tcl.scribe.tclobj
PyObject *tkinter_module;  // tkinter, for _default_root
PyObject *misc_class;      // tkinter.Misc
PyObject *format_tb;       // traceback.format_tb
PyObject *print_exception; // traceback.print_exception
PyObject *weak_ref;        // weakref.ref
PyObject *dispatcher_fn;   // the function the dispatcher commands call

const char *const dispatcher_name = "::__ortan__dispatch";
const char *const bgerror_name = "::__ortan__bgerror";

#define CALLBACK_NAMES(X)                                                                          \
    X(empty_text, "")                                                                              \
    X(dispatcher_word, dispatcher_name)                                                            \
    X(rename_word, "::rename")                                                                     \
    X(createcommand, "createcommand")                                                              \
    X(deletecommand, "deletecommand")                                                              \
    X(call, "call")                                                                                \
    X(interpaddr, "interpaddr")                                                                    \
    X(tk, "tk")                                                                                    \
    X(tcl, "tcl")                                                                                  \
    X(newline, "\n")                                                                               \
    X(traceback_head, "Traceback (most recent call last):\n")                                      \
    X(report, "report_callback_exception")                                                         \
    X(default_root, "_default_root")                                                               \
    X(root, "_root")                                                                               \
    X(master, "master")                                                                            \
    X(name, "__name__")                                                                            \
    X(cmd_name, "cmd_name")                                                                        \
    X(wrapped, "__wrapped__")                                                                      \
    X(tcl_thread, "_tcl_thread")
ORTAN_NAME_TABLE(Names, CALLBACK_NAMES)
Names S;

// ---------------------------------------------------------------------------------------------
// Tcl values.

void incr(TclObj *obj) { api.IncrRefCount(obj, __FILE__, __LINE__); }
void decr(TclObj *obj) { api.DecrRefCount(obj, __FILE__, __LINE__); }

TclObj *tcl_text(const char *text) { return api.NewStringObj(text, -1); }

// A Tcl string of a str; text that UTF-8 cannot hold (lone surrogates) is escaped. Null with
// an exception set on failure.
TclObj *tcl_from_str(PyObject *str) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 && size <= INT32_MAX)
        return api.NewStringObj(utf8, static_cast<int>(size));
    if (!utf8)
        PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!bytes)
        return nullptr;
    if (PyBytes_GET_SIZE(bytes.get()) > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "text is too long for Tcl");
        return nullptr;
    }
    return api.NewStringObj(PyBytes_AS_STRING(bytes.get()),
                            static_cast<int>(PyBytes_GET_SIZE(bytes.get())));
}

// The Tcl value of a result already passed through tclobj(): text as text, a tuple or list as
// a Tcl list (recursively), anything else (numbers, Tcl objects) as its str. Used only where a
// callback runs outside tkinter's procedure. Null with an exception set.
TclObj *tcl_from_value(PyObject *value) {
    if (PyUnicode_Check(value))
        return tcl_from_str(value);
    if (PyTuple_Check(value) || PyList_Check(value)) {
        RecursionGuard guard(" while converting a callback's result for Tcl");
        if (!guard.ok())
            return nullptr;
        Ref items = Ref::steal(PySequence_Tuple(value));
        if (!items)
            return nullptr;
        const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
        SmallArray<TclObj *, 16> elements;
        if (n > INT32_MAX || !elements.reserve(static_cast<size_t>(n)))
            return n > INT32_MAX ? (PyErr_NoMemory(), nullptr) : nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            TclObj *element = tcl_from_value(PyTuple_GET_ITEM(items.get(), i));
            if (!element) {
                for (TclObj *done : elements)
                    decr(done);
                return nullptr;
            }
            incr(element);
            elements.push_back(element); // room reserved above
        }
        TclObj *list = api.NewListObj(static_cast<int>(n), elements.data());
        for (TclObj *element : elements)
            decr(element); // the list holds its own references
        return list;
    }
    if (PyBytes_Check(value))
        return api.NewStringObj(PyBytes_AS_STRING(value),
                                static_cast<int>(PyBytes_GET_SIZE(value) & INT32_MAX));
    Ref text = Ref::steal(PyObject_Str(value));
    return text ? tcl_from_str(text.get()) : nullptr;
}

// The text of a Tcl value; null when Tcl has none.
const char *text_of(TclObj *obj, int &length) { return api.GetStringFromObj(obj, &length); }

bool python_holds_gil() { return Py_IsInitialized() && PyGILState_Check(); }

// ---------------------------------------------------------------------------------------------
// Frames: what the dispatcher is asked to do.

enum class Job { call, report };

struct Frame {
    Job job = Job::call;
    bool pending = false;
    InterpState *state = nullptr;
    PyObject *func = nullptr;  // call: the callable (the command holds it)
    uint64_t token = 0;        // report
    bool reported = false;     // report: the exception was found
    TclObj *message = nullptr; // call, on error: the Tcl result
    TclObj *options = nullptr; // call, on error: the return options
};

thread_local Frame *current_frame = nullptr;

// Runs `frame` through the interpreter's dispatcher, with `objv[1:]` as its words; the code of
// that evaluation.
int through_dispatcher(Frame *frame, TclInterp *interp, int objc, TclObj *const objv[]) {
    // No Python here (no GIL): a stack array, or Tcl's allocator beyond it.
    const int n = objc > 0 ? objc : 1;
    TclObj *stack[16];
    TclObj **words =
        n <= 16 ? stack
                : static_cast<TclObj **>(api.Alloc(static_cast<size_t>(n) * sizeof(TclObj *)));
    words[0] = frame->state->dispatcher_word;
    for (int i = 1; i < objc; ++i)
        words[i] = objv[i];
    Frame *outer = current_frame;
    current_frame = frame;
    frame->pending = true;
    const int code = api.EvalObjv(interp, n, words, TCL_EVAL_INVOKE);
    current_frame = outer;
    if (words != stack)
        api.Free(words);
    return code;
}

// ---------------------------------------------------------------------------------------------
// Errors of callbacks.

// "Type: message", or "Type" for an exception without text.
Ref error_message(PyObject *exc) {
    Ref name = get_attr(reinterpret_cast<PyObject *>(Py_TYPE(exc)), S.name);
    if (!name)
        return name;
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) {
        PyErr_Clear();
        return name;
    }
    if (PyUnicode_GET_LENGTH(text.get()) == 0)
        return name;
    return Ref::steal(PyUnicode_FromFormat("%U: %U", name.get(), text.get()));
}

// The errorInfo of a failed callback: its message, then the Python traceback of where it
// failed. The exception's own line is the message already, and a chained cause is left out:
// a callback's error that holds the error of a nested call holds its errorInfo too, so the
// text grows by one traceback per level, not twice over.
Ref error_info(PyObject *exc, PyObject *message) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb)
        return Ref::borrow(message);
    Ref lines = call(format_tb, {tb.get()});
    Ref body = lines ? Ref::steal(PyUnicode_Join(S.empty_text, lines.get())) : lines;
    Ref joined =
        body ? Ref::steal(PyUnicode_FromFormat("%U\n%U%U", message, S.traceback_head, body.get()))
             : body;
    if (!joined)
        return joined;
    // Without the final newline.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(joined.get());
    if (n > 0 && PyUnicode_READ_CHAR(joined.get(), n - 1) == '\n')
        return Ref::steal(PyUnicode_Substring(joined.get(), 0, n - 1));
    return joined;
}

// The Tcl error of a failed callback into `frame`: its message and return options
// (-code error -level 0 -errorcode {ORTAN PYERR <token>} -errorinfo <text>). The exception is
// kept under the token. Never fails: what cannot be built is left plainer.
void fill_error(Frame *frame, PyObject *exc) {
    const uint64_t token = calls::keep_error(frame->state, exc);
    Ref message = error_message(exc);
    TclObj *message_obj = message ? tcl_from_str(message.get()) : nullptr;
    if (!message_obj) {
        PyErr_Clear();
        message_obj = tcl_text("Python callback failed");
    }
    Ref info = message ? error_info(exc, message.get()) : message;
    TclObj *info_obj = info ? tcl_from_str(info.get()) : nullptr;
    if (!info_obj) {
        PyErr_Clear();
        info_obj = message_obj;
    }
    TclObj *options[] = {tcl_text("-code"),      tcl_text("1"),
                         tcl_text("-level"),     tcl_text("0"),
                         tcl_text("-errorcode"), calls::error_code_of(token),
                         tcl_text("-errorinfo"), info_obj};
    frame->message = message_obj;
    incr(frame->message);
    frame->options = api.NewListObj(8, options);
    incr(frame->options);
}

// Where a background error of the state's interpreter is reported: tkinter's default root when
// it is a root of that interpreter, else the root recorded for it; null when none.
Ref root_for(InterpState *state) {
    Ref address = Ref::steal(PyLong_FromVoidPtr(state->interp));
    if (!address)
        return Ref();
    Ref candidates[2];
    if (get_optional_attr(tkinter_module, S.default_root, candidates[0]) < 0)
        return Ref();
    if (state->root)
        candidates[1] = call(state->root);
    for (Ref &candidate : candidates) {
        if (!candidate || candidate.get() == Py_None)
            continue;
        Ref tk;
        if (get_optional_attr(candidate.get(), S.tk, tk) < 0)
            return Ref();
        if (!tk || tk.get() == Py_None)
            continue;
        Ref at = call_method(tk.get(), S.interpaddr);
        if (!at) {
            PyErr_Clear();
            continue;
        }
        const int same = PyObject_RichCompareBool(at.get(), address.get(), Py_EQ);
        if (same < 0)
            return Ref();
        if (same)
            return candidate;
    }
    return Ref();
}

// Reports the exception kept under `token` as tkinter reports a callback's exception:
// root.report_callback_exception(type, value, traceback) where the interpreter has a Tk root,
// else the traceback printed to stderr. False when no exception is kept under the token.
bool report_now(InterpState *state, uint64_t token) {
    Ref exc = calls::claim_error(state, token);
    if (!exc)
        return false;
    Ref root = root_for(state);
    if (!root)
        PyErr_Clear();
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc.get()));
    PyObject *tb_or_none = tb ? tb.get() : Py_None;
    Ref done = root ? call_method(root.get(), S.report, {type, exc.get(), tb_or_none})
                    : call(print_exception, {type, exc.get(), tb_or_none});
    if (!done)
        PyErr_WriteUnraisable(root ? root.get() : print_exception);
    return true;
}

int decref_pending(void *obj) {
    Py_DECREF(static_cast<PyObject *>(obj));
    return 0;
}

// Drops a reference from a delete procedure: at once with the GIL, otherwise later from
// Python's pending calls (see the note at the top).
void release_reference(PyObject *obj) {
    if (!Py_IsInitialized())
        return; // the process is ending; Python's objects are gone or going
    if (PyGILState_Check()) {
        Py_DECREF(obj);
        return;
    }
    if (Py_AddPendingCall(decref_pending, obj) == 0)
        return;
    PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(obj);
    PyGILState_Release(gil);
}

// ---------------------------------------------------------------------------------------------
// The dispatcher: the Python side of each call, run by tkinter's command procedure.

// A callable's call: its result through tclobj(), or its error into the frame.
PyObject *run_call(Frame *frame, PyObject *const *args, Py_ssize_t nargs) {
    Ref func = Ref::borrow(frame->func);
    Ref result =
        Ref::steal(PyObject_Vectorcall(func.get(), args, static_cast<size_t>(nargs), nullptr));
    if (result && !PyUnicode_CheckExact(result.get()))
        result = call(tclobj_fn, {result.get()});
    if (result)
        return result.release();
    if (PyErr_ExceptionMatches(PyExc_SystemExit))
        return nullptr; // tkinter keeps it for mainloop(), as for its own commands
    Ref exc = fetch_exception();
    if (exc)
        fill_error(frame, exc.get());
    PyErr_Clear();
    return Py_NewRef(S.empty_text);
}

PyObject *dispatch(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    Frame *frame = current_frame;
    if (!frame || !frame->pending) // called by name from Tcl: nothing asked
        return Py_NewRef(S.empty_text);
    frame->pending = false;
    if (frame->job == Job::report) {
        frame->reported = report_now(frame->state, frame->token);
        PyErr_Clear();
        return Py_NewRef(S.empty_text);
    }
    return run_call(frame, args, nargs);
}

PyMethodDef dispatch_def = {"_dispatch", as_cfunction(dispatch), METH_FASTCALL,
                            "Runs the pending Python callback of a Tcl command."};

// A callable's call in the calling thread, which holds the GIL: the same as through the
// dispatcher, with the words and the result converted here.
int run_direct(Frame *frame, TclInterp *interp, int objc, TclObj *const objv[]) {
    Ref words = Ref::steal(PyTuple_New(objc > 0 ? objc - 1 : 0));
    Ref result;
    bool ok = static_cast<bool>(words);
    for (int i = 1; ok && i < objc; ++i) {
        int length = 0;
        const char *text = text_of(objv[i], length);
        PyObject *word =
            PyUnicode_DecodeUTF8(text ? text : "", text ? length : 0, "surrogateescape");
        ok = word != nullptr;
        if (ok)
            PyTuple_SET_ITEM(words.get(), i - 1, word);
    }
    if (ok) {
        result = Ref::steal(PyObject_Call(frame->func, words.get(), nullptr));
        if (result)
            result = call(tclobj_fn, {result.get()});
    }
    TclObj *value = result ? tcl_from_value(result.get()) : nullptr;
    if (value) {
        api.SetObjResult(interp, value);
        return TCL_OK;
    }
    Ref exc = fetch_exception();
    if (exc)
        fill_error(frame, exc.get());
    PyErr_Clear();
    return TCL_OK;
}

// ---------------------------------------------------------------------------------------------
// Tcl commands: the callbacks and the background-error handler.

// A callback command's client data.
struct Callback {
    PyObject *func; // owned
    InterpState *state;
};

int callback_proc(void *client_data, TclInterp *interp, int objc, TclObj *const objv[]) {
    auto *callback = static_cast<Callback *>(client_data);
    Frame frame;
    frame.func = callback->func;
    frame.state = callback->state;
    calls::state_ref(frame.state);
    int code = python_holds_gil() ? run_direct(&frame, interp, objc, objv)
                                  : through_dispatcher(&frame, interp, objc, objv);
    calls::state_unref(frame.state);
    if (!frame.message)
        return code;
    api.SetObjResult(interp, frame.message);
    code = api.SetReturnOptions(interp, frame.options);
    decr(frame.message);
    decr(frame.options);
    return code;
}

// Deletes the interpreter's dispatcher once it serves no callback. Only from inside a Tcl
// evaluation that tkinter entered (no GIL held): tkinter's delete procedure needs its record.
void drop_dispatcher(InterpState *state) {
    if (state->callbacks > 0 || state->deleted || python_holds_gil())
        return;
    TclCmdInfo info{};
    if (api.GetCommandInfo(state->interp, dispatcher_name, &info))
        api.DeleteCommand(state->interp, dispatcher_name);
}

void callback_deleted(void *client_data) {
    auto *callback = static_cast<Callback *>(client_data);
    PyObject *func = callback->func;
    InterpState *state = callback->state;
    delete callback;
    --state->callbacks;
    drop_dispatcher(state);
    calls::state_unref(state);
    release_reference(func);
}

// interp bgerror's handler: `handler message options`. The errors of our callbacks are reported
// from Python; every other one goes to the handler that was installed before.
int bgerror_proc(void *client_data, TclInterp *interp, int objc, TclObj *const objv[]) {
    auto *state = static_cast<InterpState *>(client_data);
    uint64_t token = 0;
    if (objc == 3) {
        TclObj *key = tcl_text("-errorcode");
        incr(key);
        TclObj *code = nullptr;
        if (api.DictObjGet(nullptr, objv[2], key, &code) == TCL_OK)
            token = calls::token_of(code);
        decr(key);
    }
    if (token) {
        // A token whose exception is no longer kept goes on as any other error.
        if (python_holds_gil()) {
            if (report_now(state, token))
                return TCL_OK;
        } else {
            TclCmdInfo info{};
            if (api.GetCommandInfo(interp, dispatcher_name, &info)) {
                Frame frame;
                frame.job = Job::report;
                frame.token = token;
                frame.state = state;
                through_dispatcher(&frame, interp, 1, objv);
                if (frame.reported)
                    return TCL_OK;
            }
        }
    }
    // Pass on: previous-handler-prefix message options.
    int nprefix = 0;
    TclObj **prefix = nullptr;
    if (!state->previous_bgerror ||
        api.ListObjGetElements(nullptr, state->previous_bgerror, &nprefix, &prefix) != TCL_OK ||
        nprefix == 0)
        return TCL_OK;
    TclObj *stack[16];
    const int n = nprefix + objc - 1;
    TclObj **words =
        n <= 16 ? stack
                : static_cast<TclObj **>(std::malloc(static_cast<size_t>(n) * sizeof(TclObj *)));
    if (!words)
        return TCL_ERROR;
    for (int i = 0; i < nprefix; ++i)
        words[i] = prefix[i];
    for (int i = 1; i < objc; ++i)
        words[nprefix + i - 1] = objv[i];
    for (int i = 0; i < n; ++i)
        incr(words[i]);
    incr(state->previous_bgerror);
    const int code = api.EvalObjv(interp, n, words, TCL_EVAL_GLOBAL);
    for (int i = 0; i < n; ++i)
        decr(words[i]);
    decr(state->previous_bgerror);
    if (words != stack)
        std::free(words);
    return code;
}

// The dispatcher of the state's interpreter, made through tkinter when it is missing. False
// with an exception set.
bool ensure_dispatcher(InterpState *state, PyObject *tkapp) {
    TclCmdInfo info{};
    if (api.GetCommandInfo(state->interp, dispatcher_name, &info))
        return true;
    return static_cast<bool>(
        call_method(tkapp, S.createcommand, {S.dispatcher_word, dispatcher_fn}));
}

// Records the Tk root of the command's host for its interpreter, where the host has one: the
// host itself, or its `_root` or `master`, a tkinter object of the same interpreter.
void remember_root(PyObject *command, PyObject *tkapp, InterpState *state) {
    Ref tcl, host;
    if (get_optional_attr(command, S.tcl, tcl) <= 0 || !(host = unproxied(tcl.get()))) {
        PyErr_Clear();
        return;
    }
    Ref candidates[3] = {host};
    if (get_optional_attr(host.get(), S.root, candidates[1]) < 0 ||
        get_optional_attr(host.get(), S.master, candidates[2]) < 0) {
        PyErr_Clear();
        return;
    }
    for (Ref &candidate : candidates) {
        if (!candidate)
            continue;
        const int is_misc = PyObject_IsInstance(candidate.get(), misc_class);
        Ref tk;
        if (is_misc > 0 && get_optional_attr(candidate.get(), S.tk, tk) > 0 && tk.get() == tkapp) {
            Ref ref = call(weak_ref, {candidate.get()});
            if (!ref) {
                PyErr_Clear();
                return;
            }
            Py_XSETREF(state->root, ref.release());
            return;
        }
        PyErr_Clear();
    }
}

// ---------------------------------------------------------------------------------------------
// Deletion queued to the interpreter's thread.

struct DeleteEvent {
    TclEvent header;
    TclInterp *interp; // preserved until the event has run
    PyObject *func;    // the callable the command must still hold (compared, never used)
    char name[1];      // the command name, NUL-terminated, allocated beyond the struct
};

int delete_event_proc(TclEvent *event, int) {
    auto *pending = reinterpret_cast<DeleteEvent *>(event);
    TclInterp *interp = pending->interp;
    TclCmdInfo info{};
    // Only the command this object registered: the name may have been taken again since.
    if (!api.InterpDeleted(interp) && api.GetCommandInfo(interp, pending->name, &info) &&
        info.objProc == callback_proc &&
        static_cast<Callback *>(info.objClientData)->func == pending->func)
        api.DeleteCommand(interp, pending->name);
    api.Release(interp);
    return 1; // handled: Tcl frees the event
}

void warn_left_behind(PyObject *command, PyObject *name) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "%s was collected in a thread other than its Tcl interpreter's, and its "
                         "Tcl command %R could not be deleted from there; it is left behind",
                         Py_TYPE(command)->tp_name, name ? name : Py_None) < 0)
        PyErr_WriteUnraisable(command);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The interface for the rest of the module.

bool init() {
    if (!S.intern())
        return false;
    return (tclobj_fn = import_attr("ortan.tcl.scribe", "tclobj").release()) &&
           (tkinter_module = import_module("tkinter").release()) &&
           (misc_class = import_attr("tkinter", "Misc").release()) &&
           (format_tb = import_attr("traceback", "format_tb").release()) &&
           (print_exception = import_attr("traceback", "print_exception").release()) &&
           (weak_ref = import_attr("weakref", "ref").release()) &&
           (dispatcher_fn = PyCFunction_New(&dispatch_def, nullptr));
}

void wire_state(InterpState *state) {
    if (state->previous_bgerror)
        return;
    TclInterp *interp = state->interp;
    TclObj *get[] = {tcl_text("interp"), tcl_text("bgerror"), tcl_text("")};
    for (TclObj *word : get)
        incr(word);
    if (api.EvalObjv(interp, 3, get, TCL_EVAL_GLOBAL) == TCL_OK) {
        state->previous_bgerror = api.GetObjResult(interp);
        incr(state->previous_bgerror);
        if (api.CreateObjCommand(interp, bgerror_name, bgerror_proc, state,
                                 calls::state_unref_proc)) {
            calls::state_ref(state);
            TclObj *set[] = {get[0], get[1], get[2], tcl_text(bgerror_name)};
            incr(set[3]);
            api.EvalObjv(interp, 4, set, TCL_EVAL_GLOBAL);
            decr(set[3]);
        }
    }
    for (TclObj *word : get)
        decr(word);
    api.ResetResult(interp);
}

int create_command(PyObject *command, PyObject *tk, PyObject *name, PyObject *func) {
    if (!PyCallable_Check(func)) {
        PyErr_SetString(PyExc_TypeError, "command not callable"); // tkinter's words
        return -1;
    }
    Ref tkapp = tkapp_of(tk);
    if (!tkapp) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    InterpState *state = calls::owned_state(tkapp.get(), "registering a Python callback");
    if (!state)
        return -1;
    TclInterp *interp = state->interp;
    Ref text = PyUnicode_Check(name) ? Ref::borrow(name) : Ref::steal(PyObject_Str(name));
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8)
        return -1;
    // A command of that name that is not ours is deleted through tkinter first: its delete
    // procedure may be tkinter's, which must not run under the GIL we hold.
    TclCmdInfo info{};
    if (api.GetCommandInfo(interp, utf8, &info) && info.objProc != callback_proc &&
        !call_method(tkapp.get(), S.call, {S.rename_word, text.get(), S.empty_text}))
        return -1;
    if (!ensure_dispatcher(state, tkapp.get()))
        return -1;
    remember_root(command, tkapp.get(), state);
    auto *callback = new (std::nothrow) Callback{nullptr, state};
    if (!callback) {
        PyErr_NoMemory();
        return -1;
    }
    callback->func = Py_NewRef(func);
    calls::state_ref(state);
    ++state->callbacks;
    if (!api.CreateObjCommand(interp, utf8, callback_proc, callback, callback_deleted)) {
        callback_deleted(callback);
        PyErr_Format(tcl_error, "cannot create the Tcl command %R", text.get());
        return -1;
    }
    return 1;
}

bool remember_thread(PyObject *command) {
    Ref thread = Ref::steal(PyLong_FromVoidPtr(api.GetCurrentThread()));
    return thread && PyObject_SetAttr(command, S.tcl_thread, thread.get()) == 0;
}

int delete_elsewhere(PyObject *command) {
    Ref tcl, host, tk, tkapp, thread;
    if (get_optional_attr(command, S.tcl, tcl) <= 0 || !(host = unproxied(tcl.get())) ||
        !(tk = get_attr(host.get(), S.tk)) || !(tkapp = tkapp_of(tk.get())) ||
        get_optional_attr(command, S.tcl_thread, thread) <= 0) {
        PyErr_Clear(); // no interpreter to tell: the caller's own way
        return 0;
    }
    TclInterp *interp = interp_of(tkapp.get());
    void *owner = PyLong_AsVoidPtr(thread.get());
    if (!interp || PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    if (api.GetCurrentThread() == owner)
        return 0;
    Ref name = get_attr(command, S.cmd_name);
    Ref wrapped = name ? get_attr(command, S.wrapped) : Ref();
    Ref text = name && PyUnicode_Check(name.get()) ? name : Ref();
    Py_ssize_t size = 0;
    const char *utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!wrapped || !utf8 || size > 65536) {
        PyErr_Clear();
        warn_left_behind(command, name.get());
        return 1;
    }
    // The application object is held here, so the interpreter cannot be deleted before it is
    // preserved; the event releases it on the interpreter's thread.
    api.Preserve(interp);
    auto *event =
        reinterpret_cast<DeleteEvent *>(api.Alloc(sizeof(DeleteEvent) + static_cast<size_t>(size)));
    event->header.proc = delete_event_proc;
    event->header.next = nullptr;
    event->interp = interp;
    event->func = wrapped.get();
    std::memcpy(event->name, utf8, static_cast<size_t>(size) + 1);
    auto *owner_thread = static_cast<TclThreadId>(owner);
    api.ThreadQueueEvent(owner_thread, &event->header, TCL_QUEUE_TAIL);
    api.ThreadAlert(owner_thread);
    return 1;
}

} // namespace callbacks
} // namespace ortan

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
// the Python side of every call runs inside tkinter's own command procedure: one tkinter
// command, the dispatcher, is made once per process on a private interpreter of its own, and our
// command procedure calls its procedure directly, with the calling interpreter and a frame
// (thread-local) that says what to run. tkinter then takes the GIL, turns the words into str,
// turns the result into a Tcl value and restores its record. (A tkinter command holds its
// application object; one made in the application's own interpreter would keep that
// interpreter, its windows and its display connection alive for good.)
//
// An exception never leaves the dispatcher (tkinter would keep it and raise it from a later
// mainloop()): the frame carries the error back and the command procedure turns it into a Tcl
// error, "Type: message", with the Python traceback as errorInfo and `ORTAN PYERR <token>` as
// errorCode. The exception itself is kept under the token, for a bounded number of errors, so
// that a TclError raised for it can name it as its __cause__, and so that the background-error
// handler installed here can hand it to report_callback_exception. SystemExit alone goes
// tkinter's way, so that a callback can still end a mainloop() by sys.exit().
//
// Only when the GIL is already held (C code that holds it called Tcl) does a callback run
// directly. A command's delete procedure drops the callable's reference at once when the GIL is
// held and otherwise leaves it to Py_AddPendingCall, so that no Python code runs inside Tcl
// outside tkinter's procedure.

namespace ortan {
namespace callbacks {
namespace {

// ---------------------------------------------------------------------------------------------
// Module-wide state, set by init.

const TclApi &api = tcl_api(); // bound by the first interpreter met

PyObject *tclobj_fn;        // ortan.tcl.scribe.tclobj
PyObject *tcl_error;        // tkinter.TclError
PyObject *tkinter_module;   // tkinter, for _default_root
PyObject *misc_class;       // tkinter.Misc
PyObject *format_exception; // traceback.format_exception
PyObject *print_exception;  // traceback.print_exception
PyObject *dispatcher_fn;    // the function the dispatcher commands call

// The exceptions of failed callbacks, token -> exception, oldest first, and the Tk roots that
// report background errors, interpreter address -> root (weakly).
PyObject *pending_errors;
PyObject *roots;
unsigned long long next_token = 1;
constexpr Py_ssize_t max_pending_errors = 64;

const char *const dispatcher_name = "::__ortan__dispatch";
const char *const bgerror_name = "::__ortan__bgerror";
const char *const assoc_key = "ortan.tcl.namespace callbacks";
constexpr int TCL_EVAL_GLOBAL = 0x020000;

// Interned words and attribute names.
#define CALLBACK_NAMES(X)                                                                          \
    X(empty_text, "")                                                                              \
    X(dispatcher_word, dispatcher_name)                                                            \
    X(rename_word, "::rename")                                                                     \
    X(error_code_var, "::errorCode")                                                               \
    X(createcommand, "createcommand")                                                              \
    X(call, "call")                                                                                \
    X(getvar, "getvar")                                                                            \
    X(interpaddr, "interpaddr")                                                                    \
    X(tk, "tk")                                                                                    \
    X(tcl, "tcl")                                                                                  \
    X(get, "get")                                                                                  \
    X(split, "split")                                                                              \
    X(rstrip, "rstrip")                                                                            \
    X(newline, "\n")                                                                               \
    X(report, "report_callback_exception")                                                         \
    X(default_root, "_default_root")                                                               \
    X(root, "_root")                                                                               \
    X(master, "master")                                                                            \
    X(name, "__name__")                                                                            \
    X(cmd_name, "cmd_name")                                                                        \
    X(wrapped, "__wrapped__")
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

// ---------------------------------------------------------------------------------------------
// The kept exceptions.

// Keeps `exc` under a new token (0 on failure, exception cleared); beyond the bound the oldest
// is dropped.
unsigned long long keep_exception(PyObject *exc) {
    const unsigned long long token = next_token++;
    Ref key = Ref::steal(PyLong_FromUnsignedLongLong(token));
    if (!key || PyDict_SetItem(pending_errors, key.get(), exc) < 0) {
        PyErr_Clear();
        return 0;
    }
    while (PyDict_GET_SIZE(pending_errors) > max_pending_errors) {
        Py_ssize_t pos = 0;
        PyObject *oldest, *value;
        if (!PyDict_Next(pending_errors, &pos, &oldest, &value))
            break;
        Ref held = Ref::borrow(oldest);
        if (PyDict_DelItem(pending_errors, held.get()) < 0) {
            PyErr_Clear();
            break;
        }
    }
    return token;
}

// Takes the exception kept under `token` out of the store; null (no exception set) when none.
Ref claim_exception(unsigned long long token) {
    Ref key = Ref::steal(PyLong_FromUnsignedLongLong(token));
    if (!key)
        return Ref();
    PyObject *found = PyDict_GetItemWithError(pending_errors, key.get()); // borrowed
    if (!found)
        return Ref();
    Ref exc = Ref::borrow(found);
    if (PyDict_DelItem(pending_errors, key.get()) < 0)
        return Ref();
    return exc;
}

// The token of an errorCode value (a tuple or list of words, text, or a Tcl object) of the
// form `ORTAN PYERR <token>`: 1 with `token` set, 0 when it names none, -1 with an exception.
int token_of(PyObject *code, unsigned long long &token) {
    Ref words;
    if (PyTuple_Check(code) || PyList_Check(code)) {
        words = Ref::steal(PySequence_Tuple(code));
    } else {
        Ref text = PyUnicode_Check(code) ? Ref::borrow(code) : Ref::steal(PyObject_Str(code));
        Ref parts = text ? call_method(text.get(), S.split) : text;
        words = parts ? Ref::steal(PySequence_Tuple(parts.get())) : parts;
    }
    if (!words)
        return -1;
    if (PyTuple_GET_SIZE(words.get()) < 3)
        return 0;
    Ref texts[3];
    for (int i = 0; i < 3; ++i) {
        PyObject *word = PyTuple_GET_ITEM(words.get(), i);
        texts[i] = PyUnicode_Check(word) ? Ref::borrow(word) : Ref::steal(PyObject_Str(word));
        if (!texts[i])
            return -1;
    }
    if (PyUnicode_CompareWithASCIIString(texts[0].get(), "ORTAN") != 0 ||
        PyUnicode_CompareWithASCIIString(texts[1].get(), "PYERR") != 0)
        return 0;
    Ref number = Ref::steal(PyLong_FromUnicodeObject(texts[2].get(), 10));
    if (number)
        token = PyLong_AsUnsignedLongLong(number.get());
    if (!number || PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return 1;
}

// A token from the Tcl words of an errorCode; 0 when they name none. No GIL needed.
unsigned long long token_of_words(TclObj *code) {
    int n = 0;
    TclObj **words = nullptr;
    if (!code || api.ListObjGetElements(nullptr, code, &n, &words) != TCL_OK || n < 3)
        return 0;
    int length = 0;
    const char *first = text_of(words[0], length);
    const char *second = first ? text_of(words[1], length) : nullptr;
    const char *third = second ? text_of(words[2], length) : nullptr;
    if (!third || std::strcmp(first, "ORTAN") != 0 || std::strcmp(second, "PYERR") != 0)
        return 0;
    unsigned long long token = 0;
    if (length > 19) // beyond what the counter reaches
        return 0;
    for (const char *c = third; *c; ++c) {
        if (*c < '0' || *c > '9')
            return 0;
        token = token * 10 + static_cast<unsigned>(*c - '0');
    }
    return token;
}

// ---------------------------------------------------------------------------------------------
// Per interpreter: the dispatcher and the background-error handler.

// Tcl's association data of an interpreter. Reference-counted by the interpreter (released when
// it is deleted) and the background-error handler, both on the interpreter's thread, so none of
// it needs the GIL.
struct InterpState {
    TclInterp *interp = nullptr;
    int refs = 0;
    TclObj *previous_bgerror = nullptr;
};

void state_unref(InterpState *state) {
    if (--state->refs > 0)
        return;
    if (state->previous_bgerror)
        decr(state->previous_bgerror);
    delete state;
}

void state_deleted(void *client_data, TclInterp *) {
    state_unref(static_cast<InterpState *>(client_data));
}

bool python_holds_gil() { return Py_IsInitialized() && PyGILState_Check(); }

// What the dispatcher is asked to do.
enum class Job { call, report };

struct Frame {
    Job job = Job::call;
    bool pending = false;
    PyObject *func = nullptr;     // call: the callable (the command holds it)
    unsigned long long token = 0; // report
    TclInterp *interp = nullptr;  // report
    bool reported = false;        // report: the exception was found
    TclObj *message = nullptr;    // call, on error: the Tcl result
    TclObj *options = nullptr;    // call, on error: the return options
};

thread_local Frame *current_frame = nullptr;

// tkinter's command procedure and client data of the dispatcher, set once (make_dispatcher).
TclObjCmdProc dispatch_proc = nullptr;
void *dispatch_data = nullptr;
PyObject *dispatcher_app; // the private tkinter interpreter that holds the dispatcher

// Runs `frame` through tkinter's command procedure on `interp`. False (nothing run) before
// the dispatcher exists.
bool through_dispatcher(Frame *frame, TclInterp *interp, int objc, TclObj *const objv[],
                        int &code) {
    if (!dispatch_proc)
        return false;
    Frame *outer = current_frame;
    current_frame = frame;
    frame->pending = true;
    code = dispatch_proc(dispatch_data, interp, objc, objv);
    current_frame = outer;
    return true;
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

// The traceback text of `exc`, as traceback.format_exception gives it, without the final
// newline.
Ref error_traceback(PyObject *exc) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    Ref lines = call(format_exception,
                     {reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc, tb ? tb.get() : Py_None});
    Ref joined = lines ? Ref::steal(PyUnicode_Join(S.empty_text, lines.get())) : lines;
    return joined ? call_method(joined.get(), S.rstrip, {S.newline}) : joined;
}

// The Tcl error of a failed callback into `frame`: its message and return options
// (-code error -level 0 -errorcode {ORTAN PYERR <token>} -errorinfo <traceback>). The exception
// is kept under the token. Never fails: what cannot be built is left plainer.
void fill_error(Frame *frame, PyObject *exc) {
    const unsigned long long token = keep_exception(exc);
    Ref message = error_message(exc);
    TclObj *message_obj = message ? tcl_from_str(message.get()) : nullptr;
    if (!message_obj) {
        PyErr_Clear();
        message_obj = tcl_text("Python callback failed");
    }
    Ref tb = error_traceback(exc);
    TclObj *info_obj = tb ? tcl_from_str(tb.get()) : nullptr;
    if (!info_obj) {
        PyErr_Clear();
        info_obj = message_obj;
    }
    char number[24];
    std::snprintf(number, sizeof number, "%llu", token);
    TclObj *code_words[] = {tcl_text("ORTAN"), tcl_text("PYERR"), tcl_text(number)};
    TclObj *options[] = {tcl_text("-code"),      tcl_text("1"),
                         tcl_text("-level"),     tcl_text("0"),
                         tcl_text("-errorcode"), api.NewListObj(3, code_words),
                         tcl_text("-errorinfo"), info_obj};
    frame->message = message_obj;
    incr(frame->message);
    frame->options = api.NewListObj(8, options);
    incr(frame->options);
}

// Where a background error of the interpreter at `address` is reported: tkinter's default root
// when it is a root of that interpreter, else the root recorded for it; null when none.
Ref root_for(TclInterp *interp) {
    Ref address = Ref::steal(PyLong_FromVoidPtr(interp));
    if (!address)
        return Ref();
    Ref candidates[2];
    if (get_optional_attr(tkinter_module, S.default_root, candidates[0]) < 0)
        return Ref();
    candidates[1] = call_method(roots, S.get, {address.get()});
    if (!candidates[1])
        return Ref();
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
bool report_now(TclInterp *interp, unsigned long long token) {
    Ref exc = claim_exception(token);
    if (!exc) {
        PyErr_Clear();
        return false;
    }
    Ref root = root_for(interp);
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

struct PendingReport {
    TclInterp *interp;
    unsigned long long token;
};

int report_pending(void *arg) {
    auto *pending = static_cast<PendingReport *>(arg);
    report_now(pending->interp, pending->token);
    std::free(pending);
    return 0;
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
        frame->reported = report_now(frame->interp, frame->token);
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
};

int callback_proc(void *client_data, TclInterp *interp, int objc, TclObj *const objv[]) {
    auto *callback = static_cast<Callback *>(client_data);
    Frame frame;
    frame.func = callback->func;
    int code = TCL_OK;
    if (python_holds_gil()) {
        code = run_direct(&frame, interp, objc, objv);
    } else if (!through_dispatcher(&frame, interp, objc, objv, code)) {
        PyGILState_STATE gil = PyGILState_Ensure();
        code = run_direct(&frame, interp, objc, objv);
        PyGILState_Release(gil);
    }
    if (!frame.message)
        return code;
    api.SetObjResult(interp, frame.message);
    code = api.SetReturnOptions(interp, frame.options);
    decr(frame.message);
    decr(frame.options);
    return code;
}

void callback_deleted(void *client_data) {
    auto *callback = static_cast<Callback *>(client_data);
    PyObject *func = callback->func;
    delete callback;
    release_reference(func);
}

// interp bgerror's handler: `handler message options`. The errors of our callbacks are reported
// from Python; every other one goes to the handler that was installed before.
int bgerror_proc(void *client_data, TclInterp *interp, int objc, TclObj *const objv[]) {
    auto *state = static_cast<InterpState *>(client_data);
    unsigned long long token = 0;
    if (objc == 3) {
        TclObj *key = tcl_text("-errorcode");
        incr(key);
        TclObj *code = nullptr;
        if (api.DictObjGet(nullptr, objv[2], key, &code) == TCL_OK)
            token = token_of_words(code);
        decr(key);
    }
    if (token) {
        Frame frame;
        frame.job = Job::report;
        frame.token = token;
        frame.interp = state->interp;
        int code = TCL_OK;
        // A token whose exception is no longer kept goes on as any other error.
        if (python_holds_gil()) {
            if (report_now(state->interp, token))
                return TCL_OK;
        } else if (through_dispatcher(&frame, interp, 1, objv, code)) {
            if (frame.reported)
                return TCL_OK;
        } else {
            auto *pending = static_cast<PendingReport *>(std::malloc(sizeof(PendingReport)));
            if (pending) {
                pending->interp = state->interp;
                pending->token = token;
                if (Py_AddPendingCall(report_pending, pending) == 0)
                    return TCL_OK;
                std::free(pending);
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

void bgerror_deleted(void *client_data) { state_unref(static_cast<InterpState *>(client_data)); }

// Installs bgerror_proc as the interpreter's background-error handler, keeping the one before.
void install_bgerror(InterpState *state) {
    TclInterp *interp = state->interp;
    TclObj *get[] = {tcl_text("interp"), tcl_text("bgerror"), tcl_text("")};
    for (TclObj *word : get)
        incr(word);
    if (api.EvalObjv(interp, 3, get, TCL_EVAL_GLOBAL) == TCL_OK) {
        state->previous_bgerror = api.GetObjResult(interp);
        incr(state->previous_bgerror);
        if (api.CreateObjCommand(interp, bgerror_name, bgerror_proc, state, bgerror_deleted)) {
            ++state->refs;
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

// The dispatcher: a tkinter command of dispatcher_fn in a private interpreter, made once, whose
// command procedure and client data are kept. False with an exception set.
bool make_dispatcher() {
    if (dispatch_proc)
        return true;
    // _tkinter.create(screenName, baseName, className, interactive, wantobjects, wantTk, sync,
    // use): a bare interpreter, without Tk and without the profile scripts that tkinter.Tcl()
    // runs. wantobjects 1: the words reach callbacks as str.
    Ref create = import_attr("_tkinter", "create");
    Ref app = create ? Ref::steal(PyObject_CallFunction(create.get(), "OssiiiiO", Py_None, "ortan",
                                                        "Tcl", 0, 1, 0, 0, Py_None))
                     : create;
    TclInterp *interp = nullptr;
    TclThreadId thread = nullptr;
    if (!app || !tkapp_interp(app.get(), interp, thread) || !bind_from_interp(interp) ||
        !call_method(app.get(), S.createcommand, {S.dispatcher_word, dispatcher_fn}))
        return false;
    TclCommandToken *token = api.FindCommand(interp, dispatcher_name, nullptr, 0);
    TclCmdInfo info{};
    if (!token || !api.GetCommandInfoFromToken(token, &info) || !info.isNativeObjectProc ||
        !info.objProc) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot reach tkinter's command procedure for Python callbacks");
        return false;
    }
    dispatcher_app = app.release(); // kept for good: its command holds the client data
    dispatch_data = info.objClientData;
    dispatch_proc = info.objProc;
    return true;
}

// The interpreter's state, made (with the background-error handler) on first use. Null with an
// exception set.
InterpState *state_of(TclInterp *interp) {
    auto *state = static_cast<InterpState *>(api.GetAssocData(interp, assoc_key, nullptr));
    if (state)
        return state;
    state = new (std::nothrow) InterpState;
    if (!state) {
        PyErr_NoMemory();
        return nullptr;
    }
    state->interp = interp;
    state->refs = 1;
    api.SetAssocData(interp, assoc_key, state_deleted, state);
    install_bgerror(state);
    return state;
}

// Records the Tk root of the command's host for its interpreter, where the host has one: the
// host itself, or its `_root` or `master`, a tkinter object of the same interpreter.
void remember_root(PyObject *command, PyObject *tkapp, TclInterp *interp) {
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
            Ref address = Ref::steal(PyLong_FromVoidPtr(interp));
            if (!address || PyObject_SetItem(roots, address.get(), candidate.get()) < 0)
                PyErr_Clear();
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

// ---------------------------------------------------------------------------------------------
// Module functions.

PyObject *callback_error(PyObject *, PyObject *errorcode) {
    unsigned long long token = 0;
    const int found = token_of(errorcode, token);
    if (found < 0)
        return nullptr;
    if (found) {
        Ref exc = claim_exception(token);
        if (exc)
            return exc.release();
        if (PyErr_Occurred())
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef callback_error_def = {
    "_callback_error", callback_error, METH_O,
    "_callback_error($module, errorcode, /)\n--\n\n"
    "The exception of the Python callback that a Tcl error came from, or None.\n\n"
    "`errorcode` is Tcl's errorCode of that error (a tuple of words or its text); a callback's\n"
    "error has the code ORTAN PYERR <token>. The exception is handed out once: it is taken\n"
    "out of the bounded store that keeps the last errors of callbacks."};

} // namespace

// ---------------------------------------------------------------------------------------------
// The interface for the rest of the module.

bool init(PyObject *module) {
    if (!S.intern())
        return false;
    if (!(tclobj_fn = import_attr("ortan.tcl.scribe", "tclobj").release()) ||
        !(tcl_error = import_attr("tkinter", "TclError").release()) ||
        !(tkinter_module = import_module("tkinter").release()) ||
        !(misc_class = import_attr("tkinter", "Misc").release()) ||
        !(format_exception = import_attr("traceback", "format_exception").release()) ||
        !(print_exception = import_attr("traceback", "print_exception").release()))
        return false;
    Ref weak_values = import_attr("weakref", "WeakValueDictionary");
    if (!weak_values || !(roots = call(weak_values.get()).release()) ||
        !(pending_errors = PyDict_New()) ||
        !(dispatcher_fn = PyCFunction_New(&dispatch_def, nullptr)))
        return false;
    return bind(module, "_callback_error", module_function(&callback_error_def, module));
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
    TclInterp *interp = nullptr;
    TclThreadId owner = nullptr;
    if (!tkapp_interp(tkapp.get(), interp, owner)) {
        PyErr_Clear(); // a tkinter whose record is unknown: its own createcommand
        return 0;
    }
    if (!bind_from_interp(interp) || !on_owner_thread(api, owner))
        return -1;
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
    if (!make_dispatcher() || !state_of(interp))
        return -1;
    remember_root(command, tkapp.get(), interp);
    auto *callback = new (std::nothrow) Callback{nullptr};
    if (!callback) {
        PyErr_NoMemory();
        return -1;
    }
    callback->func = Py_NewRef(func);
    if (!api.CreateObjCommand(interp, utf8, callback_proc, callback, callback_deleted)) {
        callback_deleted(callback);
        PyErr_Format(tcl_error, "cannot create the Tcl command %R", text.get());
        return -1;
    }
    return 1;
}

void link_cause(PyObject *tk) {
    if (!PyErr_ExceptionMatches(tcl_error))
        return;
    Ref error = fetch_exception();
    Ref code = call_method(tk, S.getvar, {S.error_code_var});
    unsigned long long token = 0;
    if (code && token_of(code.get(), token) > 0) {
        if (Ref cause = claim_exception(token))
            PyException_SetCause(error.get(), cause.release());
    }
    PyErr_Clear();
    restore_exception(std::move(error));
}

int delete_elsewhere(PyObject *command) {
    Ref tcl, host, tk, tkapp;
    if (get_optional_attr(command, S.tcl, tcl) <= 0 || !(host = unproxied(tcl.get())) ||
        !(tk = get_attr(host.get(), S.tk)) || !(tkapp = tkapp_of(tk.get()))) {
        PyErr_Clear(); // no interpreter to tell: the caller's own way
        return 0;
    }
    TclInterp *interp = nullptr;
    TclThreadId owner = nullptr;
    if (!tkapp_interp(tkapp.get(), interp, owner) || !bind_from_interp(interp)) {
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
    api.ThreadQueueEvent(owner, &event->header, TCL_QUEUE_TAIL);
    api.ThreadAlert(owner);
    return 1;
}

} // namespace callbacks
} // namespace ortan

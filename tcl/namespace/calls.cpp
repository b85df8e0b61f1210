// What the package keeps for each Tcl interpreter, and the calls it sends there: the words, the
// result, and a failure with the exception of a Python callback as its cause.
#include "namespace/calls.h"
#include "namespace/callbacks.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

// How a call finds its cause
//
// Everything the package keeps for an interpreter lives in its InterpState, Tcl association
// data made on the interpreter's own thread and used only there. A Python callback that fails
// keeps its exception there under a token that Tcl code cannot guess, tagged with the serial
// number of the call of ours that is running (each call sets `current` for its length). Its
// Tcl error carries the token as errorCode `ORTAN PYERR <token>`. When a call fails, the token
// in its errorCode names the cause only if it was kept during that very call; whatever the call
// did not claim is dropped when it ends.
//
// A call runs one of two ways:
// - On the interpreter's own thread, once that thread is known to own it (this thread has its
//   state), the words go straight to tkinter's `call`, and the error's errorInfo and errorCode
//   are read right after it: nothing else runs on the interpreter in between.
// - Otherwise (another thread, the first call, or a result wanted as Tcl's exact text) the
//   words go through tkinter's `call` to the command ::__ortan__call, which tkinter marshals to
//   the interpreter's thread. It runs them there and, on an error, returns an outcome: an
//   object of a Tcl type of our own that holds the message, errorInfo, errorCode and the cause
//   taken out of the state. tkinter hands an object of a type it does not know to Python as a
//   _tkinter.Tcl_Obj; Tcl code cannot make one, so its text (the outcome's address) can be
//   trusted, and the Tcl_Obj that Python holds keeps the outcome alive.

namespace ortan {
namespace calls {

const TclApi &api = tcl_api();
PyObject *tcl_error;

namespace {

// ---------------------------------------------------------------------------------------------
// Module constants.

PyObject *tcl_obj_type;        // _tkinter.Tcl_Obj
PyObject *clear_frames;        // traceback.clear_frames
PyTypeObject *tkapp_type;      // _tkinter.TkappType
PyObject *tkapp_call_method;   // its `call` method descriptor
PyCFunction tkapp_call;        // the C function behind it; null when it is not the METH_VARARGS one
ortan::ClassGuard tkapp_guard; // whether the type is unchanged since then

const char *const run_name = "::__ortan__call";
const char *const assoc_key = "ortan.tcl";
const char *const missing_run = "invalid command name \"::__ortan__call\"";
constexpr size_t max_outside_errors = 64;

#define CALLS_NAMES(X)                                                                             \
    X(call, "call")                                                                                \
    X(getvar, "getvar")                                                                            \
    X(splitlist, "splitlist")                                                                      \
    X(wantobjects, "wantobjects")                                                                  \
    X(typename_, "typename")                                                                       \
    X(string, "string")                                                                            \
    X(run_word, run_name)                                                                          \
    X(mode_converted, "c")                                                                         \
    X(mode_text, "t")                                                                              \
    X(mode_script, "s")                                                                            \
    X(eval, "eval")                                                                                \
    X(mode_plain, "p")                                                                             \
    X(error_info_var, "::errorInfo")                                                               \
    X(error_code_var, "::errorCode")
ORTAN_NAME_TABLE(Names, CALLS_NAMES)
Names S;

// ---------------------------------------------------------------------------------------------
// tkinter's call.

// Takes tkinter's `call` C function, to pass a word tuple to it as its argument tuple; leaves
// tkapp_call null (calls by name) when it is not the function expected.
bool take_tkapp_call() {
    Ref type = import_attr("_tkinter", "TkappType");
    if (!type || !PyType_Check(type.get())) {
        PyErr_Clear();
        return true;
    }
    tkapp_type = reinterpret_cast<PyTypeObject *>(Ref(type).release());
    PyObject *method = PyDict_GetItemWithError(
        reinterpret_cast<PyTypeObject *>(type.get())->tp_dict, S.call); // borrowed
    if (!method || !Py_IS_TYPE(method, &PyMethodDescr_Type)) {
        PyErr_Clear();
        return true;
    }
    const PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(method)->d_method;
    if ((def->ml_flags & ~METH_COEXIST) != METH_VARARGS)
        return true;
    tkapp_call_method = Py_NewRef(method);
    tkapp_call = def->ml_meth;
    return tkapp_guard.watch(tkapp_type, true);
}

// tk.call(*words). For tkinter's own interpreter object, whose type still holds its own
// `call`, the C function behind that method gets the word tuple as its argument tuple (a lone
// word that is itself a tuple goes the usual way: tkinter would take it for the words).
Ref call_tkinter(PyObject *tk, PyObject *words) {
    if (tkapp_call && Py_TYPE(tk) == tkapp_type && PyTuple_CheckExact(words) &&
        !(PyTuple_GET_SIZE(words) == 1 && PyTuple_Check(PyTuple_GET_ITEM(words, 0))) &&
        (tkapp_guard.unchanged() || _PyType_Lookup(tkapp_type, S.call) == tkapp_call_method)) {
        if (Py_EnterRecursiveCall(" while calling a Python object"))
            return Ref();
        Ref result = Ref::steal(tkapp_call(tk, words));
        Py_LeaveRecursiveCall();
        return result;
    }
    return call_method(tk, S.call, {words});
}

// ---------------------------------------------------------------------------------------------
// Tcl values.

void incr(TclObj *obj) { api.IncrRefCount(obj, __FILE__, __LINE__); }
void decr(TclObj *obj) { api.DecrRefCount(obj, __FILE__, __LINE__); }

TclObj *tcl_text(const char *text) { return api.NewStringObj(text, -1); }

std::string text_of(TclObj *obj) {
    int length = 0;
    const char *text = obj ? api.GetStringFromObj(obj, &length) : nullptr;
    return text ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// The value of `key` in a return-options dictionary; null when absent.
TclObj *option(TclObj *options, const char *key) {
    TclObj *word = tcl_text(key);
    incr(word);
    TclObj *value = nullptr;
    if (api.DictObjGet(nullptr, options, word, &value) != TCL_OK)
        value = nullptr;
    decr(word);
    return value;
}

Ref str_of(const std::string &text) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

// ---------------------------------------------------------------------------------------------
// Which states this thread owns.
//
// A thread learns that it owns an interpreter when code of ours runs there with the state at
// hand (the state is made there, and ::__ortan__call runs there). The list is this thread's
// own, and an interpreter leaves it when it is deleted, which Tcl does on the owner thread.

// A set of pointers that only this thread reads and changes (so it needs no lock). Without
// room for a new one it stays as it is: the calls then take the marshalled way.
template <class T> class ThreadSet {
  public:
    bool contains(const T *value) const {
        return find([value](const T *v) { return v == value; });
    }
    template <class Match> T *find(Match match) const {
        for (Node *node = head_; node; node = node->next)
            if (match(node->value))
                return node->value;
        return nullptr;
    }
    void add(T *value) {
        if (contains(value))
            return;
        if (auto *node = new (std::nothrow) Node{head_, value})
            head_ = node;
    }
    void remove(const T *value) {
        for (Node **link = &head_; *link; link = &(*link)->next) {
            if ((*link)->value == value) {
                Node *gone = *link;
                *link = gone->next;
                delete gone;
                return;
            }
        }
    }

  private:
    struct Node {
        Node *next;
        T *value;
    };
    Node *head_ = nullptr;
};

thread_local ThreadSet<InterpState> owned;

// ---------------------------------------------------------------------------------------------
// Kept errors.

uint64_t mix(uint64_t &seed) { // splitmix64
    uint64_t z = (seed += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void free_kept(KeptError *error) {
    Py_XDECREF(error->exc);
    delete error;
}

// Drops the kept errors that no call can claim any more (GIL held, interpreter's thread): the
// finished ones, and beyond a bound the oldest of those kept outside any call.
void prune(InterpState *state) {
    size_t outside = 0;
    for (KeptError **link = &state->kept; *link;) {
        KeptError *error = *link;
        const bool stale =
            error->finished || (error->serial == 0 && ++outside > max_outside_errors);
        if (!stale) {
            link = &error->next;
            continue;
        }
        *link = error->next;
        if (error->serial == 0)
            --state->outside;
        free_kept(error);
    }
}

// The call `serial` has ended: what it did not claim is finished. No GIL needed.
void finish(InterpState *state, uint64_t serial) {
    for (KeptError *error = state->kept; error; error = error->next)
        if (error->serial == serial)
            error->finished = true;
}

// Takes the exception of `token` kept during the call `serial` (any call when `serial` is 0
// and `any` is set) out of the list: an owned reference, or null. No GIL needed.
PyObject *take(InterpState *state, uint64_t token, uint64_t serial, bool any) {
    if (!token)
        return nullptr;
    for (KeptError **link = &state->kept; *link; link = &(*link)->next) {
        KeptError *error = *link;
        if (error->token != token || (!any && error->serial != serial))
            continue;
        *link = error->next;
        if (error->serial == 0)
            --state->outside;
        PyObject *exc = error->exc;
        delete error;
        return exc;
    }
    return nullptr;
}

// Releases what the state holds of Python. Needs the GIL.
void release_python(InterpState *state) {
    while (KeptError *error = state->kept) {
        state->kept = error->next;
        free_kept(error);
    }
    Py_CLEAR(state->root);
}

bool holds_python() { return Py_IsInitialized() && PyGILState_Check(); }

// ---------------------------------------------------------------------------------------------
// The state's life.

void free_state(InterpState *state) {
    if (state->kept || state->root) {
        // The interpreter is deleted on its own thread, so this is that thread. tkinter
        // deletes it with the GIL released; a process that is ending keeps what it holds.
        if (holds_python()) {
            release_python(state);
        } else if (Py_IsInitialized()) {
            PyGILState_STATE gil = PyGILState_Ensure();
            release_python(state);
            PyGILState_Release(gil);
        }
    }
    if (state->dispatcher_word)
        decr(state->dispatcher_word);
    if (state->previous_bgerror)
        decr(state->previous_bgerror);
    delete state;
}

void state_deleted(void *client_data, TclInterp *) {
    auto *state = static_cast<InterpState *>(client_data);
    state->deleted = true;
    owned.remove(state);
    state_unref(state);
}

// ---------------------------------------------------------------------------------------------
// Outcomes: a failure handed back through tkinter as a Tcl object of a type of our own.

struct Outcome {
    std::string message;
    std::string errorinfo;
    std::vector<std::string> errorcode;
    PyObject *cause = nullptr; // owned
};

void release_cause(PyObject *cause);

void outcome_free(TclObj *obj) {
    auto *head = reinterpret_cast<TclObjHead *>(obj);
    auto *outcome = static_cast<Outcome *>(head->ptr1);
    if (outcome->cause)
        release_cause(outcome->cause);
    delete outcome;
}

// A copy is plain text: the outcome stays with the one object that Python may hold.
void outcome_dup(TclObj *, TclObj *) {}

void outcome_text(TclObj *obj);

const TclObjType outcome_type = {"ortan.outcome", outcome_free, outcome_dup,
                                 outcome_text,    nullptr,      0};

std::string outcome_words(const Outcome *outcome) {
    char text[48];
    std::snprintf(text, sizeof text, "ortan-outcome %p", static_cast<const void *>(outcome));
    return text;
}

// Tcl asks for text again only if something dropped it; it is the same text.
void outcome_text(TclObj *obj) {
    auto *head = reinterpret_cast<TclObjHead *>(obj);
    const std::string words = outcome_words(static_cast<Outcome *>(head->ptr1));
    auto *bytes = static_cast<char *>(api.Alloc(words.size() + 1));
    std::memcpy(bytes, words.c_str(), words.size() + 1);
    head->refCount_and_bytes[1] = reinterpret_cast<ptrdiff_t>(bytes);
    head->length = static_cast<ptrdiff_t>(words.size());
}

int drop_pending(void *obj) {
    Py_DECREF(static_cast<PyObject *>(obj));
    return 0;
}

// Drops a cause that nobody claimed: at once with the GIL, else from Python's pending calls.
void release_cause(PyObject *cause) {
    if (!Py_IsInitialized())
        return;
    if (PyGILState_Check())
        Py_DECREF(cause);
    else if (Py_AddPendingCall(drop_pending, cause) != 0) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(cause);
        PyGILState_Release(gil);
    }
}

// The outcome of the failed call `serial`, made from the interpreter's error; null when it
// cannot be made (then the error stands as it is). Takes the cause out of the state.
TclObj *make_outcome(InterpState *state, TclInterp *interp, uint64_t serial) {
    TclObj *options = api.GetReturnOptions(interp, TCL_ERROR);
    incr(options);
    Outcome *outcome = nullptr;
    TclObj *result = nullptr;
    try {
        outcome = new Outcome;
        outcome->message = text_of(api.GetObjResult(interp));
        outcome->errorinfo = text_of(option(options, "-errorinfo"));
        TclObj *code = option(options, "-errorcode");
        int n = 0;
        TclObj **words = nullptr;
        if (code && api.ListObjGetElements(nullptr, code, &n, &words) == TCL_OK) {
            for (int i = 0; i < n; ++i)
                outcome->errorcode.push_back(text_of(words[i]));
        } else if (code) {
            outcome->errorcode.push_back(text_of(code));
        }
        result = api.NewStringObj(outcome_words(outcome).c_str(), -1);
        outcome->cause = take(state, token_of(code), serial, false);
    } catch (const std::bad_alloc &) {
        delete outcome;
        decr(options);
        return nullptr;
    }
    decr(options);
    auto *head = reinterpret_cast<TclObjHead *>(result);
    head->typePtr = &outcome_type;
    head->ptr1 = outcome;
    head->ptr2 = nullptr;
    return result;
}

// ::__ortan__call mode word ...: runs the words as tkinter's `call` would (at global level), on
// the interpreter's thread. Mode "c": the result as it is; "t": the result as its text; "s":
// the one word is a script, evaluated as tkinter's `eval` would, the result as its text; "p":
// an error stays an error (for a tkinter whose results are all text, where an outcome could not
// be told from a result). Otherwise an error comes back as an outcome.
int run_proc(void *client_data, TclInterp *interp, int objc, TclObj *const objv[]) {
    auto *state = static_cast<InterpState *>(client_data);
    owned.add(state);
    if (objc < 3) {
        api.SetObjResult(interp, tcl_text("wrong # args: should be \"::__ortan__call mode word "
                                          "?word ...?\""));
        return TCL_ERROR;
    }
    int length = 0;
    const char *mode_text = api.GetStringFromObj(objv[1], &length);
    const char mode = length == 1 ? mode_text[0] : 'c';
    state_ref(state);
    const uint64_t serial = ++state->next_serial;
    const uint64_t outer = state->current;
    state->current = serial;
    int code = TCL_OK;
    if (mode == 's') {
        int size = 0;
        const char *script = api.GetStringFromObj(objv[2], &size);
        code = api.EvalEx(interp, script, size, 0);
    } else {
        code = api.EvalObjv(interp, objc - 2, objv + 2, TCL_EVAL_DIRECT | TCL_EVAL_GLOBAL);
    }
    state->current = outer;
    if (code == TCL_OK && (mode == 't' || mode == 's')) {
        TclObj *value = api.GetObjResult(interp);
        int size = 0;
        const char *bytes = api.GetStringFromObj(value, &size);
        api.SetObjResult(interp, api.NewStringObj(bytes, size));
    } else if (code == TCL_ERROR && mode != 'p') {
        if (TclObj *outcome = make_outcome(state, interp, serial)) {
            api.SetObjResult(interp, outcome);
            code = TCL_OK;
        }
    }
    finish(state, serial);
    state_unref(state);
    return code;
}

// ---------------------------------------------------------------------------------------------
// Making the state, on the interpreter's thread.

InterpState *make_state(TclInterp *interp) {
    auto *state = new (std::nothrow) InterpState;
    if (!state) {
        PyErr_NoMemory();
        return nullptr;
    }
    state->interp = interp;
    state->owner = api.GetCurrentThread();
    state->refs = 1; // the interpreter's
    state->token_seed = reinterpret_cast<uintptr_t>(state) ^
                        (static_cast<uint64_t>(std::time(nullptr)) << 20) ^
                        static_cast<uint64_t>(std::clock());
    state->token_seed = mix(state->token_seed);
    state->dispatcher_word = tcl_text("::__ortan__dispatch");
    incr(state->dispatcher_word);
    api.SetAssocData(interp, assoc_key, state_deleted, state);
    return state;
}

// The state of `interp`, on its own thread: found, or made with ::__ortan__call and the
// background-error handler. Null with an exception set.
InterpState *state_on_owner(TclInterp *interp) {
    auto *state = static_cast<InterpState *>(api.GetAssocData(interp, assoc_key, nullptr));
    if (!state && !(state = make_state(interp)))
        return nullptr;
    TclCmdInfo info{};
    if (!api.GetCommandInfo(interp, run_name, &info) || info.objProc != run_proc) {
        if (!api.CreateObjCommand(interp, run_name, run_proc, state, state_unref_proc)) {
            PyErr_SetString(tcl_error, "cannot create the command ::__ortan__call");
            return nullptr;
        }
        state_ref(state);
    }
    // The wiring evaluates Tcl; the interpreter's result and error state stay as they were.
    TclInterpStateRec *saved = api.SaveInterpState(interp, TCL_OK);
    callbacks::wire_state(state);
    api.RestoreInterpState(interp, saved);
    owned.add(state);
    return state;
}

// The interpreters this thread has had set up from afar (addresses, never followed): the
// first call from another thread makes the interpreter's state on its thread before it sends
// anything, so that no failed attempt touches the interpreter's error state.
thread_local ThreadSet<TclInterp> set_up_from_here;

struct SetupJob {
    PyObject *tkapp;
};

bool setup_job(void *arg) {
    auto *job = static_cast<SetupJob *>(arg);
    TclInterp *interp = interp_of(job->tkapp);
    return interp && state_on_owner(interp);
}

// Makes the interpreter's state on its own thread, from whichever thread asks.
bool set_up(PyObject *tkapp) {
    SetupJob job{tkapp};
    return run_on_owner_thread(tkapp, setup_job, &job);
}

// ---------------------------------------------------------------------------------------------
// Failures.

// errorCode text as a tuple of words, by Tcl's list rules; a code that is no list is one word.
Ref code_words(PyObject *tk, PyObject *code) {
    Ref words = call_method(tk, S.splitlist, {code});
    if (!words && PyErr_ExceptionMatches(tcl_error)) {
        PyErr_Clear();
        words = Ref::steal(PyTuple_Pack(1, code));
    }
    Ref items = words ? Ref::steal(PySequence_Tuple(words.get())) : words;
    if (!items)
        return items;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        if (PyUnicode_CheckExact(item))
            continue;
        PyObject *item_text = PyObject_Str(item); // a Tcl_Obj element: its text
        if (!item_text)
            return Ref();
        PyTuple_SET_ITEM(items.get(), i, item_text);
        Py_DECREF(item);
    }
    return items;
}

// Raises `error` (a TclError) from `cause` when there is one, as it is otherwise.
void raise_from(Ref error, Ref cause) {
    if (cause)
        PyException_SetCause(error.get(), cause.release());
    restore_exception(std::move(error));
}

// After a TclError from a call on the interpreter's thread: Tcl's errorInfo and errorCode,
// read at once, and the cause kept during the call `serial`.
void fail_here(InterpState *state, PyObject *tk, uint64_t serial, CallFailure *failure) {
    Ref error = fetch_exception();
    Ref code = call_method(tk, S.getvar, {S.error_code_var});
    Ref words = code ? code_words(tk, code.get()) : code;
    Ref info = words ? call_method(tk, S.getvar, {S.error_info_var}) : words;
    Ref cause = words ? Ref::steal(take(state, token_of_words(words.get()), serial, false)) : words;
    if (failure && info) {
        Ref args = get_attr(error.get(), "args");
        failure->message = args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0
                               ? Ref::borrow(PyTuple_GET_ITEM(args.get(), 0))
                               : Ref::steal(PyObject_Str(error.get()));
        failure->errorinfo = Ref::steal(PyObject_Str(info.get()));
        failure->errorcode = words;
        failure->cause = cause;
    }
    if (PyErr_Occurred()) { // a failed read: the Tcl error stays what is raised
        PyErr_Clear();
        if (failure)
            *failure = CallFailure{};
    }
    raise_from(std::move(error), std::move(cause));
}

Ref call_here(InterpState *state, PyObject *tk, PyObject *words, CallResult wanted,
              CallFailure *failure) {
    state_ref(state);
    const uint64_t serial = ++state->next_serial;
    const uint64_t outer = state->current;
    state->current = serial;
    Ref result = wanted == CallResult::script
                     ? call_method(tk, S.eval, {PyTuple_GET_ITEM(words, 0)})
                     : call_tkinter(tk, words);
    state->current = outer;
    if (!result && PyErr_ExceptionMatches(tcl_error))
        fail_here(state, tk, serial, failure);
    finish(state, serial);
    if (state->kept)
        prune(state);
    state_unref(state);
    return result;
}

// The outcome behind `result` when it is one; null otherwise.
Outcome *outcome_of(PyObject *result) {
    if (Py_TYPE(result) != reinterpret_cast<PyTypeObject *>(tcl_obj_type))
        return nullptr;
    Ref name = get_attr(result, S.typename_);
    if (!name || PyUnicode_CompareWithASCIIString(name.get(), outcome_type.name) != 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref text = get_attr(result, S.string);
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    void *address = nullptr;
    if (!utf8 || std::sscanf(utf8, "ortan-outcome %p", &address) != 1) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<Outcome *>(address);
}

// Raises the TclError of an outcome, and fills `failure`.
void fail_with(Outcome *outcome, CallFailure *failure) {
    Ref message = str_of(outcome->message);
    Ref info = message ? str_of(outcome->errorinfo) : message;
    Ref code =
        info ? Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(outcome->errorcode.size()))) : info;
    for (size_t i = 0; code && i < outcome->errorcode.size(); ++i) {
        PyObject *word = str_of(outcome->errorcode[i]).release();
        if (!word)
            return;
        PyTuple_SET_ITEM(code.get(), static_cast<Py_ssize_t>(i), word);
    }
    Ref error = code ? ortan::call(tcl_error, {message.get()}) : code;
    if (!error)
        return;
    Ref cause = Ref::steal(outcome->cause);
    outcome->cause = nullptr;
    if (failure)
        *failure = CallFailure{message, info, code, cause};
    raise_from(std::move(error), std::move(cause));
}

// The words through ::__ortan__call, marshalled by tkinter to the interpreter's thread (or run
// at once on that thread). The interpreter has been set up.
Ref call_marshalled(PyObject *tk, PyObject *words, CallResult wanted, CallFailure *failure) {
    Ref objects = call_method(tk, S.wantobjects);
    const int rich = objects ? PyObject_IsTrue(objects.get()) : -1;
    if (rich < 0)
        return Ref();
    PyObject *mode = !rich                          ? S.mode_plain
                     : wanted == CallResult::text   ? S.mode_text
                     : wanted == CallResult::script ? S.mode_script
                                                    : S.mode_converted;
    const Py_ssize_t n = PyTuple_GET_SIZE(words);
    Ref wrapped = Ref::steal(PyTuple_New(n + 2));
    if (!wrapped)
        return wrapped;
    PyTuple_SET_ITEM(wrapped.get(), 0, Py_NewRef(S.run_word));
    PyTuple_SET_ITEM(wrapped.get(), 1, Py_NewRef(mode));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(wrapped.get(), i + 2, Py_NewRef(PyTuple_GET_ITEM(words, i)));
    for (int attempt = 0;; ++attempt) {
        Ref result = call_tkinter(tk, wrapped.get());
        if (result) {
            if (Outcome *outcome = outcome_of(result.get())) {
                fail_with(outcome, failure);
                return Ref();
            }
            return result;
        }
        if (attempt > 0 || !PyErr_ExceptionMatches(tcl_error))
            return result;
        // A new interpreter at an address set up before has no ::__ortan__call yet: nothing
        // ran. Make it and go again.
        Ref error = fetch_exception();
        Ref text = Ref::steal(PyObject_Str(error.get()));
        if (!text || PyUnicode_CompareWithASCIIString(text.get(), missing_run) != 0) {
            restore_exception(std::move(error));
            return Ref();
        }
        if (!set_up(tk))
            return Ref();
    }
}

// The word tuple of `words` (a tuple, or any sequence).
Ref word_tuple(PyObject *words) {
    return PyTuple_CheckExact(words) ? Ref::borrow(words) : Ref::steal(PySequence_Tuple(words));
}

const CallsApi calls_api = {is_tkinter, call, code_words};

} // namespace

// ---------------------------------------------------------------------------------------------
// The interface.

bool is_tkinter(PyObject *tk) { return tkapp_type && PyObject_TypeCheck(tk, tkapp_type); }

void state_ref(InterpState *state) { ++state->refs; }

void state_unref(InterpState *state) {
    if (--state->refs == 0)
        free_state(state);
}

void state_unref_proc(void *client_data) { state_unref(static_cast<InterpState *>(client_data)); }

InterpState *state_here(TclInterp *interp) {
    return owned.find(
        [interp](const InterpState *state) { return state->interp == interp && !state->deleted; });
}

InterpState *owned_state(PyObject *tkapp, const char *what) {
    TclInterp *interp = interp_of(tkapp);
    if (!interp)
        return nullptr;
    if (InterpState *state = state_here(interp))
        return state;
    const int mine = owns_interp(tkapp);
    if (mine < 0)
        return nullptr;
    if (!mine) {
        refuse_other_thread(what);
        return nullptr;
    }
    return state_on_owner(interp);
}

uint64_t keep_error(InterpState *state, PyObject *exc) {
    if (state->kept)
        prune(state);
    auto *error = new (std::nothrow) KeptError{state->kept, 0, state->current, false, nullptr};
    if (!error)
        return 0;
    do
        error->token = mix(state->token_seed);
    while (error->token == 0);
    error->exc = Py_NewRef(exc);
    state->kept = error;
    if (error->serial == 0) {
        // Kept for a background-error report, which needs the lines, not the frames' locals:
        // dropped, so that what the frames held (an interpreter, say) is not kept with it.
        ++state->outside;
        Ref tb = Ref::steal(PyException_GetTraceback(exc));
        if (tb && !ortan::call(clear_frames, {tb.get()}))
            PyErr_Clear();
    }
    return error->token;
}

Ref claim_error(InterpState *state, uint64_t token) {
    return Ref::steal(take(state, token, 0, true));
}

TclObj *error_code_of(uint64_t token) {
    char number[24];
    std::snprintf(number, sizeof number, "%016llx", static_cast<unsigned long long>(token));
    TclObj *words[] = {tcl_text("ORTAN"), tcl_text("PYERR"), tcl_text(number)};
    return api.NewListObj(3, words);
}

// The token of the three words of an ORTAN PYERR errorCode; 0 when they are not one.
uint64_t token_of_texts(const char *first, const char *second, const char *third) {
    if (!first || !second || !third || std::strcmp(first, "ORTAN") != 0 ||
        std::strcmp(second, "PYERR") != 0 || std::strlen(third) != 16)
        return 0;
    uint64_t token = 0;
    for (const char *c = third; *c; ++c) {
        const int digit = *c >= '0' && *c <= '9'   ? *c - '0'
                          : *c >= 'a' && *c <= 'f' ? *c - 'a' + 10
                                                   : -1;
        if (digit < 0)
            return 0;
        token = token << 4 | static_cast<uint64_t>(digit);
    }
    return token;
}

uint64_t token_of(TclObj *code) {
    int n = 0;
    TclObj **words = nullptr;
    if (!code || api.ListObjGetElements(nullptr, code, &n, &words) != TCL_OK || n != 3)
        return 0;
    int length = 0;
    return token_of_texts(api.GetStringFromObj(words[0], &length),
                          api.GetStringFromObj(words[1], &length),
                          api.GetStringFromObj(words[2], &length));
}

uint64_t token_of_words(PyObject *words) {
    if (!PyTuple_Check(words) || PyTuple_GET_SIZE(words) != 3)
        return 0;
    const char *texts[3];
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject *word = PyTuple_GET_ITEM(words, i);
        texts[i] = PyUnicode_Check(word) ? PyUnicode_AsUTF8(word) : nullptr;
        if (!texts[i]) {
            PyErr_Clear();
            return 0;
        }
    }
    return token_of_texts(texts[0], texts[1], texts[2]);
}

Ref call(PyObject *tk, PyObject *words, CallResult wanted, CallFailure *failure) {
    Ref tuple = word_tuple(words);
    if (!tuple)
        return tuple;
    if (wanted == CallResult::script && PyTuple_GET_SIZE(tuple.get()) != 1)
        return raise(PyExc_SystemError, "a script is sent as one word");
    if (!is_tkinter(tk)) {
        // Not tkinter's own interpreter object: its `call`, as it is.
        return call_method(tk, S.call, {tuple.get()});
    }
    TclInterp *interp = interp_of(tk);
    if (!interp)
        return Ref();
    InterpState *state = state_here(interp);
    if (!state && !set_up_from_here.contains(interp)) {
        // First contact from this thread: on the owner, the state is made here; from another
        // thread, through tkinter on the owner's, before anything is sent.
        const int mine = owns_interp(tk);
        if (mine < 0)
            return Ref();
        if (mine && !(state = state_on_owner(interp)))
            return Ref();
        if (!mine) {
            if (!set_up(tk))
                return Ref();
            set_up_from_here.add(interp);
        }
    }
    if (state && wanted != CallResult::text)
        return call_here(state, tk, tuple.get(), wanted, failure);
    return call_marshalled(tk, tuple.get(), wanted, failure);
}

bool init(PyObject *module) {
    if (!S.intern())
        return false;
    if (!take_tkapp_call())
        return false;
    if (!(tcl_error = import_attr("tkinter", "TclError").release()) ||
        !(tcl_obj_type = import_attr("_tkinter", "Tcl_Obj").release()) ||
        !(clear_frames = import_attr("traceback", "clear_frames").release()))
        return false;
    Ref capsule =
        Ref::steal(PyCapsule_New(const_cast<CallsApi *>(&calls_api), calls_capsule_name, nullptr));
    return bind(module, "_calls", capsule);
}

} // namespace calls
} // namespace ortan

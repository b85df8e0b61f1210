// What the package keeps for each Tcl interpreter, and the calls it sends there: the words, the
// result, and a failure with the exception of a Python callback as its cause.
#pragma once

#include "support.h"

#include "calls_api.h"

#include <cstdint>

namespace ortan {
namespace calls {

// The exception of a failed Python callback, kept until the call it failed in claims it as a
// cause, or drops it when it ends.
struct KeptError {
    KeptError *next;
    uint64_t token;  // named by the Tcl error's errorCode: ORTAN PYERR <token>
    uint64_t serial; // the call it failed in; 0 outside any call of ours
    bool finished;   // that call has ended without claiming it
    PyObject *exc;   // owned
};

// An interpreter's state: Tcl association data of the interpreter, made on its own thread and
// used only there, so it needs no lock. It is reference-counted by the interpreter and by the
// Tcl commands that point at it, and goes when the last of them goes; what it holds of Python
// is released on the interpreter's thread.
struct InterpState {
    TclInterp *interp = nullptr;
    TclThreadId owner = nullptr;
    int refs = 0;
    bool deleted = false;     // the interpreter is being deleted
    uint64_t current = 0;     // the innermost call of ours that is running, 0 when none
    uint64_t next_serial = 0; // the calls so far
    uint64_t token_seed = 0;  // makes tokens that Tcl code cannot guess
    KeptError *kept = nullptr;
    size_t outside = 0;                 // kept errors outside any call, bounded
    int callbacks = 0;                  // the Python callbacks registered as commands
    TclObj *dispatcher_word = nullptr;  // "::__ortan__dispatch", its command cached by Tcl
    TclObj *previous_bgerror = nullptr; // the handler before ours
    PyObject *root = nullptr; // a weak reference to the Tk root that reports background errors
};

// The Tcl functions, bound by the first interpreter met (interp_of binds them).
extern const TclApi &api;
extern PyObject *tcl_error; // tkinter.TclError

// Imports what the calls need, exports them as the capsule `_calls`. False with an exception set.
bool init(PyObject *module);

// This thread's state for the interpreter, made (with its commands) on first use; null with
// RuntimeError naming `what` from a thread other than the interpreter's, or another exception.
InterpState *owned_state(PyObject *tkapp, const char *what);

// The state of `interp` when this thread owns it and the state exists; null otherwise (no
// exception set).
InterpState *state_here(TclInterp *interp);

void state_ref(InterpState *state);
void state_unref(InterpState *state);
void state_unref_proc(void *client_data); // a Tcl delete procedure whose client data is a state

// Keeps `exc` for the call running now; returns its token (0 when it could not be kept).
// Needs the GIL, on the interpreter's thread.
uint64_t keep_error(InterpState *state, PyObject *exc);

// Takes the exception kept under `token` out of the state, for any call (a background error);
// null when none is kept. Needs the GIL, on the interpreter's thread.
Ref claim_error(InterpState *state, uint64_t token);

// The errorCode words of a callback's failure: {ORTAN PYERR <token>}. A new Tcl list.
TclObj *error_code_of(uint64_t token);

// The token an errorCode value names, 0 when it names none. No GIL needed.
uint64_t token_of(TclObj *errorcode);

// The same for errorCode as a tuple of str. GIL held.
uint64_t token_of_words(PyObject *words);

// Whether `tk` is tkinter's own interpreter object (CallsApi::is_tkinter).
bool is_tkinter(PyObject *tk);

// The implementation of CallsApi::call.
Ref call(PyObject *tk, PyObject *words, CallResult result, CallFailure *failure);

} // namespace calls
} // namespace ortan

// Python callables as Tcl commands: errors that reach Tcl, background errors, and deletion from
// other threads.
#pragma once

#include "namespace/calls.h"

namespace ortan {
namespace callbacks {

// Imports what callbacks need. False with an exception set.
bool init();

// Wires a new interpreter state: the background-error handler that reports the errors of our
// callbacks. On the interpreter's thread, GIL held; idempotent.
void wire_state(calls::InterpState *state);

// Registers `func` as the Tcl command `name` of the tkinter application object `tk`, for the
// command object `command` (whose host may name the Tk root that reports background errors).
// Returns 1 when done, 0 when `tk` is not a tkinter application object (the caller then uses
// tk.createcommand), -1 with an exception set (RuntimeError from a thread other than the
// interpreter's).
int create_command(PyObject *command, PyObject *tk, PyObject *name, PyObject *func);

// Records on a temporary command, just registered by create_command on this (the
// interpreter's) thread, which thread that is, for delete_elsewhere. False with an exception.
bool remember_thread(PyObject *command);

// For a temporary command collected in a thread other than its interpreter's: the deletion of
// its Tcl command is queued to the interpreter's thread (or, where that cannot be done, a
// RuntimeWarning names the command left behind). Returns 1 when handled so, 0 when the caller
// should delete the command itself (its own thread, or no tkinter interpreter to tell), -1
// with an exception set.
int delete_elsewhere(PyObject *command);

} // namespace callbacks
} // namespace ortan

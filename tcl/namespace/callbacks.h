// Python callables as Tcl commands: errors that reach Tcl, background errors, and deletion from
// other threads.
#pragma once

#include "support.h"

namespace ortan {
namespace callbacks {

// Binds the Tcl library and adds `_callback_error` to the module. False with an exception set.
bool init(PyObject *module);

// Registers `func` as the Tcl command `name` of the tkinter application object `tk`, for the
// command object `command` (whose host may name the Tk root that reports background errors).
// Returns 1 when done, 0 when `tk` is not a tkinter application object (the caller then uses
// tk.createcommand), -1 with an exception set (RuntimeError from a thread other than the
// interpreter's).
int create_command(PyObject *command, PyObject *tk, PyObject *name, PyObject *func);

// With an exception pending after a call through `tk` failed: when it is a TclError and Tcl's
// ::errorCode names the exception of a Python callback, that exception becomes the TclError's
// __cause__. The pending exception stays pending; a failure of the look-up is ignored.
void link_cause(PyObject *tk);

// For a temporary command collected in a thread other than its interpreter's: the deletion of
// its Tcl command is queued to the interpreter's thread (or, where that cannot be done, a
// RuntimeWarning names the command left behind). Returns 1 when handled so, 0 when the caller
// should delete the command itself (its own thread, or no tkinter interpreter to tell), -1
// with an exception set.
int delete_elsewhere(PyObject *command);

} // namespace callbacks
} // namespace ortan

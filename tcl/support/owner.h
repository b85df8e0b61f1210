// The thread that owns a tkinter interpreter, reached through tkinter's own marshalled calls.
#pragma once

#include "tcl_library.h"

namespace ortan {

// The Tcl interpreter of a _tkinter application object, as tkapp.interpaddr() gives it. Null
// with an exception set.
TclInterp *interp_of(PyObject *tkapp);

// Whether the calling thread owns `tkapp`'s interpreter: 1 yes, 0 no, -1 with an exception
// set. tkinter refuses `exprboolean` from any other thread (RuntimeError) and does not
// marshal it; on the owner it evaluates "1", which leaves the interpreter's result as it was.
int owns_interp(PyObject *tkapp);

// Runs `job(arg)` on the thread that owns `tkapp`'s interpreter, with the GIL held: inside a
// tkinter command that is made, called and deleted through tkinter's public calls, which run
// it on that thread (directly there; marshalled from another thread while that thread runs
// mainloop()). `job` returns false with an exception set, and that exception is raised here.
// From another thread without a running mainloop(), tkinter's own RuntimeError passes through.
// The job may use Tcl's API on the interpreter directly: it runs inside that interpreter's
// evaluation, on its thread.
bool run_on_owner_thread(PyObject *tkapp, bool (*job)(void *arg), void *arg);

// RuntimeError for `what` (for example "registering a callback") from a thread other than the
// one that owns the interpreter. Always false.
bool refuse_other_thread(const char *what);

} // namespace ortan

// The one way the modules send a command to Tcl through tkinter: the words, the result, and on
// a failure Tcl's error with the Python exception of a callback as its cause. The namespace
// module implements it and hands it to the other modules as a capsule.
#pragma once

#include "ref.h"

namespace ortan {

// What a failed call reports besides the TclError it raises: Tcl's message, its errorInfo, its
// errorCode as a tuple of text, and the exception of a Python callback of this interpreter that
// caused it during this call (null when none).
struct CallFailure {
    Ref message;
    Ref errorinfo;
    Ref errorcode;
    Ref cause;
};

enum class CallResult {
    converted, // what tkinter makes of the result (str, int, tuple, Tcl_Obj, ...)
    text,      // exactly Tcl's text of the result, as a str
    script,    // the one word is a script, evaluated as tk.eval does; the result as text
};

struct CallsApi {
    // Whether `tk` is tkinter's own interpreter object, which `call` takes; other objects are
    // called as they are, by the caller's own convention.
    bool (*is_tkinter)(PyObject *tk);
    // tk.call(*words) for a tuple of words, from the interpreter's thread or from any other
    // (tkinter marshals it while the owner runs mainloop()). On a Tcl error: null with
    // TclError(message) raised from the callback's exception (or from None), and `failure`,
    // when given, filled in.
    Ref (*call)(PyObject *tk, PyObject *words, CallResult result, CallFailure *failure);
    // An errorCode value as a tuple of text, split by Tcl's list rules through tk.splitlist (a
    // code that is no list is one word).
    Ref (*error_code_words)(PyObject *tk, PyObject *code);
};

constexpr const char calls_capsule_name[] = "ortan.tcl.namespace._calls";

// The namespace module's CallsApi, imported once by a module that sends calls. Null with an
// exception set.
inline const CallsApi *import_calls_api() {
    // PyCapsule_Import walks attributes: the submodule is imported first.
    Ref module = Ref::steal(PyImport_ImportModule("ortan.tcl.namespace"));
    return module ? static_cast<const CallsApi *>(PyCapsule_Import(calls_capsule_name, 0))
                  : nullptr;
}

} // namespace ortan

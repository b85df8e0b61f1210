// The thread that owns a tkinter interpreter, reached through tkinter's own marshalled calls.
#include "owner.h"
#include "pyapi.h"

#include <cstdio>
#include <new>

// tkinter's application object records the thread that made its interpreter, but not in any
// public place. What it does offer: `exprboolean` runs only on that thread (elsewhere it raises
// RuntimeError), which tells a thread whether it is the owner; and `call`, `createcommand` and
// `deletecommand` run on that thread, from any thread, while the owner runs mainloop(). So code
// that must run on the owner thread (to create Tcl commands there) is wrapped as a short-lived
// tkinter command and called through tkinter; nothing reads tkinter's records.

namespace ortan {

namespace {

// Owned by the command's capsule, so that a command left behind (its deletion failed) never
// reaches freed memory; `expired` keeps it from running the caller's job after the caller
// has returned.
struct OwnerJob {
    bool (*job)(void *arg);
    void *arg;
    bool ran = false;
    bool expired = false;
    Ref error; // the job's exception, raised again by the caller
};

void free_job(PyObject *capsule) {
    delete static_cast<OwnerJob *>(PyCapsule_GetPointer(capsule, "ortan.owner_job"));
}

// The tkinter command's function. It never raises: tkinter would keep the exception and raise
// it again from a later mainloop(). The job's error travels back in the OwnerJob instead.
PyObject *run_job(PyObject *capsule, PyObject *) {
    auto *job = static_cast<OwnerJob *>(PyCapsule_GetPointer(capsule, "ortan.owner_job"));
    if (!job)
        return nullptr; // cannot happen: the capsule is ours
    if (!job->ran && !job->expired) {
        job->ran = true;
        if (!job->job(job->arg))
            job->error = fetch_exception();
    }
    return PyUnicode_FromString("");
}

PyMethodDef run_job_def = {"run_on_owner_thread", run_job, METH_VARARGS,
                           "Runs a job on the thread that owns a Tcl interpreter."};

} // namespace

TclInterp *interp_of(PyObject *tkapp) {
    static PyObject *const interpaddr = PyUnicode_InternFromString("interpaddr");
    if (!interpaddr)
        return nullptr;
    Ref address = call_method(tkapp, interpaddr);
    if (!address)
        return nullptr;
    void *interp = PyLong_AsVoidPtr(address.get());
    if (!interp && !PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError, "the tkinter interpreter has no Tcl interpreter");
    return static_cast<TclInterp *>(interp);
}

int owns_interp(PyObject *tkapp) {
    static PyObject *const exprboolean = PyUnicode_InternFromString("exprboolean");
    static PyObject *const one = PyUnicode_InternFromString("1");
    if (!exprboolean || !one)
        return -1;
    if (call_method(tkapp, exprboolean, {one}))
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError))
        return -1;
    PyErr_Clear();
    return 0;
}

bool run_on_owner_thread(PyObject *tkapp, bool (*job)(void *arg), void *arg) {
    auto *pending = new (std::nothrow) OwnerJob{job, arg, false, false, Ref()};
    if (!pending) {
        PyErr_NoMemory();
        return false;
    }
    Ref capsule = Ref::steal(PyCapsule_New(pending, "ortan.owner_job", free_job));
    if (!capsule) {
        delete pending;
        return false;
    }
    // A name of this call's own: concurrent callers from several threads never share one.
    char name[64];
    std::snprintf(name, sizeof name, "::__ortan__owner_%p", static_cast<void *>(pending));
    Ref word = text(name);
    Ref function = word ? Ref::steal(PyCFunction_New(&run_job_def, capsule.get())) : word;
    static PyObject *const createcommand = PyUnicode_InternFromString("createcommand");
    static PyObject *const deletecommand = PyUnicode_InternFromString("deletecommand");
    static PyObject *const call = PyUnicode_InternFromString("call");
    if (!function || !createcommand || !deletecommand || !call ||
        !call_method(tkapp, createcommand, {word.get(), function.get()}))
        return false;
    Ref called = call_method(tkapp, call, {word.get()});
    pending->expired = true;
    Ref failure = called ? Ref() : fetch_exception();
    // Deleted at once: the command holds the application object on CPython before 3.14.
    if (!call_method(tkapp, deletecommand, {word.get()})) {
        if (failure)
            chain_exception(std::move(failure));
        return false;
    }
    if (failure) {
        restore_exception(std::move(failure));
        return false;
    }
    if (pending->error) {
        restore_exception(std::move(pending->error));
        return false;
    }
    if (!pending->ran) {
        PyErr_SetString(PyExc_RuntimeError,
                        "tkinter did not run the command on the interpreter's own thread");
        return false;
    }
    return true;
}

bool refuse_other_thread(const char *what) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s must happen on the thread that owns the Tcl interpreter (the thread that "
                 "created it); this is another thread",
                 what);
    return false;
}

} // namespace ortan

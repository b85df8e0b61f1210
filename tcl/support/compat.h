// Back-ports of the newer C API this code uses, for the oldest supported Python (3.8).
//
// Each block is guarded by, and names, the first version that has the call itself: when the
// supported floor reaches that version, delete the block. Nothing else in the code base tests
// the version for these names; a call newer than the floor gets its back-port here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// ---- Unnecessary from 3.9 ------------------------------------------------------------------
#if PY_VERSION_HEX < 0x03090000

// 3.8's module init declaration leaves the symbol's visibility to the compiler's default, which
// this build sets to hidden.
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *

// Macros, like 3.9's, so that they take any object pointer.
#define Py_SET_REFCNT(ob, refcnt) (Py_REFCNT(ob) = (refcnt))
#define Py_IS_TYPE(ob, type) (Py_TYPE(ob) == (type))

// 3.8 has vectorcall as a provisional API under underscored names (PyVectorcall_NARGS and
// PY_VECTORCALL_ARGUMENTS_OFFSET already under their final ones).
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL

static inline PyObject *PyObject_Vectorcall(PyObject *callable, PyObject *const *args,
                                            size_t nargsf, PyObject *kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

static inline PyObject *PyObject_CallNoArgs(PyObject *callable) {
    return _PyObject_Vectorcall(callable, nullptr, 0, nullptr);
}

static inline PyObject *PyObject_CallOneArg(PyObject *callable, PyObject *arg) {
    // One free slot in front of the argument lets a bound method prepend its self in place.
    PyObject *slots[2] = {nullptr, arg};
    return _PyObject_Vectorcall(callable, slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// args[0] is self; 3.9 finds an unbound method and passes self as its first argument. Here the
// method is bound as getattr() binds it, and called with the rest; PY_VECTORCALL_ARGUMENTS_OFFSET
// may stay set, as the slot in front of args + 1 is the caller's args[0].
static inline PyObject *PyObject_VectorcallMethod(PyObject *name, PyObject *const *args,
                                                  size_t nargsf, PyObject *kwnames) {
    PyObject *method = PyObject_GetAttr(args[0], name);
    if (!method)
        return nullptr;
    PyObject *result = _PyObject_Vectorcall(method, args + 1, nargsf - 1, kwnames);
    Py_DECREF(method);
    return result;
}

#endif

// ---- Unnecessary from 3.10 -----------------------------------------------------------------
// PyInterpreterState_Get() is public from 3.9.
#if PY_VERSION_HEX < 0x03090000
static inline PyInterpreterState *PyInterpreterState_Get(void) { return PyThreadState_Get()->interp; }
#endif

#if PY_VERSION_HEX < 0x030A0000

static inline PyObject *Py_NewRef(PyObject *obj) {
    Py_INCREF(obj);
    return obj;
}

static inline int PyModule_AddObjectRef(PyObject *module, const char *name, PyObject *value) {
    if (!value)
        return -1;
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}

#endif

// ---- Unnecessary from 3.11 -----------------------------------------------------------------
#if PY_VERSION_HEX < 0x030B0000

// Before 3.11 an instance dict is always found through tp_dictoffset: no type has the flag.
#define Py_TPFLAGS_MANAGED_DICT 0

#endif

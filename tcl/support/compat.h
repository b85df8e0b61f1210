// Back-ports of the newer C API this code uses, for the oldest supported Python (3.8).
//
// Each block is guarded by, and names, the first version that has the call itself: when the
// supported floor reaches that version, delete the block. Nothing else in the code base tests
// the version, except the class guard (class_guard.h), which picks a mechanism no back-port can
// give (type watchers from 3.12). A call newer than the floor gets its back-port here.
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
static inline PyInterpreterState *PyInterpreterState_Get(void) {
    return PyThreadState_Get()->interp;
}
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

// ---- Unnecessary from 3.12 -----------------------------------------------------------------
#if PY_VERSION_HEX < 0x030C0000

static inline PyObject *PyErr_GetRaisedException(void) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

static inline void PyErr_SetRaisedException(PyObject *exc) {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
}

// Before 3.12, CPython's attribute hook for a class with __getattr__ builds a complete
// AttributeError, message included, for every miss, only to drop it and call __getattr__: code
// that reads many misses does better with its own hook while this is true.
constexpr bool ORTAN_COSTLY_GETATTR_HOOK = true;

#else

constexpr bool ORTAN_COSTLY_GETATTR_HOOK = false;

// Every str is ready from 3.12 on: PyUnicode_READY is deprecated there and gone from 3.15.
#undef PyUnicode_READY
#define PyUnicode_READY(op) ((void)(op), 0)
#undef PyUnicode_IS_READY
#define PyUnicode_IS_READY(op) ((void)(op), 1)

#endif

// ---- Unnecessary from 3.13 -----------------------------------------------------------------
#if PY_VERSION_HEX < 0x030D0000

static inline int PyObject_GetOptionalAttr(PyObject *obj, PyObject *name, PyObject **result) {
    return _PyObject_LookupAttr(obj, name, result);
}

static inline int PyWeakref_GetRef(PyObject *ref, PyObject **pobj) {
    PyObject *obj = PyWeakref_GetObject(ref); // borrowed; None once the referent is gone
    if (!obj) {
        *pobj = nullptr;
        return -1;
    }
    *pobj = obj == Py_None ? nullptr : Py_NewRef(obj);
    return *pobj ? 1 : 0;
}

typedef _PyTime_t PyTime_t;

static inline int PyTime_Time(PyTime_t *result) {
    *result = _PyTime_GetSystemClock();
    return 0;
}

#endif

// ---- Unnecessary from 3.14 -----------------------------------------------------------------
#if PY_VERSION_HEX < 0x030E0000

// The public str writer of 3.14 over the private one before it: the same calls, the writer kept
// on the heap as 3.14 keeps it.
typedef _PyUnicodeWriter PyUnicodeWriter;

static inline PyUnicodeWriter *PyUnicodeWriter_Create(Py_ssize_t length) {
    auto *writer = static_cast<_PyUnicodeWriter *>(PyMem_Malloc(sizeof(_PyUnicodeWriter)));
    if (!writer) {
        PyErr_NoMemory();
        return nullptr;
    }
    _PyUnicodeWriter_Init(writer);
    writer->overallocate = 1;
    if (length > 0 && _PyUnicodeWriter_Prepare(writer, length, 127) < 0) {
        _PyUnicodeWriter_Dealloc(writer);
        PyMem_Free(writer);
        return nullptr;
    }
    return writer;
}

static inline void PyUnicodeWriter_Discard(PyUnicodeWriter *writer) {
    if (!writer)
        return;
    _PyUnicodeWriter_Dealloc(writer);
    PyMem_Free(writer);
}

static inline PyObject *PyUnicodeWriter_Finish(PyUnicodeWriter *writer) {
    PyObject *text = _PyUnicodeWriter_Finish(writer);
    PyMem_Free(writer);
    return text;
}

static inline int PyUnicodeWriter_WriteChar(PyUnicodeWriter *writer, Py_UCS4 ch) {
    if (ch > 0x10FFFF) {
        PyErr_SetString(PyExc_ValueError, "character must be in range(0x110000)");
        return -1;
    }
    return _PyUnicodeWriter_WriteChar(writer, ch);
}

static inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter *writer, const char *str,
                                            Py_ssize_t size) {
    if (size < 0)
        size = static_cast<Py_ssize_t>(strlen(str));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (static_cast<unsigned char>(str[i]) >= 0x80) {
            PyObject *text = PyUnicode_DecodeUTF8(str, size, nullptr);
            if (!text)
                return -1;
            const int done = _PyUnicodeWriter_WriteStr(writer, text);
            Py_DECREF(text);
            return done;
        }
    }
    return _PyUnicodeWriter_WriteASCIIString(writer, str, size);
}

static inline int PyUnicodeWriter_WriteSubstring(PyUnicodeWriter *writer, PyObject *str,
                                                 Py_ssize_t start, Py_ssize_t end) {
    return _PyUnicodeWriter_WriteSubstring(writer, str, start, end);
}

#endif

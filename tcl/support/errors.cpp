// Small wrappers over the C API that return Refs: imports, attributes, calls, exceptions.
#include "errors.h"

namespace ortan {

Ref import_attr(const char *module, const char *name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod)
        return mod;
    return get_attr(mod.get(), name);
}

int get_optional_attr(PyObject *obj, PyObject *name, Ref &out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value = nullptr;
    int found = PyObject_GetOptionalAttr(obj, name, &value);
#else
    PyObject *value = nullptr;
    int found = _PyObject_LookupAttr(obj, name, &value);
#endif
    out = Ref::steal(value);
    return found;
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

void restore_exception(Ref exc) {
    if (!exc)
        return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject *value = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

PyObject *intern(const char *text) {
    // Immortal for our purposes: the reference is never released.
    return PyUnicode_InternFromString(text);
}

void raise_with_context(Ref error, Ref context) {
    if (error && context && error.get() != context.get()) // never its own context
        PyException_SetContext(error.get(), context.release());
    restore_exception(std::move(error));
}

} // namespace ortan

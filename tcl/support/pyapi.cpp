// Small wrappers over the C API that return Refs: imports, attribute access, calls, weak
// references and exceptions.
#include "pyapi.h"

#include <cstring>

namespace ortan {

Ref import_attr(const char *module, const char *name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod)
        return mod;
    return get_attr(mod.get(), name);
}

namespace {

// Whether the pending exception says that `module`, or a package above it, is not installed
// (ModuleNotFoundError naming it); if so it is cleared, otherwise it stays pending.
bool clear_if_not_installed(const char *module) {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError))
        return false;
    Ref error = fetch_exception();
    Ref missing = error ? get_attr(error.get(), "name") : Ref();
    const char *name =
        missing && PyUnicode_Check(missing.get()) ? PyUnicode_AsUTF8(missing.get()) : nullptr;
    const size_t length = name ? std::strlen(name) : 0;
    const bool absent = name && std::strncmp(module, name, length) == 0 &&
                        (module[length] == '\0' || module[length] == '.');
    PyErr_Clear(); // of the look-up of `name`, if it failed
    if (!absent)
        restore_exception(std::move(error));
    return absent;
}

} // namespace

Ref import_family_attr(const char *sibling, const char *name) {
    Ref mod = Ref::steal(PyImport_ImportModule(sibling));
    if (!mod && clear_if_not_installed(sibling))
        mod = Ref::steal(PyImport_ImportModule("ortan.tcl._family"));
    return mod ? get_attr(mod.get(), name) : mod;
}

Ref call_method_long(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args,
                     PyObject *kwnames) {
    SmallArray<PyObject *, 16> stack;
    if (!stack.resize(args.size() + 1))
        return Ref();
    stack[0] = obj;
    size_t n = 1;
    for (PyObject *arg : args)
        stack[n++] = arg;
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_VectorcallMethod(name, stack.data(), n - nkw, kwnames));
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

void raise_with_context(Ref error, Ref context) {
    if (error && context && error.get() != context.get()) // never its own context
        PyException_SetContext(error.get(), context.release());
    restore_exception(std::move(error));
}

} // namespace ortan

namespace ortan {

int is_tkinter_object(PyObject *obj) {
    // The binding's application object has no Python class to test against; its type name is
    // fixed by _tkinter.
    if (std::strcmp(Py_TYPE(obj)->tp_name, "_tkinter.tkapp") == 0)
        return 1;
    Ref misc = import_attr("tkinter", "Misc"); // Tk, Tcl() and every widget
    if (!misc)
        return -1;
    return PyObject_IsInstance(obj, misc.get());
}

bool refuse_tkinter_host(PyObject *tcl, const char *who) {
    const int tkinter = is_tkinter_object(tcl);
    if (tkinter < 0)
        return false;
    if (tkinter) {
        PyErr_Format(PyExc_TypeError,
                     "%s needs a host interpreter, not the tkinter object %R: wrap it as "
                     "ortan.tcl.Interpreter(...) and pass that",
                     who, tcl);
        return false;
    }
    return true;
}

} // namespace ortan

// Small wrappers over the C API that return Refs.
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

Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args) {
    // PyObject_VectorcallMethod wants the receiver in slot 0 of the argument vector.
    PyObject *stack[8];
    if (args.size() + 1 > sizeof stack / sizeof stack[0])
        return raise(PyExc_SystemError, "call_method: too many arguments");
    stack[0] = obj;
    Py_ssize_t n = 1;
    for (PyObject *arg : args)
        stack[n++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

PyObject *intern(const char *text) {
    // Immortal for our purposes: the reference is never released.
    return PyUnicode_InternFromString(text);
}

} // namespace ortan

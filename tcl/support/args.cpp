// Argument parsing for vectorcall functions and methods.
#include "args.h"

namespace ortan {

bool parse_args(const char *fname, PyObject *const *args, size_t nargsf, PyObject *kwnames,
                std::initializer_list<const char *> names, Py_ssize_t required, PyObject **out,
                ExtraKeywordFn extra, void *context) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t count = static_cast<Py_ssize_t>(names.size());
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)",
                     fname, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = 0;
        for (const char *name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0)
                break;
            ++slot;
        }
        if (slot == count) {
            if (extra) {
                if (!extra(context, key, args[nargs + k]))
                    return false;
                continue;
            }
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname,
                         names.begin()[i], i + 1);
            return false;
        }
    }
    return true;
}

bool bind_first(const char *fname, PyObject *const *pos, Py_ssize_t npos, PyObject *const *kwvalues,
                PyObject *kwnames, const char *first_name, PyObject **first) {
    *first = npos > 0 ? pos[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(key, first_name) != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return false;
        }
        if (*first) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                         first_name);
            return false;
        }
        *first = kwvalues[i];
    }
    return true;
}

bool refuse_arguments(const char *qualname, Py_ssize_t nargs, PyObject *kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", qualname);
    else
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", qualname, nargs - 1);
    return false;
}

} // namespace ortan

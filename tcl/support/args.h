// Argument parsing for vectorcall functions and methods.
#pragma once

#include "ref.h"

#include <initializer_list>
#include <memory>
#include <type_traits>

namespace ortan {

// Matches positional and keyword arguments against `names` (in order) and stores borrowed
// references in `out` (null for an omitted optional). The first `required` names must be
// given. Raises TypeError in the wording CPython uses for Python functions and returns false.
// `nargs` may carry PY_VECTORCALL_ARGUMENTS_OFFSET.
//
// With `extra`, a keyword that matches none of the names goes to `extra(context, name, value)`
// (false with an exception set stops the parse) instead of raising: a `**kwargs` parameter.
using ExtraKeywordFn = bool (*)(void *context, PyObject *name, PyObject *value);
bool parse_args(const char *fname, PyObject *const *args, size_t nargs, PyObject *kwnames,
                std::initializer_list<const char *> names, Py_ssize_t required, PyObject **out,
                ExtraKeywordFn extra, void *context);
inline bool parse_args(const char *fname, PyObject *const *args, size_t nargs, PyObject *kwnames,
                       std::initializer_list<const char *> names, Py_ssize_t required,
                       PyObject **out) {
    return parse_args(fname, args, nargs, kwnames, names, required, out, nullptr, nullptr);
}

// The same for a method (a MethodFn's arguments): args[0] is self, the names follow it.
inline bool parse_method_args(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames, std::initializer_list<const char *> names,
                              Py_ssize_t required, PyObject **out) {
    return parse_args(fname, args + 1, static_cast<size_t>(nargs - 1), kwnames, names, required,
                      out);
}

// parse_method_args for `fname(self, <names...>, **kwargs)`: every keyword that matches none of
// the names is handed to `extra(name, value)` (a callable returning bool, false with an
// exception set to stop) instead of raising TypeError.
template <class Extra>
bool parse_method_args(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames, std::initializer_list<const char *> names,
                       Py_ssize_t required, PyObject **out, Extra &&extra) {
    using Fn = std::remove_reference_t<Extra>;
    auto *context = const_cast<std::remove_const_t<Fn> *>(std::addressof(extra));
    return parse_args(
        fname, args + 1, static_cast<size_t>(nargs - 1), kwnames, names, required, out,
        [](void *c, PyObject *name, PyObject *value) -> bool {
            return (*static_cast<Fn *>(c))(name, value);
        },
        context);
}

} // namespace ortan

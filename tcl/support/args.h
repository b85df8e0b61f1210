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

// The error of no_arguments (below), out of line.
bool refuse_arguments(const char *qualname, Py_ssize_t nargs, PyObject *kwnames);

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

// parse_method_args for `fname(self, <names...>, **kwargs)` that hands every other keyword to
// `rest.keyword(name, value)` (a collector of call arguments that records its own failure, such
// as a call-argument builder). The named parameters are all optional.
template <class Rest>
bool parse_with_kwargs(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames, std::initializer_list<const char *> names, PyObject **out,
                       Rest &rest) {
    return parse_method_args(fname, args, nargs, kwnames, names, 0, out,
                             [&rest](PyObject *name, PyObject *value) {
                                 rest.keyword(name, value);
                                 return true;
                             });
}

// For signatures of the form (first, *rest): binds `first` (null when not given) from the first
// of the `npos` positional values or a keyword of that name, whose values are at `kwvalues`;
// refuses any other keyword.
bool bind_first(const char *fname, PyObject *const *pos, Py_ssize_t npos, PyObject *const *kwvalues,
                PyObject *kwnames, const char *first_name, PyObject **first);

// bind_first for a method, `(self, first=default, *rest)`: args[0] is self.
inline bool parse_flag_and_rest(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames, const char *flag_name, PyObject **flag) {
    return bind_first(fname, args + 1, nargs - 1, args + nargs, kwnames, flag_name, flag);
}

// For a method that takes only self (a MethodFn's arguments): true when no others are given,
// else false with TypeError in CPython's wording for a builtin method, `qualname` being
// "Class.method": "History.__repr__() takes no arguments (1 given)", or "... takes no keyword
// arguments".
inline bool no_arguments(const char *qualname, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 1 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0))
        return true;
    return refuse_arguments(qualname, nargs, kwnames);
}

} // namespace ortan

// Argument parsing for vectorcall functions and methods.
#pragma once

#include "ref.h"

#include <initializer_list>

namespace ortan {

// Matches positional and keyword arguments against `names` (in order) and stores borrowed
// references in `out` (null for an omitted optional). The first `required` names must be
// given. Raises TypeError in the wording CPython uses for Python functions and returns false.
// `nargs` may carry PY_VECTORCALL_ARGUMENTS_OFFSET.
bool parse_args(const char *fname, PyObject *const *args, size_t nargs, PyObject *kwnames,
                std::initializer_list<const char *> names, Py_ssize_t required, PyObject **out);

} // namespace ortan

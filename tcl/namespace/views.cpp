// ortan.tcl.namespace: the mapping views of a namespace (TclNamespace.VariablesView and its kin).
#include "common.h"

namespace ortan_namespace {

// ---------------------------------------------------------------------------------------------
// The views: TclNamespace.VariablesView, .ObjectsView, .CommandsView, .ProcsView.

bool init_view(PyObject *cls, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames, std::initializer_list<PyObject *> exact) {
    PyObject *params[1];
    if (!parse_method_args("__init__", args, nargs, kwnames, {"ns"}, 1, params))
        return false;
    PyObject *ns = params[0];
    if (assertions_enabled) {
        const int ok = PyObject_IsInstance(ns, TclNamespace_cls);
        if (ok <= 0) {
            if (ok == 0)
                PyErr_SetNone(PyExc_AssertionError);
            return false;
        }
    }
    return init_next_plain(cls, self, exact) && set_attr(self, S.ns, ns);
}

PyObject *VariablesView_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!init_view(VariablesView_cls, args[0], args, nargs, kwnames,
                   {VariablesView_cls, ObjectsView_cls}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *CommandsView_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!init_view(CommandsView_cls, args[0], args, nargs, kwnames,
                   {CommandsView_cls, ProcsView_cls}))
        return nullptr;
    Py_RETURN_NONE;
}

// join(self.ns, name) and self.ns.tcl, which a view's wrappers are made from; false with an
// exception set on failure.
bool view_target(PyObject *self, PyObject *name, Ref &qualified, Ref &tcl) {
    Ref ns = get_attr(self, S.ns);
    qualified = ns ? join2(ns.get(), name) : ns;
    tcl = qualified ? get_attr(ns.get(), S.tcl) : qualified;
    return bool(tcl);
}

// byref(self, <name_param>, *args, **kwargs): `maker(join(self.ns, name), *args,
// tcl=self.ns.tcl, **kwargs)`. When `takes_var_type`, a keyword `var_type` chooses the maker.
// For the command views (`whole_command_name`) the qualified name is one word: given without
// bound words, it goes as the one-word tuple (name,), which TclCommand does not split as a list.
PyObject *view_byref(const char *fname, const char *name_param, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, bool takes_var_type, PyObject *maker,
                     bool whole_command_name = false) {
    PyObject *self = args[0];
    PyObject *name = nargs > 1 ? args[1] : nullptr;
    PyObject *bound_words = nargs > 2 ? args[2] : nullptr; // TclCommand's `args`
    struct Keyword {
        PyObject *key, *value;
    };
    ortan::SmallArray<Keyword, 8> extra;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (takes_var_type && PyUnicode_Compare(key, S.var_type) == 0) {
            maker = value;
        } else if (PyUnicode_CompareWithASCIIString(key, name_param) == 0) {
            if (name) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                             name_param);
                return nullptr;
            }
            name = value;
        } else {
            if (PyUnicode_Compare(key, S.args) == 0)
                bound_words = value;
            if (!extra.push_back(Keyword{key, value}))
                return nullptr;
        }
    }
    if (!name) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos 1)", fname,
                     name_param);
        return nullptr;
    }
    Ref qualified, tcl;
    if (!view_target(self, name, qualified, tcl))
        return nullptr;
    if (maker == TclVariable_cls && nargs <= 2 && extra.empty())
        return new_variable(qualified.get(), tcl.get()).release();
    if (whole_command_name && is_none(bound_words) && !(qualified = tuple_of({qualified.get()})))
        return nullptr;
    CallArgs made;
    made.positional(qualified.get());
    if (nargs > 2)
        made.positional(args + 2, nargs - 2);
    made.keyword(S.tcl, tcl.get());
    for (const Keyword &kw : extra) {
        if (PyUnicode_Compare(kw.key, S.tcl) == 0) {
            raise_repeated_keyword(maker, S.tcl);
            return nullptr;
        }
        made.keyword(kw.key, kw.value);
    }
    return made.call(maker).release();
}

PyObject *VariablesView_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_byref("byref", "var_name", args, nargs, kwnames, true, TclVariable_cls);
}

PyObject *VariablesView_array_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs < 2 && !kwnames)
        return ortan::raise(PyExc_TypeError,
                            "array_byref() missing required argument 'var_name' (pos 1)")
            .release();
    CallArgs call;
    call.positional(args + 1, nargs - 1);
    call.keyword(S.var_type, TclArrayVariable_cls);
    if (kwnames) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Compare(key, S.var_type) == 0) {
                PyErr_SetString(PyExc_TypeError,
                                "byref() got multiple values for keyword argument 'var_type'");
                return nullptr;
            }
            call.keyword(key, args[nargs + k]);
        }
    }
    return call.call_method(args[0], S.byref).release();
}

bool is_own_variables_view(PyObject *self) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    return type == VariablesView_cls || type == ObjectsView_cls;
}

// self.byref(name): the wrapper one view method works on. The module's own variable views
// make the variable directly.
Ref view_item(PyObject *self, PyObject *name) {
    if (!is_own_variables_view(self))
        return call_method(self, S.byref, {name});
    Ref qualified, tcl;
    return view_target(self, name, qualified, tcl) ? new_variable(qualified.get(), tcl.get())
                                                   : Ref();
}

// VariablesView.get: self.byref(name).get_str()
Ref variables_view_get(PyObject *self, PyObject *name) {
    Ref variable = view_item(self, name);
    if (!variable)
        return variable;
    if (Py_TYPE(variable.get()) == reinterpret_cast<PyTypeObject *>(TclVariable_cls))
        return variable_get_str(variable.get(), nullptr);
    return call_method(variable.get(), S.get_str);
}

// self.byref(name).<method>(*values) with keyword names `kw` for the trailing values.
PyObject *view_delegate(PyObject *self, PyObject *name, PyObject *method,
                        std::initializer_list<PyObject *> values = {}, PyObject *kw = nullptr) {
    Ref item = view_item(self, name);
    return item ? call_method(item.get(), method, values, kw).release() : nullptr;
}

PyObject *none_or_null(PyObject *result) {
    if (!result)
        return nullptr;
    Py_DECREF(result);
    Py_RETURN_NONE;
}

PyObject *VariablesView_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (nargs == 2 && !kwnames)
        params[0] = args[1];
    else if (!parse_method_args("get", args, nargs, kwnames, {"var_name"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0];
    return variables_view_get(args[0], var_name).release();
}

PyObject *VariablesView_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[3];
    if (!parse_method_args("set", args, nargs, kwnames, {"var_name", "value", "array_index"}, 2,
                           params))
        return nullptr;
    PyObject *var_name = params[0], *value = params[1], *array_index = params[2];
    return view_delegate(args[0], var_name, S.set, {value, arg_or(array_index, Py_None)},
                         kw_array_index);
}

PyObject *VariablesView_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[3];
    if (!parse_method_args("unset", args, nargs, kwnames, {"var_name", "array_index", "nocomplain"},
                           1, params))
        return nullptr;
    PyObject *var_name = params[0], *array_index = params[1], *nocomplain = params[2];
    return none_or_null(view_delegate(args[0], var_name, S.unset,
                                      {arg_or(array_index, Py_None), arg_or(nocomplain, Py_False)},
                                      kw_array_index_nocomplain));
}

PyObject *VariablesView_array_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("array_get", args, nargs, kwnames, {"var_name", "pattern"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0], *pattern = params[1];
    return view_delegate(args[0], var_name, S.array_get_str, {arg_or(pattern, Py_None)},
                         kw_pattern);
}

PyObject *VariablesView_array_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("array_set", args, nargs, kwnames, {"var_name", "value"}, 2, params))
        return nullptr;
    PyObject *var_name = params[0], *value = params[1];
    return none_or_null(view_delegate(args[0], var_name, S.array_set, {value}));
}

PyObject *VariablesView_array_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("array_unset", args, nargs, kwnames, {"var_name", "pattern"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0], *pattern = params[1];
    return none_or_null(
        view_delegate(args[0], var_name, S.array_unset, {arg_or(pattern, Py_None)}, kw_pattern));
}

PyObject *VariablesView_array_names(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("array_names", args, nargs, kwnames, {"var_name", "pattern"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0], *pattern = params[1];
    return view_delegate(args[0], var_name, S.array_names, {arg_or(pattern, Py_None)}, kw_pattern);
}

PyObject *VariablesView_is_array(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("is_array", args, nargs, kwnames, {"var_name"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0];
    return view_delegate(args[0], var_name, S.is_array);
}

PyObject *VariablesView_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("exists", args, nargs, kwnames, {"var_name", "array_index"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0], *array_index = params[1];
    return view_delegate(args[0], var_name, S.exists, {arg_or(array_index, Py_None)},
                         kw_array_index);
}

// `result` as it is; when it is null, a pending exception matching `a` or `b` (b may be null)
// becomes KeyError.
PyObject *as_key_error(PyObject *result, PyObject *a, PyObject *b) {
    if (!result && (PyErr_ExceptionMatches(a) || (b && PyErr_ExceptionMatches(b))))
        reraise_as_key_error();
    return result;
}

PyObject *key_argument(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    if (nargs == 2 && !kwnames)
        return args[1];
    PyObject *params[1];
    return parse_method_args(fname, args, nargs, kwnames, {"key"}, 1, params) ? params[0] : nullptr;
}

PyObject *VariablesView_getitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__getitem__", args, nargs, kwnames);
    if (!key)
        return nullptr;
    PyObject *self = args[0];
    Ref value = reinterpret_cast<PyObject *>(Py_TYPE(self)) == VariablesView_cls
                    ? variables_view_get(self, key)
                    : call_method(self, S.get, {key});
    return as_key_error(value.release(), tcl_error, PyExc_ValueError);
}

PyObject *view_contains(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__contains__", args, nargs, kwnames);
    return key ? call_method(args[0], S.exists, {key}).release() : nullptr;
}

// `key in view` of the variable views: true when view[key] reads a value, that is when the
// variable (or element) exists and is not an array.
PyObject *VariablesView_contains(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__contains__", args, nargs, kwnames);
    if (!key)
        return nullptr;
    Ref exists = call_method(args[0], S.exists, {key});
    const int truth = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (truth <= 0)
        return truth < 0 ? nullptr : Py_NewRef(Py_False);
    Ref array = call_method(args[0], S.is_array, {key});
    const int is_array = array ? PyObject_IsTrue(array.get()) : -1;
    return is_array < 0 ? nullptr : PyBool_FromLong(!is_array);
}

// The views' __setitem__: self.<method>(key, value).
PyObject *view_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject *method) {
    PyObject *params[2];
    if (!parse_method_args("__setitem__", args, nargs, kwnames, {"key", "value"}, 2, params))
        return nullptr;
    PyObject *key = params[0], *value = params[1];
    return none_or_null(call_method(args[0], method, {key, value}).release());
}

// The views' __delitem__: self.<method>(key), a TclError raised as KeyError.
PyObject *view_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject *method) {
    PyObject *key = key_argument("__delitem__", args, nargs, kwnames);
    if (!key)
        return nullptr;
    return none_or_null(
        as_key_error(call_method(args[0], method, {key}).release(), tcl_error, nullptr));
}

PyObject *VariablesView_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_setitem(args, nargs, kwnames, S.set);
}

PyObject *VariablesView_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_delitem(args, nargs, kwnames, S.unset);
}

PyObject *view_len(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments_of(cls, "__len__", nargs, kwnames))
        return nullptr;
    return count_iteration(args[0]).release();
}

PyObject *VariablesView_len(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_len(VariablesView_cls, args, nargs, kwnames);
}

PyObject *view_iter(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject *words) {
    if (!no_arguments_of(cls, "__iter__", nargs, kwnames))
        return nullptr;
    return new_name_iterator(NameSource::view_query, args[0], words).release();
}

PyObject *VariablesView_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_iter(VariablesView_cls, args, nargs, kwnames, words_own_vars);
}

const MethodDef VariablesView_methods[] = {
    {"__init__", VariablesView_init, "($self, ns)", nullptr},
    {"byref", VariablesView_byref, "($self, var_name, *args, **kwargs)",
     "A variable object for the qualified name (var_type=TclVariable)."},
    {"array_byref", VariablesView_array_byref, "($self, var_name, *args, **kwargs)",
     "A TclArrayVariable for the qualified name."},
    {"get", VariablesView_get, "($self, var_name)", "The value as text."},
    {"set", VariablesView_set, "($self, var_name, value, array_index=None)", nullptr},
    {"unset", VariablesView_unset, "($self, var_name, array_index=None, nocomplain=False)",
     nullptr},
    {"array_get", VariablesView_array_get, "($self, var_name, pattern=None)", nullptr},
    {"array_set", VariablesView_array_set, "($self, var_name, value)", nullptr},
    {"array_unset", VariablesView_array_unset, "($self, var_name, pattern=None)", nullptr},
    {"array_names", VariablesView_array_names, "($self, var_name, pattern=None)", nullptr},
    {"is_array", VariablesView_is_array, "($self, var_name)", nullptr},
    {"exists", VariablesView_exists, "($self, var_name, array_index=None)", nullptr},
    {"__getitem__", VariablesView_getitem, "($self, key, /)", nullptr},
    {"__contains__", VariablesView_contains, "($self, key, /)", nullptr},
    {"__setitem__", VariablesView_setitem, "($self, key, value, /)", nullptr},
    {"__delitem__", VariablesView_delitem, "($self, key, /)", nullptr},
    {"__len__", VariablesView_len, "($self, /)", nullptr},
    {"__iter__", VariablesView_iter, "($self, /)", nullptr},
};

PyObject *ObjectsView_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("get", args, nargs, kwnames, {"var_name", "array_index"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0], *array_index = params[1];
    return view_delegate(args[0], var_name, S.get_obj, {arg_or(array_index, Py_None)},
                         kw_array_index);
}

PyObject *ObjectsView_array_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("array_get", args, nargs, kwnames, {"var_name", "pattern"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0], *pattern = params[1];
    return view_delegate(args[0], var_name, S.array_get_obj, {arg_or(pattern, Py_None)},
                         kw_pattern);
}

const MethodDef ObjectsView_methods[] = {
    {"get", ObjectsView_get, "($self, var_name, array_index=None)",
     "The value as the interpreter returns it."},
    {"array_get", ObjectsView_array_get, "($self, var_name, pattern=None)", nullptr},
};

PyObject *CommandsView_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_byref("byref", "cmd_name", args, nargs, kwnames, false, TclCommand_cls, true);
}

// The command views' one-name methods: self.byref(cmd_name).<method>(*extra).
PyObject *command_view_method(const char *fname, PyObject *method, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames, bool returns_none) {
    PyObject *params[1];
    if (!parse_method_args(fname, args, nargs, kwnames, {"cmd_name"}, 1, params))
        return nullptr;
    PyObject *cmd_name = params[0];
    PyObject *result = view_delegate(args[0], cmd_name, method);
    return returns_none ? none_or_null(result) : result;
}

// `name` with the glob characters of its last component escaped: the pattern of `info commands`
// or `info procs` that matches the command of that very name (their namespace part is never a
// pattern).
Ref literal_command_pattern(PyObject *name) {
    if (!PyUnicode_Check(name) || !text_ready(name))
        return PyErr_Occurred() ? Ref() : Ref::borrow(name);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    const Py_ssize_t colons = PyUnicode_Find(name, S.colons, 0, n, -1);
    if (colons == -2)
        return Ref();
    const Py_ssize_t tail = colons < 0 ? 0 : colons + 2;
    auto is_glob = [](Py_UCS4 ch) {
        return ch == '*' || ch == '?' || ch == '[' || ch == ']' || ch == '\\';
    };
    Py_ssize_t first = -1;
    for (Py_ssize_t i = tail; i < n && first < 0; ++i)
        if (is_glob(PyUnicode_READ_CHAR(name, i)))
            first = i;
    if (first < 0)
        return Ref::borrow(name);
    ortan::TextWriter out(n + 8);
    bool ok = out.ok() && out.put_range(name, 0, first);
    for (Py_ssize_t i = first; i < n && ok; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(name, i);
        ok = (!is_glob(ch) || out.put('\\')) && out.put(ch);
    }
    return ok ? out.finish() : Ref();
}

// The command views' existence tests: self.byref(cmd_name), asked with `info <sub>` about its
// name taken literally, so that a name with glob characters is only itself.
PyObject *command_view_exists(PyObject *sub, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("exists", args, nargs, kwnames, {"cmd_name"}, 1, params))
        return nullptr;
    PyObject *cmd_name = params[0];
    Ref command = view_item(args[0], cmd_name);
    Ref name = command ? get_attr(command.get(), S.cmd_name) : command;
    Ref pattern = name ? literal_command_pattern(name.get()) : name;
    Ref words = pattern ? tuple_of({S.w_info, sub, pattern.get()}) : pattern;
    return as_bool(words ? tk_call(command.get(), words.get()) : words);
}

PyObject *CommandsView_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_exists(S.w_commands, args, nargs, kwnames);
}

PyObject *CommandsView_createcommand(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("createcommand", args, nargs, kwnames, {"cmd_name", "func"}, 2, params))
        return nullptr;
    PyObject *cmd_name = params[0], *func = params[1];
    return none_or_null(view_delegate(args[0], cmd_name, S.createcommand, {func}));
}

PyObject *CommandsView_delete(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("delete", S.delete_, args, nargs, kwnames, true);
}

PyObject *CommandsView_rename(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("rename", args, nargs, kwnames, {"cmd_name", "new_name"}, 2, params))
        return nullptr;
    PyObject *cmd_name = params[0], *new_name_arg = params[1];
    Ref ns = get_attr(args[0], S.ns);
    Ref new_name = ns ? join2(ns.get(), new_name_arg) : ns;
    if (!new_name)
        return nullptr;
    return none_or_null(view_delegate(args[0], cmd_name, S.rename, {new_name.get()}));
}

PyObject *CommandsView_origin(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("origin", S.origin, args, nargs, kwnames, false);
}

PyObject *CommandsView_proc_body(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("proc_body", S.proc_body, args, nargs, kwnames, false);
}

PyObject *CommandsView_proc_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_method("proc_args", S.proc_args, args, nargs, kwnames, false);
}

PyObject *CommandsView_proc_arg_default(PyObject *const *args, Py_ssize_t nargs,
                                        PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("proc_arg_default", args, nargs, kwnames, {"cmd_name", "arg_name"}, 2,
                           params))
        return nullptr;
    PyObject *cmd_name = params[0], *arg_name = params[1];
    return view_delegate(args[0], cmd_name, S.proc_arg_default, {arg_name});
}

PyObject *CommandsView_getitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key = key_argument("__getitem__", args, nargs, kwnames);
    return key ? view_item(args[0], key).release() : nullptr;
}

PyObject *CommandsView_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_setitem(args, nargs, kwnames, S.createcommand);
}

PyObject *CommandsView_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_delitem(args, nargs, kwnames, S.delete_);
}

PyObject *CommandsView_len(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_len(CommandsView_cls, args, nargs, kwnames);
}

// Whether two values of command mappings stand for the same command: equal, or TclCommand
// objects of one class that send the same words to the same interpreter (a view makes a new
// object for every look-up). -1 with an exception set.
int same_command(PyObject *a, PyObject *b) {
    if (a == b)
        return 1;
    const int a_command = PyObject_IsInstance(a, TclCommand_cls);
    const int b_command = a_command < 0 ? -1 : PyObject_IsInstance(b, TclCommand_cls);
    if (b_command < 0)
        return -1;
    if (!a_command || !b_command)
        return PyObject_RichCompareBool(a, b, Py_EQ);
    if (Py_TYPE(a) != Py_TYPE(b))
        return 0;
    Ref a_tcl = get_attr(a, S.tcl);
    Ref b_tcl = a_tcl ? get_attr(b, S.tcl) : a_tcl;
    Ref a_host = b_tcl ? ortan::unproxied(a_tcl.get()) : b_tcl;
    Ref b_host = a_host ? ortan::unproxied(b_tcl.get()) : a_host;
    if (!b_host)
        return -1;
    if (a_host.get() != b_host.get())
        return 0;
    Ref a_words = call_method(a, S.build_tclcmd);
    Ref b_words = a_words ? call_method(b, S.build_tclcmd) : a_words;
    return b_words ? PyObject_RichCompareBool(a_words.get(), b_words.get(), Py_EQ) : -1;
}

// dict(mapping.items())
Ref dict_of_items(PyObject *mapping) {
    Ref items = call_method(mapping, S.items);
    return items ? ortan::call(reinterpret_cast<PyObject *>(&PyDict_Type), {items.get()}) : items;
}

// view == other, as Mapping compares (the same keys, equal values), with commands compared by
// what they run: so a command view equals itself and the dict made of it.
PyObject *CommandsView_eq(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("__eq__", args, nargs, kwnames, {"other"}, 1, params))
        return nullptr;
    PyObject *other_arg = params[0];
    const int mapping = PyObject_IsInstance(other_arg, mapping_abc);
    if (mapping <= 0)
        return mapping < 0 ? nullptr : Py_NewRef(Py_NotImplemented);
    Ref mine = dict_of_items(args[0]);
    Ref theirs = mine ? dict_of_items(other_arg) : mine;
    if (!theirs)
        return nullptr;
    if (PyDict_GET_SIZE(mine.get()) != PyDict_GET_SIZE(theirs.get()))
        Py_RETURN_FALSE;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(mine.get(), &pos, &key, &value)) {
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        PyObject *other = PyDict_GetItemWithError(theirs.get(), key);
        if (!other)
            return PyErr_Occurred() ? nullptr : Py_NewRef(Py_False);
        Ref held_other = Ref::borrow(other);
        const int same = same_command(value, other);
        if (same <= 0)
            return same < 0 ? nullptr : Py_NewRef(Py_False);
    }
    Py_RETURN_TRUE;
}

PyObject *CommandsView_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_iter(CommandsView_cls, args, nargs, kwnames, words_own_commands);
}

const MethodDef CommandsView_methods[] = {
    {"__init__", CommandsView_init, "($self, ns)", nullptr},
    {"byref", CommandsView_byref, "($self, cmd_name, *args, **kwargs)",
     "A TclCommand for the qualified name."},
    {"exists", CommandsView_exists, "($self, cmd_name)", nullptr},
    {"createcommand", CommandsView_createcommand, "($self, cmd_name, func)", nullptr},
    {"delete", CommandsView_delete, "($self, cmd_name)", nullptr},
    {"rename", CommandsView_rename, "($self, cmd_name, new_name)", nullptr},
    {"origin", CommandsView_origin, "($self, cmd_name)", nullptr},
    {"proc_body", CommandsView_proc_body, "($self, cmd_name)", nullptr},
    {"proc_args", CommandsView_proc_args, "($self, cmd_name)", nullptr},
    {"proc_arg_default", CommandsView_proc_arg_default, "($self, cmd_name, arg_name)", nullptr},
    {"__getitem__", CommandsView_getitem, "($self, key, /)", nullptr},
    {"__contains__", view_contains, "($self, key, /)", nullptr},
    {"__setitem__", CommandsView_setitem, "($self, key, value, /)", nullptr},
    {"__delitem__", CommandsView_delitem, "($self, key, /)", nullptr},
    {"__len__", CommandsView_len, "($self, /)", nullptr},
    {"__eq__", CommandsView_eq, "($self, other, /)", nullptr},
    {"__iter__", CommandsView_iter, "($self, /)", nullptr},
};

PyObject *ProcsView_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return command_view_exists(S.w_procs, args, nargs, kwnames);
}

PyObject *ProcsView_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return view_iter(ProcsView_cls, args, nargs, kwnames, words_own_procs);
}

const MethodDef ProcsView_methods[] = {
    {"exists", ProcsView_exists, "($self, cmd_name)", nullptr},
    {"__iter__", ProcsView_iter, "($self, /)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// Class construction: the classes of this family, made at import.

bool make_view_classes() {
    VariablesView_cls =
        make_class("VariablesView", "TclNamespace.VariablesView",
                   "The variables of a namespace as a mutable mapping of names to values as text.",
                   {mutable_mapping}, VariablesView_methods);
    if (!VariablesView_cls)
        return false;

    ObjectsView_cls = make_class(
        "ObjectsView", "TclNamespace.ObjectsView",
        "The variables of a namespace as a mutable mapping of names to values as objects.",
        {VariablesView_cls}, ObjectsView_methods);
    if (!ObjectsView_cls)
        return false;

    CommandsView_cls = make_class(
        "CommandsView", "TclNamespace.CommandsView",
        "The commands of a namespace as a mutable mapping of names to TclCommand objects.",
        {mutable_mapping}, CommandsView_methods);
    if (!CommandsView_cls)
        return false;

    ProcsView_cls = make_class(
        "ProcsView", "TclNamespace.ProcsView",
        "The procedures of a namespace: a CommandsView that tests for and lists procedures.",
        {CommandsView_cls}, ProcsView_methods);
    return ProcsView_cls != nullptr;
}

} // namespace ortan_namespace

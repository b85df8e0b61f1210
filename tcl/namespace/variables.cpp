// ortan.tcl.namespace: TclVariable, TclArrayVariable and their temporary variants.
#include "common.h"

namespace ortan_namespace {

// ---------------------------------------------------------------------------------------------
// TclVariable.

// "name(index)" for an element (the index as its Tcl text), the name itself when the index is
// None or omitted; a null name passes through.
Ref with_index(Ref name, PyObject *array_index) {
    if (!name || is_none(array_index))
        return name;
    Ref index = to_text(array_index);
    return index ? Ref::steal(PyUnicode_FromFormat("%S(%S)", name.get(), index.get())) : index;
}

// *name*: the variable's name, or "name(index)" for an element.
Ref element_name(PyObject *self, PyObject *array_index) {
    return with_index(get_attr(self, S.var_name), array_index);
}

bool init_variable(PyObject *self, PyObject *var_name, PyObject *array_index, PyObject *tcl,
                   PyObject *cast) {
    Ref host = host_proxy(self, tcl);
    if (!set_attr(self, S.tcl, host.get()) || !set_attr(self, S.cast, arg_or(cast, Py_None)))
        return false;
    Ref name = with_index(to_text(var_name), array_index);
    return set_attr(self, S.var_name, name.get());
}

// TclVariable(name, tcl=tcl). While the class keeps the module's own constructor, the object
// is made directly: object.__new__, then the same initialisation, without the type call.
Ref new_variable(PyObject *name, PyObject *tcl) {
    if (ortan::plain_construction(TclVariable_cls, variable_init_fn)) {
        Ref variable = ortan::new_instance(TclVariable_cls);
        if (!variable || !init_variable(variable.get(), name, nullptr, tcl, nullptr))
            return Ref();
        return variable;
    }
    PyObject *stack[] = {nullptr, name, tcl};
    return Ref::steal(PyObject_Vectorcall(TclVariable_cls, stack + 1,
                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_tcl));
}

PyObject *TclVariable_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[4];
    if (!parse_method_args("__init__", args, nargs, kwnames,
                           {"var_name", "array_index", "tcl", "cast"}, 1, params))
        return nullptr;
    PyObject *var_name = params[0], *array_index = params[1], *tcl = params[2], *cast = params[3];
    if (!init_variable(args[0], var_name, array_index, tcl, cast))
        return nullptr;
    Py_RETURN_NONE;
}

bool is_own_variable(PyObject *self) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    return type == TclVariable_cls || type == TempTclVariable_cls || type == TclArrayVariable_cls ||
           type == TempTclArrayVariable_cls;
}

PyObject *TclVariable_get_obj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[2] = {nullptr, nullptr};
    if ((nargs > 1 || kwnames) &&
        !parse_method_args("get_obj", args, nargs, kwnames, {"array_index", "cast"}, 0, params))
        return nullptr;
    PyObject *array_index = params[0], *cast_arg = params[1];
    Attrs attrs(self, is_own_variable(self));
    Ref tk = attrs.tk();
    Ref name = tk ? attrs(S.var_name) : tk;
    if (!name)
        return nullptr;
    Ref value;
    if (is_none(array_index)) {
        value = call_method(tk.get(), S.getvar, {name.get()});
    } else {
        // The binding takes only text as an index; other values go as their Tcl text, the
        // same text `set` writes under.
        Ref index = PyUnicode_Check(array_index) ? Ref::borrow(array_index) : to_text(array_index);
        value = index ? call_method(tk.get(), S.getvar, {name.get(), index.get()}) : index;
    }
    if (!value)
        return nullptr;
    Ref cast = (cast_arg == nullptr || cast_arg == marker) ? attrs(S.cast) : Ref::borrow(cast_arg);
    return cast_with(cast, std::move(value));
}

// Whether list quoting leaves the text unchanged: it is not empty and holds none of the
// characters that make Tcl's list formatting brace or backslash an element.
bool is_plain_element(PyObject *text) {
    if (!PyUnicode_CheckExact(text) || !text_ready(text) || PyUnicode_GET_LENGTH(text) == 0) {
        PyErr_Clear(); // the general way meets the error again
        return false;
    }
    return ortan::visit_text(text, [](auto *s, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            switch (s[i]) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
            case '\f':
            case '\v':
            case '{':
            case '}':
            case '[':
            case ']':
            case '$':
            case ';':
            case '"':
            case '\\':
                return false;
            default:
                break;
            }
        }
        return true;
    });
}

// scribe(("set", name)): the two-word command that reads a variable.
Ref set_command_text(PyObject *name) {
    if (is_plain_element(name))
        return Ref::steal(PyUnicode_Concat(S.set_space, name));
    Ref words = tuple_of({S.w_set, name});
    return words ? ortan::call(scribe_fn, {words.get()}) : words;
}

// Whether an element of the array `name` is better addressed by name and index as two parts:
// Tcl reads "x(y(k)" as element "y(k" of array "x", so a name holding "(" cannot carry its index
// in one text. -1 with an exception set.
int needs_two_parts(PyObject *name) {
    if (!PyUnicode_Check(name))
        return 0; // not text: the general way converts it
    const Py_ssize_t at = PyUnicode_FindChar(name, '(', 0, PyUnicode_GET_LENGTH(name), 1);
    return at == -2 ? -1 : at >= 0;
}

// The variable's name, and the index as text unless it is None: false with an exception set.
// `two_parts` tells whether the element must be addressed by the two.
bool element_parts(PyObject *self, PyObject *array_index, Ref &name, Ref &index, int &two_parts) {
    name = get_attr(self, S.var_name);
    if (!name)
        return false;
    two_parts = 0;
    if (is_none(array_index))
        return true;
    index = to_text(array_index);
    return index && (two_parts = needs_two_parts(name.get())) >= 0;
}

// variable.get_str(array_index=index) of a TclVariable.
Ref variable_get_str(PyObject *variable, PyObject *index) {
    if (!is_none(index)) {
        Ref name, index_text;
        int two_parts = 0;
        if (!element_parts(variable, index, name, index_text, two_parts))
            return Ref();
        if (two_parts) {
            Ref words = tuple_of({S.w_apply, S.element_text_lambda, name.get(), index_text.get()});
            Ref script = words ? ortan::call(scribe_fn, {words.get()}) : words;
            Ref tk = script ? tk_of(variable) : script;
            return tk ? eval_script(tk.get(), script.get()) : tk;
        }
    }
    Ref name = element_name(variable, index);
    Ref script = name ? set_command_text(name.get()) : name;
    Ref tk = script ? tk_of(variable) : script;
    return tk ? eval_script(tk.get(), script.get()) : tk;
}

PyObject *TclVariable_get_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1] = {nullptr};
    if ((nargs > 1 || kwnames) &&
        !parse_method_args("get_str", args, nargs, kwnames, {"array_index"}, 0, params))
        return nullptr;
    PyObject *array_index = params[0];
    return variable_get_str(args[0], array_index).release();
}

PyObject *TclVariable_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[2] = {nullptr, nullptr};
    if (nargs == 2 && !kwnames)
        params[0] = args[1];
    else if (!parse_method_args("set", args, nargs, kwnames, {"value", "array_index"}, 1, params))
        return nullptr;
    PyObject *value_arg = params[0], *array_index = params[1];
    Attrs attrs(self, is_own_variable(self));
    Ref tk = attrs.tk();
    Ref name = tk ? attrs(S.var_name) : tk;
    if (!name)
        return nullptr;
    if (is_none(array_index)) {
        Ref value = to_tclobj(value_arg);
        return value ? call_method(tk.get(), S.setvar, {name.get(), value.get()}).release()
                     : nullptr;
    }
    Ref index = to_text(array_index);
    Ref value = index ? to_tclobj(value_arg) : index;
    return value ? call_method(tk.get(), S.setvar, {name.get(), index.get(), value.get()}).release()
                 : nullptr;
}

PyObject *TclVariable_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[2] = {nullptr, nullptr};
    if (!parse_method_args("unset", args, nargs, kwnames, {"array_index", "nocomplain"}, 0, params))
        return nullptr;
    PyObject *array_index = params[0], *nocomplain_arg = params[1];
    Ref tk = tk_of(self);
    Ref name = tk ? get_attr(self, S.var_name) : tk;
    if (!name)
        return nullptr;
    Ref done;
    if (is_none(array_index)) {
        done = call_method(tk.get(), S.unsetvar, {name.get()});
    } else {
        Ref index = to_text(array_index);
        if (!index)
            return nullptr;
        done = call_method(tk.get(), S.unsetvar, {name.get(), index.get()});
    }
    if (!done) {
        if (!PyErr_ExceptionMatches(tcl_error) || !nocomplain_arg)
            return nullptr;
        Ref error = ortan::fetch_exception();
        const int nocomplain = PyObject_IsTrue(nocomplain_arg);
        if (nocomplain < 0) {
            // As in an except clause: the TclError becomes the context of the new error.
            ortan::chain_exception(std::move(error));
            return nullptr;
        }
        if (!nocomplain) {
            ortan::restore_exception(std::move(error)); // re-raised unchanged
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject *TclVariable_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1] = {nullptr};
    if ((nargs > 1 || kwnames) &&
        !parse_method_args("exists", args, nargs, kwnames, {"array_index"}, 0, params))
        return nullptr;
    PyObject *array_index = params[0];
    Ref name, index;
    int two_parts = 0;
    if (!element_parts(args[0], array_index, name, index, two_parts))
        return nullptr;
    if (two_parts) {
        // `array names name -exact index` lists the element when it exists.
        Ref words = tuple_of({S.w_array, S.w_names, name.get(), S.w_exact, index.get()});
        Ref result = words ? tk_call(args[0], words.get()) : words;
        return as_bool(host_cast(args[0], S.cast_list, result));
    }
    name = with_index(std::move(name), index.get());
    Ref words = name ? tuple_of({S.w_info, S.w_exists, name.get()}) : name;
    Ref result = words ? tk_call(args[0], words.get()) : words;
    return host_cast(args[0], S.cast_boolean, result).release();
}

PyObject *TclVariable_array_item_byref(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[2];
    if (!parse_method_args("array_item_byref", args, nargs, kwnames, {"array_index", "cast"}, 1,
                           params))
        return nullptr;
    PyObject *array_index = params[0], *cast = params[1];
    Ref tcl = get_attr(self, S.tcl);
    if (!tcl)
        return nullptr;
    PyObject *stack[] = {nullptr, self, array_index, tcl.get(), arg_or(cast, Py_None)};
    return PyObject_Vectorcall(TclVariable_cls, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               kw_array_index_tcl_cast);
}

// ("::array", <sub>, self.var_name) plus the pattern word when one is given.
Ref array_words(PyObject *self, PyObject *sub, PyObject *pattern_word) {
    Ref name = get_attr(self, S.var_name);
    if (!name)
        return name;
    if (!pattern_word)
        return tuple_of({S.w_array, sub, name.get()});
    return tuple_of({S.w_array, sub, name.get(), pattern_word});
}

// The array command with `scribe(pattern)` appended when a pattern is given.
Ref array_call_with_pattern(PyObject *self, PyObject *sub, PyObject *pattern) {
    Ref pattern_text;
    if (!is_none(pattern) && !(pattern_text = to_text(pattern)))
        return Ref();
    Ref words = array_words(self, sub, pattern_text.get());
    return words ? tk_call(self, words.get()) : words;
}

PyObject *TclVariable_array_get_obj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1] = {nullptr};
    if (!parse_method_args("array_get_obj", args, nargs, kwnames, {"pattern"}, 0, params))
        return nullptr;
    PyObject *pattern = params[0];
    Ref result = array_call_with_pattern(args[0], S.w_get, pattern);
    return host_cast(args[0], S.cast_array, result).release();
}

PyObject *TclVariable_array_get_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1] = {nullptr};
    if (!parse_method_args("array_get_str", args, nargs, kwnames, {"pattern"}, 0, params))
        return nullptr;
    PyObject *pattern = params[0];
    Ref words = array_words(args[0], S.w_get, is_none(pattern) ? nullptr : pattern);
    Ref script = words ? ortan::call(scribe_fn, {words.get()}) : words;
    Ref tk = script ? tk_of(args[0]) : script;
    Ref result = tk ? eval_script(tk.get(), script.get()) : tk;
    return host_cast(args[0], S.cast_array, result).release();
}

PyObject *TclVariable_array_set(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("array_set", args, nargs, kwnames, {"value"}, 1, params))
        return nullptr;
    PyObject *value_arg = params[0];
    Ref value = to_tclobj(value_arg);
    Ref words = value ? array_words(args[0], S.w_set, value.get()) : value;
    Ref result = words ? tk_call(args[0], words.get()) : words;
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclVariable_array_unset(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1] = {nullptr};
    if (!parse_method_args("array_unset", args, nargs, kwnames, {"pattern"}, 0, params))
        return nullptr;
    PyObject *pattern = params[0];
    if (!array_call_with_pattern(args[0], S.w_unset, pattern))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclVariable_array_size(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.array_size", nargs, kwnames))
        return nullptr;
    return array_call_with_pattern(args[0], S.w_size, nullptr).release();
}

PyObject *TclVariable_array_names(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1] = {nullptr};
    if (!parse_method_args("array_names", args, nargs, kwnames, {"pattern"}, 0, params))
        return nullptr;
    PyObject *pattern = params[0];
    Ref result = array_call_with_pattern(args[0], S.w_names, pattern);
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclVariable_is_array(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.is_array", nargs, kwnames))
        return nullptr;
    Ref result = array_call_with_pattern(args[0], S.w_exists, nullptr);
    return host_cast(args[0], S.cast_boolean, result).release();
}

// The absolute form of the name in attribute `attr`: unchanged when it starts with "::",
// otherwise joined to the interpreter's current namespace.
Ref absolute_name(PyObject *self, PyObject *attr) {
    Ref name = get_attr(self, attr);
    if (!name)
        return name;
    const int absolute = starts_with_colons(name.get());
    if (absolute < 0)
        return Ref();
    if (absolute)
        return name;
    Ref tk = tk_of(self);
    Ref current = tk ? call_method(tk.get(), S.call, {S.w_namespace, S.w_current}) : tk;
    return current ? join2(current.get(), name.get()) : current;
}

PyObject *TclVariable_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.absolute", nargs, kwnames))
        return nullptr;
    return absolute_name(args[0], S.var_name).release();
}

// self.<attr> = self.absolute()
PyObject *make_absolute(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        PyObject *attr) {
    if (!no_arguments_of(cls, "make_absolute", nargs, kwnames))
        return nullptr;
    Ref name = call_method(args[0], S.absolute);
    if (!set_attr(args[0], attr, name.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclVariable_make_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_absolute(TclVariable_cls, args, nargs, kwnames, S.var_name);
}

PyObject *TclVariable_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.__str__", nargs, kwnames))
        return nullptr;
    return PyObject_GetAttr(args[0], S.var_name);
}

PyObject *TclVariable_tclobj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.__tclobj__", nargs, kwnames))
        return nullptr;
    Ref name = get_attr(args[0], S.var_name);
    return name ? to_text(name.get()).release() : nullptr;
}

PyObject *TclVariable_repr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclVariable.__repr__", nargs, kwnames))
        return nullptr;
    Ref name = class_name(args[0]);
    Ref var_name = name ? get_attr(args[0], S.var_name) : name;
    return var_name ? PyUnicode_FromFormat("%S(%R)", name.get(), var_name.get()) : nullptr;
}

const MethodDef TclVariable_methods[] = {
    {"__init__", TclVariable_init, "($self, var_name, array_index=None, tcl=None, cast=None)",
     nullptr},
    {"get_obj", TclVariable_get_obj, nullptr,
     "get_obj(array_index=None, cast=<marker>): the value as the\n"
     "interpreter returns it, converted by `cast`; self.cast when no cast\n"
     "is given (the default is TclVariable._TclVariable__marker), and None\n"
     "means no conversion."},
    alias_row("get", "get_obj"),
    {"get_str", TclVariable_get_str, "($self, array_index=None)", "The value as Tcl text."},
    {"set", TclVariable_set, "($self, value, array_index=None)",
     "Sets the variable (or element) to tclobj(value)."},
    {"unset", TclVariable_unset, "($self, array_index=None, nocomplain=False)",
     "Removes the variable (or element)."},
    {"exists", TclVariable_exists, "($self, array_index=None)",
     "Whether the variable (or element) exists."},
    {"array_item_byref", TclVariable_array_item_byref, "($self, array_index, cast=None)",
     "A TclVariable for one element of this array."},
    {"array_get_obj", TclVariable_array_get_obj, "($self, pattern=None)",
     "The array's elements (``array get``), as objects."},
    alias_row("array_get", "array_get_obj"),
    {"array_get_str", TclVariable_array_get_str, "($self, pattern=None)",
     "The array's elements (``array get``), as text."},
    {"array_set", TclVariable_array_set, "($self, value)",
     "``array set`` with a mapping, a flat sequence or list text."},
    {"array_unset", TclVariable_array_unset, "($self, pattern=None)", "``array unset``."},
    {"array_size", TclVariable_array_size, "($self)",
     "``array size``, as the interpreter returns it."},
    {"array_names", TclVariable_array_names, "($self, pattern=None)",
     "``array names``, as a sequence."},
    {"is_array", TclVariable_is_array, "($self)", "``array exists``."},
    {"absolute", TclVariable_absolute, "($self)",
     "The name made absolute against the current namespace."},
    {"make_absolute", TclVariable_make_absolute, "($self)",
     "Replaces var_name by its absolute form."},
    {"__str__", TclVariable_str, "($self, /)", nullptr},
    {"__tclobj__", TclVariable_tclobj, "($self, /)",
     "The variable's name: a variable passed as a Tcl word is its name."},
    {"__repr__", TclVariable_repr, "($self, /)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// TempTclVariable.

PyObject *TempTclVariable_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return init_named_temporary(TempTclVariable_cls, "var_name", args, nargs, kwnames);
}

PyObject *TempTclVariable_enter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return enter_next(TempTclVariable_cls, args, nargs, kwnames).release();
}

PyObject *TempTclVariable_exit(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("__exit__", kwnames))
        return nullptr;
    if (!call_method(args[0], S.unset, {Py_True}, kw_nocomplain))
        return nullptr;
    return exit_next(TempTclVariable_cls, args[0], args + 1, nargs - 1);
}

const MethodDef TempTclVariable_methods[] = {
    {"__init__", TempTclVariable_init, "($self, var_name='::__ortan__{cls}_{id}_tmp', **kwargs)",
     nullptr},
    {"__enter__", TempTclVariable_enter, "($self, /)", nullptr},
    {"__exit__", TempTclVariable_exit, "($self, /, *exc_info)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// TclArrayVariable.

PyObject *TclArrayVariable_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[3];
    if (!parse_method_args("__init__", args, nargs, kwnames, {"var_name", "tcl", "cast"}, 1,
                           params))
        return nullptr;
    PyObject *var_name = params[0], *tcl_arg = params[1], *cast_arg = params[2];
    PyObject *tcl = arg_or(tcl_arg, Py_None), *cast = arg_or(cast_arg, Py_None);
    // For the module's own array classes the next __init__ is TclVariable's.
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    if (type == TclArrayVariable_cls || type == TempTclArrayVariable_cls) {
        if (!init_variable(self, var_name, nullptr, tcl, cast))
            return nullptr;
        Py_RETURN_NONE;
    }
    Ref init = ortan::super_attr(TclArrayVariable_cls, self, S.dunder_init);
    if (!init)
        return nullptr;
    PyObject *stack[] = {nullptr, var_name, tcl, cast};
    Ref done = Ref::steal(PyObject_Vectorcall(init.get(), stack + 1,
                                              1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_tcl_cast));
    if (!done)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclArrayVariable_len(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclArrayVariable.__len__", nargs, kwnames))
        return nullptr;
    return call_method(args[0], S.array_size).release();
}

PyObject *TclArrayVariable_iter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclArrayVariable.__iter__", nargs, kwnames))
        return nullptr;
    return new_name_iterator(NameSource::array_names, args[0], nullptr).release();
}

PyObject *TclArrayVariable_contains(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("__contains__", args, nargs, kwnames, {"key"}, 1, params))
        return nullptr;
    PyObject *key = params[0];
    return call_method(args[0], S.exists, {key}, kw_array_index).release();
}

PyObject *TclArrayVariable_getitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("__getitem__", args, nargs, kwnames, {"key"}, 1, params))
        return nullptr;
    PyObject *key = params[0];
    return call_method(args[0], S.get, {key}, kw_array_index).release();
}

PyObject *TclArrayVariable_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("__setitem__", args, nargs, kwnames, {"key", "value"}, 2, params))
        return nullptr;
    PyObject *key = params[0], *value = params[1];
    if (!call_method(args[0], S.set, {value, key}, kw_array_index))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclArrayVariable_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("__delitem__", args, nargs, kwnames, {"key"}, 1, params))
        return nullptr;
    PyObject *key = params[0];
    if (!call_method(args[0], S.unset, {key}, kw_array_index))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclArrayVariable_clear(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclArrayVariable.clear", nargs, kwnames))
        return nullptr;
    if (!call_method(args[0], S.array_unset))
        return nullptr;
    Py_RETURN_NONE;
}

// dict(*args, **kwargs) from a vectorcall argument list.
Ref dict_from_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyDict_Type), args,
                                          static_cast<size_t>(nargs), kwnames));
}

PyObject *TclArrayVariable_update(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref pairs = dict_from_arguments(args + 1, nargs - 1, kwnames);
    if (!pairs || !call_method(args[0], S.array_set, {pairs.get()}))
        return nullptr;
    Py_RETURN_NONE;
}

// After __init__ the class namespace takes TclVariable.get (see make_variable_classes).
const MethodDef TclArrayVariable_methods[] = {
    {"__init__", TclArrayVariable_init, "($self, var_name, tcl=None, cast=None)", nullptr},
    {"__len__", TclArrayVariable_len, "($self, /)", nullptr},
    {"__iter__", TclArrayVariable_iter, "($self, /)", nullptr},
    {"__contains__", TclArrayVariable_contains, "($self, key, /)", nullptr},
    {"__getitem__", TclArrayVariable_getitem, "($self, key, /)", nullptr},
    {"__setitem__", TclArrayVariable_setitem, "($self, key, value, /)", nullptr},
    {"__delitem__", TclArrayVariable_delitem, "($self, key, /)", nullptr},
    {"clear", TclArrayVariable_clear, "($self)", "Removes every element (``array unset``)."},
    {"update", TclArrayVariable_update, "($self, other=(), /, **kwargs)",
     "Sets all pairs with one ``array set``."},
};

// ---------------------------------------------------------------------------------------------
// Class construction: the classes of this family, made at import.

// inspect.Parameter(name, POSITIONAL_OR_KEYWORD[, default=value]).
Ref make_parameter(PyObject *parameter_cls, PyObject *kind, const char *name, PyObject *value) {
    Ref pyname = ortan::text(name);
    if (!pyname)
        return pyname;
    PyObject *args[] = {pyname.get(), kind, value};
    Ref kwnames = value ? Ref::steal(Py_BuildValue("(s)", "default")) : Ref();
    if (value && !kwnames)
        return kwnames;
    return Ref::steal(PyObject_Vectorcall(parameter_cls, args, 2, kwnames.get()));
}

// get_obj's default `cast` is the private marker object, which a text signature cannot name:
// its signature (shared by the alias `get`) is built as an inspect.Signature instead.
bool set_get_obj_signature() {
    Ref parameter_cls = ortan::import_attr("inspect", "Parameter");
    Ref signature_cls = ortan::import_attr("inspect", "Signature");
    Ref kind =
        parameter_cls ? ortan::get_attr(parameter_cls.get(), "POSITIONAL_OR_KEYWORD") : Ref();
    if (!signature_cls || !kind)
        return false;
    Ref params[] = {make_parameter(parameter_cls.get(), kind.get(), "self", nullptr),
                    make_parameter(parameter_cls.get(), kind.get(), "array_index", Py_None),
                    make_parameter(parameter_cls.get(), kind.get(), "cast", marker)};
    for (const Ref &p : params)
        if (!p)
            return false;
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return false;
    for (const Ref &p : params)
        if (PyList_Append(list.get(), p.get()) < 0)
            return false;
    Ref signature = ortan::call(signature_cls.get(), {list.get()});
    Ref method = signature ? ortan::get_attr(TclVariable_cls, S.get_obj) : Ref();
    return method && PyObject_SetAttrString(method.get(), "__signature__", signature.get()) == 0;
}

bool make_variable_classes() {
    TclVariable_cls = make_class(
        "TclVariable", "TclVariable",
        "A Tcl variable, array or array element of an interpreter, known by its name.\n\n"
        "Attributes: ``tcl`` (a weak proxy of the interpreter), ``cast`` (the default\n"
        "conversion of get_obj) and ``var_name``. No value is cached: every method asks Tcl.",
        {object_base()}, [](PyObject *ns, const char *q) {
            marker = PyBaseObject_Type.tp_alloc(&PyBaseObject_Type, 0);
            if (!marker || PyDict_SetItemString(ns, "_TclVariable__marker", marker) < 0)
                return false;
            return add_table(ns, TclVariable_methods, q);
        });
    if (!TclVariable_cls || !set_get_obj_signature())
        return false;
    if (!(variable_init_fn = ortan::defined_init(TclVariable_cls).release()))
        return false;

    TempTclVariable_cls =
        make_class("TempTclVariable", "TempTclVariable",
                   "A Tcl variable with a unique name that is removed when its `with` block ends.",
                   {TclVariable_cls}, TempTclVariable_methods);
    if (!TempTclVariable_cls)
        return false;

    TclArrayVariable_cls =
        make_class("TclArrayVariable", "TclArrayVariable",
                   "A Tcl array as a mutable mapping of element names to values.\n\n"
                   "``get`` is ``get_obj``: its second argument is a conversion, not a default.",
                   {mutable_mapping, TclVariable_cls}, [](PyObject *ns, const char *q) {
                       const MethodDef *init = TclArrayVariable_methods, *rest = init + 1;
                       const size_t nrest = std::size(TclArrayVariable_methods) - 1;
                       Ref get = ortan::get_attr(TclVariable_cls, "get");
                       return get && add_table(ns, init, 1, q) &&
                              PyDict_SetItemString(ns, "get", get.get()) == 0 &&
                              add_table(ns, rest, nrest, q);
                   });
    if (!TclArrayVariable_cls)
        return false;

    TempTclArrayVariable_cls = make_class(
        "TempTclArrayVariable", "TempTclArrayVariable",
        "A Tcl array with a unique name that is removed when its `with` block ends.",
        {TempTclVariable_cls, TclArrayVariable_cls}, [](PyObject *, const char *) { return true; });
    return TempTclArrayVariable_cls != nullptr;
}

} // namespace ortan_namespace

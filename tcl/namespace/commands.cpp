// ortan.tcl.namespace: TclCommand and TempTclCommand.
#include "callbacks.h"
#include "common.h"

namespace ortan_namespace {

// ---------------------------------------------------------------------------------------------
// Module constants, set once by make_command_classes.

// ---------------------------------------------------------------------------------------------
// TclCommand.

// (cmd[0], cmd[1:]) of a word sequence.
bool split_command(PyObject *words, Ref &name, Ref &rest) {
    rest = Ref::steal(PyObject_GetItem(words, slice_from_1));
    if (rest)
        name = Ref::steal(PyObject_GetItem(words, zero));
    return name && rest;
}

// self.keywords filled from `keywords.items()`, values converted by tclobj.
bool fill_keywords(PyObject *target, PyObject *keywords) {
    if (PyDict_CheckExact(keywords)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(keywords, &pos, &key, &value)) {
            Ref k = Ref::borrow(key);
            Ref converted = to_tclobj(value);
            if (!converted || PyObject_SetItem(target, k.get(), converted.get()) < 0)
                return false;
        }
        return true;
    }
    Ref items = call_method(keywords, S.items);
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : items;
    if (!it)
        return false;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref fields = Ref::steal(PySequence_Tuple(pair.get()));
        if (!fields)
            return false;
        if (PyTuple_GET_SIZE(fields.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "keywords.items() must yield (key, value) pairs");
            return false;
        }
        Ref converted = to_tclobj(PyTuple_GET_ITEM(fields.get(), 1));
        if (!converted ||
            PyObject_SetItem(target, PyTuple_GET_ITEM(fields.get(), 0), converted.get()) < 0)
            return false;
    }
    return !PyErr_Occurred();
}

bool init_command(PyObject *self, PyObject *cmd, PyObject *args, PyObject *keywords, PyObject *tcl,
                  PyObject *cast, PyObject *logger) {
    if (!init_next_plain(TclCommand_cls, self, {TclCommand_cls, TempTclCommand_cls}))
        return false;
    Ref package = package_module();
    Ref host = package ? host_proxy(self, tcl, package.get()) : package;
    if (!set_attr(self, S.tcl, host.get()))
        return false;

    Ref name, bound;
    if (is_none(args)) {
        Ref words;
        const int is_command = PyObject_IsInstance(cmd, TclCommand_cls);
        if (is_command < 0)
            return false;
        if (is_command)
            words = call_method(cmd, S.build_tclcmd);
        else if (!PyTuple_CheckExact(cmd))
            words = call_method(package.get(), S.cast_list, {cmd});
        else
            words = Ref::borrow(cmd);
        if (!words || !split_command(words.get(), name, bound))
            return false;
    } else {
        bound = call_method(package.get(), S.cast_list, {args});
        if (!bound)
            return false;
        const int is_command = PyObject_IsInstance(cmd, TclCommand_cls);
        if (is_command < 0)
            return false;
        if (is_command) {
            Ref build = get_attr(cmd, S.build_tclcmd);
            Ref call_args = build ? Ref::steal(PySequence_Tuple(bound.get())) : build;
            Ref words = call_args ? Ref::steal(PyObject_Call(build.get(), call_args.get(), nullptr))
                                  : call_args;
            if (!words || !split_command(words.get(), name, bound))
                return false;
        } else {
            name = Ref::borrow(cmd);
        }
    }

    Ref cmd_name = to_text(name.get());
    if (!set_attr(self, S.cmd_name, cmd_name.get()))
        return false;
    Ref converted = to_tclobj(bound.get());
    if (!set_attr(self, S.args, converted.get()))
        return false;
    Ref bound_keywords = Ref::steal(PyDict_New());
    if (!set_attr(self, S.keywords, bound_keywords.get()))
        return false;
    if (keywords) {
        const int given = PyObject_IsTrue(keywords);
        if (given < 0 || (given && !fill_keywords(bound_keywords.get(), keywords)))
            return false;
    }
    return set_attr(self, S.cast, arg_or(cast, Py_None)) &&
           set_attr(self, S.logger, arg_or(logger, Py_None));
}

PyObject *TclCommand_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[6];
    if (!parse_method_args("__init__", args, nargs, kwnames,
                           {"cmd", "args", "keywords", "tcl", "cast", "logger"}, 1, params))
        return nullptr;
    PyObject *cmd = params[0], *bound_args = params[1], *keywords = params[2], *tcl = params[3],
             *cast = params[4], *logger = params[5];
    if (!init_command(args[0], cmd, bound_args, keywords, tcl, cast, logger))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclCommand_createcommand(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("createcommand", args, nargs, kwnames, {"func"}, 1, params))
        return nullptr;
    PyObject *func = params[0];
    Ref tk = tk_of(args[0]);
    Ref name = tk ? get_attr(args[0], S.cmd_name) : tk;
    if (!name)
        return nullptr;
    // A plain Tcl command of our own whose errors reach Tcl (tkinter's only for other hosts).
    const int made = ortan::callbacks::create_command(args[0], tk.get(), name.get(), func);
    if (made < 0 || (made == 0 && !call_method(tk.get(), S.createcommand, {name.get(), func})))
        return nullptr;
    Py_RETURN_NONE;
}

// self.tcl.tk.call((first, second, self.cmd_name[, extra]))
Ref command_query(PyObject *self, PyObject *first, PyObject *second, PyObject *extra = nullptr,
                  PyObject *extra2 = nullptr) {
    Ref name = get_attr(self, S.cmd_name);
    if (!name)
        return name;
    Ref words = !extra    ? tuple_of({first, second, name.get()})
                : !extra2 ? tuple_of({first, second, name.get(), extra})
                          : tuple_of({first, second, name.get(), extra, extra2});
    return words ? tk_call(self, words.get()) : words;
}

PyObject *TclCommand_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.exists", nargs, kwnames))
        return nullptr;
    return as_bool(command_query(args[0], S.w_info, S.w_commands));
}

PyObject *TclCommand_is_command(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.is_command", nargs, kwnames))
        return nullptr;
    Ref exists = call_method(args[0], S.exists);
    if (!exists)
        return nullptr;
    const int truth = PyObject_IsTrue(exists.get());
    if (truth <= 0)
        return truth < 0 ? nullptr : exists.release();
    Ref is_proc = call_method(args[0], S.is_proc);
    if (!is_proc)
        return nullptr;
    const int proc = PyObject_IsTrue(is_proc.get());
    return proc < 0 ? nullptr : PyBool_FromLong(!proc);
}

PyObject *TclCommand_is_proc(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.is_proc", nargs, kwnames))
        return nullptr;
    return as_bool(command_query(args[0], S.w_info, S.w_procs));
}

// self.tcl.tk.call(("::rename", self.cmd_name, new_name)): command_query with a two-word head.
Ref rename_query(PyObject *self, PyObject *new_name) {
    Ref name = get_attr(self, S.cmd_name);
    Ref words = name ? tuple_of({S.w_rename, name.get(), new_name}) : name;
    return words ? tk_call(self, words.get()) : words;
}

PyObject *TclCommand_rename(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("rename", args, nargs, kwnames, {"new_name"}, 1, params))
        return nullptr;
    PyObject *new_name_arg = params[0];
    Ref new_name = to_text(new_name_arg);
    if (!new_name || !rename_query(args[0], new_name.get()))
        return nullptr;
    if (!set_attr(args[0], S.cmd_name, new_name.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclCommand_delete(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.delete", nargs, kwnames))
        return nullptr;
    if (!rename_query(args[0], S.empty))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclCommand_origin(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.origin", nargs, kwnames))
        return nullptr;
    return command_query(args[0], S.w_namespace_global, S.w_origin).release();
}

PyObject *TclCommand_proc_body(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.proc_body", nargs, kwnames))
        return nullptr;
    return command_query(args[0], S.w_info, S.w_body).release();
}

PyObject *TclCommand_proc_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.proc_args", nargs, kwnames))
        return nullptr;
    Ref result = command_query(args[0], S.w_info, S.w_args);
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclCommand_proc_arg_default(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[1];
    if (!parse_method_args("proc_arg_default", args, nargs, kwnames, {"arg_name"}, 1, params))
        return nullptr;
    PyObject *arg_name_arg = params[0];
    Ref tcl = get_attr(self, S.tcl);
    if (!tcl)
        return nullptr;
    PyObject *stack[] = {nullptr, tcl.get()};
    Ref temp = Ref::steal(PyObject_Vectorcall(TempTclVariable_cls, stack + 1,
                                              0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_tcl));
    if (!temp)
        return nullptr;
    return with_block(temp.get(),
                      [&](PyObject *variable) -> Ref {
                          Ref arg_name = to_text(arg_name_arg);
                          Ref result = arg_name ? command_query(self, S.w_info, S.w_default,
                                                                arg_name.get(), variable)
                                                : arg_name;
                          Ref found = host_cast(self, S.cast_boolean, result);
                          if (!found)
                              return found;
                          const int truth = PyObject_IsTrue(found.get());
                          if (truth < 0)
                              return Ref();
                          return truth ? call_method(variable, S.get) : none();
                      })
        .release();
}

// The options of one call, merged by option word: a keyword and its other spelling (`from` and
// `from_`, both -from) are one option, kept at its first place with its last value. Each entry
// owns its keyword (as first spelled), its option word and its value. Past a few entries the
// words are also indexed by a dict, so that merging stays linear.
class Options {
  public:
    Options() = default;
    Options(const Options &) = delete;
    Options &operator=(const Options &) = delete;
    ~Options() {
        for (Entry &e : entries_) {
            Py_DECREF(e.key);
            Py_DECREF(e.word);
            Py_DECREF(e.value);
        }
    }

    // Adds the option of `key` with `value` (both borrowed); false with an exception set.
    bool add(PyObject *key, PyObject *value) {
        // The usual override repeats the very keyword object (both interned): found without
        // making its option word.
        if (!index_)
            for (size_t i = 0; i < entries_.size(); ++i)
                if (entries_[i].key == key)
                    return replace(i, value);
        Ref word = ortan::option_word(key);
        if (!word)
            return false;
        const Py_ssize_t at = find(word.get());
        if (at == -2)
            return false;
        if (at >= 0)
            return replace(static_cast<size_t>(at), value);
        if (!entries_.push_back(Entry{key, word.get(), value}))
            return false;
        Py_INCREF(key);
        Py_INCREF(value);
        PyObject *w = word.release();
        return !index_ || index_word(w, static_cast<Py_ssize_t>(entries_.size() - 1));
    }

    size_t size() const { return entries_.size(); }

    // Writes word, value, word, value, ... into `words` from slot `i` on.
    void put_pairs(PyObject *words, Py_ssize_t i) const {
        for (const Entry &e : entries_) {
            PyTuple_SET_ITEM(words, i++, Py_NewRef(e.word));
            PyTuple_SET_ITEM(words, i++, Py_NewRef(e.value));
        }
    }

    // {keyword: value}, keywords as first spelled: the arguments of an overridden
    // kwargs_to_dashed_args.
    Ref as_kwargs() const {
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs)
            return kwargs;
        for (const Entry &e : entries_)
            if (PyDict_SetItem(kwargs.get(), e.key, e.value) < 0)
                return Ref();
        return kwargs;
    }

  private:
    struct Entry {
        PyObject *key, *word, *value;
    };

    bool replace(size_t at, PyObject *value) {
        PyObject *old = entries_[at].value;
        entries_[at].value = Py_NewRef(value);
        Py_DECREF(old);
        return true;
    }
    static constexpr size_t linear_limit = 8;

    // The position of `word`, -1 when absent, -2 with an exception set.
    Py_ssize_t find(PyObject *word) {
        if (!index_ && entries_.size() < linear_limit) {
            // Option words are new, ready, exact str: equal texts have one kind and one buffer.
            const Py_ssize_t length = PyUnicode_GET_LENGTH(word);
            const int kind = PyUnicode_KIND(word);
            for (size_t i = 0; i < entries_.size(); ++i) {
                PyObject *other = entries_[i].word;
                if (PyUnicode_GET_LENGTH(other) == length && PyUnicode_KIND(other) == kind &&
                    std::memcmp(PyUnicode_DATA(other), PyUnicode_DATA(word),
                                static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0)
                    return static_cast<Py_ssize_t>(i);
            }
            return -1;
        }
        if (!index_) {
            index_ = Ref::steal(PyDict_New());
            if (!index_)
                return -2;
            for (size_t i = 0; i < entries_.size(); ++i)
                if (!index_word(entries_[i].word, static_cast<Py_ssize_t>(i)))
                    return -2;
        }
        PyObject *at = PyDict_GetItemWithError(index_.get(), word);
        if (at)
            return PyLong_AsSsize_t(at);
        return PyErr_Occurred() ? -2 : -1;
    }

    bool index_word(PyObject *word, Py_ssize_t at) {
        Ref position = Ref::steal(PyLong_FromSsize_t(at));
        return position && PyDict_SetItem(index_.get(), word, position.get()) == 0;
    }

    ortan::SmallArray<Entry, linear_limit> entries_;
    Ref index_; // option word -> position
};

// The bound options as they are when the call begins: every pair of `keywords` is taken (its
// references held) before any option word is made, so nothing that runs later (a conversion
// hook, a collection) changes which options this call sends.
bool snapshot_options(PyObject *keywords, Options &out) {
    if (!PyDict_Check(keywords)) {
        Ref items = Ref::steal(PyMapping_Items(keywords)); // a list of its own
        if (!items)
            return false;
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *pair = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_ValueError, "keywords.items() must yield (key, value) pairs");
                return false;
            }
            if (!out.add(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)))
                return false;
        }
        return true;
    }
    const Py_ssize_t n = PyDict_GET_SIZE(keywords);
    if (n == 0)
        return true;
    struct Pair {
        PyObject *key, *value;
    };
    ortan::SmallArray<Pair, 8> pairs;
    if (!pairs.reserve(static_cast<size_t>(n)))
        return false;
    // Nothing in this loop allocates an object, so no Python code can run inside it.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(keywords, &pos, &key, &value) && pairs.size() < static_cast<size_t>(n)) {
        Py_INCREF(key);
        Py_INCREF(value);
        pairs.push_back(Pair{key, value}); // within the reserved room
    }
    bool ok = true;
    for (const Pair &p : pairs) {
        ok = ok && out.add(p.key, p.value);
        Py_DECREF(p.key);
        Py_DECREF(p.value);
    }
    return ok;
}

// The call's keywords merged into `out`, each value converted by tclobj.
bool merge_call_options(Options &out, PyObject *const *kw_names, PyObject *const *kw_values,
                        Py_ssize_t nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        Ref value = to_tclobj(kw_values[k]);
        if (!value || !out.add(kw_names[k], value.get()))
            return false;
    }
    return true;
}

// A tuple of (name, *bound, *tclobj(pos)) with `noptions` slots left after them; `next` is the
// first of those.
Ref command_head(Ref name, PyObject *bound, PyObject *const *pos, Py_ssize_t npos,
                 Py_ssize_t noptions, Py_ssize_t &next) {
    const Py_ssize_t nbound = PyTuple_GET_SIZE(bound);
    Ref words = Ref::steal(PyTuple_New(1 + nbound + npos + noptions));
    if (!words)
        return words;
    PyObject *w = words.get();
    Py_ssize_t i = 0;
    PyTuple_SET_ITEM(w, i++, name.release());
    for (Py_ssize_t j = 0; j < nbound; ++j)
        PyTuple_SET_ITEM(w, i++, Py_NewRef(PyTuple_GET_ITEM(bound, j)));
    for (Py_ssize_t j = 0; j < npos; ++j) {
        Ref value = to_tclobj(pos[j]);
        if (!value)
            return Ref(); // unfilled slots are null, which the tuple's dealloc allows
        PyTuple_SET_ITEM(w, i++, value.release());
    }
    next = i;
    return words;
}

// (name, *bound, *tclobj(pos), *options): the options as the module's own kwargs_to_dashed_args
// words them when `dashed` is null, else the words `dashed` holds.
Ref command_tuple(Ref name, PyObject *bound, PyObject *const *pos, Py_ssize_t npos,
                  const Options &options, PyObject *dashed) {
    const Py_ssize_t noptions =
        dashed ? PyTuple_GET_SIZE(dashed) : 2 * static_cast<Py_ssize_t>(options.size());
    Py_ssize_t i = 0;
    Ref words = command_head(std::move(name), bound, pos, npos, noptions, i);
    if (!words)
        return words;
    PyObject *w = words.get();
    if (!dashed) {
        options.put_pairs(w, i);
        return words;
    }
    for (Py_ssize_t j = 0; j < noptions; ++j)
        PyTuple_SET_ITEM(w, i++, Py_NewRef(PyTuple_GET_ITEM(dashed, j)));
    return words;
}

PyObject *TclCommand_kwargs_to_dashed_args(PyObject *const *args, Py_ssize_t nargs,
                                           PyObject *kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError,
                     "kwargs_to_dashed_args() takes 0 positional arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Options options;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!options.add(PyTuple_GET_ITEM(kwnames, k), args[k]))
            return nullptr;
    Ref words = Ref::steal(PyTuple_New(2 * static_cast<Py_ssize_t>(options.size())));
    if (!words)
        return nullptr;
    options.put_pairs(words.get(), 0);
    return words.release();
}

bool is_own_command(PyObject *self) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    return type == TclCommand_cls || type == TempTclCommand_cls;
}

// build_tclcmd for the module's own command classes with `keywords` a dict: the module's own
// kwargs_to_dashed_args over the bound options (a snapshot taken first) merged with the call's
// keywords, written straight into the result: bound options in their order, a call keyword of
// the same option replacing the value in place, then the call's new options in call order.
Ref build_own_words(PyObject *const *pos, Py_ssize_t npos, PyObject *const *kw_names,
                    PyObject *const *kw_values, Py_ssize_t nkw, Ref name, PyObject *bound,
                    PyObject *keywords) {
    if (nkw <= 1 && PyDict_GET_SIZE(keywords) == 0) {
        // Nothing to merge: the one option, if any, goes straight in (converted, then worded,
        // then the positional words converted, as on the general way).
        Ref value = nkw ? to_tclobj(kw_values[0]) : Ref();
        Ref word = value ? ortan::option_word(kw_names[0]) : value;
        if (nkw && !word)
            return Ref();
        Py_ssize_t i = 0;
        Ref words = command_head(std::move(name), bound, pos, npos, nkw ? 2 : 0, i);
        if (words && nkw) {
            PyTuple_SET_ITEM(words.get(), i, word.release());
            PyTuple_SET_ITEM(words.get(), i + 1, value.release());
        }
        return words;
    }
    Options options;
    if (!snapshot_options(keywords, options) ||
        !merge_call_options(options, kw_names, kw_values, nkw))
        return Ref();
    return command_tuple(std::move(name), bound, pos, npos, options, nullptr);
}

// build_tclcmd(*args, **kwargs) where args[0] is self. The options are merged as for the
// module's own classes and then worded by self.kwargs_to_dashed_args, so a subclass that keeps
// that method gets the very same words.
Ref build_command_words(const Attrs &attrs, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    PyObject *self = args[0];
    Ref name = attrs(S.cmd_name);
    Ref bound = name ? attrs(S.args) : name;
    Ref keywords = bound ? attrs(S.keywords) : bound;
    if (!keywords)
        return keywords;
    if (!PyTuple_CheckExact(bound.get()) && !(bound = Ref::steal(PySequence_Tuple(bound.get()))))
        return Ref();
    PyObject *const *kw_names = kwnames ? PySequence_Fast_ITEMS(kwnames) : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (PyDict_CheckExact(keywords.get()) && is_own_command(self))
        return build_own_words(args + 1, nargs - 1, kw_names, args + nargs, nkw, std::move(name),
                               bound.get(), keywords.get());
    Options options;
    if (!snapshot_options(keywords.get(), options) ||
        !merge_call_options(options, kw_names, args + nargs, nkw))
        return Ref();
    Ref fn = get_attr(self, S.kwargs_to_dashed_args);
    if (!fn)
        return fn;
    if (fn.get() == dashed_args_fn)
        return command_tuple(std::move(name), bound.get(), args + 1, nargs - 1, options, nullptr);
    Ref kwargs = options.as_kwargs();
    Ref no_args = kwargs ? Ref::steal(PyTuple_New(0)) : kwargs;
    Ref dashed =
        no_args ? Ref::steal(PyObject_Call(fn.get(), no_args.get(), kwargs.get())) : no_args;
    if (dashed && !PyTuple_Check(dashed.get()))
        dashed = Ref::steal(PySequence_Tuple(dashed.get()));
    if (!dashed)
        return dashed;
    return command_tuple(std::move(name), bound.get(), args + 1, nargs - 1, options, dashed.get());
}

PyObject *TclCommand_build_tclcmd(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return build_command_words(Attrs(args[0], is_own_command(args[0])), args, nargs, kwnames)
        .release();
}

// The class namespace takes these rows, then TclCommand_static_methods, then
// TclCommand_call_methods (see make_command_classes).
const MethodDef TclCommand_methods[] = {
    {"__init__", TclCommand_init,
     "($self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)", nullptr},
    {"createcommand", TclCommand_createcommand, "($self, func)",
     "Registers the Python callable `func` as this Tcl command."},
    {"exists", TclCommand_exists, "($self)", "Whether the command exists."},
    {"is_command", TclCommand_is_command, "($self)",
     "Whether the command exists and is not a procedure."},
    {"is_proc", TclCommand_is_proc, "($self)", "Whether the command is a procedure."},
    {"rename", TclCommand_rename, "($self, new_name)", "Renames the command; cmd_name follows."},
    {"delete", TclCommand_delete, "($self)", "Deletes the command."},
    {"origin", TclCommand_origin, "($self)", "``namespace origin``."},
    {"proc_body", TclCommand_proc_body, "($self)", "``info body``."},
    {"proc_args", TclCommand_proc_args, "($self)", "``info args``."},
    {"proc_arg_default", TclCommand_proc_arg_default, "($self, arg_name)",
     "The default of a procedure argument, or None."},
    {"build_tclcmd", TclCommand_build_tclcmd, "($self, *args, **kwargs)",
     "The full word tuple of a call."},
};

const MethodDef TclCommand_static_methods[] = {
    {"kwargs_to_dashed_args", TclCommand_kwargs_to_dashed_args, "(**kwargs)",
     "The keywords as (\"-\" + key, value) word pairs."},
};

// self.build_tclcmd(*args, **kwargs), the same argument vector passed on.
Ref command_words(const Attrs &attrs, bool own, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) {
    if (own)
        return build_command_words(attrs, args, nargs, kwnames);
    return Ref::steal(
        PyObject_VectorcallMethod(S.build_tclcmd, args, static_cast<size_t>(nargs), kwnames));
}

// result, or self.cast(result) when the object has a true `cast`.
PyObject *apply_cast(const Attrs &attrs, Ref result) {
    return result ? cast_with(attrs(S.cast), std::move(result)) : nullptr;
}

// The words of a call of the module's own command classes, keywords given as parallel arrays,
// from the attributes `name`, `bound` and `keywords` as read.
Ref own_call_words(const Attrs &attrs, Ref name, PyObject *bound, PyObject *keywords,
                   PyObject *const *pos, Py_ssize_t npos, PyObject *const *kw_names,
                   PyObject *const *kw_values, Py_ssize_t nkw) {
    if (PyTuple_CheckExact(bound) && PyDict_CheckExact(keywords))
        return build_own_words(pos, npos, kw_names, kw_values, nkw, std::move(name), bound,
                               keywords);
    // Unusual attribute values: the general builder, with a vectorcall argument list.
    CallArgs call;
    call.positional(attrs.self());
    call.positional(pos, npos);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        call.keyword(kw_names[k], kw_values[k]);
    return call.call_function([&](PyObject *const *stack, Py_ssize_t n, PyObject *kwnames) {
        return build_command_words(attrs, stack, n, kwnames);
    });
}

// logger.info("Calling: " + scribe(words)) when `logger` is true.
bool log_words(PyObject *logger, PyObject *words) {
    if (logger == Py_None)
        return true;
    const int truth = PyObject_IsTrue(logger);
    if (truth <= 0)
        return truth == 0;
    Ref text = ortan::call(scribe_fn, {words});
    Ref shown = text ? Ref::steal(PyObject_Format(text.get(), nullptr)) : text;
    Ref message = shown ? Ref::steal(PyUnicode_Concat(S.calling, shown.get())) : shown;
    return message && call_method(logger, S.info, {message.get()});
}

bool log_call(const Attrs &attrs, PyObject *words) {
    Ref logger = attrs(S.logger);
    return logger && log_words(logger.get(), words);
}

// tk.call(words); a Python callback's error becomes the cause of the TclError.
Ref run_words(PyObject *tk, PyObject *words) {
    return ortan::calls::call(tk, words, ortan::CallResult::converted, nullptr);
}

// Logs the words, runs them, casts the result.
PyObject *run_command(const Attrs &attrs, Ref words) {
    if (!words || !log_call(attrs, words.get()))
        return nullptr;
    Ref tk = attrs.tk();
    Ref result = tk ? run_words(tk.get(), words.get()) : tk;
    return apply_cast(attrs, std::move(result));
}

// call() of the module's own command classes, read in the order of the general path: cmd_name,
// args and keywords; logger once the words are built; tcl after the log record; cast after the
// command has run.
PyObject *own_call(PyObject *self, PyObject *const *pos, Py_ssize_t npos, PyObject *const *kw_names,
                   PyObject *const *kw_values, Py_ssize_t nkw) {
    const Attrs attrs(self, true);
    Ref name = attrs(S.cmd_name);
    Ref bound = name ? attrs(S.args) : name;
    Ref keywords = bound ? attrs(S.keywords) : bound;
    Ref words = keywords ? own_call_words(attrs, std::move(name), bound.get(), keywords.get(), pos,
                                          npos, kw_names, kw_values, nkw)
                         : keywords;
    Ref logger = words ? attrs(S.logger) : words;
    if (!logger || !log_words(logger.get(), words.get()))
        return nullptr;
    Ref tcl = attrs(S.tcl);
    Ref tk = tcl ? host_tk(tcl.get()) : tcl;
    Ref result = tk ? run_words(tk.get(), words.get()) : tk;
    return result ? cast_with(attrs(S.cast), std::move(result)) : nullptr;
}

PyObject *TclCommand_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    if (!is_own_command(self)) {
        const Attrs attrs(self, false);
        return run_command(attrs, command_words(attrs, false, args, nargs, kwnames));
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return own_call(self, args + 1, nargs - 1, nkw ? PySequence_Fast_ITEMS(kwnames) : nullptr,
                    args + nargs, nkw);
}

PyObject *TclCommand_dunder_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (is_own_command(args[0]))
        return TclCommand_call(args, nargs, kwnames);
    return PyObject_VectorcallMethod(S.call, args, static_cast<size_t>(nargs), kwnames);
}

PyObject *TclCommand_eval(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const bool own = is_own_command(args[0]);
    Attrs attrs(args[0], own);
    Ref words = command_words(attrs, own, args, nargs, kwnames);
    Ref script = words ? ortan::call(scribe_fn, {words.get()}) : words;
    Ref tk = script ? attrs.tk() : script;
    Ref result = tk ? eval_script(tk.get(), script.get()) : tk;
    return apply_cast(attrs, std::move(result));
}

PyObject *TclCommand_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.absolute", nargs, kwnames))
        return nullptr;
    return absolute_name(args[0], S.cmd_name).release();
}

PyObject *TclCommand_make_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_absolute(TclCommand_cls, args, nargs, kwnames, S.cmd_name);
}

PyObject *TclCommand_repr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.__repr__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref name = class_name(self);
    Ref cmd_name = name ? get_attr(self, S.cmd_name) : name;
    Ref text =
        cmd_name ? Ref::steal(PyUnicode_FromFormat("%S(%R", name.get(), cmd_name.get())) : cmd_name;
    if (!text)
        return nullptr;
    struct Field {
        PyObject *attr;
        const char *format;
    };
    for (Field field : {Field{S.args, ", args=%R"}, Field{S.keywords, ", keywords=%R"},
                        Field{S.cast, ", cast=%R"}}) {
        Ref value = get_attr(self, field.attr);
        if (!value)
            return nullptr;
        const int truth = PyObject_IsTrue(value.get());
        if (truth < 0)
            return nullptr;
        if (!truth)
            continue;
        Ref part = Ref::steal(PyUnicode_FromFormat(field.format, value.get()));
        text = part ? Ref::steal(PyUnicode_Concat(text.get(), part.get())) : part;
        if (!text)
            return nullptr;
    }
    Ref close = ortan::text(")");
    return close ? PyUnicode_Concat(text.get(), close.get()) : nullptr;
}

PyObject *TclCommand_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.__str__", nargs, kwnames))
        return nullptr;
    Ref words = call_method(args[0], S.build_tclcmd);
    return words ? ortan::call(scribe_fn, {words.get()}).release() : nullptr;
}

PyObject *TclCommand_tclobj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclCommand.__tclobj__", nargs, kwnames))
        return nullptr;
    return call_method(args[0], S.build_tclcmd).release();
}

PyObject *TclCommand_get(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("__get__", args, nargs, kwnames, {"instance", "owner"}, 1, params))
        return nullptr;
    PyObject *instance = params[0];
    if (instance == Py_None)
        return Py_NewRef(args[0]);
    return ortan::call(method_type, {args[0], instance}).release();
}

const MethodDef TclCommand_call_methods[] = {
    {"call", TclCommand_call, "($self, *args, **kwargs)",
     "Runs the command (logged when a logger is set)."},
    {"__call__", TclCommand_dunder_call, "($self, /, *args, **kwargs)", nullptr},
    {"eval", TclCommand_eval, "($self, *args, **kwargs)",
     "Runs the command as one list text through eval."},
    {"absolute", TclCommand_absolute, "($self)",
     "The name made absolute against the current namespace."},
    {"make_absolute", TclCommand_make_absolute, "($self)",
     "Replaces cmd_name by its absolute form."},
    {"__repr__", TclCommand_repr, "($self, /)", nullptr},
    {"__str__", TclCommand_str, "($self, /)", nullptr},
    {"__tclobj__", TclCommand_tclobj, "($self, /)", "The word tuple."},
    {"__get__", TclCommand_get, "($self, instance, owner=None, /)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// TempTclCommand.

PyObject *TempTclCommand_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[2];
    CallArgs rest;
    if (!parse_with_kwargs("__init__", args, nargs, kwnames, {"func", "cmd_name"}, params, rest))
        return nullptr;
    PyObject *func = params[0], *cmd_name = params[1];
    if (!Ref::steal(init_temporary(TempTclCommand_cls, self, cmd_name, rest)))
        return nullptr;
    const int given = func ? PyObject_IsTrue(func) : 0;
    if (given < 0)
        return nullptr;
    if (given &&
        (!call_method(self, S.createcommand, {func}) ||
         !ortan::call(update_wrapper, {self, func}) || !ortan::callbacks::remember_thread(self)))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TempTclCommand_enter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return enter_next(TempTclCommand_cls, args, nargs, kwnames).release();
}

// self.delete(), a TclError ignored.
bool delete_quietly(PyObject *self) { return call_method(self, S.delete_) || swallow_tcl_error(); }

PyObject *TempTclCommand_exit(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("__exit__", kwnames) || !delete_quietly(args[0]))
        return nullptr;
    return exit_next(TempTclCommand_cls, args[0], args + 1, nargs - 1);
}

PyObject *TempTclCommand_del(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TempTclCommand.__del__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref wrapped;
    const int registered = ortan::get_optional_attr(self, S.dunder_wrapped, wrapped);
    if (registered < 0)
        PyErr_Clear(); // any failure of the look-up counts as absent
    // Collected in another thread: the deletion is queued to the interpreter's thread.
    const int elsewhere = registered > 0 ? ortan::callbacks::delete_elsewhere(self) : 0;
    if (elsewhere < 0)
        return nullptr;
    // When the interpreter is gone, so is the command: a collection after that has nothing to
    // remove, and Python would only print the ReferenceError as an ignored exception.
    if (registered > 0 && elsewhere == 0 && !delete_quietly(self)) {
        if (!PyErr_ExceptionMatches(PyExc_ReferenceError))
            return nullptr;
        PyErr_Clear();
    }
    Ref next_del;
    const int found = next_attr(TempTclCommand_cls, self, S.dunder_del, next_del);
    if (found < 0 || (found && !ortan::call(next_del.get())))
        return nullptr;
    Py_RETURN_NONE;
}

const MethodDef TempTclCommand_methods[] = {
    {"__init__", TempTclCommand_init,
     "($self, func=None, cmd_name='::__ortan__{cls}_{id}_tmp', **kwargs)", nullptr},
    {"__enter__", TempTclCommand_enter, "($self, /)", nullptr},
    {"__exit__", TempTclCommand_exit, "($self, /, *exc_info)", nullptr},
    {"__del__", TempTclCommand_del, "($self, /)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// Class construction: the classes of this family, made at import.

bool make_command_classes() {
    TclCommand_cls = make_class(
        "TclCommand", "TclCommand",
        "A Tcl command of an interpreter, with words and options bound in advance.\n\n"
        "Calling it runs the command: positional arguments become words, keyword arguments\n"
        "``-name value`` options after them. In a class body it acts as a method.",
        {object_base()}, [](PyObject *ns, const char *q) {
            if (!add_table(ns, TclCommand_methods, q))
                return false;
            for (const MethodDef &def : TclCommand_static_methods)
                if (!ortan::add_staticmethod(ns, def, q))
                    return false;
            // Kept to recognise the module's own function in build_tclcmd.
            PyObject *wrapper = PyDict_GetItemString(ns, "kwargs_to_dashed_args");
            dashed_args_fn = wrapper ? PyObject_GetAttrString(wrapper, "__func__") : nullptr;
            return dashed_args_fn && add_table(ns, TclCommand_call_methods, q);
        });
    if (!TclCommand_cls)
        return false;
    reinterpret_cast<PyTypeObject *>(TclCommand_cls)->tp_call =
        ortan::unpacked_call_slot<TclCommand_dunder_call>;

    TempTclCommand_cls = make_class(
        "TempTclCommand", "TempTclCommand",
        "A Python callable registered as a Tcl command under a unique name; the command is\n"
        "deleted when the `with` block ends (or when the object is collected, if it registered\n"
        "a callable).",
        {TclCommand_cls}, TempTclCommand_methods);
    if (!TempTclCommand_cls)
        return false;
    reinterpret_cast<PyTypeObject *>(TempTclCommand_cls)->tp_call =
        ortan::unpacked_call_slot<TclCommand_dunder_call>;
    return true;
}

} // namespace ortan_namespace

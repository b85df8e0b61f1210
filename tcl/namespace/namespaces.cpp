// ortan.tcl.namespace: TclNamespace, TempTclNamespace and the lazy name iterator.
#include "common.h"

namespace ortan_namespace {

// ---------------------------------------------------------------------------------------------
// Lazy name iterator.
//
// The mapping classes iterate over names that one Tcl query returns. Like a generator, the
// iterator sends nothing until its first item is asked for; then it runs the query once and
// yields the names in order.

struct NameIterator {
    PyObject_HEAD NameSource source;
    PyObject *owner; // the array or view; dropped once the query has run
    PyObject *words; // the query words of a view
    PyObject *items; // the iterator over the names, once the query has run
};

// array.array_names(), or view.ns.tcl.cast_list(view.ns.call(words)).
Ref run_name_query(NameSource source, PyObject *owner, PyObject *words) {
    if (source == NameSource::array_names)
        return call_method(owner, S.array_names);
    Ref ns = get_attr(owner, S.ns);
    if (!ns)
        return ns;
    Ref result = call_method(ns.get(), S.call, {words});
    return host_cast(ns.get(), S.cast_list, result);
}

PyObject *name_iterator_next(PyObject *self) {
    auto *it = reinterpret_cast<NameIterator *>(self);
    if (!it->items) {
        if (!it->owner)
            return nullptr; // finished, or the query failed earlier
        // Held here: a re-entrant next() during the query drops the iterator's references.
        Ref owner = Ref::borrow(it->owner), words = Ref::borrow(it->words);
        Ref names = run_name_query(it->source, owner.get(), words.get());
        Py_CLEAR(it->owner);
        Py_CLEAR(it->words);
        if (!names)
            return nullptr;
        Py_CLEAR(it->items); // a re-entrant next() during the query may have started one
        it->items = PyObject_GetIter(names.get());
        if (!it->items)
            return nullptr;
    }
    // Held for the same reason: a sequence's own iteration may run Python code.
    Ref items = Ref::borrow(it->items);
    PyObject *item = PyIter_Next(items.get());
    if (!item && !PyErr_Occurred())
        Py_CLEAR(it->items);
    return item;
}

int name_iterator_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *it = reinterpret_cast<NameIterator *>(self);
    Py_VISIT(it->owner);
    Py_VISIT(it->words);
    Py_VISIT(it->items);
    return 0;
}

int name_iterator_clear(PyObject *self) {
    auto *it = reinterpret_cast<NameIterator *>(self);
    Py_CLEAR(it->owner);
    Py_CLEAR(it->words);
    Py_CLEAR(it->items);
    return 0;
}

void name_iterator_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    name_iterator_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject name_iterator_type = [] {
    PyTypeObject t = ortan::static_type("ortan.tcl.namespace.name_iterator", sizeof(NameIterator));
    t.tp_dealloc = name_iterator_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = name_iterator_traverse;
    t.tp_clear = name_iterator_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = name_iterator_next;
    return t;
}();

Ref new_name_iterator(NameSource source, PyObject *owner, PyObject *words) {
    auto *it = PyObject_GC_New(NameIterator, &name_iterator_type);
    if (!it)
        return Ref();
    it->source = source;
    it->owner = Py_NewRef(owner);
    Py_XINCREF(words);
    it->words = words;
    it->items = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(it));
    return Ref::steal(reinterpret_cast<PyObject *>(it));
}

// len(iter(obj)) by counting, so that an overridden __iter__ is honoured.
Ref count_iteration(PyObject *obj) {
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it)
        return it;
    Py_ssize_t count = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        ++count;
    if (PyErr_Occurred())
        return Ref();
    return Ref::steal(PyLong_FromSsize_t(count));
}

// ---------------------------------------------------------------------------------------------
// TclNamespace.

bool init_namespace(PyObject *self, PyObject *ns, PyObject *tcl) {
    if (!init_next_plain(TclNamespace_cls, self, {TclNamespace_cls, TempTclNamespace_cls}))
        return false;
    Ref name = to_text(ns);
    if (!set_attr(self, S.ns, name.get()))
        return false;
    Ref host = host_proxy(self, tcl);
    if (!set_attr(self, S.tcl, host.get()))
        return false;
    struct View {
        PyObject *attr, *cls_name;
    };
    for (View view : {View{S.vars, S.VariablesView}, View{S.objs, S.ObjectsView},
                      View{S.procs, S.ProcsView}, View{S.cmds, S.CommandsView}}) {
        Ref cls = get_attr(TclNamespace_cls, view.cls_name);
        Ref made = cls ? ortan::call(cls.get(), {self}) : cls;
        if (!set_attr(self, view.attr, made.get()))
            return false;
    }
    return true;
}

PyObject *TclNamespace_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("__init__", args, nargs, kwnames, {"ns", "tcl"}, 1, params))
        return nullptr;
    PyObject *ns = params[0], *tcl = params[1];
    if (!init_namespace(args[0], ns, tcl))
        return nullptr;
    Py_RETURN_NONE;
}

// self.ns, and whether it is true; false with an exception set on failure.
bool namespace_name(PyObject *self, Ref &name, bool &given) {
    name = get_attr(self, S.ns);
    if (!name)
        return false;
    const int truth = PyObject_IsTrue(name.get());
    given = truth > 0;
    return truth >= 0;
}

// *N*: self.ns when it is not empty, else self.current().
Ref namespace_or_current(PyObject *self) {
    Ref name;
    bool given = false;
    if (!namespace_name(self, name, given))
        return Ref();
    return given ? name : call_method(self, S.current);
}

// self.call(words)
Ref call_inside(PyObject *self, PyObject *words) { return call_method(self, S.call, {words}); }

// A tuple of `head` followed by `rest`.
Ref words_with(std::initializer_list<PyObject *> head, PyObject *const *rest, Py_ssize_t nrest) {
    const Py_ssize_t nhead = static_cast<Py_ssize_t>(head.size());
    Ref words = Ref::steal(PyTuple_New(nhead + nrest));
    if (!words)
        return words;
    Py_ssize_t i = 0;
    for (PyObject *word : head)
        PyTuple_SET_ITEM(words.get(), i++, Py_NewRef(word));
    for (Py_ssize_t j = 0; j < nrest; ++j)
        PyTuple_SET_ITEM(words.get(), i++, Py_NewRef(rest[j]));
    return words;
}

PyObject *TclNamespace_children(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1] = {nullptr};
    if (!parse_method_args("children", args, nargs, kwnames, {"pattern"}, 0, params))
        return nullptr;
    PyObject *pattern_arg = params[0];
    Ref words;
    if (is_none(pattern_arg)) {
        words = tuple_of({S.w_namespace, S.w_children});
    } else {
        Ref pattern = to_text(pattern_arg);
        words = pattern ? tuple_of({S.w_namespace, S.w_children, pattern.get()}) : pattern;
    }
    Ref result = words ? call_inside(args[0], words.get()) : words;
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclNamespace_code(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("code", args, nargs, kwnames, {"script"}, 1, params))
        return nullptr;
    PyObject *script = params[0];
    Ref words = tuple_of({S.w_namespace, S.w_code, script});
    return words ? call_inside(args[0], words.get()).release() : nullptr;
}

PyObject *TclNamespace_current(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.current", nargs, kwnames))
        return nullptr;
    return tk_call(args[0], words_current).release();
}

PyObject *TclNamespace_create(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.create", nargs, kwnames))
        return nullptr;
    Ref name;
    bool given = false;
    if (!namespace_name(args[0], name, given))
        return nullptr;
    if (!given)
        return ortan::raise(PyExc_ValueError, "Cannot create current namespace").release();
    if (!call_method(args[0], S.eval, {S.empty}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclNamespace_delete(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.delete", nargs, kwnames))
        return nullptr;
    Ref name = namespace_or_current(args[0]);
    Ref words = name ? tuple_of({S.w_namespace, S.w_delete, name.get()}) : name;
    if (!words || !tk_call(args[0], words.get()))
        return nullptr;
    Py_RETURN_NONE;
}

// The command of call/eval: tclcmd, or (tclcmd,) + args; wrapped in `namespace eval` of the
// namespace's name when it is not empty.
Ref namespace_command(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    PyObject *tclcmd;
    if (!parse_flag_and_rest(fname, args, nargs, kwnames, "tclcmd", &tclcmd))
        return Ref();
    if (!tclcmd) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'tclcmd' (pos 1)", fname);
        return Ref();
    }
    Ref command = nargs > 2 ? words_with({tclcmd}, args + 2, nargs - 2) : Ref::borrow(tclcmd);
    Ref name;
    bool given = false;
    if (!command || !namespace_name(args[0], name, given))
        return Ref();
    if (!given)
        return command;
    return tuple_of({S.w_namespace, S.w_eval, name.get(), command.get()});
}

PyObject *TclNamespace_eval(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref command = namespace_command("eval", args, nargs, kwnames);
    Ref script = command ? ortan::call(scribe_fn, {command.get()}) : command;
    Ref tk = script ? tk_of(args[0]) : script;
    return tk ? eval_script(tk.get(), script.get()).release() : nullptr;
}

PyObject *TclNamespace_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref command = namespace_command("call", args, nargs, kwnames);
    Ref words = command ? to_tclobj(command.get()) : command;
    return words ? tk_call(args[0], words.get()).release() : nullptr;
}

PyObject *TclNamespace_exists(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.exists", nargs, kwnames))
        return nullptr;
    Ref name = namespace_or_current(args[0]);
    Ref words = name ? tuple_of({S.w_namespace, S.w_exists, name.get()}) : name;
    Ref result = words ? tk_call(args[0], words.get()) : words;
    return host_cast(args[0], S.cast_boolean, result).release();
}

// ("namespace", sub[, flag_word when flag is true], *patterns), sent inside the namespace.
// `flag_or_patterns` tells whether the flag was true or patterns were given.
Ref flagged_namespace_call(const char *fname, const char *flag_name, PyObject *sub,
                           PyObject *flag_word, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, bool &flag_or_patterns) {
    PyObject *flag;
    if (!parse_flag_and_rest(fname, args, nargs, kwnames, flag_name, &flag))
        return Ref();
    const int set = flag ? PyObject_IsTrue(flag) : 0;
    if (set < 0)
        return Ref();
    PyObject *const *patterns = args + 2;
    const Py_ssize_t npatterns = nargs > 2 ? nargs - 2 : 0;
    Ref words = set ? words_with({S.w_namespace, sub, flag_word}, patterns, npatterns)
                    : words_with({S.w_namespace, sub}, patterns, npatterns);
    flag_or_patterns = set || npatterns > 0;
    return words ? call_inside(args[0], words.get()) : words;
}

PyObject *TclNamespace_export(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bool flag_or_patterns = false;
    Ref result = flagged_namespace_call("export", "clear", S.w_export, S.w_clear, args, nargs,
                                        kwnames, flag_or_patterns);
    if (!result)
        return nullptr;
    if (flag_or_patterns)
        Py_RETURN_NONE;
    return host_cast(args[0], S.cast_list, result).release();
}

PyObject *TclNamespace_forget(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("forget", kwnames))
        return nullptr;
    Ref words = words_with({S.w_namespace, S.w_forget}, args + 1, nargs - 1);
    if (!words || !call_inside(args[0], words.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclNamespace_import(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bool flag_or_patterns = false;
    if (!flagged_namespace_call("import_", "force", S.w_import, S.w_force, args, nargs, kwnames,
                                flag_or_patterns))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *TclNamespace_origin(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[1];
    if (!parse_method_args("origin", args, nargs, kwnames, {"command"}, 1, params))
        return nullptr;
    PyObject *command = params[0];
    Ref words = tuple_of({S.w_namespace, S.w_origin, command});
    return words ? call_inside(args[0], words.get()).release() : nullptr;
}

PyObject *TclNamespace_parent(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *params[1] = {nullptr};
    if (!parse_method_args("parent", args, nargs, kwnames, {"force_eval"}, 0, params))
        return nullptr;
    PyObject *force_eval = params[0];
    const int force = force_eval ? PyObject_IsTrue(force_eval) : 0;
    if (force < 0)
        return nullptr;
    if (force) {
        Ref absolute = call_method(self, S.is_absolute);
        const int truth = absolute ? PyObject_IsTrue(absolute.get()) : -1;
        if (truth < 0)
            return nullptr;
        if (truth) {
            Ref ns = get_attr(self, S.ns);
            Ref name = ns ? name_text(ns.get()) : ns;
            return name ? tcl_parent_of(name.get()).release() : nullptr;
        }
    }
    Ref name;
    bool given = false;
    if (!namespace_name(self, name, given))
        return nullptr;
    Ref words;
    if (given) {
        Ref word = to_tclobj(name.get());
        words = word ? tuple_of({S.w_namespace, S.w_parent, word.get()}) : word;
    } else {
        words = tuple_of({S.w_namespace, S.w_parent});
    }
    return words ? tk_call(self, words.get()).release() : nullptr;
}

PyObject *TclNamespace_which(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[3];
    if (!parse_method_args("which", args, nargs, kwnames, {"name", "command", "variable"}, 1,
                           params))
        return nullptr;
    PyObject *name = params[0], *command_arg = params[1], *variable_arg = params[2];
    const int command = command_arg ? PyObject_IsTrue(command_arg) : 0;
    const int variable = command >= 0 && variable_arg ? PyObject_IsTrue(variable_arg) : 0;
    if (command < 0 || variable < 0)
        return nullptr;
    PyObject *words_buf[5] = {S.w_namespace, S.w_which};
    Py_ssize_t n = 2;
    if (command)
        words_buf[n++] = S.w_command_opt;
    if (variable)
        words_buf[n++] = S.w_variable_opt;
    words_buf[n++] = name;
    Ref words = words_with({}, words_buf, n);
    return words ? call_inside(args[0], words.get()).release() : nullptr;
}

// is_absolute / is_relative: the empty name itself when it is empty, else a bool.
PyObject *name_kind(PyObject *self, bool want_absolute) {
    Ref name;
    bool given = false;
    if (!namespace_name(self, name, given))
        return nullptr;
    if (!given)
        return name.release();
    const int absolute = starts_with_colons(name.get());
    if (absolute < 0)
        return nullptr;
    return PyBool_FromLong(want_absolute ? absolute : !absolute);
}

PyObject *TclNamespace_is_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.is_absolute", nargs, kwnames))
        return nullptr;
    return name_kind(args[0], true);
}

PyObject *TclNamespace_is_relative(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.is_relative", nargs, kwnames))
        return nullptr;
    return name_kind(args[0], false);
}

PyObject *TclNamespace_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.absolute", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref absolute = call_method(self, S.is_absolute);
    const int truth = absolute ? PyObject_IsTrue(absolute.get()) : -1;
    if (truth < 0)
        return nullptr;
    if (truth)
        return PyObject_GetAttr(self, S.ns);
    Ref current = call_method(self, S.current);
    Ref name = current ? get_attr(self, S.ns) : current;
    return name ? join2(current.get(), name.get()).release() : nullptr;
}

PyObject *TclNamespace_make_absolute(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return make_absolute(TclNamespace_cls, args, nargs, kwnames, S.ns);
}

PyObject *TclNamespace_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("TclNamespace.__str__", nargs, kwnames))
        return nullptr;
    return PyObject_GetAttr(args[0], S.ns);
}

// The class namespace takes these rows, then TclNamespace_static_methods (names.cpp).
const MethodDef TclNamespace_methods[] = {
    {"__init__", TclNamespace_init, "($self, ns, tcl=None)", nullptr},
    {"children", TclNamespace_children, "($self, pattern=None)",
     "``namespace children``, as a sequence."},
    {"code", TclNamespace_code, "($self, script)", "``namespace code``."},
    {"current", TclNamespace_current, "($self)", "``namespace current``."},
    {"create", TclNamespace_create, "($self)", "Creates the namespace (and missing parents)."},
    {"delete", TclNamespace_delete, "($self)", "Deletes the namespace."},
    {"eval", TclNamespace_eval, "($self, tclcmd, *args)",
     "Evaluates a script or command inside the namespace."},
    {"call", TclNamespace_call, "($self, tclcmd, *args)", "Calls a command inside the namespace."},
    {"exists", TclNamespace_exists, "($self)", "``namespace exists``."},
    {"export", TclNamespace_export, "($self, clear=False, *patterns)",
     "``namespace export``; without arguments, the export list."},
    {"forget", TclNamespace_forget, "($self, *patterns)", "``namespace forget``."},
    {"import_", TclNamespace_import, "($self, force=False, *patterns)", "``namespace import``."},
    {"origin", TclNamespace_origin, "($self, command)", "``namespace origin``."},
    {"parent", TclNamespace_parent, "($self, force_eval=False)",
     "``namespace parent``; with force_eval, an absolute name is answered\n"
     "from the name alone."},
    {"which", TclNamespace_which, "($self, name, command=False, variable=False)",
     "``namespace which``."},
    {"is_absolute", TclNamespace_is_absolute, "($self)", nullptr},
    {"is_relative", TclNamespace_is_relative, "($self)", nullptr},
    {"absolute", TclNamespace_absolute, "($self)",
     "The name made absolute against the current namespace."},
    {"make_absolute", TclNamespace_make_absolute, "($self)", "Replaces ns by its absolute form."},
    {"__str__", TclNamespace_str, "($self, /)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// TempTclNamespace.

PyObject *TempTclNamespace_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return init_named_temporary(TempTclNamespace_cls, "ns", args, nargs, kwnames);
}

PyObject *TempTclNamespace_enter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref result = enter_next(TempTclNamespace_cls, args, nargs, kwnames);
    if (!result || !call_method(args[0], S.create))
        return nullptr;
    return result.release();
}

PyObject *TempTclNamespace_exit(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!positional_only("__exit__", kwnames) || !delete_quietly(args[0]))
        return nullptr;
    return exit_next(TempTclNamespace_cls, args[0], args + 1, nargs - 1);
}

const MethodDef TempTclNamespace_methods[] = {
    {"__init__", TempTclNamespace_init, "($self, ns='::__ortan__{cls}_{id}_tmp', **kwargs)",
     nullptr},
    {"__enter__", TempTclNamespace_enter, "($self, /)", nullptr},
    {"__exit__", TempTclNamespace_exit, "($self, /, *exc_info)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// Class construction: the classes of this family, made at import.

bool make_namespace_classes() {
    if (!make_view_classes())
        return false;
    TclNamespace_cls = make_class(
        "TclNamespace", "TclNamespace",
        "A Tcl namespace of an interpreter, known by its name (empty: the current namespace).\n\n"
        "Attributes: ``ns``, ``tcl`` and the views ``vars``, ``objs``, ``procs``, ``cmds``.",
        {object_base()}, [](PyObject *ns, const char *q) {
            if (PyDict_SetItemString(ns, "VariablesView", VariablesView_cls) < 0 ||
                PyDict_SetItemString(ns, "ObjectsView", ObjectsView_cls) < 0 ||
                PyDict_SetItemString(ns, "CommandsView", CommandsView_cls) < 0 ||
                PyDict_SetItemString(ns, "ProcsView", ProcsView_cls) < 0)
                return false;
            if (!add_table(ns, TclNamespace_methods, q))
                return false;
            for (const MethodDef &def : TclNamespace_static_methods)
                if (!ortan::add_staticmethod(ns, def, q))
                    return false;
            return true;
        });
    if (!TclNamespace_cls)
        return false;

    TempTclNamespace_cls =
        make_class("TempTclNamespace", "TempTclNamespace",
                   "A Tcl namespace with a unique name that exists while its `with` block runs.",
                   {TclNamespace_cls}, TempTclNamespace_methods);
    return TempTclNamespace_cls != nullptr;
}

} // namespace ortan_namespace

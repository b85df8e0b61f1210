// ortan.tcl.namespace: the static name arithmetic of Tcl namespace names.
#include "common.h"

namespace ortan_namespace {

// ---------------------------------------------------------------------------------------------
// Namespace names.
//
// Components are separated by "::" (found left to right, as str.split("::") finds them); empty
// components are dropped; a component still holding a ":" makes the name invalid.

Ref invalid_namespace(PyObject *name) {
    PyErr_Format(PyExc_ValueError, "Invalid Tcl namespace '%U'", name);
    return Ref();
}

// Calls piece(start, end) for every component of `text` between "::" separators, empty ones
// included; returns false as soon as piece does.
template <class C, class F> bool for_each_piece(const C *s, Py_ssize_t n, F &&piece) {
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i + 1 < n;) {
        if (s[i] == ':' && s[i + 1] == ':') {
            if (!piece(start, i))
                return false;
            i += 2;
            start = i;
        } else {
            ++i;
        }
    }
    return piece(start, n);
}

struct NameShape {
    bool absolute = false;
    bool valid = true;
    bool normal = true; // normalising gives the text back unchanged
    Py_ssize_t parts = 0;
};

NameShape shape_of(PyObject *text) {
    NameShape shape;
    ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        shape.absolute = n >= 2 && s[0] == ':' && s[1] == ':';
        bool first = true;
        for_each_piece(s, n, [&](Py_ssize_t start, Py_ssize_t end) {
            if (start == end) {
                // The leading empty piece of an absolute name is kept by normalising.
                if (!(first && shape.absolute))
                    shape.normal = false;
            } else {
                ++shape.parts;
                for (Py_ssize_t i = start; i < end; ++i)
                    if (s[i] == ':') {
                        shape.valid = false;
                        return false;
                    }
            }
            first = false;
            return true;
        });
        if (n == 0)
            shape.normal = true;
        else if (shape.absolute && shape.parts == 0)
            shape.normal = false; // "::" and the like normalise to ""
    });
    return shape;
}

// TclNamespace.normalize for a text.
Ref normalize_text(PyObject *text) {
    const NameShape shape = shape_of(text);
    if (!shape.valid)
        return invalid_namespace(text);
    if (shape.normal)
        return Ref::borrow(text);
    if (shape.parts == 0)
        return Ref::borrow(S.empty);
    ortan::TextWriter out(PyUnicode_GET_LENGTH(text));
    bool ok = out.ok();
    bool wrote = false;
    ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        for_each_piece(s, n, [&](Py_ssize_t start, Py_ssize_t end) {
            if (start == end)
                return true;
            if (wrote || shape.absolute)
                ok = ok && out.put_ascii("::", 2);
            ok = ok && out.put_range(text, start, end);
            wrote = true;
            return ok;
        });
    });
    return ok ? out.finish() : Ref();
}

// TclNamespace.split for a text.
Ref split_text(PyObject *text) {
    const NameShape shape = shape_of(text);
    if (!shape.valid)
        return invalid_namespace(text);
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts)
        return parts;
    if (shape.absolute && PyList_Append(parts.get(), S.empty) < 0)
        return Ref();
    bool ok = true;
    ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        for_each_piece(s, n, [&](Py_ssize_t start, Py_ssize_t end) {
            if (start == end)
                return true;
            Ref part = Ref::steal(PyUnicode_Substring(text, start, end));
            ok = part && PyList_Append(parts.get(), part.get()) == 0;
            return ok;
        });
    });
    return ok ? parts : Ref();
}

// Whether `obj` has the conversion hook `name`, true; -1 on error.
int has_hook(PyObject *obj, PyObject *name) {
    Ref hook;
    const int found = ortan::get_optional_attr(obj, name, hook);
    return found <= 0 ? found : PyObject_IsTrue(hook.get());
}

// scribe() of a namespace object of this module is its str(): the classes define no hooks,
// so only an instance that was given one takes the general way.
bool is_plain_namespace_object(PyObject *obj) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (type != TclNamespace_cls && type != TempTclNamespace_cls)
        return false;
    const int scribe_hook = has_hook(obj, S.hook_scribe);
    const int tclobj_hook = scribe_hook == 0 ? has_hook(obj, S.hook_tclobj) : scribe_hook;
    if (tclobj_hook != 0)
        PyErr_Clear(); // the general way meets any error again
    return scribe_hook == 0 && tclobj_hook == 0;
}

// scribe(obj), which must be text for the name arithmetic.
Ref name_text(PyObject *obj) {
    Ref text = is_plain_namespace_object(obj) ? Ref::steal(PyObject_Str(obj)) : to_text(obj);
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "a Tcl namespace name must be text, not %.200s",
                     Py_TYPE(text.get())->tp_name);
        return Ref();
    }
    return text && text_ready(text.get()) ? text : Ref();
}

// TclNamespace.join(first, *rest).
Ref join_names(PyObject *first, PyObject *const *rest, Py_ssize_t nrest) {
    Ref joined = name_text(first);
    if (!joined)
        return joined;
    for (Py_ssize_t i = 0; i < nrest; ++i) {
        Ref arg = name_text(rest[i]);
        if (!arg)
            return arg;
        if (PyUnicode_GET_LENGTH(joined.get()) == 0 ||
            PyUnicode_Tailmatch(arg.get(), S.colons, 0, PY_SSIZE_T_MAX, -1)) {
            joined = arg;
        } else if (PyUnicode_GET_LENGTH(arg.get()) != 0) {
            Ref left = Ref::steal(PyUnicode_Concat(joined.get(), S.colons));
            if (!left)
                return left;
            joined = Ref::steal(PyUnicode_Concat(left.get(), arg.get()));
            if (!joined)
                return joined;
        }
    }
    return normalize_text(joined.get());
}

Ref join2(PyObject *first, PyObject *second) { return join_names(first, &second, 1); }

Ref tail_text(PyObject *text) {
    const Py_ssize_t p = PyUnicode_Find(text, S.colons, 0, PY_SSIZE_T_MAX, -1);
    if (p == -2)
        return Ref();
    if (p == -1)
        return Ref::borrow(text);
    return Ref::steal(PyUnicode_Substring(text, p + 2, PyUnicode_GET_LENGTH(text)));
}

Ref qualifiers_text(PyObject *text) {
    Py_ssize_t p = PyUnicode_Find(text, S.colons, 0, PY_SSIZE_T_MAX, -1);
    if (p == -2)
        return Ref();
    if (p == -1)
        return Ref::borrow(S.empty);
    while (p > 0 && PyUnicode_READ_CHAR(text, p - 1) == ':')
        --p;
    return Ref::steal(PyUnicode_Substring(text, 0, p));
}

// The enclosing namespace of an absolute name, as Tcl's `namespace parent` reports it. Tcl
// separates components by runs of two or more colons; a single colon belongs to the name.
Ref tcl_parent_of(PyObject *text) {
    struct Range {
        Py_ssize_t start, end;
    };
    ortan::SmallArray<Range, 16> parts;
    const bool stored = ortan::visit_text(text, [&](auto *s, Py_ssize_t n) {
        Py_ssize_t i = 0;
        while (i < n) {
            while (i < n && s[i] == ':' && i + 1 < n && s[i + 1] == ':') {
                i += 2;
                while (i < n && s[i] == ':')
                    ++i;
            }
            if (i >= n)
                break;
            const Py_ssize_t start = i;
            while (i < n && !(s[i] == ':' && i + 1 < n && s[i + 1] == ':'))
                ++i;
            if (!parts.push_back({start, i}))
                return false; // MemoryError is set
        }
        return true;
    });
    if (!stored)
        return Ref();
    if (parts.empty())
        return Ref::borrow(S.empty);
    if (parts.size() == 1)
        return Ref::borrow(S.colons);
    ortan::TextWriter out(PyUnicode_GET_LENGTH(text));
    bool ok = out.ok();
    for (size_t i = 0; i + 1 < parts.size() && ok; ++i)
        ok = out.put_ascii("::", 2) && out.put_range(text, parts[i].start, parts[i].end);
    return ok ? out.finish() : Ref();
}

// The static name methods: args[0] is the first argument.
bool one_name_argument(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames, Ref &text) {
    PyObject *params[1];
    if (!ortan::parse_args(fname, args, static_cast<size_t>(nargs), kwnames, {"string"}, 1, params))
        return false;
    PyObject *string = params[0];
    text = name_text(string);
    return bool(text);
}

PyObject *TclNamespace_qualifiers(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("qualifiers", args, nargs, kwnames, text)
               ? qualifiers_text(text.get()).release()
               : nullptr;
}

PyObject *TclNamespace_tail(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("tail", args, nargs, kwnames, text) ? tail_text(text.get()).release()
                                                                 : nullptr;
}

PyObject *TclNamespace_join(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // join(string, *args): `string` by position, or by keyword when it is the only argument.
    PyObject *first;
    if (!bind_first("join", args, nargs, args + nargs, kwnames, "string", &first))
        return nullptr;
    if (!first)
        return ortan::raise(PyExc_TypeError, "join() missing required argument 'string' (pos 1)")
            .release();
    return join_names(first, args + 1, nargs > 1 ? nargs - 1 : 0).release();
}

PyObject *TclNamespace_split(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("split", args, nargs, kwnames, text) ? split_text(text.get()).release()
                                                                  : nullptr;
}

PyObject *TclNamespace_normalize(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref text;
    return one_name_argument("normalize", args, nargs, kwnames, text)
               ? normalize_text(text.get()).release()
               : nullptr;
}

const MethodDef TclNamespace_static_methods[5] = {
    {"qualifiers", TclNamespace_qualifiers, "(string)", "The name without its last component."},
    {"tail", TclNamespace_tail, "(string)", "The last component of the name."},
    {"join", TclNamespace_join, "(string, *args)",
     "Joins names; an absolute one restarts. The result is normalised."},
    {"split", TclNamespace_split, "(string)", "The components; an absolute name starts with ''."},
    {"normalize", TclNamespace_normalize, "(string)",
     "The name without empty components; '::' gives ''."},
};

} // namespace ortan_namespace

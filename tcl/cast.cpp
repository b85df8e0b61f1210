// ortan.tcl.cast: the host interpreter's casts, from raw Tcl results to Python values.
#include "support.h"

#include <cmath>
#include <cstdint>
#include <cstring>

using ortan::as_cfunction;
using ortan::bind;
using ortan::bind_public_names;
using ortan::call;
using ortan::call_method;
using ortan::class_def;
using ortan::create_module;
using ortan::define_module;
using ortan::get_attr;
using ortan::import_attr;
using ortan::module_function;
using ortan::new_class;
using ortan::parse_args;
using ortan::parse_method_args;
using ortan::raise;
using ortan::Ref;
using ortan::text_ready;

// A cast never loses information. Text becomes a number only when the number's own text is the
// text itself: int(t) where str(int(t)) == t, else float(t) where it is finite and
// repr(float(t)) == t; every other text stays as it is ('010', '1.10', ' 5 ', 'nan'). Values that
// tkinter has already converted (numbers, tuples, bytes) are returned as tkinter gave them,
// except for the Tcl objects a tuple may hold, which become text or numbers.

namespace {

// ---------------------------------------------------------------------------------------------
// Module constants, set once by the module init and never changed afterwards.

#define CAST_NAMES(X) X(tk, "tk") X(getboolean, "getboolean") X(type_name, "typename")
ORTAN_NAME_TABLE(Names, CAST_NAMES)
Names S; // attribute names: S.tk, S.getboolean, S.type_name

constexpr const char *module_name = "ortan.tcl.cast";

// Imported objects, bound at import: strong references the process keeps.
PyObject *tcl_error;        // tkinter.TclError
PyTypeObject *tcl_obj_type; // _tkinter.Tcl_Obj
PyObject *get_list;         // ortan.tcl.internal.GetListFromAny
PyObject *scribe;           // ortan.tcl.scribe.scribe
PyObject *casts_cls;        // the HostCasts class built below

constexpr const char odd_count_message[] = "missing value to go with key";

// ---------------------------------------------------------------------------------------------
// Conversions and helpers.

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The longest text whose float repr() it can be: 17 significant digits, a sign, a point and an
// exponent ("-1.2345678901234567e-308") take 24 characters; fixed notation stops at 16 digits
// before the point.
constexpr Py_ssize_t longest_float_repr = 32;

// int(text) for a canonical integer text of `n` ASCII characters (an optional "-", then "0"
// alone or digits without a leading zero). Text too long for int() stays text.
Ref canonical_int(PyObject *text, const char *s, Py_ssize_t n) {
    const bool negative = s[0] == '-';
    if (n - negative <= 18) { // fits an int64_t, so no big-number parse
        int64_t value = 0;
        for (Py_ssize_t i = negative; i < n; ++i)
            value = value * 10 + (s[i] - '0');
        return Ref::steal(PyLong_FromLongLong(negative ? -value : value));
    }
    Ref number = Ref::steal(PyLong_FromUnicodeObject(text, 10));
    if (!number && PyErr_ExceptionMatches(PyExc_ValueError)) { // beyond int()'s digit limit
        PyErr_Clear();
        return Ref::borrow(text);
    }
    return number;
}

// float(text) when that float is finite and its repr() is the text; the text otherwise. The
// text is ASCII, starts with a digit or "-" and is not an integer text.
Ref float_or_text(PyObject *text, const char *s, Py_ssize_t n) {
    if (n > longest_float_repr)
        return Ref::borrow(text);
    char buffer[longest_float_repr + 1];
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (!is_digit(c) && c != '.' && c != 'e' && c != '-' && c != '+')
            return Ref::borrow(text);
        buffer[i] = c;
    }
    buffer[n] = '\0';
    char *end = nullptr;
    const double value = PyOS_string_to_double(buffer, &end, nullptr);
    if (value == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            return Ref();
        PyErr_Clear();
        return Ref::borrow(text);
    }
    if (end != buffer + n || !std::isfinite(value))
        return Ref::borrow(text);
    // repr(float) exactly: float_repr formats with these arguments.
    char *repr = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!repr)
        return Ref();
    const bool same = std::strcmp(repr, buffer) == 0;
    PyMem_Free(repr);
    return same ? Ref::steal(PyFloat_FromDouble(value)) : Ref::borrow(text);
}

// The text rule on a str (or str subclass): an int or float whose text is the text itself,
// otherwise the text unchanged. Only ASCII text that starts with a digit, or "-" and a digit,
// can be either, so most text is settled by its first two characters.
Ref cast_text(PyObject *text) {
    if (!text_ready(text))
        return Ref();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n == 0 || !PyUnicode_IS_ASCII(text))
        return Ref::borrow(text);
    const char *s = static_cast<const char *>(PyUnicode_DATA(text));
    const Py_ssize_t first = s[0] == '-';
    if (first == n || !is_digit(s[first]))
        return Ref::borrow(text);
    Py_ssize_t i = first + 1;
    while (i < n && is_digit(s[i]))
        ++i;
    if (i < n)
        return float_or_text(text, s, n);
    // All digits: "0", or no leading zero, and never "-0" (str(int('-0')) is '0'). A float's
    // repr always has a point or an exponent, so other digit runs stay text.
    if (s[first] == '0' && n > 1)
        return Ref::borrow(text);
    return canonical_int(text, s, n);
}

bool is_tcl_obj(PyObject *value) { return PyObject_TypeCheck(value, tcl_obj_type); }

// A Tcl object by the name of its type: the text rule for the integer and double types,
// which are numbers by Tcl's own reading; the text for every other type.
Ref cast_tcl_obj(PyObject *value) {
    Ref type_name = get_attr(value, S.type_name);
    if (!type_name)
        return type_name;
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text || !PyUnicode_Check(type_name.get()))
        return text;
    static const char *const numeric_types[] = {"int", "wideInt", "bignum", "double"};
    for (const char *name : numeric_types) {
        if (PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0)
            return cast_text(text.get());
    }
    return text;
}

Ref cast_tuple(PyObject *tuple);

// Whether an element of a Tcl list needs casting: a Tcl object, or a nested list (a tuple) that
// may hold one. Text and what tkinter converted already stay as they are.
bool needs_cast(PyObject *item) { return is_tcl_obj(item) || PyTuple_Check(item); }

// An element of a Tcl list as cast_tuple gives it.
Ref cast_element(PyObject *item) {
    if (is_tcl_obj(item))
        return cast_tcl_obj(item);
    return PyTuple_Check(item) ? cast_tuple(item) : Ref::borrow(item);
}

// A Tcl list as tkinter hands it over (a tuple, nested for nested lists), with every Tcl object
// in it, at any depth, cast as cast_any casts one, so that a cast result never holds a Tcl
// object (tkinter hands over the elements of types it does not know, such as an empty dict, as
// Tcl objects). The tuple itself when it holds none; a tuple of another class is taken as a
// plain one.
Ref cast_tuple(PyObject *tuple) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    Py_ssize_t first = 0;
    while (first < n && !needs_cast(PyTuple_GET_ITEM(tuple, first)))
        ++first;
    if (first == n)
        return Ref::borrow(tuple);
    // Tuples built by hand can nest deeply.
    ortan::RecursionGuard guard(" while casting a Tcl list");
    Ref cast = guard.ok() ? Ref::steal(PyTuple_New(n)) : Ref();
    if (!cast)
        return cast;
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(tuple, i);
        PyObject *element = i < first ? Py_NewRef(item) : cast_element(item).release();
        if (!element)
            return Ref();
        changed = changed || element != item;
        PyTuple_SET_ITEM(cast.get(), i, element);
    }
    return changed ? cast : Ref::borrow(tuple);
}

Ref cast_any(PyObject *value) {
    if (PyUnicode_Check(value))
        return cast_text(value);
    if (is_tcl_obj(value))
        return cast_tcl_obj(value);
    if (PyTuple_Check(value))
        return cast_tuple(value);
    return Ref::borrow(value);
}

// The elements of a Tcl list: a tuple as it is, a list as a tuple, text (or any other value's
// str) split by Tcl's own list rules.
Ref list_elements(PyObject *value) {
    if (PyTuple_Check(value))
        return Ref::borrow(value);
    if (PyList_CheckExact(value))
        return Ref::steal(PyList_AsTuple(value));
    if (PyList_Check(value))
        return Ref::steal(PySequence_Tuple(value));
    if (PyUnicode_Check(value))
        return call(get_list, {value});
    Ref text = Ref::steal(PyObject_Str(value));
    return text ? call(get_list, {text.get()}) : text;
}

// list_elements, with the Tcl objects among the elements (names from `info vars`, say) as
// their text.
Ref host_list(PyObject *value) {
    Ref items = list_elements(value);
    if (!items)
        return items;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Py_ssize_t first = 0;
    while (first < n && !is_tcl_obj(PyTuple_GET_ITEM(items.get(), first)))
        ++first;
    if (first == n)
        return items;
    Ref texts = Ref::steal(PyTuple_New(n));
    if (!texts)
        return texts;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        PyObject *converted = is_tcl_obj(item) ? PyObject_Str(item) : Py_NewRef(item);
        if (!converted)
            return Ref();
        PyTuple_SET_ITEM(texts.get(), i, converted);
    }
    return texts;
}

// The elements of a Tcl dict or `array get` result (a flat key, value, ... list); TclError,
// as Tcl's own dict code says it, for an odd count.
Ref pair_elements(PyObject *value) {
    Ref items = list_elements(value);
    if (items && PyTuple_GET_SIZE(items.get()) % 2 != 0)
        return raise(tcl_error, odd_count_message);
    return items;
}

// The key of an `array get` result, as Tcl handed it over.
Ref key_as_given(PyObject *key) { return Ref::borrow(key); }

// The text of a dict key: text as it is, a nested list (a tuple from tkinter) as its Tcl list
// text, anything else (numbers, Tcl objects) its str().
Ref key_text(PyObject *key) {
    if (PyUnicode_CheckExact(key))
        return Ref::borrow(key);
    if (PyTuple_Check(key) || PyList_Check(key))
        return call(scribe, {key});
    return Ref::steal(PyObject_Str(key));
}

// A dict of the key, value, ... pairs of `value`, each key made by `key_of`, the values raw.
template <Ref (*key_of)(PyObject *)> Ref pairs_dict(PyObject *value) {
    Ref items = pair_elements(value);
    Ref result = items ? Ref::steal(PyDict_New()) : Ref();
    if (!result)
        return result;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; i += 2) {
        Ref key = key_of(PyTuple_GET_ITEM(items.get(), i));
        if (!key ||
            PyDict_SetItem(result.get(), key.get(), PyTuple_GET_ITEM(items.get(), i + 1)) < 0)
            return Ref();
    }
    return result;
}

Ref cast_array(PyObject *value) { return pairs_dict<key_as_given>(value); }

Ref cast_dict(PyObject *value) { return pairs_dict<key_text>(value); }

// Tcl's boolean reading through the host's tk.getboolean(); bools, exact ints and the texts "0"
// and "1" (the usual results of `info exists`) answered here, as Tcl would.
Ref cast_boolean(PyObject *host, PyObject *value) {
    if (PyBool_Check(value))
        return Ref::borrow(value);
    if (PyLong_CheckExact(value))
        return Ref::borrow(PyObject_IsTrue(value) ? Py_True : Py_False);
    if (PyUnicode_CheckExact(value)) {
        if (!text_ready(value))
            return Ref();
        if (PyUnicode_GET_LENGTH(value) == 1) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(value, 0);
            if (c == '0' || c == '1')
                return Ref::borrow(c == '1' ? Py_True : Py_False);
        }
    }
    Ref tk = get_attr(host, S.tk);
    Ref answer = tk ? call_method(tk.get(), S.getboolean, {value}) : tk;
    if (!answer)
        return answer;
    const int truth = PyObject_IsTrue(answer.get());
    return truth < 0 ? Ref() : Ref::borrow(truth ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------------------------
// Module functions.

// The one argument `value` of a cast, given by position or by keyword; null with TypeError set.
PyObject *value_argument(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    if (nargs == 1 && !kwnames)
        return args[0];
    PyObject *value;
    if (!parse_args(fname, args, static_cast<size_t>(nargs), kwnames, {"value"}, 1, &value))
        return nullptr;
    return value;
}

#define ORTAN_CAST_FUNCTION(name, body)                                                            \
    PyObject *name##_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,                 \
                              PyObject *kwnames) {                                                 \
        PyObject *value = value_argument(#name, args, nargs, kwnames);                             \
        return value ? body(value).release() : nullptr;                                            \
    }

ORTAN_CAST_FUNCTION(cast_any, cast_any)
ORTAN_CAST_FUNCTION(cast_list, list_elements)
ORTAN_CAST_FUNCTION(cast_array, cast_array)
ORTAN_CAST_FUNCTION(cast_dict, cast_dict)

#undef ORTAN_CAST_FUNCTION

const char cast_any_doc[] =
    "cast_any($module, /, value)\n--\n\n"
    "The nearest Python value of a raw Tcl result, without losing information.\n\n"
    "Text t becomes int(t) when str(int(t)) == t, else float(t) when that float is finite and\n"
    "repr(float(t)) == t, and otherwise stays t: '10' is 10 and '1.5' is 1.5, while '010',\n"
    "'1.10', ' 5 ', '1e3' and 'nan' stay text. A Tcl object of an integer or double type\n"
    "follows the same rule on its text, any other Tcl object becomes its text, also inside a\n"
    "tuple (a Tcl list). Every other value (numbers, tuples, bytes: what tkinter has already\n"
    "converted) is returned as it is.";
const char cast_list_doc[] =
    "cast_list($module, /, value)\n--\n\n"
    "Split a Tcl list into a tuple of its elements.\n\n"
    "Text and Tcl objects are split by Tcl's own list rules; a tuple or list is taken as the\n"
    "elements already. Raises `tkinter.TclError` for text that is not a valid Tcl list. Needs no\n"
    "interpreter.";
const char cast_array_doc[] =
    "cast_array($module, /, value)\n--\n\n"
    "The result of ``array get`` (name, value, name, value, ...) as a `dict`.\n\n"
    "Keys and values are the elements as they are. Raises `tkinter.TclError` for an odd number\n"
    "of elements.";
const char cast_dict_doc[] =
    "cast_dict($module, /, value)\n--\n\n"
    "A Tcl dict (text, Tcl object or flat tuple of keys and values) as a `dict`.\n\n"
    "Keys are text: str of each key, numbers included (a nested list key is its Tcl list\n"
    "text); values are the elements as they are. A key given twice keeps its first place and\n"
    "its last value, as in Tcl. Raises `tkinter.TclError` for an odd number of elements.";

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;
// The module functions, in the order the module binds them.
PyMethodDef cast_functions[] = {
    {"cast_any", as_cfunction(cast_any_function), fastcall, cast_any_doc},
    {"cast_list", as_cfunction(cast_list_function), fastcall, cast_list_doc},
    {"cast_array", as_cfunction(cast_array_function), fastcall, cast_array_doc},
    {"cast_dict", as_cfunction(cast_dict_function), fastcall, cast_dict_doc},
};

// ---------------------------------------------------------------------------------------------
// HostCasts: the cast methods of a host interpreter.

// The `value` of a method call (self, value); null with TypeError set.
PyObject *method_value(const char *fname, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    if (nargs == 2 && !kwnames)
        return args[1];
    PyObject *value;
    if (!parse_method_args(fname, args, nargs, kwnames, {"value"}, 1, &value))
        return nullptr;
    return value;
}

PyObject *HostCasts_cast_boolean(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    PyObject *value = method_value("cast_boolean", args, nargs, kwnames);
    return value ? cast_boolean(self, value).release() : nullptr;
}

PyObject *HostCasts_cast_list(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *value = method_value("cast_list", args, nargs, kwnames);
    return value ? host_list(value).release() : nullptr;
}

PyObject *HostCasts_cast_array(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *value = method_value("cast_array", args, nargs, kwnames);
    return value ? cast_array(value).release() : nullptr;
}

PyObject *HostCasts_cast_dict(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *value = method_value("cast_dict", args, nargs, kwnames);
    return value ? cast_dict(value).release() : nullptr;
}

// The quick call's cast, once per call: a plain str result goes straight to the text rule.
PyObject *HostCasts_cast_any(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 2 && !kwnames) {
        PyObject *value = args[1];
        if (PyUnicode_CheckExact(value))
            return cast_text(value).release();
    }
    PyObject *value = method_value("cast_any", args, nargs, kwnames);
    return value ? cast_any(value).release() : nullptr;
}

const char *const host_casts_doc =
    "The cast operations of a host interpreter, which turn raw Tcl results into Python values.\n\n"
    "A host class derives from it; the methods read nothing of the instance but ``tk`` (for\n"
    "Tcl's boolean rules).";

const ortan::MethodDef host_casts_methods[] = {
    {"cast_boolean", HostCasts_cast_boolean, "($self, value)",
     "Tcl's boolean rules (1/0, true/false, yes/no, on/off, any case) to a `bool`.\n\n"
     "Raises `tkinter.TclError` for text that is not a Tcl boolean."},
    {"cast_list", HostCasts_cast_list, "($self, value)",
     "Split a Tcl list (text, Tcl object, tuple) into a tuple of its elements.\n\n"
     "Elements that the binding hands over as Tcl objects (the names from ``info vars``, for\n"
     "instance) come back as their text."},
    {"cast_array", HostCasts_cast_array, "($self, value)",
     "The result of ``array get`` (name, value, name, value, ...) as a `dict`.\n\n"
     "Raises `tkinter.TclError` for an odd number of elements."},
    {"cast_dict", HostCasts_cast_dict, "($self, value)",
     "A Tcl dict (text, Tcl object or flat tuple) as a `dict` with text keys and raw values.\n\n"
     "Keys are str of each key, numbers included (a nested list key is its Tcl list text). Raises\n"
     "`tkinter.TclError` for an odd number of elements."},
    {"cast_any", HostCasts_cast_any, "($self, value)",
     "The nearest Python value of a raw Tcl result, without losing information.\n\n"
     "Text t becomes int(t) when str(int(t)) == t, else float(t) when that float is finite and\n"
     "repr(float(t)) == t, and otherwise stays t ('010', '1.10', ' 5 ' and 'nan' stay text). A\n"
     "Tcl object of an integer or double type follows the same rule on its text, any other Tcl\n"
     "object becomes its text, also inside a tuple (a Tcl list); values that tkinter has\n"
     "already converted (numbers, tuples, bytes) are returned as they are."},
};

// ---------------------------------------------------------------------------------------------
// Module init.

const char *const module_doc =
    "The host interpreter's casts of raw Tcl results to Python values: `cast_any`, `cast_list`, "
    "`cast_array`, `cast_dict`, and `HostCasts`, the class that gives a host the same as "
    "methods (with `cast_boolean`).";

bool init_module(PyObject *m) {
    if (!S.intern())
        return false;
    if (!bind_public_names(m, {"HostCasts", "cast_any", "cast_list", "cast_array", "cast_dict"}))
        return false;
    tcl_error = import_attr("tkinter", "TclError").release();
    tcl_obj_type = reinterpret_cast<PyTypeObject *>(import_attr("_tkinter", "Tcl_Obj").release());
    get_list = import_attr("ortan.tcl.internal", "GetListFromAny").release();
    scribe = import_attr("ortan.tcl.scribe", "scribe").release();
    if (!tcl_error || !tcl_obj_type || !get_list || !scribe)
        return false;
    if (!PyType_Check(reinterpret_cast<PyObject *>(tcl_obj_type))) {
        PyErr_SetString(PyExc_ImportError, "_tkinter.Tcl_Obj is not a type");
        return false;
    }
    if (!bind(m, "HostCasts",
              new_class(module_name,
                        class_def("HostCasts", nullptr, host_casts_doc, host_casts_methods),
                        nullptr),
              &casts_cls))
        return false;
    for (PyMethodDef &def : cast_functions) {
        if (!bind(m, def.ml_name, module_function(&def, m)))
            return false;
    }
    return true;
}

PyModuleDef module_def = define_module(module_name, module_doc);

} // namespace

PyMODINIT_FUNC PyInit_cast() { return create_module(module_def, init_module); }

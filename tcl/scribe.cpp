// ortan.tcl.scribe: Python values to Tcl text (scribe) and to Tcl binding values (tclobj).
#include "support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <structmember.h>

using ortan::as_cfunction;
using ortan::bind;
using ortan::bind_public_names;
using ortan::call;
using ortan::call_method;
using ortan::create_module;
using ortan::define_module;
using ortan::get_attr;
using ortan::get_optional_attr;
using ortan::import_attr;
using ortan::import_module;
using ortan::module_function;
using ortan::parse_args;
using ortan::RecursionGuard;
using ortan::Ref;
using ortan::SmallArray;
using ortan::static_type;
using ortan::text;
using ortan::visit_text;

namespace {

// ---------------------------------------------------------------------------------------------
// Module constants, set once by the module init and never changed afterwards.

#define SCRIBE_NAMES(X)                                                                            \
    X(scribe_method, "__scribe__")                                                                 \
    X(tclobj_method, "__tclobj__")                                                                 \
    X(add, "add")                                                                                  \
    X(use_braces, "USE_BRACES")                                                                    \
    X(braces_unmatched, "BRACES_UNMATCHED")                                                        \
    X(dont_use_braces, "TCL_DONT_USE_BRACES")                                                      \
    X(empty, "")                                                                                   \
    X(braces, "{}")
ORTAN_NAME_TABLE(Names, SCRIBE_NAMES)
Names S; // hook names and texts: S.scribe_method, S.braces, ...

// The flag names by bit (USE_BRACES is bit 0), taken from S by the module init.
PyObject *flag_names[3];

// Imported objects, bound at import: strong references the process keeps.
PyObject *abc_mapping;  // collections.abc.Mapping
PyObject *abc_sequence; // collections.abc.Sequence
PyObject *abc_set;      // collections.abc.Set
PyObject *tk_tcl_obj;   // _tkinter.Tcl_Obj

const char *const recursion_where = " while converting a value for Tcl";

// ---------------------------------------------------------------------------------------------
// Element quoting.
//
// The quoting follows Tcl's list formatting (Tcl_ScanElement / Tcl_ConvertElement) with flags
// kept as bits here and shown to Python as a set of their names.

enum Flags : unsigned {
    USE_BRACES = 1,
    BRACES_UNMATCHED = 2,
    TCL_DONT_USE_BRACES = 4,
    BACKSLASH_ONLY = BRACES_UNMATCHED | TCL_DONT_USE_BRACES,
};

// Character classes of the ASCII range for the scanner and the converter.
enum CharClass : std::uint8_t {
    PLAIN = 0,
    OPEN_BRACE,
    CLOSE_BRACE,
    BLANK,     // asks for braces when scanning; written as an escape when backslash-quoting
    SPECIAL,   // [ $ ; : asks for braces when scanning; backslashed when backslash-quoting
    BACKSLASH, // asks for braces, or forces backslash-quoting before a newline or at the end
    QUIET,     // ] and " : no braces needed, but backslashed when backslash-quoting
};

struct CharTable {
    CharClass cls[128] = {};
    char escape[128] = {}; // the letter of the backslash escape of a blank
    // The tables below cover all of Latin-1, so that 1-byte text needs no range check.
    signed char level_delta[256] = {};
    bool asks_braces[256] = {};
    // Backslash-quoting, one table per treatment of braces: whether a character gets a
    // backslash before it, and what is written after that backslash (or in its place).
    bool backslashed[2][256] = {};
    unsigned char written[2][256] = {};
    constexpr CharTable() {
        cls[int('{')] = OPEN_BRACE;
        cls[int('}')] = CLOSE_BRACE;
        cls[int('[')] = SPECIAL;
        cls[int('$')] = SPECIAL;
        cls[int(';')] = SPECIAL;
        cls[int(' ')] = SPECIAL; // a space is backslashed, not escaped by a letter
        cls[int('\\')] = BACKSLASH;
        cls[int(']')] = QUIET;
        cls[int('"')] = QUIET;
        const char blanks[] = {'\f', 'f', '\n', 'n', '\r', 'r', '\t', 't', '\v', 'v'};
        for (unsigned i = 0; i < sizeof blanks; i += 2) {
            cls[int(blanks[i])] = BLANK;
            escape[int(blanks[i])] = blanks[i + 1];
        }
        level_delta[int('{')] = 1;
        level_delta[int('}')] = -1;
        for (int c = 0; c < 128; ++c)
            asks_braces[c] = cls[c] == BLANK || cls[c] == SPECIAL || cls[c] == BACKSLASH;
        for (int braces = 0; braces < 2; ++braces) {
            for (int c = 128; c < 256; ++c)
                written[braces][c] = static_cast<unsigned char>(c);
            for (int c = 0; c < 128; ++c) {
                const bool brace = cls[c] == OPEN_BRACE || cls[c] == CLOSE_BRACE;
                backslashed[braces][c] = brace ? braces == 1 : cls[c] != PLAIN;
                written[braces][c] = static_cast<unsigned char>(cls[c] == BLANK ? escape[c] : c);
            }
        }
    }
};
constexpr CharTable table;

template <class C> inline CharClass class_of(C c) { return c < 128 ? table.cls[c] : PLAIN; }

// Braces are counted the way Tcl reads them back: a backslash followed by a brace or another
// backslash is one escape, so the brace does not open or close a level and the second
// backslash escapes nothing (Tcl 8.6's own list formatting counts them so). Text whose braces
// balance that way reads back unchanged from braces, which keeps the quoting of nested lists
// linear in their depth; counting escaped braces instead would backslash-quote every level
// again and double the text each time.
template <class C> unsigned scan_chars(const C *s, Py_ssize_t n) {
    // Branch-light: the nesting level and the wish for braces come from tables; only a
    // backslash needs a look at its neighbour.
    bool asks_braces = n == 0 || s[0] == '{' || s[0] == '"';
    bool forced = false; // a backslash at the end or before a newline
    Py_ssize_t level = 0, lowest = 0;
    for (Py_ssize_t p = 0; p < n; ++p) {
        const C c = s[p];
        if (sizeof(C) > 1 && c >= 256)
            continue;
        level += table.level_delta[c];
        lowest = std::min(lowest, level);
        asks_braces |= table.asks_braces[c];
        if (c == '\\') {
            if (p + 1 == n || s[p + 1] == '\n') {
                forced = true;
                asks_braces = false; // the flags are replaced: what was gathered is dropped
            } else if (s[p + 1] == '{' || s[p + 1] == '}' || s[p + 1] == '\\') {
                ++p; // the escaped character counts for nothing
            }
        }
    }
    if (level != 0)
        return BACKSLASH_ONLY;
    return (asks_braces ? unsigned(USE_BRACES) : 0u) |
           (forced || lowest < 0 ? unsigned(BACKSLASH_ONLY) : 0u);
}

unsigned scan_element(PyObject *text) {
    return visit_text(text, [](auto s, Py_ssize_t n) { return scan_chars(s, n); });
}

// One list element to be written: its text and its scanned flags.
struct Element {
    PyObject *text;
    unsigned flags;
    bool owned; // a strong reference, released by the ElementList
};

// The scanned elements of one list, with the size the rendering needs. Texts taken from an
// exact list or tuple are borrowed as long as no Python code can run (the container keeps
// them alive); before anything that may run Python code (a hook, str(), an iterator), own_all()
// turns every borrowed text into an owned one. This spares a list of plain texts the reference
// traffic on every item, which costs more than quoting it.
class ElementList {
  public:
    ElementList() = default;
    ElementList(const ElementList &) = delete;
    ElementList &operator=(const ElementList &) = delete;
    ~ElementList() {
        for (const Element &e : items_)
            if (e.owned)
                Py_DECREF(e.text);
    }
    // Room for n elements; false with MemoryError set.
    bool reserve(size_t n) { return items_.reserve(n); }
    void own_all() {
        for (; borrowed_from_ < items_.size(); ++borrowed_from_) {
            Element &e = items_[borrowed_from_];
            if (!e.owned) {
                Py_INCREF(e.text);
                e.owned = true;
            }
        }
    }
    // Adds a text; `owned` says whether the caller hands over a strong reference (released
    // here if the add fails). False with MemoryError set.
    bool add(PyObject *text, unsigned flags, bool owned) {
        if (!items_.push_back({text, flags, owned})) {
            if (owned)
                Py_DECREF(text);
            return false;
        }
        // Saturating: a bound past any str's size makes PyUnicode_New raise MemoryError
        // instead of wrapping around to a buffer too small for the text.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        bound_ =
            length < (PY_SSIZE_T_MAX - bound_ - 3) / 2 ? bound_ + 2 * length + 3 : PY_SSIZE_T_MAX;
        maxchar_ = std::max<Py_UCS4>(maxchar_, PyUnicode_MAX_CHAR_VALUE(text));
        return true;
    }
    const Element *data() const { return items_.data(); }
    size_t size() const { return items_.size(); }
    Py_ssize_t bound() const { return bound_; }
    Py_UCS4 maxchar() const { return maxchar_; }

  private:
    // Most lists are short: their elements stay on the C stack, in the frame that converts
    // them.
    SmallArray<Element, 16> items_;
    size_t borrowed_from_ = 0; // items before this index are all owned
    Py_ssize_t bound_ = 0;
    Py_UCS4 maxchar_ = 127;
};

// Writes one quoted element at `out` and returns the end. With `first_of_list`, a leading "#"
// is quoted too, so that the list never reads as a comment when it is evaluated as a command.
// Writes at most 2 * n + 2 characters.
template <class Out, class In>
Out *convert_chars(Out *out, const In *s, Py_ssize_t n, unsigned flags, bool first_of_list) {
    if (n == 0) {
        *out++ = '{';
        *out++ = '}';
        return out;
    }
    const bool hash_first = first_of_list && s[0] == '#';
    if (hash_first)
        flags |= USE_BRACES;
    if ((flags & USE_BRACES) && !(flags & TCL_DONT_USE_BRACES)) {
        *out++ = '{';
        for (Py_ssize_t p = 0; p < n; ++p)
            *out++ = static_cast<Out>(s[p]);
        *out++ = '}';
        return out;
    }
    Py_ssize_t p = 0;
    if (s[0] == '{' || hash_first) {
        *out++ = '\\';
        *out++ = static_cast<Out>(s[0]);
        if (s[0] == '{')
            flags |= BRACES_UNMATCHED; // every later brace must be backslashed too
        p = 1;
    }
    const int braces = (flags & BRACES_UNMATCHED) ? 1 : 0;
    const bool *backslashed = table.backslashed[braces];
    const unsigned char *written = table.written[braces];
    for (; p < n; ++p) {
        const In c = s[p];
        if (sizeof(In) > 1 && c >= 256) {
            *out++ = static_cast<Out>(c);
            continue;
        }
        // Without branches: the backslash is always stored, and kept only when wanted.
        *out = '\\';
        out += backslashed[c];
        *out++ = static_cast<Out>(written[c]);
    }
    return out;
}

template <class Out>
Py_ssize_t write_elements(Out *start, const Element *elements, size_t count, bool is_list) {
    Out *out = start;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            *out++ = ' ';
        out = visit_text(elements[i].text, [&](auto s, Py_ssize_t n) {
            return convert_chars(out, s, n, elements[i].flags, is_list && i == 0);
        });
    }
    return out - start;
}

// The Tcl list text of the elements (`is_list`), or one element's text. The result is written
// straight into a new str of the widest kind among the texts (escapes are ASCII), sized for the
// worst case and then trimmed.
Ref render_elements(const ElementList &list, bool is_list) {
    const Element *elements = list.data();
    const size_t count = list.size();
    Ref text = Ref::steal(PyUnicode_New(list.bound(), list.maxchar()));
    if (!text)
        return text;
    Py_ssize_t length;
    void *data = PyUnicode_DATA(text.get());
    switch (PyUnicode_KIND(text.get())) {
    case PyUnicode_1BYTE_KIND:
        length = write_elements(static_cast<Py_UCS1 *>(data), elements, count, is_list);
        break;
    case PyUnicode_2BYTE_KIND:
        length = write_elements(static_cast<Py_UCS2 *>(data), elements, count, is_list);
        break;
    default:
        length = write_elements(static_cast<Py_UCS4 *>(data), elements, count, is_list);
        break;
    }
    // A failed resize leaves the str as it was, still ours to release.
    PyObject *result = text.release();
    if (PyUnicode_Resize(&result, length) < 0) {
        Py_DECREF(result);
        return Ref();
    }
    return Ref::steal(result);
}

// ---------------------------------------------------------------------------------------------
// Hooks and type tests.

// Looks up a conversion hook: 1 when present and true (the hook is in `hook`), 0 when absent
// or false, -1 with an exception set.
int find_hook(PyObject *obj, PyObject *name, Ref &hook) {
    int found = get_optional_attr(obj, name, hook);
    if (found <= 0)
        return found;
    return PyObject_IsTrue(hook.get());
}

// Built-in types that cannot carry a hook: their exact instances skip the lookups.
inline bool is_hookless_builtin(PyTypeObject *type) {
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyBool_Type || type == &PyList_Type || type == &PyTuple_Type ||
           type == &PyDict_Type || type == &PyBytes_Type || type == Py_TYPE(Py_None);
}

// 1 when obj is a Sequence or a Set, 0 otherwise, -1 on error.
int is_sequence_or_set(PyObject *obj) {
    int r = PyObject_IsInstance(obj, abc_sequence);
    return r != 0 ? r : PyObject_IsInstance(obj, abc_set);
}

// ---------------------------------------------------------------------------------------------
// scribe(): Tcl text.

Ref scribe_value(PyObject *obj);
Ref scribe_sequence(PyObject *seq);

// scribe() of a list item: its text, converted again when a __scribe__ hook gave something
// that is not text (the quoting works on text only).
Ref item_text(PyObject *item) {
    Ref text = scribe_value(item);
    if (text && !PyUnicode_Check(text.get()))
        text = scribe_value(text.get());
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "__scribe__ gave %.200s, not text, for a list item",
                     Py_TYPE(text.get())->tp_name);
        return Ref();
    }
    return text;
}

// Calls f(item) for every item: lists and tuples by index, anything else by its iterator.
template <class F> bool for_each_item(PyObject *seq, F &&f) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const bool is_list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            if (!f(item.get()))
                return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it)
        return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!f(item.get()))
            return false;
    }
    return !PyErr_Occurred();
}

// The Tcl list text of the items of `seq`.
// Scans one item into the list: plain text borrowed where allowed, anything else converted.
bool add_item(ElementList &elements, PyObject *item, bool may_borrow) {
    if (PyUnicode_CheckExact(item)) {
        if (!may_borrow)
            Py_INCREF(item);
        return elements.add(item, scan_element(item), !may_borrow);
    }
    elements.own_all(); // item_text may run Python code
    Ref text = item_text(item);
    if (!text)
        return false;
    const unsigned flags = scan_element(text.get());
    return elements.add(text.release(), flags, true);
}

bool scan_items(ElementList &elements, PyObject *seq) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const bool is_list = PyList_CheckExact(seq);
        if (!elements.reserve(Py_SIZE(seq)))
            return false;
        // The size is read afresh: a hook of an earlier item may have changed the list.
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            PyObject *item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
            Ref keep = PyUnicode_CheckExact(item) ? Ref() : Ref::borrow(item);
            if (!add_item(elements, item, true))
                return false;
        }
        return true;
    }
    return for_each_item(seq, [&](PyObject *item) { return add_item(elements, item, false); });
}

Ref scribe_sequence(PyObject *seq) {
    ElementList elements;
    {
        RecursionGuard guard(recursion_where);
        if (!guard.ok() || !scan_items(elements, seq))
            return Ref();
    }
    if (elements.size() == 0)
        return Ref::borrow(S.empty);
    return render_elements(elements, true);
}

// [key, obj[key], ...] for the keys of a mapping in iteration order.
Ref flatten_mapping(PyObject *obj) {
    Ref flat = Ref::steal(PyList_New(0));
    if (!flat)
        return flat;
    const bool ok = for_each_item(obj, [&](PyObject *key) {
        Ref value = Ref::steal(PyObject_GetItem(obj, key));
        return value && PyList_Append(flat.get(), key) == 0 &&
               PyList_Append(flat.get(), value.get()) == 0;
    });
    return ok ? flat : Ref();
}

// The conversion of a mapping: `convert_sequence` of its flattened items.
template <Ref (*convert_sequence)(PyObject *)> Ref convert_mapping(PyObject *obj) {
    Ref flat;
    {
        RecursionGuard guard(recursion_where);
        if (!guard.ok() || !(flat = flatten_mapping(obj)))
            return Ref();
    }
    return convert_sequence(flat.get());
}

Ref scribe_mapping(PyObject *obj) { return convert_mapping<scribe_sequence>(obj); }

// The rules of scribe() after the hooks.
Ref scribe_plain(PyObject *obj) {
    if (obj == Py_None)
        return Ref::borrow(S.empty);
    if (PyUnicode_Check(obj))
        return PyUnicode_CheckExact(obj) ? Ref::borrow(obj) : Ref::steal(PyObject_Str(obj));
    if (PyBool_Check(obj))
        return text(obj == Py_True ? "true" : "false");
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj))
        return scribe_sequence(obj);
    if (PyDict_CheckExact(obj))
        return scribe_mapping(obj);
    if (PyLong_CheckExact(obj) || PyFloat_CheckExact(obj))
        return Ref::steal(PyObject_Str(obj));
    int r = is_sequence_or_set(obj);
    if (r != 0)
        return r > 0 ? scribe_sequence(obj) : Ref();
    r = PyObject_IsInstance(obj, abc_mapping);
    if (r != 0)
        return r > 0 ? scribe_mapping(obj) : Ref();
    return Ref::steal(PyObject_Str(obj));
}

Ref scribe_value(PyObject *obj) {
    if (is_hookless_builtin(Py_TYPE(obj)))
        return scribe_plain(obj);
    Ref hook;
    int found = find_hook(obj, S.scribe_method, hook);
    if (found != 0)
        return found > 0 ? call(hook.get()) : Ref();
    found = find_hook(obj, S.tclobj_method, hook);
    if (found < 0)
        return Ref();
    if (found > 0) {
        Ref value = call(hook.get());
        if (!value)
            return value;
        RecursionGuard guard(recursion_where);
        return guard.ok() ? scribe_value(value.get()) : Ref();
    }
    return scribe_plain(obj);
}

// ---------------------------------------------------------------------------------------------
// tclobj(): values for the Tcl binding.

Ref tclobj_value(PyObject *obj);

Ref tclobj_sequence(PyObject *seq) {
    Ref items = Ref::steal(PyList_New(0));
    if (!items)
        return items;
    RecursionGuard guard(recursion_where);
    const bool ok = guard.ok() && for_each_item(seq, [&](PyObject *item) {
                        Ref value = tclobj_value(item);
                        return value && PyList_Append(items.get(), value.get()) == 0;
                    });
    return ok ? Ref::steal(PyList_AsTuple(items.get())) : Ref();
}

Ref tclobj_mapping(PyObject *obj) { return convert_mapping<tclobj_sequence>(obj); }

// An exact int the binding passes natively: within [-sys.maxsize - 1, sys.maxsize].
bool is_machine_int(PyObject *obj) {
    static_assert(sizeof(long long) >= sizeof(Py_ssize_t), "sys.maxsize fits a long long");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0 && v >= -PY_SSIZE_T_MAX - 1 && v <= PY_SSIZE_T_MAX;
}

Ref tclobj_value(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        type == &PyBytes_Type)
        return Ref::borrow(obj);
    if (type == &PyLong_Type)
        return is_machine_int(obj) ? Ref::borrow(obj) : Ref::steal(PyObject_Str(obj));
    if (type == &PyList_Type || type == &PyTuple_Type)
        return tclobj_sequence(obj);
    if (type == &PyDict_Type)
        return tclobj_mapping(obj);
    if (obj == Py_None)
        return Ref::borrow(S.empty);

    Ref hook;
    int found = find_hook(obj, S.tclobj_method, hook);
    if (found != 0)
        return found > 0 ? call(hook.get()) : Ref();
    if (PyBytes_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj))
        return Ref::borrow(obj);
    int r = PyObject_IsInstance(obj, tk_tcl_obj);
    if (r != 0)
        return r > 0 ? Ref::borrow(obj) : Ref();
    r = is_sequence_or_set(obj);
    if (r != 0)
        return r > 0 ? tclobj_sequence(obj) : Ref();
    r = PyObject_IsInstance(obj, abc_mapping);
    if (r != 0)
        return r > 0 ? tclobj_mapping(obj) : Ref();
    return scribe_value(obj);
}

// ---------------------------------------------------------------------------------------------
// Module functions.

// The text form of a flags bit set: a new Python set of the flag names.
Ref flags_to_set(unsigned flags) {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set)
        return set;
    for (unsigned bit = 0; bit < 3; ++bit) {
        if ((flags & (1u << bit)) && PySet_Add(set.get(), flag_names[bit]) < 0)
            return Ref();
    }
    return set;
}

// Reads a caller's flags collection by membership of the three names.
bool flags_from_collection(PyObject *collection, unsigned &flags) {
    flags = 0;
    for (unsigned bit = 0; bit < 3; ++bit) {
        const int r = PySequence_Contains(collection, flag_names[bit]);
        if (r < 0)
            return false;
        if (r)
            flags |= 1u << bit;
    }
    return true;
}

PyObject *Tcl_ScanElement(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *string;
    if (!parse_args("_Tcl_ScanElement", args, nargs, kwnames, {"string"}, 1, &string))
        return nullptr;
    Ref text = item_text(string);
    if (!text)
        return nullptr;
    Ref flags = flags_to_set(scan_element(text.get()));
    if (!flags)
        return nullptr;
    return Py_BuildValue("(nO)", 2 * PyUnicode_GET_LENGTH(text.get()) + 2, flags.get());
}

PyObject *Tcl_ConvertElement(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_args("_Tcl_ConvertElement", args, nargs, kwnames, {"src", "flags"}, 2, params))
        return nullptr;
    PyObject *src = params[0];
    PyObject *collection = params[1]; // the caller's flags, as a collection of names
    Ref text = item_text(src);
    unsigned flags;
    if (!text || !flags_from_collection(collection, flags))
        return nullptr;
    if (PyUnicode_GET_LENGTH(text.get()) == 0)
        return Py_NewRef(S.braces);
    if (!(flags & USE_BRACES) || (flags & TCL_DONT_USE_BRACES)) {
        // A leading "{" marks the caller's collection: later braces must all be backslashed.
        if (PyUnicode_READ_CHAR(text.get(), 0) == '{') {
            if (!call_method(collection, S.add, {S.braces_unmatched}) ||
                !flags_from_collection(collection, flags))
                return nullptr;
        }
    }
    ElementList element;
    if (!element.add(text.release(), flags, true))
        return nullptr;
    return render_elements(element, false).release();
}

// A module function over one container: its name and parameter, what the argument must be
// (for argument errors), and the conversion.
struct ContainerFunction {
    const char *name;
    const char *param;
    const char *expected;
    Ref (*convert)(PyObject *);
};

// A value that cannot be iterated at all is refused before the conversion starts, in CPython's
// wording for a bad argument, so that the error names the function and its parameter (the
// iteration alone would say "'int' object is not iterable"). Anything iterable goes on, and the
// errors of its own iteration or item access propagate unchanged.
template <const ContainerFunction &f>
PyObject *container_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    PyObject *obj;
    if (!parse_args(f.name, args, nargs, kwnames, {f.param}, 1, &obj))
        return nullptr;
    if (!Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", f.name, f.param,
                     f.expected, obj == Py_None ? "None" : Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return f.convert(obj).release();
}

constexpr ContainerFunction update_function = {"_tcl_UpdateStringOfList", "listObj", "iterable",
                                               scribe_sequence};
constexpr ContainerFunction scribe_from_sequence_function = {"_scribe_from_sequence", "listObj",
                                                             "iterable", scribe_sequence};
constexpr ContainerFunction scribe_from_mapping_function = {"_scribe_from_mapping", "obj",
                                                            "a mapping", scribe_mapping};
constexpr ContainerFunction tclobj_from_sequence_function = {"_tclobj_from_sequence", "obj",
                                                             "iterable", tclobj_sequence};
constexpr ContainerFunction tclobj_from_mapping_function = {"_tclobj_from_mapping", "obj",
                                                            "a mapping", tclobj_mapping};

const char scan_doc[] =
    "_Tcl_ScanElement($module, /, string)\n--\n\n"
    "Scan a string to see what needs to be done to it when it is converted to a Tcl list\n"
    "element.\n\n"
    "Returns a 2-tuple: an overestimate of the number of characters that will be needed by\n"
    "_Tcl_ConvertElement to produce a valid list element from the string, and the flag value\n"
    "(a set of flag names) that _Tcl_ConvertElement needs to do the conversion.\n\n"
    "Braces are counted the way Tcl reads them back, as Tcl 8.6 does: a backslash before '{',\n"
    "'}' or another backslash escapes that character, which then counts for nothing, so an\n"
    "element whose braces balance that way may be braced.\n\n"
    "From:\n    Tcl_ScanElement / Tcl_ScanCountedElement, generic/tclUtil.c, Tcl 8.4.19";

const char convert_doc[] =
    "_Tcl_ConvertElement($module, /, src, flags)\n--\n\n"
    "Convert a string into a list element, using the flags from _Tcl_ScanElement.\n\n"
    "Returns the element text: splitting it as a Tcl list yields a string identical to the\n"
    "source. A source beginning with '{' adds \"BRACES_UNMATCHED\" to `flags` (through its\n"
    "add method) when the element is backslash-quoted.\n\n"
    "From:\n    Tcl_ConvertElement / Tcl_ConvertCountedElement, generic/tclUtil.c, Tcl 8.4.19";

const char update_doc[] =
    "_tcl_UpdateStringOfList($module, /, listObj)\n--\n\n"
    "Generate the string representation of a list: every item through scribe(), each quoted\n"
    "as one list element, joined by single spaces.\n\n"
    "A first element that begins with '#' is quoted too, so that the list never reads as a\n"
    "comment when it is evaluated as a command.\n\n"
    "From:\n    UpdateStringOfList, generic/tclListObj.c, Tcl 8.4.19";

const char scribe_from_sequence_doc[] =
    "_scribe_from_sequence($module, /, listObj)\n--\n\n"
    "The Tcl list text of the items of a sequence or set, in iteration order: the same as\n"
    "_tcl_UpdateStringOfList.";

const char scribe_from_mapping_doc[] =
    "_scribe_from_mapping($module, /, obj)\n--\n\n"
    "The Tcl list text of a mapping: key, value, key, value, ... in iteration order.";

const char tclobj_from_sequence_doc[] = "_tclobj_from_sequence($module, /, obj)\n--\n\n"
                                        "A tuple of tclobj() of every item, in iteration order.";

const char tclobj_from_mapping_doc[] =
    "_tclobj_from_mapping($module, /, obj)\n--\n\n"
    "A flat tuple key, value, key, value, ... of a mapping, each converted by tclobj().";

// _scribe_from_sequence does what _tcl_UpdateStringOfList does, as a function of its own, so
// that its argument errors carry the name it was called by.
template <const ContainerFunction &f> PyMethodDef container_def(const char *doc) {
    return {f.name, as_cfunction(container_function<f>), METH_FASTCALL | METH_KEYWORDS, doc};
}

// The module functions of Tcl text, in the order the module binds them; the last two are also
// scribe.from_sequence and scribe.from_mapping.
PyMethodDef scribe_functions[] = {
    {"_Tcl_ScanElement", as_cfunction(Tcl_ScanElement), METH_FASTCALL | METH_KEYWORDS, scan_doc},
    {"_Tcl_ConvertElement", as_cfunction(Tcl_ConvertElement), METH_FASTCALL | METH_KEYWORDS,
     convert_doc},
    container_def<update_function>(update_doc),
    container_def<scribe_from_sequence_function>(scribe_from_sequence_doc),
    container_def<scribe_from_mapping_function>(scribe_from_mapping_doc),
};

// The module functions of binding values: tclobj.from_sequence and tclobj.from_mapping.
PyMethodDef tclobj_functions[] = {
    container_def<tclobj_from_sequence_function>(tclobj_from_sequence_doc),
    container_def<tclobj_from_mapping_function>(tclobj_from_mapping_doc),
};

// ---------------------------------------------------------------------------------------------
// The scribe and tclobj callables: vectorcall objects with a __dict__, so that they carry
// from_sequence and from_mapping, and that bind like Python functions.

struct Converter {
    PyObject_HEAD vectorcallfunc vectorcall;
    Ref (*convert)(PyObject *);
    PyObject *dict;
    PyObject *name;
    const char *cname; // the same name for error messages (a string literal)
    PyObject *doc;
};

PyObject *converter_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *c = reinterpret_cast<Converter *>(self);
    // The hot path: exactly one positional argument.
    if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames)
        return c->convert(args[0]).release();
    PyObject *obj;
    if (!parse_args(c->cname, args, nargsf, kwnames, {"obj"}, 1, &obj))
        return nullptr;
    return c->convert(obj).release();
}

int converter_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<Converter *>(self)->dict);
    return 0;
}

int converter_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<Converter *>(self)->dict);
    return 0;
}

void converter_dealloc(PyObject *self) {
    auto *c = reinterpret_cast<Converter *>(self);
    PyObject_GC_UnTrack(self);
    converter_clear(self);
    Py_XDECREF(c->name);
    Py_XDECREF(c->doc);
    PyObject_GC_Del(self);
}

PyObject *converter_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U>", reinterpret_cast<Converter *>(self)->name);
}

PyObject *converter_signature(PyObject *, void *) { return PyUnicode_FromString("(obj)"); }

PyMemberDef converter_members[] = {
    {"__name__", T_OBJECT, offsetof(Converter, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Converter, name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Converter, doc), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef converter_getset[] = {
    {"__text_signature__", converter_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject converter_type = [] {
    PyTypeObject t = static_type("ortan.tcl.scribe.converter", sizeof(Converter));
    t.tp_dealloc = converter_dealloc;
    t.tp_vectorcall_offset = offsetof(Converter, vectorcall);
    t.tp_repr = converter_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = converter_traverse;
    t.tp_clear = converter_clear;
    t.tp_members = converter_members;
    t.tp_getset = converter_getset;
    t.tp_descr_get = ortan::bind_like_function; // binds like a Python function
    t.tp_dictoffset = offsetof(Converter, dict);
    return t;
}();

Ref new_converter(const char *name, const char *doc, Ref (*convert)(PyObject *)) {
    Ref pyname = text(name);
    Ref pydoc = doc ? text(doc) : Ref::borrow(Py_None);
    if (!pyname || !pydoc)
        return Ref();
    auto *c = PyObject_GC_New(Converter, &converter_type);
    if (!c)
        return Ref();
    c->vectorcall = converter_call;
    c->convert = convert;
    c->dict = nullptr;
    c->name = pyname.release();
    c->cname = name;
    c->doc = pydoc.release();
    PyObject_GC_Track(c);
    return Ref::steal(reinterpret_cast<PyObject *>(c));
}

// ---------------------------------------------------------------------------------------------
// Module init: binds the globals in their documented order.

const char module_doc[] =
    "Implements ortan.tcl.scribe and ortan.tcl.tclobj.\n\n"
    "This file implements the scribe() and tclobj() functions: scribe() turns any Python value\n"
    "into Tcl text, with sequences, sets and mappings as properly quoted Tcl lists; tclobj()\n"
    "turns it into a value that the Tcl binding (_tkinter) hands to Tcl natively. An object\n"
    "takes control of its own conversion by defining __scribe__() and/or __tclobj__().";

const char scribe_doc[] =
    "scribe() Function/Class\n\n"
    "Converts any object into a string appropriate for use in Tcl. The result is a string.\n"
    "If the object defines the __scribe__() method, it is invoked to perform the conversion.\n\n"
    "Examples:\n\n"
    "    >>> scribe([1, 2, [3, 4]])\n"
    "    '1 2 {3 4}'\n"
    "    >>> scribe({'my key': 'my value', 'a': 'b'})\n"
    "    '{my key} {my value} a b'\n";

// Binds every function of `defs` in the module under its own name, in order; the last two (a
// converter's from_sequence and from_mapping) are kept in `from_sequence` and `from_mapping`.
template <size_t N>
bool bind_functions(PyObject *m, PyMethodDef (&defs)[N], Ref &from_sequence, Ref &from_mapping) {
    static_assert(N >= 2, "a converter's table ends with from_sequence and from_mapping");
    for (PyMethodDef &def : defs) {
        Ref function = module_function(&def, m);
        if (!bind(m, def.ml_name, function))
            return false;
        from_sequence = std::move(from_mapping);
        from_mapping = std::move(function);
    }
    return true;
}

bool init_module(PyObject *m) {
    if (!S.intern() || PyType_Ready(&converter_type) < 0)
        return false;
    if (!bind_public_names(m, {"scribe", "tclobj"}))
        return false;
    flag_names[0] = S.use_braces;
    flag_names[1] = S.braces_unmatched;
    flag_names[2] = S.dont_use_braces;
    if (!bind(m, "Mapping", import_attr("collections.abc", "Mapping"), &abc_mapping) ||
        !bind(m, "Sequence", import_attr("collections.abc", "Sequence"), &abc_sequence) ||
        !bind(m, "Set", import_attr("collections.abc", "Set"), &abc_set))
        return false;
    Ref sys = import_module("sys");
    if (!bind(m, "_tkTcl_Obj", import_attr("_tkinter", "Tcl_Obj"), &tk_tcl_obj) ||
        !bind(m, "sys", sys) ||
        !bind(m, "unicode", Ref::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type))))
        return false;

    Ref scribe_from_sequence, scribe_from_mapping;
    if (!bind_functions(m, scribe_functions, scribe_from_sequence, scribe_from_mapping))
        return false;
    Ref scribe = new_converter("scribe", scribe_doc, scribe_value);
    if (!bind(m, "scribe", scribe))
        return false;

    Ref maxsize = get_attr(sys.get(), "maxsize");
    if (!maxsize && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        maxsize = get_attr(sys.get(), "maxint");
    }
    if (!bind(m, "_sysmaxsize", maxsize))
        return false;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref next = one ? Ref::steal(PyNumber_Add(maxsize.get(), one.get())) : Ref();
    if (!bind(m, "_long_type",
              next ? Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(next.get()))) : Ref()))
        return false;

    Ref tclobj_from_sequence, tclobj_from_mapping;
    if (!bind_functions(m, tclobj_functions, tclobj_from_sequence, tclobj_from_mapping))
        return false;
    Ref tclobj = new_converter("tclobj", nullptr, tclobj_value);
    if (!bind(m, "tclobj", tclobj))
        return false;

    return PyObject_SetAttrString(scribe.get(), "from_sequence", scribe_from_sequence.get()) == 0 &&
           PyObject_SetAttrString(scribe.get(), "from_mapping", scribe_from_mapping.get()) == 0 &&
           PyObject_SetAttrString(tclobj.get(), "from_sequence", tclobj_from_sequence.get()) == 0 &&
           PyObject_SetAttrString(tclobj.get(), "from_mapping", tclobj_from_mapping.get()) == 0;
}

PyModuleDef module_def = define_module("ortan.tcl.scribe", module_doc);

} // namespace

PyMODINIT_FUNC PyInit_scribe() { return create_module(module_def, init_module); }

// ortan.tcl.nestmap: Nestmap, a mapping that holds a TclX keyed list under dotted keys.
#include "support.h"

using ortan::add_method;
using ortan::add_staticmethod;
using ortan::bind;
using ortan::bind_public_names;
using ortan::call;
using ortan::call_method;
using ortan::class_def;
using ortan::create_module;
using ortan::define_module;
using ortan::get_attr;
using ortan::import_attr;
using ortan::import_family_attr;
using ortan::import_module;
using ortan::MethodDef;
using ortan::new_class;
using ortan::parse_args;
using ortan::parse_method_args;
using ortan::raise;
using ortan::RecursionGuard;
using ortan::Ref;
using ortan::set_item;
using ortan::SmallArray;
using ortan::super_attr;
using ortan::text_ready;

namespace {

// ---------------------------------------------------------------------------------------------
// Module constants, set once by the module init and never changed afterwards.

#define NESTMAP_NAMES(X)                                                                           \
    X(dot, ".")                                                                                    \
    X(split, "split")                                                                              \
    X(type_name, "typename")                                                                       \
    X(keyed_list, "keyedList")                                                                     \
    X(update, "update")                                                                            \
    X(all_keys, "all_keys")                                                                        \
    X(all_items, "all_items")                                                                      \
    X(init, "__init__")                                                                            \
    X(cast_list, "cast_list")                                                                      \
    X(keys, "keys")                                                                                \
    X(empty, "")                                                                                   \
    X(is_a_value, "target key \"%s\" is a value, cannot update value against another keyed list")
ORTAN_NAME_TABLE(Names, NESTMAP_NAMES)
Names S; // attribute names and texts: S.dot, S.update, ...

constexpr const char *module_name = "ortan.tcl.nestmap";

// Imported objects, bound at import: strong references the process keeps. A second import of
// the module reuses the first one's names (module.cpp), so there is one Nestmap class per
// process and these pointers always name it and its helpers.
PyTypeObject *nestmap_type;       // the Nestmap class built below
PyTypeObject *tcl_obj_type;       // _tkinter.Tcl_Obj
PyObject *tclobj;                 // ortan.tcl.scribe.tclobj
PyObject *mutable_mapping_update; // MutableMapping.update
PyObject *tcl_error;              // _tkinter.TclError
PyObject *abc_mapping;            // collections.abc.Mapping
PyObject *abc_sequence;           // collections.abc.Sequence
PyObject *one;                    // the int 1: the maxsplit of key.split(".", 1)

// How many keyed-list conversions (__tclobj__) are running on this thread: the levels that
// tclobj() converts inside another one's are nested. Counts up and back down around every
// conversion, so it never outlives one.
thread_local int converting = 0;

// ---------------------------------------------------------------------------------------------
// Conversions and helpers.

PyObject *nestmap_class() { return reinterpret_cast<PyObject *>(nestmap_type); }

// Levels of exactly this class are walked here in C++, without going back through Python's
// item protocol; instances of subclasses (which may override the item methods) are not.
bool is_exact(PyObject *obj) { return Py_IS_TYPE(obj, nestmap_type); }

// isinstance(obj, Nestmap): the subclass test first, then the ABC's own test, which also
// honours classes registered as virtual subclasses. Text is never a level: skipping the ABC's
// Python-level hook for it halves the cost of walking the leaves, which are mostly text.
int is_nestmap(PyObject *obj) {
    if (PyObject_TypeCheck(obj, nestmap_type))
        return 1;
    if (PyUnicode_CheckExact(obj))
        return 0;
    return PyObject_IsInstance(obj, nestmap_class());
}

// The methods touch the dictionary storage directly, so self must really be a Nestmap.
bool check_self(PyObject *self, const char *method) {
    if (PyObject_TypeCheck(self, nestmap_type))
        return true;
    PyErr_Format(PyExc_TypeError, "Nestmap.%s() needs a 'Nestmap' object, not '%.200s'", method,
                 Py_TYPE(self)->tp_name);
    return false;
}

// A new, empty Nestmap: Nestmap().
Ref new_nestmap() { return call(nestmap_class()); }

// Whether `existing`, the value under `key`, is a level (which may be written below, or be
// replaced by a Nestmap). A plain value may not: false with KeyError('target key "<key>" is a
// value, cannot update value against another keyed list'), formatted with Python's `%`, which
// takes a tuple key as its argument tuple.
bool check_level(PyObject *existing, PyObject *key) {
    const int nested = is_nestmap(existing);
    if (nested == 0) {
        Ref message = Ref::steal(PyUnicode_Format(S.is_a_value, key));
        if (message)
            PyErr_SetObject(PyExc_KeyError, message.get());
    }
    return nested > 0;
}

// `head, rest = parts`, with the messages of Python's unpacking.
int unpack_pair(PyObject *parts, Ref &first, Ref &second) {
    Ref iter = Ref::steal(PyObject_GetIter(parts));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(parts)->tp_name);
        }
        return -1;
    }
    Ref *slots[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// One step of a key that is not exact str, with Python's own semantics: `"." in key`, then
// `key.split(".", 1)`; 1 with `head` and `rest` set, 0 when the key has no ".", -1 with an
// exception set. A key without a "." test (an int, bytes) fails with a TypeError that says keys
// are text.
int split_key_generic(PyObject *key, Ref &head, Ref &rest) {
    const int dotted = PySequence_Contains(key, S.dot);
    if (dotted < 0 && !PyUnicode_Check(key) && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Format(PyExc_TypeError, "Nestmap keys must be text (str), not '%.200s'",
                     Py_TYPE(key)->tp_name);
        return -1;
    }
    if (dotted <= 0)
        return dotted;
    Ref parts = call_method(key, S.split, {S.dot, one});
    if (!parts || unpack_pair(parts.get(), head, rest) < 0)
        return -1;
    return 1;
}

// A key path, walked one component at a time. An exact str is walked by an offset into the key
// itself: each step copies only its own component, never the rest, so a path costs time in
// proportion to its length, whatever the number of levels. A key that is not exact str (a
// subclass, whose split() may be its own) takes Python's `"." in key` and `key.split(".", 1)`
// for a step, and what they leave is walked the same way.
class KeyPath {
  public:
    explicit KeyPath(PyObject *key) : key_(Ref::borrow(key)) {}

    // The next component: 1 with `head` set and more of the path left, 0 when what is left
    // has no "." (it is the last component, rest()), -1 with an exception set (an integer
    // key, for one, has no "." test: TypeError).
    int next(Ref &head) {
        PyObject *key = key_.get();
        if (!PyUnicode_CheckExact(key)) {
            Ref rest;
            const int dotted = split_key_generic(key, head, rest);
            if (dotted > 0)
                key_ = std::move(rest);
            return dotted;
        }
        if (!text_ready(key))
            return -1;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        const Py_ssize_t dot = PyUnicode_FindChar(key, '.', start_, length, 1);
        if (dot < 0)
            return dot == -1 ? 0 : -1;
        head = Ref::steal(PyUnicode_Substring(key, start_, dot));
        if (!head)
            return -1;
        start_ = dot + 1;
        return 1;
    }

    // What is left of the path: the key itself before the first step.
    Ref rest() const {
        if (start_ == 0)
            return key_;
        return Ref::steal(
            PyUnicode_Substring(key_.get(), start_, PyUnicode_GET_LENGTH(key_.get())));
    }

  private:
    Ref key_;              // the key, or what a step of a key that is not exact str left
    Py_ssize_t start_ = 0; // where the rest of an exact str begins
};

// dict.__getitem__(level, key): the value stored at this level, KeyError when missing.
Ref base_getitem(PyObject *level, PyObject *key) {
    return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(level, key));
}

// a + b, as str concatenation when both are exact str.
Ref concat(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b))
        return Ref::steal(PyUnicode_Concat(a, b));
    return Ref::steal(PyNumber_Add(a, b));
}

// Is `value` a Tcl object of TclX's keyed-list type?
int is_keyed_list_obj(PyObject *value) {
    if (!PyObject_TypeCheck(value, tcl_obj_type))
        return 0;
    Ref type_name = get_attr(value, S.type_name);
    if (!type_name)
        return -1;
    return PyObject_RichCompareBool(type_name.get(), S.keyed_list, Py_EQ);
}

// Turns, in place, every value of the dict `values` that is not a level yet into the level
// `make(value)` gives. A null from `make` keeps the value as it is when no exception is set,
// and ends the walk when one is.
template <class Make> bool nest_values(PyObject *values, Make &&make) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(values, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        const int is_level = is_nestmap(value.get());
        if (is_level < 0)
            return false;
        if (is_level)
            continue;
        Ref level = make(value.get());
        // Replacing the value of a present key keeps the iteration valid.
        if (level ? PyDict_SetItem(values, key.get(), level.get()) < 0 : bool(PyErr_Occurred()))
            return false;
    }
    return true;
}

// Text and bytes of every kind: never a level, nor a {key value} pair, whatever their length.
bool is_text_or_bytes(PyObject *obj) {
    return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
           PyMemoryView_Check(obj);
}

// isinstance(obj, cls) for the ABCs Mapping and Sequence, after the checks that need no call.
int is_mapping(PyObject *obj) { return PyDict_Check(obj) || PyObject_IsInstance(obj, abc_mapping); }
int is_sequence(PyObject *obj) {
    return PyList_Check(obj) || PyTuple_Check(obj) || PyObject_IsInstance(obj, abc_sequence);
}

// 1 when every key of the mapping `value` is text, 0 when one is not, -1 with an exception set.
int has_text_keys(PyObject *value) {
    if (PyDict_CheckExact(value)) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item)) {
            if (!PyUnicode_Check(key))
                return 0;
        }
        return 1;
    }
    Ref keys = call_method(value, S.keys);
    Ref iter = keys ? Ref::steal(PyObject_GetIter(keys.get())) : Ref();
    if (!iter)
        return -1;
    while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(key.get()))
            return 0;
    }
    return PyErr_Occurred() ? -1 : 1;
}

// The key of `item` when it is a {key value} pair: a two-element sequence that is neither text,
// bytes nor a mapping. 1 with `key` set, 0 when it is no pair, -1 with an exception set.
int pair_key(PyObject *item, Ref &key) {
    if (PyTuple_Check(item) || PyList_Check(item)) {
        if (PySequence_Fast_GET_SIZE(item) != 2)
            return 0;
        key = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        return 1;
    }
    if (is_text_or_bytes(item) || PyDict_Check(item) || PyLong_Check(item) || PyFloat_Check(item) ||
        item == Py_None)
        return 0;
    const int mapping = PyObject_IsInstance(item, abc_mapping);
    if (mapping != 0)
        return mapping < 0 ? -1 : 0;
    const int sequence = PyObject_IsInstance(item, abc_sequence);
    if (sequence <= 0)
        return sequence;
    const Py_ssize_t size = PyObject_Size(item);
    if (size != 2)
        return size < 0 ? -1 : 0;
    key = Ref::steal(PySequence_GetItem(item, 0));
    return key ? 1 : -1;
}

// 1 when every element of the sequence `value` is a {key value} pair and the keys are distinct
// texts (the shape of a keyed list, and what dict() reads without losing an element), 0 when
// not, -1 with an exception set.
int has_distinct_pairs(PyObject *value) {
    Ref items = Ref::steal(PySequence_Fast(value, "a keyed-list level must be iterable"));
    if (!items)
        return -1;
    Ref first_key, seen;
    // The size is read again at every step: the checks may run Python code that changes a list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        Ref key;
        const int pair = pair_key(item.get(), key);
        if (pair <= 0)
            return pair;
        if (!PyUnicode_Check(key.get()))
            return 0;
        if (i == 0) {
            first_key = std::move(key); // one pair needs no set of the keys seen
            continue;
        }
        if (!seen) {
            seen = Ref::steal(PySet_New(nullptr));
            if (!seen || PySet_Add(seen.get(), first_key.get()) < 0)
                return -1;
        }
        const int repeated = PySet_Contains(seen.get(), key.get());
        if (repeated != 0)
            return repeated < 0 ? -1 : 0;
        if (PySet_Add(seen.get(), key.get()) < 0)
            return -1;
    }
    return 1;
}

// Whether a value given to the constructor becomes a nested level: a mapping with text keys, or
// a sequence of {key value} pairs with distinct text keys, the shape that from_tcl reads as a
// level. The empty text is an empty level too: in keyed-list text an empty value and an empty
// level are the same. Anything else stays the value it is (other text, bytes, numbers, None, a
// list of records or of words): read as pairs, it would lose its elements. 1, 0, or -1 with an
// exception set.
int makes_level(PyObject *value) {
    if (PyUnicode_Check(value)) {
        const Py_ssize_t length = PyUnicode_GetLength(value);
        return length < 0 ? -1 : length == 0;
    }
    if (is_text_or_bytes(value) || PyLong_Check(value) || PyFloat_Check(value) || value == Py_None)
        return 0;
    const int mapping = is_mapping(value);
    if (mapping != 0)
        return mapping < 0 ? -1 : has_text_keys(value);
    const int sequence = is_sequence(value);
    if (sequence <= 0)
        return sequence;
    return has_distinct_pairs(value);
}

// ---------------------------------------------------------------------------------------------
// Key paths.
//
// Each level resolves the first component of a path and hands the rest to the child. While
// the child is a Nestmap of exactly this class the walk stays in a loop here (deep paths cost
// no C stack); any other mapping (a subclass, a plain dict stored as a value) gets the rest of
// the path through its own item protocol. A value that is not a mapping (text, a number, a
// list, a Tcl object) holds no entries: a path that runs past it names nothing, so lookup and
// deletion raise KeyError and `in` is false, as for any other missing key. (Handed the rest,
// text would answer `in` with its substring test, and a number with a TypeError.)

// KeyError(rest) for a path that runs past a value that is not a mapping: `rest` is what is
// left of the path below it, the key that value would have needed.
template <class Result> Result past_a_value(const KeyPath &path, Result failed) {
    Ref rest = path.rest();
    if (rest)
        PyErr_SetObject(PyExc_KeyError, rest.get());
    return failed;
}

Ref get_path(PyObject *level, PyObject *key) {
    KeyPath path(key);
    Ref here = Ref::borrow(level);
    for (;;) {
        Ref head;
        const int dotted = path.next(head);
        if (dotted <= 0) {
            Ref last = dotted < 0 ? Ref() : path.rest();
            return last ? base_getitem(here.get(), last.get()) : last;
        }
        Ref child = base_getitem(here.get(), head.get());
        if (!child)
            return child;
        if (!is_exact(child.get())) {
            const int mapping = is_mapping(child.get());
            if (mapping <= 0)
                return mapping < 0 ? Ref() : past_a_value(path, Ref());
            RecursionGuard guard(" while looking up a keyed-list path");
            Ref rest = guard.ok() ? path.rest() : Ref();
            return rest ? Ref::steal(PyObject_GetItem(child.get(), rest.get())) : rest;
        }
        here = std::move(child);
    }
}

// The result of a lookup with KeyError counted as absence: 1 found (`out` set), 0 missing,
// -1 with another exception set.
int found_or_missing(const Ref &out) {
    if (out)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        return -1;
    PyErr_Clear();
    return 0;
}

// self[key] for a key of one level (no "."), as found_or_missing() reports it. A level of a
// subclass goes through its own item lookup.
int find_item(PyObject *level, PyObject *key, Ref &out) {
    if (is_exact(level)) {
        PyObject *found = PyDict_GetItemWithError(level, key);
        out = Ref::borrow(found);
        return found ? 1 : PyErr_Occurred() ? -1 : 0;
    }
    out = Ref::steal(PyObject_GetItem(level, key));
    return found_or_missing(out);
}

// self[key] for a whole key path, as found_or_missing() reports it.
int find_path(PyObject *level, PyObject *key, Ref &out) {
    out = is_exact(level) ? get_path(level, key) : Ref::steal(PyObject_GetItem(level, key));
    return found_or_missing(out);
}

// The last step of an assignment: a Nestmap may not replace a plain value.
int store_leaf(PyObject *level, PyObject *key, PyObject *value) {
    const int nested = is_nestmap(value);
    if (nested < 0)
        return -1;
    if (nested) {
        Ref existing;
        const int found = find_item(level, key, existing);
        if (found < 0 || (found && !check_level(existing.get(), key)))
            return -1;
    }
    return PyDict_SetItem(level, key, value);
}

Ref from_tcl(PyObject *string);

int set_path(PyObject *level, PyObject *key, PyObject *value) {
    Ref stored = Ref::borrow(value);
    const int keyed_list = is_keyed_list_obj(value);
    if (keyed_list < 0)
        return -1;
    if (keyed_list && !(stored = from_tcl(value)))
        return -1;
    KeyPath path(key);
    Ref here = Ref::borrow(level);
    for (;;) {
        Ref head;
        const int dotted = path.next(head);
        if (dotted <= 0) {
            Ref last = dotted < 0 ? Ref() : path.rest();
            return last ? store_leaf(here.get(), last.get(), stored.get()) : -1;
        }
        Ref sublevel;
        const int found = find_item(here.get(), head.get(), sublevel);
        if (found < 0)
            return -1;
        if (!found) {
            sublevel = new_nestmap();
            if (!sublevel || PyDict_SetItem(here.get(), head.get(), sublevel.get()) < 0)
                return -1;
        } else if (!check_level(sublevel.get(), head.get())) {
            return -1;
        }
        if (!is_exact(sublevel.get())) {
            RecursionGuard guard(" while assigning a keyed-list path");
            Ref rest = guard.ok() ? path.rest() : Ref();
            return rest ? PyObject_SetItem(sublevel.get(), rest.get(), stored.get()) : -1;
        }
        here = std::move(sublevel);
    }
}

int contains_path(PyObject *level, PyObject *key) {
    KeyPath path(key);
    Ref here = Ref::borrow(level);
    for (;;) {
        Ref head;
        const int dotted = path.next(head);
        if (dotted <= 0) {
            Ref last = dotted < 0 ? Ref() : path.rest();
            return last ? PyDict_Contains(here.get(), last.get()) : -1;
        }
        PyObject *found = PyDict_GetItemWithError(here.get(), head.get());
        if (!found)
            return PyErr_Occurred() ? -1 : 0;
        Ref child = Ref::borrow(found);
        if (!is_exact(child.get())) {
            const int mapping = is_mapping(child.get());
            if (mapping <= 0)
                return mapping; // past a value: nothing there
            RecursionGuard guard(" while testing a keyed-list path");
            Ref rest = guard.ok() ? path.rest() : Ref();
            return rest ? PySequence_Contains(child.get(), rest.get()) : -1;
        }
        here = std::move(child);
    }
}

// The levels that a deletion went through, innermost last, to prune those it leaves empty:
// each the component that names it and the level itself (its parent is the step before, or
// the level the deletion started at). The buffer owns a reference to every object it holds,
// as pruning may run Python code (the length of a level that is not exactly a Nestmap).
class DeletedPath {
  public:
    explicit DeletedPath(PyObject *top) : top_(top) {}
    DeletedPath(const DeletedPath &) = delete;
    DeletedPath &operator=(const DeletedPath &) = delete;
    ~DeletedPath() {
        for (Step &step : steps_) {
            Py_DECREF(step.head);
            Py_DECREF(step.child);
        }
    }

    // False with MemoryError set; the references are dropped then.
    bool push(Ref head, Ref child) {
        if (!steps_.push_back({head.get(), child.get()}))
            return false;
        head.release();
        child.release();
        return true;
    }

    // Removes every level left empty, innermost first, each level testing its own child as
    // a recursive deletion would.
    int prune() {
        for (size_t i = steps_.size(); i-- > 0;) {
            const int empty = PyObject_Not(steps_[i].child);
            PyObject *parent = i ? steps_[i - 1].child : top_;
            if (empty < 0 || (empty && PyDict_DelItem(parent, steps_[i].head) < 0))
                return -1;
        }
        return 0;
    }

  private:
    struct Step {
        PyObject *head, *child;
    };
    PyObject *top_; // borrowed: the caller's level
    SmallArray<Step, 16> steps_;
};

int delete_path(PyObject *level, PyObject *key) {
    KeyPath path(key);
    DeletedPath steps(level);
    Ref here = Ref::borrow(level);
    for (;;) {
        Ref head;
        const int dotted = path.next(head);
        if (dotted < 0)
            return -1;
        if (!dotted) {
            Ref last = path.rest();
            if (!last || PyDict_DelItem(here.get(), last.get()) < 0)
                return -1;
            break;
        }
        Ref child = base_getitem(here.get(), head.get());
        if (!child)
            return -1;
        if (!is_exact(child.get())) {
            const int mapping = is_mapping(child.get());
            if (mapping <= 0)
                return mapping < 0 ? -1 : past_a_value(path, -1);
        }
        if (!steps.push(std::move(head), child))
            return -1;
        if (!is_exact(child.get())) {
            RecursionGuard guard(" while deleting a keyed-list path");
            Ref rest = guard.ok() ? path.rest() : Ref();
            if (!rest || PyObject_DelItem(child.get(), rest.get()) < 0)
                return -1;
            break;
        }
        here = std::move(child);
    }
    return steps.prune();
}

// self[key] = value, through the subclass's own assignment when self is not exactly a Nestmap.
int assign(PyObject *self, PyObject *key, PyObject *value) {
    if (is_exact(self))
        return set_path(self, key, value);
    return PyObject_SetItem(self, key, value);
}

// ---------------------------------------------------------------------------------------------
// Flattening: all_keys, all_items.

// Appends the fully qualified keys (or (key, value) pairs) of `level` to `out`. `prefix` is
// null at the top, else the qualified key of the level followed by ".": each key is built
// once, whatever the depth.
bool collect_leaves(PyObject *level, PyObject *prefix, bool items, PyObject *out);

// The leaves of a child that is not exactly a Nestmap come from its own all_keys/all_items.
bool collect_foreign(PyObject *child, PyObject *prefix, bool items, PyObject *out) {
    Ref listed = call_method(child, items ? S.all_items : S.all_keys);
    Ref iter = listed ? Ref::steal(PyObject_GetIter(listed.get())) : Ref();
    if (!iter)
        return false;
    while (Ref entry = Ref::steal(PyIter_Next(iter.get()))) {
        Ref key, value;
        if (items && unpack_pair(entry.get(), key, value) < 0)
            return false;
        Ref full = concat(prefix, items ? key.get() : entry.get());
        Ref item = items && full ? Ref::steal(PyTuple_Pack(2, full.get(), value.get())) : full;
        if (!item || PyList_Append(out, item.get()) < 0)
            return false;
    }
    return !PyErr_Occurred();
}

bool collect_leaves(PyObject *level, PyObject *prefix, bool items, PyObject *out) {
    RecursionGuard guard(" while listing keyed-list leaves");
    if (!guard.ok())
        return false;
    const Py_ssize_t size = PyDict_GET_SIZE(level);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(level, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        const int nested = is_nestmap(value.get());
        if (nested < 0)
            return false;
        Ref full = prefix ? concat(prefix, key.get()) : key;
        if (!full)
            return false;
        if (nested) {
            Ref child_prefix = concat(full.get(), S.dot);
            if (!child_prefix)
                return false;
            const bool ok = is_exact(value.get())
                                ? collect_leaves(value.get(), child_prefix.get(), items, out)
                                : collect_foreign(value.get(), child_prefix.get(), items, out);
            if (!ok)
                return false;
        } else {
            Ref item = items ? Ref::steal(PyTuple_Pack(2, full.get(), value.get())) : full;
            if (!item || PyList_Append(out, item.get()) < 0)
                return false;
        }
        if (PyDict_GET_SIZE(level) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }
    return true;
}

Ref leaves(PyObject *self, bool items) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out || !collect_leaves(self, nullptr, items, out.get()))
        return Ref();
    return out;
}

// ---------------------------------------------------------------------------------------------
// Merging: update.

Ref call_update(PyObject *target, PyObject *other);

// self.update(other) for one positional argument.
bool update_from(PyObject *self, PyObject *other) {
    const int nested = is_nestmap(other);
    if (nested < 0)
        return false;
    if (nested) {
        // Leaf by leaf, so the levels merge into those already here.
        Ref pairs = is_exact(other) ? leaves(other, true) : call_method(other, S.all_items);
        Ref iter = pairs ? Ref::steal(PyObject_GetIter(pairs.get())) : Ref();
        if (!iter)
            return false;
        while (Ref entry = Ref::steal(PyIter_Next(iter.get()))) {
            Ref key, value;
            if (unpack_pair(entry.get(), key, value) < 0 ||
                assign(self, key.get(), value.get()) < 0)
                return false;
        }
        return !PyErr_Occurred();
    }
    if (PyDict_CheckExact(other)) {
        // What MutableMapping.update does with a mapping, without the Python round trips.
        Ref pairs = Ref::steal(PyDict_Items(other));
        if (!pairs)
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
            PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
            if (assign(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0)
                return false;
        }
        return true;
    }
    return bool(call(mutable_mapping_update, {self, other}));
}

// One keyword of update(): a Nestmap merges into the level under `key`, made when missing.
bool update_keyword(PyObject *self, PyObject *key, PyObject *value) {
    const int nested = is_nestmap(value);
    if (nested < 0)
        return false;
    if (!nested)
        return assign(self, key, value) == 0;
    Ref existing;
    const int found = find_path(self, key, existing);
    if (found < 0)
        return false;
    if (!found) {
        existing = new_nestmap();
        if (!existing || assign(self, key, existing.get()) < 0)
            return false;
    } else if (!check_level(existing.get(), key)) {
        return false;
    }
    return bool(call_update(existing.get(), value));
}

// target.update(other): this class's merge for an exact Nestmap, the method otherwise.
Ref call_update(PyObject *target, PyObject *other) {
    if (!is_exact(target))
        return call_method(target, S.update, {other});
    RecursionGuard guard(" while merging keyed lists");
    if (!guard.ok() || !update_from(target, other))
        return Ref();
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// Parsing: from_tcl.

// The result of parsing one level that turned out not to be a keyed list, in a nested value:
// no exception is set and the caller keeps the text.
Ref not_keyed() { return Ref(); }

// cast_list(value) as a tuple. cast_list belongs to the package root and may be replaced: a
// list it returns could be changed by its next call, so what is read later is a copy.
Ref cast_to_tuple(PyObject *cast_list, PyObject *value) {
    Ref listed = call(cast_list, {value});
    if (!listed || PyTuple_CheckExact(listed.get()))
        return listed;
    return Ref::steal(PySequence_Tuple(listed.get()));
}

// ValueError for keyed-list text whose element `index`, `element`, splits into `items` items:
// it names the element, cut short when long.
Ref not_a_pair(Py_ssize_t index, PyObject *element, Py_ssize_t items) {
    constexpr Py_ssize_t shown = 60;
    Ref text = Ref::borrow(element);
    const Py_ssize_t length = PyUnicode_Check(element) ? PyUnicode_GetLength(element) : 0;
    if (length < 0 ||
        (length > shown && !(text = Ref::steal(PyUnicode_Substring(element, 0, shown)))))
        return Ref();
    PyErr_Format(PyExc_ValueError,
                 "not a keyed list: element %zd %R%s is not a {key value} pair (%zd item%s, "
                 "not 2)",
                 index, text.get(), length > shown ? "..." : "", items, items == 1 ? "" : "s");
    return Ref();
}

// The paths named by the keys of one level of keyed-list text, as a tree of dicts: a node maps
// each path component to the node below it, and None to the key whose path ends there. Two
// entries collide when they name the same path, or when one path runs through the other's
// end: a value there could not be both. Each key costs time in proportion to its length.
class PathSet {
  public:
    // Adds `key`: 1 when it is new, 0 when it collides with a key added before (`earlier` set
    // to that key), -1 with an exception set.
    int add(PyObject *key, Ref &earlier) {
        if (!root_ && !(root_ = Ref::steal(PyDict_New())))
            return -1;
        Ref node = root_;
        KeyPath path(key);
        for (;;) {
            Ref component;
            const int more = PyUnicode_Check(key) ? path.next(component) : 0;
            if (more < 0)
                return -1;
            if (!more && !(component = PyUnicode_Check(key) ? path.rest() : Ref::borrow(key)))
                return -1;
            // A key added before ends here: this one runs through its value.
            if (PyDict_GET_SIZE(node.get()) > 0) {
                PyObject *ends = PyDict_GetItemWithError(node.get(), Py_None);
                if (ends || PyErr_Occurred()) {
                    earlier = Ref::borrow(ends);
                    return ends ? 0 : -1;
                }
            }
            Ref child = Ref::borrow(PyDict_GetItemWithError(node.get(), component.get()));
            if (!child) {
                if (PyErr_Occurred() || !(child = Ref::steal(PyDict_New())) ||
                    PyDict_SetItem(node.get(), component.get(), child.get()) < 0)
                    return -1;
            }
            node = std::move(child);
            if (!more)
                break;
        }
        // The same key before, or one whose path runs through this one's end.
        if (PyDict_GET_SIZE(node.get()) > 0) {
            earlier = key_below(node.get());
            return earlier ? 0 : -1;
        }
        return PyDict_SetItem(node.get(), Py_None, key) < 0 ? -1 : 1;
    }

  private:
    // A key whose path ends at `node` or below it.
    static Ref key_below(PyObject *node) {
        Ref here = Ref::borrow(node);
        for (;;) {
            PyObject *ends = PyDict_GetItemWithError(here.get(), Py_None);
            if (ends || PyErr_Occurred())
                return Ref::borrow(ends);
            Py_ssize_t pos = 0;
            PyObject *component, *child;
            if (!PyDict_Next(here.get(), &pos, &component, &child))
                return raise(PyExc_SystemError, "a path of a keyed list ends nowhere");
            here = Ref::borrow(child);
        }
    }

    Ref root_;
};

// Whether every key of the {key value} pairs is exactly str and holds no ".".
bool plain_keys(PyObject *split) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(split); ++i) {
        PyObject *key = PyTuple_GET_ITEM(PyList_GET_ITEM(split, i), 0);
        if (!PyUnicode_CheckExact(key) || !text_ready(key) ||
            PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1) != -1) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// ValueError for keyed-list text whose entries `earlier` and `key` collide (see PathSet).
Ref colliding_keys(PyObject *earlier, PyObject *key) {
    const int same = PyObject_RichCompareBool(earlier, key, Py_EQ);
    if (same > 0)
        PyErr_Format(PyExc_ValueError, "not a keyed list: key %R is given twice", key);
    else if (same == 0) {
        // The shorter key's path is where they meet.
        const Py_ssize_t a = PyObject_Length(earlier), b = PyObject_Length(key);
        if (a >= 0 && b >= 0)
            PyErr_Format(PyExc_ValueError,
                         "not a keyed list: keys %R and %R collide at the path %R", earlier, key,
                         a < b ? earlier : key);
    }
    return Ref();
}

// The {key value} pairs of one level as a dict, in order. With `nested`, keys that collide
// (see PathSet) give a null Ref with no exception set, since the caller keeps such a value as
// text; at the top they raise ValueError naming them. Nothing is dropped either way.
Ref distinct_entries(PyObject *split, bool nested) {
    Ref entries = Ref::steal(PyDict_New());
    if (!entries)
        return entries;
    // Without a dotted key, the paths are the keys: only a repeated key collides, and the dict
    // itself finds it.
    const bool plain = plain_keys(split);
    PathSet paths;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(split); ++i) {
        PyObject *pair = PyList_GET_ITEM(split, i);
        PyObject *key = PyTuple_GET_ITEM(pair, 0);
        Ref earlier;
        const Py_ssize_t before = PyDict_GET_SIZE(entries.get());
        const int added = plain ? 1 : paths.add(key, earlier);
        if (added < 0 || PyDict_SetItem(entries.get(), key, PyTuple_GET_ITEM(pair, 1)) < 0)
            return Ref();
        if (added == 0 || PyDict_GET_SIZE(entries.get()) == before)
            return nested ? not_keyed() : colliding_keys(earlier ? earlier.get() : key, key);
    }
    return entries;
}

// Builds the Nestmap of one level of keyed-list text. With `nested`, text that is not a keyed
// list at this level (some element not a pair, or keys that collide) gives a null Ref with no
// exception set, since the caller keeps such a value as text: a list of records, whose pairs
// repeat their keys, stays whole. At the top it raises ValueError naming the first element
// that is not a pair, or the keys that collide. Errors of cast_list propagate; the caller of a
// nested level decides which of them mean "plain text".
Ref parse_level(PyObject *cast_list, PyObject *string, bool nested) {
    RecursionGuard guard(" while parsing a keyed list");
    if (!guard.ok())
        return Ref();
    Ref elements = cast_to_tuple(cast_list, string);
    if (!elements)
        return Ref();
    // Every element is split before any is checked, so an element that is not list text fails
    // the same way wherever it stands.
    const Py_ssize_t count = PyTuple_GET_SIZE(elements.get());
    Ref split = Ref::steal(PyList_New(0));
    if (!split)
        return Ref();
    Py_ssize_t first_odd = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref parts = cast_to_tuple(cast_list, PyTuple_GET_ITEM(elements.get(), i));
        if (!parts || PyList_Append(split.get(), parts.get()) < 0)
            return Ref();
        if (first_odd < 0 && PyTuple_GET_SIZE(parts.get()) != 2)
            first_odd = i;
    }
    if (first_odd >= 0) {
        if (nested)
            return not_keyed();
        return not_a_pair(first_odd, PyTuple_GET_ITEM(elements.get(), first_odd),
                          PyTuple_GET_SIZE(PyList_GET_ITEM(split.get(), first_odd)));
    }
    Ref pairs = distinct_entries(split.get(), nested);
    if (!pairs)
        return Ref();
    // A value becomes a nested level when it parses as a keyed list itself; one that is not
    // pairs (ValueError), or not even list text (TclError, for a value such as "{" that TclX
    // stores as any other), stays text.
    auto parse_value = [&](PyObject *value) {
        Ref level = parse_level(cast_list, value, true);
        if (!level &&
            (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(tcl_error)))
            PyErr_Clear();
        return level;
    };
    if (!nest_values(pairs.get(), parse_value))
        return Ref();
    // Keys holding "." in the text build nested levels here.
    Ref result = new_nestmap();
    if (!result || !update_from(result.get(), pairs.get()))
        return Ref();
    return result;
}

// Nestmap.from_tcl(string), with ortan.tcl.cast_list as found in the package root now.
Ref from_tcl(PyObject *string) {
    Ref package = import_module("ortan.tcl");
    Ref cast_list = package ? get_attr(package.get(), S.cast_list) : Ref();
    if (!cast_list)
        return Ref();
    return parse_level(cast_list.get(), string, false);
}

// ---------------------------------------------------------------------------------------------
// Nestmap methods.

// dict(*args, **kwargs) with every value that makes a level (see makes_level) converted to a
// Nestmap.
Ref nested_values(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref values = Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyDict_Type), args, nargs, kwnames));
    if (!values)
        return values;
    auto make = [](PyObject *value) {
        const int level = makes_level(value);
        return level > 0 ? call(nestmap_class(), {value}) : Ref();
    };
    if (!nest_values(values.get(), make))
        return Ref();
    return values;
}

PyObject *nestmap_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    if (!check_self(self, "__init__"))
        return nullptr;
    RecursionGuard guard(" while building a Nestmap");
    if (!guard.ok())
        return nullptr;
    Ref base_init = super_attr(nestmap_class(), self, S.init);
    if (!base_init || !call(base_init.get()))
        return nullptr;
    Ref values = nested_values(args + 1, nargs - 1, kwnames);
    if (!values)
        return nullptr;
    // Through update(), so that dotted keys build nested levels.
    Ref done = is_exact(self) ? call_update(self, values.get())
                              : call_method(self, S.update, {values.get()});
    return done ? Py_NewRef(Py_None) : nullptr;
}

PyObject *nestmap_from_tcl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *string;
    if (!parse_args("from_tcl", args, nargs, kwnames, {"string"}, 1, &string))
        return nullptr;
    return from_tcl(string).release();
}

// Parses `self, key` (and `value`) of the item methods.
bool item_args(const char *name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               std::initializer_list<const char *> names, PyObject **out) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(names.size());
    return check_self(args[0], name) &&
           parse_method_args(name, args, nargs, kwnames, names, count, out);
}

PyObject *nestmap_getitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key;
    if (!item_args("__getitem__", args, nargs, kwnames, {"key"}, &key))
        return nullptr;
    PyObject *self = args[0];
    return get_path(self, key).release();
}

PyObject *nestmap_setitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!item_args("__setitem__", args, nargs, kwnames, {"key", "value"}, params))
        return nullptr;
    PyObject *self = args[0];
    PyObject *key = params[0];
    PyObject *value = params[1];
    return set_path(self, key, value) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *nestmap_contains(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key;
    if (!item_args("__contains__", args, nargs, kwnames, {"key"}, &key))
        return nullptr;
    PyObject *self = args[0];
    const int found = contains_path(self, key);
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

PyObject *nestmap_delitem(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key;
    if (!item_args("__delitem__", args, nargs, kwnames, {"key"}, &key))
        return nullptr;
    PyObject *self = args[0];
    return delete_path(self, key) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *nestmap_update(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    if (!check_self(self, "update"))
        return nullptr;
    const Py_ssize_t positional = nargs - 1;
    if (positional > 1) {
        PyErr_Format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)",
                     positional);
        return nullptr;
    }
    PyObject *other = positional == 1 ? args[1] : nullptr;
    RecursionGuard guard(" while merging keyed lists");
    if (!guard.ok() || (other && !update_from(self, other)))
        return nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (!update_keyword(self, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]))
            return nullptr;
    }
    return Py_NewRef(Py_None);
}

PyObject *nestmap_all_keys(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    if (!check_self(self, "all_keys") ||
        !parse_method_args("all_keys", args, nargs, kwnames, {}, 0, nullptr))
        return nullptr;
    return leaves(self, false).release();
}

PyObject *nestmap_all_items(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    if (!check_self(self, "all_items") ||
        !parse_method_args("all_items", args, nargs, kwnames, {}, 0, nullptr))
        return nullptr;
    return leaves(self, true).release();
}

PyObject *nestmap_tclobj(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = args[0];
    if (!check_self(self, "__tclobj__") ||
        !parse_method_args("__tclobj__", args, nargs, kwnames, {}, 0, nullptr))
        return nullptr;
    // TclX refuses a whole keyed list whose top level has an empty key ("keyed list key may not
    // be an empty string"), the entries beside it included. Below the top it breaks only the
    // paths through its level, and TclX writes such keys itself (`keylset kl a. v`), so nested
    // levels may have them.
    if (converting == 0) {
        const int empty_key = PyDict_Contains(self, S.empty);
        if (empty_key != 0) {
            if (empty_key > 0)
                PyErr_SetString(PyExc_ValueError,
                                "a keyed list cannot have an empty key at its top level (TclX "
                                "refuses the whole list)");
            return nullptr;
        }
    }
    // tclobj() of the top-level (key, value) pairs; nested levels come back here through it.
    Ref pairs = Ref::steal(PyDict_Items(self));
    if (!pairs)
        return nullptr;
    RecursionGuard guard(" while converting a keyed list");
    if (!guard.ok())
        return nullptr;
    ++converting;
    Ref converted = call(tclobj, {pairs.get()});
    --converting;
    return converted.release();
}

// The table in namespace order. from_tcl becomes a staticmethod; the build puts MutableMapping's
// get, pop and setdefault after __delitem__, and has_key (the __contains__ object itself) after
// all_items.
const ortan::MethodDef nestmap_methods[] = {
    {"__init__", nestmap_init, "($self, /, *args, **kwargs)",
     "Build from anything dict() accepts. Values that are mappings with text keys, or lists of "
     "(key, value) pairs with distinct text keys, become nested levels; other values stay as "
     "they are."},
    {"from_tcl", nestmap_from_tcl, "(string)",
     "A new Nestmap from keyed-list text or a Tcl object.\n\n"
     "A value becomes a nested level only when its elements are {key value} pairs whose keys "
     "neither repeat nor collide as paths (`a` and `a.b`); any other value stays its text. At "
     "the top level, such keys raise ValueError naming them."},
    {"__getitem__", nestmap_getitem, "($self, key)", nullptr},
    {"__setitem__", nestmap_setitem, "($self, key, value)", nullptr},
    {"__contains__", nestmap_contains, "($self, key)", nullptr},
    {"__delitem__", nestmap_delitem, "($self, key)", nullptr},
    {"update", nestmap_update, "($self, /, *args, **kwargs)",
     "Merge a Nestmap leaf by leaf, or assign the items of a mapping or of pairs; keyword "
     "Nestmaps merge into the level they name."},
    {"all_keys", nestmap_all_keys, "($self, /)",
     "The fully qualified keys of all leaves, in order."},
    {"all_items", nestmap_all_items, "($self, /)",
     "(fully qualified key, value) for all leaves, in order."},
    {"__tclobj__", nestmap_tclobj, "($self, /)", "The keyed list as a value for the Tcl binding."},
};

// ---------------------------------------------------------------------------------------------
// Module init.

const char nestmap_doc[] =
    "A mapping that holds a TclX keyed list.\n\n"
    "Keys are text; a key with \".\" addresses a nested level (`n['name.first']` is\n"
    "`n['name']['first']`), for reading, assignment, membership and deletion (which prunes\n"
    "levels left empty); a key that runs past a value that is not a mapping names no entry.\n"
    "Nested levels are Nestmaps. `from_tcl` reads keyed-list text or a Tcl object;\n"
    "`scribe(n)` and `tclobj(n)` give the keyed-list form {key value} ... (ValueError for an\n"
    "empty key at the top level, which TclX refuses).";

const char *const qualname = "Nestmap";

// Copies `name` of MutableMapping into the namespace, so that it runs on this class's items.
bool add_inherited(PyObject *ns, PyObject *mutable_mapping, const char *name) {
    return set_item(ns, name, get_attr(mutable_mapping, name));
}

// Every method is in the namespace before the metaclass runs: ABCMeta computes the abstract
// methods when it makes the class.
bool add_nestmap_methods(PyObject *ns, PyObject *mutable_mapping) {
    for (const MethodDef &def : nestmap_methods) {
        if (!(def.fn == nestmap_from_tcl ? add_staticmethod(ns, def, qualname)
                                         : add_method(ns, def, qualname)))
            return false;
        if (def.fn == nestmap_delitem && (!add_inherited(ns, mutable_mapping, "get") ||
                                          !add_inherited(ns, mutable_mapping, "pop") ||
                                          !add_inherited(ns, mutable_mapping, "setdefault")))
            return false;
        // __contains__, also put under has_key: the same object.
        if (def.fn == nestmap_all_items &&
            !set_item(ns, "has_key", Ref::borrow(PyDict_GetItemString(ns, "__contains__"))))
            return false;
    }
    return true;
}

Ref make_nestmap_class(PyObject *attr_dict, PyObject *mutable_mapping) {
    Ref bases = Ref::steal(PyTuple_Pack(2, attr_dict, mutable_mapping));
    if (!bases)
        return bases;
    // The methods go in one by one, with the inherited ones and the alias among them.
    return new_class(module_name, class_def(qualname, nullptr, nestmap_doc), bases.get(),
                     [mutable_mapping](PyObject *ns, const char *) {
                         return add_nestmap_methods(ns, mutable_mapping);
                     });
}

const char module_doc[] =
    "Nested key lists: `Nestmap`, a mapping that holds a TclX keyed list, addresses nested "
    "levels with \".\"-separated keys, and converts to and from the keyed-list text form.";

bool init_module(PyObject *m) {
    if (!S.intern() || !(one = PyLong_FromLong(1)))
        return false;
    if (!bind_public_names(m, {"Nestmap"}))
        return false;
    Ref attr_dict = import_family_attr("ortan.datastructures", "AttrDict");
    Ref mutable_mapping = import_attr("collections.abc", "MutableMapping");
    PyObject *tcl_obj = nullptr, *nestmap = nullptr;
    if (!bind(m, "AttrDict", attr_dict) || !bind(m, "MutableMapping", mutable_mapping) ||
        !bind(m, "Tcl_Obj", import_attr("_tkinter", "Tcl_Obj"), &tcl_obj) ||
        !bind(m, "tclobj", import_attr("ortan.tcl.scribe", "tclobj"), &tclobj))
        return false;
    tcl_obj_type = reinterpret_cast<PyTypeObject *>(tcl_obj);
    if (!PyType_Check(tcl_obj)) {
        PyErr_SetString(PyExc_ImportError, "_tkinter.Tcl_Obj is not a type");
        return false;
    }
    mutable_mapping_update = get_attr(mutable_mapping.get(), S.update).release();
    tcl_error = import_attr("_tkinter", "TclError").release();
    abc_mapping = import_attr("collections.abc", "Mapping").release();
    abc_sequence = import_attr("collections.abc", "Sequence").release();
    if (!mutable_mapping_update || !tcl_error || !abc_mapping || !abc_sequence ||
        !bind(m, "Nestmap", make_nestmap_class(attr_dict.get(), mutable_mapping.get()), &nestmap))
        return false;
    nestmap_type = reinterpret_cast<PyTypeObject *>(nestmap);
    return true;
}

PyModuleDef module_def = define_module(module_name, module_doc);

} // namespace

PyMODINIT_FUNC PyInit_nestmap() { return create_module(module_def, init_module); }

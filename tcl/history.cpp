// ortan.tcl.history: a bounded, timestamped record of Tcl calls, with named markers.
#include "support.h"

#include <datetime.h>
#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

using ortan::add_methods;
using ortan::bind;
using ortan::bind_public_names;
using ortan::call;
using ortan::call_method;
using ortan::class_def;
using ortan::ClassGuard;
using ortan::create_module;
using ortan::define_module;
using ortan::defined_init;
using ortan::fetch_exception;
using ortan::find_slot;
using ortan::get_attr;
using ortan::get_optional_attr;
using ortan::import_attr;
using ortan::import_family_attr;
using ortan::import_module;
using ortan::MethodDef;
using ortan::new_class;
using ortan::new_instance;
using ortan::no_arguments;
using ortan::parse_method_args;
using ortan::plain_construction;
using ortan::raise_with_context;
using ortan::read_slot;
using ortan::RecursionGuard;
using ortan::Ref;
using ortan::set_attr;
using ortan::set_item;
using ortan::Slot;
using ortan::static_type;
using ortan::text;
using ortan::text_ready;
using ortan::TextWriter;
using ortan::visit_text;
using ortan::write_slot;

namespace {

// ---------------------------------------------------------------------------------------------
// Module constants, set once by the module init and never changed afterwards.

#define HISTORY_NAMES(X)                                                                           \
    X(timestamp, "timestamp")                                                                      \
    X(api, "api")                                                                                  \
    X(enabled, "enabled")                                                                          \
    X(history, "__history__")                                                                      \
    X(markers, "__markers__")                                                                      \
    X(active, "__activeMarkers__")                                                                 \
    X(append, "append")                                                                            \
    X(clear, "clear")                                                                              \
    X(remove, "remove")                                                                            \
    X(maxlen, "maxlen")                                                                            \
    X(values, "values")                                                                            \
    X(is_enabled_for, "isEnabledFor")                                                              \
    X(debug, "debug")                                                                              \
    X(strftime, "strftime")                                                                        \
    X(search, "search")                                                                            \
    X(enable, "enable")                                                                            \
    X(str, "__str__")                                                                              \
    X(space, " ")                                                                                  \
    X(name_separator, ", ")                                                                        \
    X(stamp_format, "%Y-%m-%dT%H:%M:%S.%f")                                                        \
    X(get_time, "get_time")                                                                        \
    X(timestamp_ns, "_timestamp_ns")                                                               \
    X(disabled, "disabled")                                                                        \
    X(error, "error")                                                                              \
    X(duration, "duration")                                                                        \
    X(words, "_words")                                                                             \
    X(split, "split")                                                                              \
    X(cache, "_cache")
ORTAN_NAME_TABLE(Names, HISTORY_NAMES)
Names S; // attribute names and texts: S.api, S.history, ...

// Imported objects, bound at import: strong references the process keeps.
PyObject *logger;         // logging.getLogger('ortan.tcl')
PyObject *module_dict;    // this module's globals: `get_time` is looked up there on each record
PyObject *stock_time;     // the imported get_time when it is datetime.datetime.now, else null
PyObject *deque_type;     // collections.deque
PyObject *deque_append;   // collections.deque.append
PyObject *re_compile;     // re.compile
PyObject *debug_level;    // logging.DEBUG
PyObject *is_enabled_for; // logging.Logger.isEnabledFor
PyObject *maxlen_kwnames; // ("maxlen",): keyword names for deque(maxlen=...)
PyObject *scribe;         // ortan.tcl.scribe.scribe: an Entry's `script`

// The classes as built, and what the fast paths confirmed of them at import.
PyObject *entry_cls;       // the Entry class built below
PyObject *entry_init;      // its __init__, as built
ClassGuard entry_guard;    // whether it is unchanged since that construction was confirmed
PyTypeObject *logger_type; // the logger's class at import
ClassGuard logger_guard;   // whether it is unchanged since it was confirmed a plain one

constexpr const char *module_name = "ortan.tcl.history";
constexpr long default_max_history = 9999;

// ---------------------------------------------------------------------------------------------
// Conversions and helpers.

// An Entry keeps `api` and `_timestamp_ns`, a History its four attributes, in slots (__slots__,
// with a __dict__ beside them for an Entry's `timestamp` and anything else): every recorded
// call makes an Entry and reads the History's state, and a slot costs a fraction of an
// attribute of the instance dict (ortan::Slot says when a slot is read in place).
// Set up with the classes, never changed afterwards.
Slot entry_api_slot, entry_ns_slot, entry_duration_slot, entry_words_slot, history_slot,
    markers_slot, active_slot, enabled_slot;

// The system clock in nanoseconds: the reading datetime.now() makes, by the same call.
bool read_system_clock(long long &ns) {
    PyTime_t now;
    if (PyTime_Time(&now) < 0)
        return false;
    ns = now;
    return true;
}

// The local date and time of a clock reading, exactly as datetime.now() makes it from the same
// reading: the reading in whole microseconds (floored before CPython 3.15, rounded half to even
// from 3.15 on, as now() does there), the seconds converted by fromtimestamp() (the conversion
// now() uses, fold included; it depends on the whole seconds only), the microseconds put in
// unchanged.
Ref local_datetime(long long ns) {
    constexpr long long per_second = 1000000000, per_micro = 1000;
    long long micros = ns / per_micro, below = ns % per_micro;
    if (below < 0) {
        below += per_micro;
        --micros;
    }
#if PY_VERSION_HEX >= 0x030F0000
    if (below > per_micro / 2 || (below == per_micro / 2 && micros % 2 != 0))
        ++micros;
#endif
    constexpr long long micros_per_second = per_second / per_micro;
    long long seconds = micros / micros_per_second, rest = micros % micros_per_second * per_micro;
    if (rest < 0) {
        rest += per_second;
        --seconds;
    }
    Ref stamp = Ref::steal(PyLong_FromLongLong(seconds));
    Ref args = stamp ? Ref::steal(PyTuple_Pack(1, stamp.get())) : Ref();
    Ref whole =
        args ? Ref::steal(PyDateTimeAPI->DateTime_FromTimestamp(
                   reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType), args.get(), nullptr))
             : Ref();
    if (!whole)
        return whole;
    PyObject *w = whole.get();
    return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
        PyDateTime_GET_YEAR(w), PyDateTime_GET_MONTH(w), PyDateTime_GET_DAY(w),
        PyDateTime_DATE_GET_HOUR(w), PyDateTime_DATE_GET_MINUTE(w), PyDateTime_DATE_GET_SECOND(w),
        static_cast<int>(rest / per_micro), Py_None, PyDateTime_DATE_GET_FOLD(w),
        PyDateTimeAPI->DateTimeType));
}

// deque(maxlen=maxlen)
Ref new_deque(PyObject *maxlen) {
    PyObject *args[] = {maxlen};
    return Ref::steal(PyObject_Vectorcall(deque_type, args, 0, maxlen_kwnames));
}

// entries.append(entry); a deque's own append is called straight away.
bool append_entry(PyObject *entries, PyObject *entry) {
    if (!Py_IS_TYPE(entries, reinterpret_cast<PyTypeObject *>(deque_type)))
        return bool(call_method(entries, S.append, {entry}));
    PyObject *call_args[] = {entries, entry};
    return bool(Ref::steal(PyObject_Vectorcall(deque_append, call_args, 2, nullptr)));
}

// Logs `message` at debug level on the module's logger.
bool log_debug(PyObject *message) { return bool(call_method(logger, S.debug, {message})); }

// log.isEnabledFor(DEBUG). Every append asks, and the method is Python code that costs as much
// as the rest of recording a call; where the logger is a plain one (its class's isEnabledFor is
// logging's own, its attributes are read the ordinary way and it shadows neither), this reads
// what that method reads first: `disabled`, then the answer `_cache` keeps per level (logging
// empties it whenever a level or logging.disable() changes). Anything else, and a level not
// cached yet, is asked the ordinary way. 1 or 0, or -1 with an exception set.
// Whether a logger of class `type` reads its attributes the ordinary way and has logging's own
// isEnabledFor.
bool plain_logger(PyTypeObject *type) {
    return type->tp_getattro == PyObject_GenericGetAttr &&
           _PyType_Lookup(type, S.is_enabled_for) == is_enabled_for;
}

int debug_enabled() {
    PyTypeObject *type = Py_TYPE(logger);
    // The class as it was at import, unchanged since, or else a plain one.
    if ((type == logger_type && logger_guard.unchanged()) || plain_logger(type)) {
        Ref state = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
        if (!state)
            return -1;
        PyObject *dict = state.get();
        PyObject *disabled = PyDict_GetItemWithError(dict, S.disabled);
        PyObject *cache = disabled == Py_False ? PyDict_GetItemWithError(dict, S.cache) : nullptr;
        if (cache && PyDict_CheckExact(cache) && !PyDict_GetItemWithError(dict, S.is_enabled_for)) {
            PyObject *known =
                PyErr_Occurred() ? nullptr : PyDict_GetItemWithError(cache, debug_level);
            if (known == Py_True || known == Py_False)
                return known == Py_True;
        }
        if (PyErr_Occurred())
            return -1;
    }
    Ref enabled = call_method(logger, S.is_enabled_for, {debug_level});
    return enabled ? PyObject_IsTrue(enabled.get()) : -1;
}

// The debug record of one appended call, "% <item>", made only when it will be emitted.
bool log_appended(PyObject *item) {
    const int on = debug_enabled();
    if (on <= 0)
        return on == 0;
    // str(item) rather than `%`-formatting: a tuple item is one value here, not an argument
    // tuple.
    Ref message = Ref::steal(PyUnicode_FromFormat("%% %S", item));
    return message && log_debug(message.get());
}

// Whether a ready str contains a space; a plain scan, as words are short.
bool has_space(PyObject *word) {
    return visit_text(word, [](const auto *data, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (data[i] == ' ')
                return true;
        }
        return false;
    });
}

// Appends one word to the line of an Entry: braced when it contains a space, as it is
// otherwise. `index` only serves the error message for a word that is not text.
bool put_word(TextWriter &out, PyObject *word, Py_ssize_t index) {
    if (PyUnicode_Check(word)) {
        if (!text_ready(word))
            return false;
        if (!has_space(word))
            return out.put_text(word);
        return out.put('{') && out.put_text(word) && out.put('}');
    }
    // A word that is not text: the space test is the containment test of the object itself
    // (a TypeError for numbers), and the result must then be text to be joined.
    const int has_space = PySequence_Contains(word, S.space);
    if (has_space < 0)
        return false;
    if (has_space) {
        Ref braces = text("{%s}");
        Ref braced = braces ? Ref::steal(PyUnicode_Format(braces.get(), word)) : Ref();
        return braced && out.put_text(braced.get());
    }
    PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                 Py_TYPE(word)->tp_name);
    return false;
}

// Copies all of `word` into `line` at `at`; a plain copy where both have the same width.
bool copy_text(PyObject *line, Py_ssize_t at, PyObject *word) {
    const int kind = PyUnicode_KIND(line);
    if (PyUnicode_KIND(word) != kind)
        return PyUnicode_CopyCharacters(line, at, word, 0, PyUnicode_GET_LENGTH(word)) >= 0;
    std::memcpy(static_cast<char *>(PyUnicode_DATA(line)) + at * kind, PyUnicode_DATA(word),
                PyUnicode_GET_LENGTH(word) * kind);
    return true;
}

// join_words for words that are all ready text, the case of every quick call: sizes the line
// first, then copies each word once. No Python code runs in between, so the borrowed words
// stay put. `braced` tells whether a word was braced (so the line cannot be split back).
Ref join_text_words(PyObject *const *words, Py_ssize_t count, bool &braced_any) {
    // The space test of the first words is kept for the copy; later words are tested again.
    constexpr Py_ssize_t remembered = 64;
    uint64_t braced_words = 0;
    Py_ssize_t length = count > 0 ? count - 1 : 0;
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *word = words[i];
        const bool braced = has_space(word);
        braced_any = braced_any || braced;
        if (braced && i < remembered)
            braced_words |= uint64_t(1) << i;
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word) + (braced ? 2 : 0);
        // Many references to one long word could overflow the sum (on 32-bit platforms).
        if (size > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "the words are too long for one line");
            return Ref();
        }
        length += size;
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(word));
    }
    Ref line = Ref::steal(PyUnicode_New(length, maxchar));
    if (!line)
        return line;
    const int kind = PyUnicode_KIND(line.get());
    void *data = PyUnicode_DATA(line.get());
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *word = words[i];
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
        const bool braced = i < remembered ? (braced_words >> i & 1) != 0 : has_space(word);
        if (i > 0)
            PyUnicode_WRITE(kind, data, at++, ' ');
        if (braced)
            PyUnicode_WRITE(kind, data, at++, '{');
        if (!copy_text(line.get(), at, word))
            return Ref();
        at += size;
        if (braced)
            PyUnicode_WRITE(kind, data, at++, '}');
    }
    return line;
}

// Whether every word is text that can be scanned as it is; `exact` tells whether all of them
// are exactly str.
bool all_ready_text(PyObject *const *words, Py_ssize_t count, bool &exact) {
    exact = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_Check(words[i]) || !text_ready(words[i])) {
            PyErr_Clear();
            return false;
        }
        exact = exact && PyUnicode_CheckExact(words[i]);
    }
    return true;
}

// The words of a call as one line: words joined by single spaces, each word that contains a
// space wrapped in braces. No other quoting: this is a log line, not a Tcl script. `kept` is
// set to a tuple of the words unless the line splits back into them at its spaces (one or more
// words, all exactly str, none holding a space): an Entry keeps them for its `script`.
Ref join_words(PyObject *words, Ref &kept) {
    Ref seq = Ref::steal(PySequence_Fast(words, "an Entry needs text or a sequence of words"));
    if (!seq)
        return seq;
    PyObject *const *items = PySequence_Fast_ITEMS(seq.get());
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    bool exact = false, braced = false;
    if (all_ready_text(items, count, exact)) {
        Ref line = join_text_words(items, count, braced);
        if (line && (braced || !exact || count == 0) &&
            !(kept = Ref::steal(PySequence_Tuple(seq.get()))))
            return Ref();
        return line;
    }
    // Taken before the words are tested: a word's containment test may change the sequence.
    kept = Ref::steal(PySequence_Tuple(seq.get()));
    if (!kept)
        return kept;
    TextWriter out;
    // The size is read afresh each round: a word's containment test may change the sequence.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref word = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        if ((i > 0 && !out.put(' ')) || !put_word(out, word.get(), i))
            return Ref();
    }
    return out.finish();
}

// The names in `names` (an iterable), as their str() joined by ", ": the text that an error
// message lists them with. Empty text when there are none.
Ref listed_names(PyObject *names) {
    Ref iter = Ref::steal(PyObject_GetIter(names));
    Ref texts = iter ? Ref::steal(PyList_New(0)) : Ref();
    if (!texts)
        return texts;
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
        Ref name_text = Ref::steal(PyObject_Str(name.get()));
        if (!name_text || PyList_Append(texts.get(), name_text.get()) < 0)
            return Ref();
    }
    return PyErr_Occurred() ? Ref() : Ref::steal(PyUnicode_Join(S.name_separator, texts.get()));
}

// " (<label>: a, b)" naming the markers of `names`, or `none` when there are none.
Ref names_suffix(PyObject *names, const char *label, const char *none) {
    Ref listed = listed_names(names);
    if (!listed)
        return listed;
    if (PyUnicode_GET_LENGTH(listed.get()) == 0)
        return Ref::steal(PyUnicode_FromFormat(" (%s)", none));
    return Ref::steal(PyUnicode_FromFormat(" (%s: %U)", label, listed.get()));
}

Ref hex_id(PyObject *obj) {
    Ref address = Ref::steal(PyLong_FromVoidPtr(obj));
    return address ? Ref::steal(PyNumber_ToBase(address.get(), 16)) : address;
}

// The marker's deque, or Exception('No such marker: <marker> (markers: a, b)') raised while
// handling the lookup's KeyError (so that error is its context).
Ref marker_entries(PyObject *self, PyObject *marker) {
    Ref markers = get_attr(self, S.markers);
    if (!markers)
        return markers;
    Ref entries = Ref::steal(PyObject_GetItem(markers.get(), marker));
    if (entries || !PyErr_ExceptionMatches(PyExc_KeyError))
        return entries;
    Ref key_error = fetch_exception();
    Ref known = names_suffix(markers.get(), "markers", "no markers");
    Ref message =
        known ? Ref::steal(PyUnicode_FromFormat("No such marker: %S%U", marker, known.get()))
              : known;
    Ref error = message ? call(PyExc_Exception, {message.get()}) : Ref();
    if (!error)
        return error;
    // Restored as it is: PyErr_SetObject would replace this context with the exception that
    // our caller may be handling (which is the KeyError's own context already).
    raise_with_context(std::move(error), std::move(key_error));
    return Ref();
}

// ---------------------------------------------------------------------------------------------
// Entry.

// The timestamp of an Entry, taken when it is made. The module's global `get_time` is looked up
// each time, so that replacing it takes effect. While it is the stock function (datetime.now),
// the Entry keeps the raw clock reading, `_timestamp_ns`, and its `timestamp` attribute makes
// the datetime on first reading (a cached property): making a datetime costs more than the rest
// of recording a call, and most entries are never looked at. Any other function is called now
// and its result stored as `timestamp`.
bool set_timestamp(PyObject *self) {
    PyObject *get_time = PyDict_GetItemWithError(module_dict, S.get_time); // borrowed
    if (!get_time) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'get_time' is not defined");
        return false;
    }
    if (get_time != stock_time) {
        Ref hold = Ref::borrow(get_time);
        return set_attr(self, S.timestamp, call(get_time).get());
    }
    long long ns;
    return read_system_clock(ns) &&
           write_slot(entry_ns_slot, self, Ref::steal(PyLong_FromLongLong(ns)).get());
}

// del self.<name> where the Entry has it: an Entry made again by calling __init__ on it forgets
// what it held before.
bool forget(PyObject *self, PyObject *name) {
    if (PyObject_GenericSetAttr(self, name, nullptr) == 0 ||
        !PyErr_ExceptionMatches(PyExc_AttributeError))
        return !PyErr_Occurred();
    PyErr_Clear();
    return true;
}

// The words an Entry keeps for its `script` (the `_words` slot): None for an entry made of
// text, which is its own script; a tuple of the words where its line does not split back into
// them; nothing at all (the slot unset) where it does, the case of nearly every quick call, so
// that a long history costs no more memory for it.
bool set_words(PyObject *self, PyObject *kept, bool fresh) {
    if (kept)
        return write_slot(entry_words_slot, self, kept);
    return fresh || forget(self, S.words);
}

// The state of an Entry: its timestamp, its line and words, and no outcome (a quick call adds
// `duration` once its command has run, and `error` if it failed). `error` is None by the class
// attribute until an instance gets its own (failures are rare, so they alone pay for the
// instance dict); `duration` is a slot. `fresh` for an instance just made.
bool set_entry(PyObject *self, PyObject *api, bool fresh) {
    const bool is_text = PyUnicode_Check(api);
    Ref kept = is_text ? Ref::borrow(Py_None) : Ref();
    Ref line = is_text ? Ref::borrow(api) : join_words(api, kept);
    return line && set_timestamp(self) && write_slot(entry_api_slot, self, line.get()) &&
           write_slot(entry_duration_slot, self, Py_None) && set_words(self, kept.get(), fresh) &&
           (fresh || forget(self, S.error));
}

// A new instance of one of this module's slot classes, whose construction plain_construction()
// has confirmed: what object.__new__ makes, without setting up the instance dict (these classes
// keep their state in slots, so a dict is made only if something else is stored).
Ref fresh_instance(PyObject *cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
#ifdef Py_TPFLAGS_INLINE_VALUES
    if (PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES))
        return new_instance(cls);
#endif
    return Ref::steal(type->tp_alloc(type, 0));
}

// Entry(api)
Ref new_entry(PyObject *api) {
    // Unchanged since import, or else still made the plain way.
    if (!entry_guard.unchanged() && !plain_construction(entry_cls, entry_init))
        return call(entry_cls, {api});
    Ref entry = fresh_instance(entry_cls);
    if (!entry || !set_entry(entry.get(), api, true))
        return Ref();
    return entry;
}

PyObject *Entry_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *api;
    if (!parse_method_args("__init__", args, nargs, kwnames, {"api"}, 1, &api))
        return nullptr;
    PyObject *self = args[0];
    if (!set_entry(self, api, false))
        return nullptr;
    Py_RETURN_NONE;
}

// An Entry's `timestamp` where set_timestamp() left the raw clock reading: a non-data
// descriptor of its own type (what functools.cached_property is, without its lock and its
// demands on the getter), so that a value in the instance's __dict__ (made by a replaced
// get_time, assigned, or cached here) is what every reading gives. Read through an Entry that
// has none, it makes the datetime of the reading and keeps it in the instance's __dict__.
struct StampDescriptor {
    PyObject_HEAD
};

// The datetime of the clock reading `entry` was made with; AttributeError without one.
Ref reading_datetime(PyObject *entry) {
    Ref reading;
    const int found = get_optional_attr(entry, S.timestamp_ns, reading);
    if (found <= 0) {
        if (found == 0)
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute 'timestamp'",
                         Py_TYPE(entry)->tp_name);
        return Ref();
    }
    const long long ns = PyLong_AsLongLong(reading.get());
    if (ns == -1 && PyErr_Occurred())
        return Ref();
    return local_datetime(ns);
}

PyObject *stamp_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj)
        return Py_NewRef(self);
    Ref stamp = reading_datetime(obj);
    // Stored the ordinary way: the descriptor sets nothing, so the instance's __dict__ takes it.
    if (!stamp || PyObject_GenericSetAttr(obj, S.timestamp, stamp.get()) < 0)
        return nullptr;
    return stamp.release();
}

PyObject *stamp_repr(PyObject *) { return PyUnicode_FromString("<timestamp of Entry>"); }

PyTypeObject stamp_type = [] {
    PyTypeObject t = static_type("ortan.tcl.history.StampDescriptor", sizeof(StampDescriptor));
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "When the call was recorded: the value of get_time() then (a datetime). Made from "
               "the raw clock reading on first use, and kept.";
    t.tp_descr_get = stamp_get;
    t.tp_repr = stamp_repr;
    return t;
}();

PyObject *Entry_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("Entry.__str__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref timestamp = get_attr(self, S.timestamp);
    Ref stamp = timestamp ? call_method(timestamp.get(), S.strftime, {S.stamp_format}) : Ref();
    Ref api = stamp ? get_attr(self, S.api) : Ref();
    if (!api)
        return nullptr;
    return PyUnicode_FromFormat("%S: %S", stamp.get(), api.get());
}

PyObject *Entry_repr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("Entry.__repr__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref str = call_method(self, S.str);
    Ref address = str ? hex_id(self) : Ref();
    if (!address)
        return nullptr;
    return PyUnicode_FromFormat("<Entry '%S' at %S>", str.get(), address.get());
}

// The words of the call an Entry records, as Tcl list text that reads back as exactly those
// words (so it can be pasted into tclsh), made on each reading: see set_words.
PyObject *Entry_script(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("Entry.script", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref words;
    const int kept = get_optional_attr(self, S.words, words);
    if (kept < 0)
        return nullptr;
    if (kept && words.get() == Py_None) // made of text: the text is the script
        return get_attr(self, S.api).release();
    if (!kept) {
        Ref api = get_attr(self, S.api);
        words = api ? call_method(api.get(), S.split, {S.space}) : Ref();
        if (!words)
            return nullptr;
    }
    return call(scribe, {words.get()}).release();
}

const ortan::MethodDef entry_methods[] = {
    {"__init__", Entry_init, "($self, api)", nullptr},
    {"__str__", Entry_str, "($self, /)", nullptr},
    {"__repr__", Entry_repr, "($self, /)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// History.

// The capacity: an int of at least 0, or None for no bound; the errors name the parameter (the
// deque's own name neither History nor max_history).
bool check_max_history(PyObject *max_history) {
    if (max_history == Py_None)
        return true;
    if (!PyLong_Check(max_history)) {
        PyErr_Format(PyExc_TypeError,
                     "History() argument 'max_history' must be an int or None, not '%.200s'",
                     Py_TYPE(max_history)->tp_name);
        return false;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    const int negative = zero ? PyObject_RichCompareBool(max_history, zero.get(), Py_LT) : -1;
    if (negative > 0)
        PyErr_SetString(PyExc_ValueError, "History() argument 'max_history' must be non-negative");
    return negative == 0;
}

PyObject *History_init(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *max_history;
    if (!parse_method_args("__init__", args, nargs, kwnames, {"max_history"}, 0, &max_history) ||
        (max_history && !check_max_history(max_history)))
        return nullptr;
    Ref default_max = max_history ? Ref() : Ref::steal(PyLong_FromLong(default_max_history));
    if (!max_history && !default_max)
        return nullptr;
    PyObject *self = args[0];
    if (!write_slot(history_slot, self,
                    new_deque(max_history ? max_history : default_max.get()).get()) ||
        !write_slot(markers_slot, self, Ref::steal(PyDict_New()).get()) ||
        !write_slot(active_slot, self, Ref::steal(PyList_New(0)).get()) ||
        !call_method(self, S.enable))
        return nullptr;
    Py_RETURN_NONE; // whatever enable() returns, as `self.enable()` in a Python __init__
}

PyObject *set_enabled(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const char *fname,
                      bool enabled, const char *message) {
    if (!no_arguments(fname, nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    if (!write_slot(enabled_slot, self, enabled ? Py_True : Py_False))
        return nullptr;
    Ref text_message = text(message);
    if (!text_message || !log_debug(text_message.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *History_enable(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return set_enabled(args, nargs, kwnames, "History.enable", true, "TclHistory is enabled.");
}

PyObject *History_disable(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return set_enabled(args, nargs, kwnames, "History.disable", false, "TclHistory is disabled.");
}

// Records one call: the Entry made, None while recording is disabled, or null with an
// exception set. Every quick call passes through here, so the common case (no active marker,
// logger not enabled for debug) costs one logger query, one Entry and one deque append.
Ref record(PyObject *self, PyObject *item) {
    // A history whose append leads back to itself is a cycle of C-only calls.
    RecursionGuard guard(" while recording a Tcl call");
    if (!guard.ok() || !log_appended(item))
        return Ref();
    Ref enabled = read_slot(enabled_slot, self);
    if (!enabled)
        return enabled;
    const int recording = PyObject_IsTrue(enabled.get());
    if (recording <= 0)
        return recording < 0 ? Ref() : Ref::borrow(Py_None);

    Ref entry = new_entry(item);
    Ref history = entry ? read_slot(history_slot, self) : Ref();
    if (!history || !append_entry(history.get(), entry.get()))
        return Ref();

    Ref active = read_slot(active_slot, self);
    if (!active)
        return active;
    if (PyList_CheckExact(active.get()) && PyList_GET_SIZE(active.get()) == 0)
        return entry;
    Ref markers = read_slot(markers_slot, self);
    Ref names = markers ? Ref::steal(PyObject_GetIter(active.get())) : Ref();
    if (!names)
        return names;
    while (Ref name = Ref::steal(PyIter_Next(names.get()))) {
        Ref entries = Ref::steal(PyObject_GetItem(markers.get(), name.get()));
        if (!entries || !append_entry(entries.get(), entry.get()))
            return Ref();
    }
    return PyErr_Occurred() ? Ref() : entry;
}

PyObject *History_append(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *item = nargs == 2 && !kwnames ? args[1] : nullptr;
    if (!item && !parse_method_args("append", args, nargs, kwnames, {"item"}, 1, &item))
        return nullptr;
    return record(args[0], item) ? Py_NewRef(Py_None) : nullptr;
}

// What append does, handing back the Entry made (None while recording is disabled), so that a
// quick call can add how its command ended. Quick calls use it only where the history's
// `append` is this class's own.
PyObject *History_record(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *item = nargs == 2 && !kwnames ? args[1] : nullptr;
    if (!item && !parse_method_args("_record", args, nargs, kwnames, {"item"}, 1, &item))
        return nullptr;
    return record(args[0], item).release();
}

bool clear_every_marker(PyObject *self) {
    Ref markers = get_attr(self, S.markers);
    Ref values = markers ? call_method(markers.get(), S.values) : Ref();
    Ref deques = values ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
    if (!deques)
        return false;
    while (Ref entries = Ref::steal(PyIter_Next(deques.get()))) {
        if (!call_method(entries.get(), S.clear))
            return false;
    }
    return !PyErr_Occurred();
}

PyObject *History_clear(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_method_args("clear", args, nargs, kwnames, {"marker", "clear_all"}, 0, params))
        return nullptr;
    PyObject *self = args[0];
    PyObject *marker = params[0] ? params[0] : Py_None;
    const int clear_all = params[1] ? PyObject_IsTrue(params[1]) : 0;
    if (clear_all < 0)
        return nullptr;
    Ref target;
    if (clear_all) {
        if (!clear_every_marker(self))
            return nullptr;
        target = get_attr(self, S.history);
    } else if (marker != Py_None) {
        Ref markers = get_attr(self, S.markers);
        target = markers ? Ref::steal(PyObject_GetItem(markers.get(), marker)) : Ref();
    } else {
        target = get_attr(self, S.history);
    }
    if (!target || !call_method(target.get(), S.clear))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *History_start_marker(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *marker;
    if (!parse_method_args("start_marker", args, nargs, kwnames, {"marker"}, 1, &marker))
        return nullptr;
    PyObject *self = args[0];
    Ref markers = get_attr(self, S.markers);
    if (!markers)
        return nullptr;
    const int known = PySequence_Contains(markers.get(), marker);
    if (known < 0)
        return nullptr;
    if (!known) {
        // A marker keeps as many entries as the main record.
        Ref history = get_attr(self, S.history);
        Ref maxlen = history ? get_attr(history.get(), S.maxlen) : Ref();
        Ref entries = maxlen ? new_deque(maxlen.get()) : Ref();
        if (!entries || PyObject_SetItem(markers.get(), marker, entries.get()) < 0)
            return nullptr;
    }
    Ref active = get_attr(self, S.active);
    if (!active || !call_method(active.get(), S.append, {marker}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *History_end_marker(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *marker;
    if (!parse_method_args("end_marker", args, nargs, kwnames, {"marker"}, 1, &marker))
        return nullptr;
    PyObject *self = args[0];
    Ref active = get_attr(self, S.active);
    if (!active)
        return nullptr;
    if (call_method(active.get(), S.remove, {marker}))
        Py_RETURN_NONE;
    // The list's own ValueError names neither the marker nor those that are active.
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        Ref actives = names_suffix(active.get(), "active", "no marker is active");
        if (actives)
            PyErr_Format(PyExc_ValueError, "marker %R is not active%U", marker, actives.get());
    }
    return nullptr;
}

// The entries of `entries` whose api text matches `regex` anywhere.
Ref matching(PyObject *entries, PyObject *regex) {
    Ref pattern = call(re_compile, {regex});
    if (!pattern)
        return pattern;
    Ref result = Ref::steal(PyList_New(0));
    if (!result)
        return result;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(entries, i));
        Ref api = get_attr(entry.get(), S.api);
        Ref found = api ? call_method(pattern.get(), S.search, {api.get()}) : Ref();
        if (!found)
            return Ref();
        if (found.get() != Py_None && PyList_Append(result.get(), entry.get()) < 0)
            return Ref();
    }
    return result;
}

PyObject *History_filter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[3];
    if (!parse_method_args("filter", args, nargs, kwnames, {"marker", "count", "regex"}, 0, params))
        return nullptr;
    PyObject *self = args[0];
    PyObject *marker = params[0] ? params[0] : Py_None;
    Ref default_count = params[1] ? Ref() : Ref::steal(PyLong_FromLong(20));
    PyObject *count = params[1] ? params[1] : default_count.get();
    PyObject *regex = params[2] ? params[2] : Py_None;
    if (!count)
        return nullptr;

    Ref source = marker != Py_None ? marker_entries(self, marker) : get_attr(self, S.history);
    Ref copy = source ? Ref::steal(PySequence_List(source.get())) : Ref();
    // The last `count` entries, as the slice [-count:] takes them (so 0 keeps everything).
    Ref start = copy ? Ref::steal(PyNumber_Negative(count)) : Ref();
    Ref cut = start ? Ref::steal(PySlice_New(start.get(), nullptr, nullptr)) : Ref();
    Ref entries = cut ? Ref::steal(PyObject_GetItem(copy.get(), cut.get())) : Ref();
    if (!entries)
        return nullptr;
    const int filtered = PyObject_IsTrue(regex);
    if (filtered < 0)
        return nullptr;
    return filtered ? matching(entries.get(), regex).release() : entries.release();
}

PyObject *History_str(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("History.__str__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref history = get_attr(self, S.history);
    return history ? PyObject_Str(history.get()) : nullptr;
}

PyObject *History_repr(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!no_arguments("History.__repr__", nargs, kwnames))
        return nullptr;
    PyObject *self = args[0];
    Ref history = get_attr(self, S.history);
    return history ? PyObject_Repr(history.get()) : nullptr;
}

const ortan::MethodDef history_methods[] = {
    {"__init__", History_init, "($self, max_history=9999)", nullptr},
    {"enable", History_enable, "($self)", "Record calls from now on."},
    {"disable", History_disable, "($self)",
     "Stop recording calls (they are still logged at debug level)."},
    {"append", History_append, "($self, item)", "Record one call: its text, or its list of words."},
    {"_record", History_record, "($self, item)",
     "append(item), returning the Entry made (None while recording is disabled)."},
    {"clear", History_clear, "($self, marker=None, clear_all=False)",
     "Empty the main record, or one marker's entries, or (clear_all) every marker and the main "
     "record."},
    {"start_marker", History_start_marker, "($self, marker)",
     "Collect the calls recorded from now on under `marker` as well."},
    {"end_marker", History_end_marker, "($self, marker)",
     "Stop collecting under `marker`; its entries stay available."},
    {"filter", History_filter, "($self, marker=None, count=20, regex=None)",
     "The last `count` entries (of `marker`, or of the main record), oldest first; with "
     "`regex`, only those of them whose text matches it."},
    {"__str__", History_str, "($self, /)", nullptr},
    {"__repr__", History_repr, "($self, /)", nullptr},
};

// ---------------------------------------------------------------------------------------------
// Module init.

const char *const entry_doc =
    "One recorded Tcl call: `api`, the call as one line of text; `timestamp`, when it was "
    "recorded; `error`, None or the error message of a call that failed; `duration`, the call's "
    "time in seconds (a monotonic clock); and `script`, the call as Tcl list text that reads "
    "back as exactly its words. A quick call fills in `error` and `duration` once its command "
    "has run; for an entry made by History.append they stay None.";

const char *const history_doc =
    "A bounded, timestamped record of Tcl calls.\n\n"
    "Holds at most `max_history` entries (oldest first; the oldest is dropped when full). "
    "Named markers collect the calls recorded while they are active; `filter` selects entries "
    "by marker, count and regular expression. Every appended call is logged at debug level on "
    "the logger 'ortan.tcl', also while recording is disabled.";

// An Entry's `timestamp`: see StampDescriptor.
bool add_timestamp(PyObject *ns) {
    if (!(stamp_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&stamp_type) < 0)
        return false;
    return set_item(ns, "timestamp", Ref::steal(PyType_GenericAlloc(&stamp_type, 0)));
}

const ortan::MethodDef script_def = {
    "script", Entry_script, "($self, /)",
    "The call as Tcl list text that reads back as exactly the words sent (made on each "
    "reading); for an entry made of text, that text."};

// An Entry's `script`: a read-only property.
bool add_script(PyObject *ns) {
    Ref getter = ortan::make_method(script_def, "Entry");
    Ref property =
        getter ? call(reinterpret_cast<PyObject *>(&PyProperty_Type), {getter.get()}) : Ref();
    return set_item(ns, "script", property);
}

// The class's state: the slots, and the Entry's timestamp or the History's default size.
bool add_state(PyObject *ns, bool is_entry) {
    if (is_entry)
        return add_timestamp(ns) && add_script(ns) && set_item(ns, "error", Ref::borrow(Py_None)) &&
               set_item(ns, "__slots__",
                        Ref::steal(Py_BuildValue("(ssssss)", "api", "duration", "_timestamp_ns",
                                                 "_words", "__dict__", "__weakref__")));
    return set_item(ns, "__MAX_HISTORY__", Ref::steal(PyLong_FromLong(default_max_history))) &&
           set_item(ns, "__slots__",
                    Ref::steal(Py_BuildValue("(ssssss)", "__history__", "__markers__",
                                             "__activeMarkers__", "enabled", "__dict__",
                                             "__weakref__")));
}

// The state comes first in the class namespace, then the methods.
template <size_t N>
Ref make_class(const char *name, const char *doc, const MethodDef (&methods)[N], bool is_entry) {
    return new_class(module_name, class_def(name, nullptr, doc), nullptr,
                     [&](PyObject *ns, const char *qualname) {
                         return add_state(ns, is_entry) && add_methods(ns, methods, qualname);
                     });
}

// `get_time` if it is datetime.datetime.now, whose readings an Entry can keep raw; else null.
PyObject *find_stock_time(PyObject *get_time) {
    if (!PyCFunction_Check(get_time) ||
        PyCFunction_GET_SELF(get_time) != reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType))
        return nullptr;
    const char *name = reinterpret_cast<PyCFunctionObject *>(get_time)->m_ml->ml_name;
    return std::strcmp(name, "now") == 0 ? get_time : nullptr;
}

const char *const module_doc =
    "Call history: `History`, a bounded, timestamped record of Tcl calls with named markers, "
    "and `Entry`, one recorded call.";

bool init_module(PyObject *m) {
    if (!S.intern())
        return false;
    if (!bind_public_names(m, {"Entry", "History", "log"}))
        return false;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        return false;
    PyObject *get_time = nullptr;
    Ref logging = import_module("logging");
    Ref re = import_module("re");
    if (!logging || !re || !bind(m, "re", re) || !bind(m, "logging", logging) ||
        !bind(m, "deque", import_attr("collections", "deque"), &deque_type) ||
        !bind(m, "get_time", import_family_attr("ortan.utils.utils", "get_time"), &get_time))
        return false;
    // Held for the process (a strong reference), so that no other object can take its address
    // once the module's global is replaced.
    stock_time = find_stock_time(get_time);
    module_dict = PyModule_GetDict(m); // borrowed: the module lives as long as the process
    Ref get_logger = get_attr(logging.get(), "getLogger");
    Ref logger_name = text("ortan.tcl");
    if (!get_logger || !logger_name ||
        !bind(m, "log", call(get_logger.get(), {logger_name.get()}), &logger))
        return false;
    deque_append = get_attr(deque_type, S.append).release();
    if (!deque_append)
        return false;
    debug_level = get_attr(logging.get(), "DEBUG").release();
    Ref logger_cls = get_attr(logging.get(), "Logger");
    // The function itself, as the class's dict holds it (what a type lookup finds).
    is_enabled_for =
        logger_cls
            ? PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(logger_cls.get())->tp_dict,
                                      S.is_enabled_for)
            : nullptr;
    if (!is_enabled_for) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "logging.Logger has no isEnabledFor");
        return false;
    }
    Py_INCREF(is_enabled_for);
    scribe = import_attr("ortan.tcl.scribe", "scribe").release();
    re_compile = get_attr(re.get(), "compile").release();
    maxlen_kwnames = PyTuple_Pack(1, S.maxlen);
    if (!debug_level || !re_compile || !maxlen_kwnames || !scribe)
        return false;
    Ref history_cls = make_class("History", history_doc, history_methods, false);
    if (!bind(m, "Entry", make_class("Entry", entry_doc, entry_methods, true), &entry_cls) ||
        !bind(m, "History", history_cls) ||
        !find_slot(history_slot, history_cls.get(), S.history) ||
        !find_slot(markers_slot, history_cls.get(), S.markers) ||
        !find_slot(active_slot, history_cls.get(), S.active) ||
        !find_slot(enabled_slot, history_cls.get(), S.enabled))
        return false;
    if (!find_slot(entry_api_slot, entry_cls, S.api) ||
        !find_slot(entry_ns_slot, entry_cls, S.timestamp_ns) ||
        !find_slot(entry_duration_slot, entry_cls, S.duration) ||
        !find_slot(entry_words_slot, entry_cls, S.words))
        return false;
    entry_init = defined_init(entry_cls).release();
    if (!entry_init)
        return false;
    logger_type = Py_TYPE(logger);
    return entry_guard.watch(reinterpret_cast<PyTypeObject *>(entry_cls),
                             plain_construction(entry_cls, entry_init)) &&
           logger_guard.watch(logger_type, plain_logger(logger_type));
}

PyModuleDef module_def = define_module(module_name, module_doc);

} // namespace

PyMODINIT_FUNC PyInit_history() { return create_module(module_def, init_module); }

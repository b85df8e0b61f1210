// ortan.tcl.internal: the Tcl shared library bound at import, its list scanner and Tcl's
// dictionary order.
#include "support.h"

#include "internal/dictionary_order.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

using ortan::Ref;
using ortan::dictionary_order::Cursor;
using ortan::dictionary_order::dictionary_compare;

using ortan::add_classmethod;
using ortan::as_cfunction;
using ortan::bind;
using ortan::bind_from_interp;
using ortan::bind_public_names;
using ortan::bound_tcl_api;
using ortan::call;
using ortan::call_method;
using ortan::class_def;
using ortan::create_module;
using ortan::define_module;
using ortan::file_holding;
using ortan::get_attr;
using ortan::get_optional_attr;
using ortan::import_attr;
using ortan::import_module;
using ortan::interp_of;
using ortan::MethodDef;
using ortan::module_function;
using ortan::new_class;
using ortan::parse_args;
using ortan::parse_method_args;
using ortan::set_item;
using ortan::SmallArray;
using ortan::static_type;
using ortan::string_result_of;
using ortan::tcl_api;
using ortan::TCL_ERROR;
using ortan::TCL_OK;
using ortan::TclApi;
using ortan::TclInterp;
using ortan::TclThreadId;
using ortan::text;
using ortan::text_ready;
using ortan::tkapp_of;
using ortan::visit_text;

namespace {

// ---------------------------------------------------------------------------------------------
// Module constants, set once by the module init and never changed afterwards.
//
// The objects are strong references that are never released (the process keeps them, as it
// keeps interned strings), so they stay valid whatever happens to the module's globals.

#define INTERNAL_NAMES(X)                                                                          \
    X(value, "value")                                                                              \
    X(interpaddr, "interpaddr")                                                                    \
    X(file, "__file__")                                                                            \
    X(create_interp, "Tcl_CreateInterp")                                                           \
    X(get_string_result, "Tcl_GetStringResult")                                                    \
    X(cfunctype, "CFUNCTYPE")
ORTAN_NAME_TABLE(Names, INTERNAL_NAMES)
Names S; // attribute names: S.value, S.interpaddr

// The functions of the Tcl library, bound by the first interpreter met (bound_tcl_api or
// bind_from_interp before each use).
const TclApi &tcl = tcl_api();

PyObject *interp_class; // Tcl_Interp_p
PyObject *tk_class;     // tkinter.Tk
PyObject *tcl_error;    // tkinter.TclError
PyObject *abc_sequence; // collections.abc.Sequence
PyObject *abc_set;      // collections.abc.Set
PyObject *ctypes_cast;  // ctypes.cast
PyObject *c_void_p;     // ctypes.c_void_p
PyObject *c_char_p;     // ctypes.c_char_p

const char module_name[] = "ortan.tcl.internal";

// The calling convention of every function of the module.
constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// Replaces a constant with a new strong reference (a second init of the module replaces the
// first one's objects), as bind does for the constants that are module globals too.
void keep(PyObject *&slot, const Ref &value) {
    PyObject *old = slot;
    slot = Ref(value).release();
    Py_XDECREF(old);
}

// ---------------------------------------------------------------------------------------------
// Which interpreters are alive, and which thread owns each.
//
// A Tcl interpreter may be used only from the thread that created it, and only while it
// exists. A raw Tcl_Interp_p is an address and nothing more, so every interpreter met through
// its tkinter object on its own thread is recorded by address: that thread, and Tcl
// association data whose delete procedure marks
// the record dead when Tcl deletes the interpreter. A raw address is checked against that
// record. The record is keyed by address because that is all a raw pointer carries; it grows
// by one small entry per interpreter ever met, and an address that a new interpreter reuses is
// revived when that interpreter is met. Delete procedures run without the GIL, hence the lock.

// One record per interpreter ever met, newest first (a list: a process meets few interpreters).
struct InterpRecord {
    InterpRecord *next;
    TclInterp *interp;
    TclThreadId owner;
    bool alive;
};

std::mutex records_lock;
InterpRecord *records = nullptr; // never freed: delete procedures may run until the process ends

const char *const assoc_key = "ortan.tcl.internal";

// The record of `interp`, or null. With records_lock held.
InterpRecord *record_of(TclInterp *interp) {
    for (InterpRecord *record = records; record; record = record->next)
        if (record->interp == interp)
            return record;
    return nullptr;
}

void interp_deleted(void *, TclInterp *interp) {
    std::lock_guard<std::mutex> hold(records_lock);
    if (InterpRecord *record = record_of(interp))
        record->alive = false;
}

// On the interpreter's own thread: records it as alive there.
bool record_owner(TclInterp *interp) {
    {
        std::lock_guard<std::mutex> hold(records_lock);
        InterpRecord *record = record_of(interp);
        if (!record) {
            record = new (std::nothrow) InterpRecord{records, interp, nullptr, false};
            if (!record) {
                PyErr_NoMemory();
                return false;
            }
            records = record;
        }
        record->owner = tcl.GetCurrentThread();
        record->alive = true;
    }
    tcl.SetAssocData(interp, assoc_key, interp_deleted, nullptr);
    return true;
}

// What the record says of `interp`: 1 alive (owner set), 0 deleted, -1 never met.
int lookup(TclInterp *interp, TclThreadId &owner) {
    std::lock_guard<std::mutex> hold(records_lock);
    const InterpRecord *record = record_of(interp);
    if (!record)
        return -1;
    owner = record->owner;
    return record->alive ? 1 : 0;
}

// The interpreter objects that Tcl_Interp_p.from_param accepts.
enum class InterpKind { none, pointer, tk };

// Sorts `interp` into one of the kinds; false with ValueError for anything else (or with the
// error of a failed isinstance).
bool interp_kind(PyObject *interp, InterpKind *kind) {
    if (interp == Py_None) {
        *kind = InterpKind::none;
        return true;
    }
    const int is_pointer = PyObject_IsInstance(interp, interp_class);
    if (is_pointer < 0)
        return false;
    if (is_pointer) {
        *kind = InterpKind::pointer;
        return true;
    }
    const int is_tk = PyObject_IsInstance(interp, tk_class);
    if (is_tk < 0)
        return false;
    if (!is_tk) {
        PyErr_Format(PyExc_ValueError, "Unrecognized Tcl interpreter object: %R", interp);
        return false;
    }
    *kind = InterpKind::tk;
    return true;
}

// The address that Tcl_Interp_p.from_param passes for `interp` of kind `kind`: null for None,
// the value of a Tcl_Interp_p, tk.interpaddr() for a tkinter.Tk. False with an exception set.
bool interp_address(PyObject *interp, InterpKind kind, TclInterp **address) {
    *address = nullptr;
    if (kind == InterpKind::none)
        return true;
    Ref value =
        kind == InterpKind::pointer ? get_attr(interp, S.value) : call_method(interp, S.interpaddr);
    if (!value)
        return false;
    if (value.get() == Py_None)
        return true;
    *address = static_cast<TclInterp *>(PyLong_AsVoidPtr(value.get()));
    return !(*address == nullptr && PyErr_Occurred());
}

// Records the interpreter of a tkinter.Tk, which is alive (the Tk holds it), when the calling
// thread owns it and the record does not have it alive yet. A Tk without an application object
// (a subclass that never set one up) teaches nothing; another thread learns nothing either
// (the check refuses it then), and any other failure is an error.
bool learn_owner(PyObject *tk, TclInterp *address) {
    TclThreadId owner = nullptr;
    if (lookup(address, owner) == 1)
        return true;
    Ref tkapp = tkapp_of(tk);
    if (!tkapp) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return false;
        PyErr_Clear();
        return true;
    }
    const int mine = ortan::owns_interp(tkapp.get());
    if (mine < 0)
        return false;
    return !mine || (bind_from_interp(address) && record_owner(address));
}

// What a check does with an address it never met.
enum class Unknown { refuse, allow };

// Checks that `interp` (an address of kind `kind`, not null) is alive and that the calling
// thread owns it: false with RuntimeError when it was deleted, belongs to another thread, or
// was never met and `unknown` refuses it.
bool check_owner(PyObject *interp, InterpKind kind, TclInterp *address, Unknown unknown) {
    if (kind == InterpKind::tk && !learn_owner(interp, address))
        return false;
    TclThreadId owner = nullptr;
    const int state = lookup(address, owner);
    if (state == 1 && owner == tcl.GetCurrentThread())
        return true;
    if (state == 1 || kind == InterpKind::tk) // a Tk is alive: another thread's
        return ortan::refuse_other_thread("using a Tcl interpreter");
    if (state == 0) {
        PyErr_Format(PyExc_RuntimeError, "the Tcl interpreter at %p has been deleted",
                     static_cast<void *>(address));
        return false;
    }
    if (unknown == Unknown::allow)
        return true;
    PyErr_Format(PyExc_RuntimeError,
                 "cannot tell which thread owns the Tcl interpreter at %p: it was never seen "
                 "with its tkinter object; pass the tkinter.Tk itself (once, from the "
                 "interpreter's own thread, is enough)",
                 static_cast<void *>(address));
    return false;
}

// The interpreter that `interp` names (None, a Tcl_Interp_p or a tkinter.Tk), or null for
// none, checked to belong to the calling thread. False with an exception set: ValueError for
// an object of another kind, RuntimeError from another thread or for an address never seen.
bool owned_interp(PyObject *interp, TclInterp **address) {
    InterpKind kind;
    if (!interp_kind(interp, &kind) || !interp_address(interp, kind, address))
        return false;
    return *address == nullptr || check_owner(interp, kind, *address, Unknown::refuse);
}

// ---------------------------------------------------------------------------------------------
// Text from Tcl.

// Scratch bytes that start on the stack: most list elements are short.
using Scratch = SmallArray<char, 256>;

// Room for `size` bytes, or null with MemoryError set. The contents are not kept.
inline char *scratch_room(Scratch &scratch, size_t size) {
    scratch.clear();
    return scratch.resize(size) ? scratch.data() : nullptr;
}

int store_utf8(char *out, Py_UCS4 ch) {
    if (ch < 0x80) {
        out[0] = static_cast<char>(ch);
        return 1;
    }
    if (ch < 0x800) {
        out[0] = static_cast<char>(0xC0 | (ch >> 6));
        out[1] = static_cast<char>(0x80 | (ch & 0x3F));
        return 2;
    }
    if (ch < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (ch >> 12));
        out[1] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (ch & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (ch >> 18));
    out[1] = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (ch & 0x3F));
    return 4;
}

// The surrogate encoded by the three bytes at `u` (ED, then `second_lo`..`second_lo + 0xF`, then
// a continuation byte), or 0 when they encode none of that range.
Py_UCS4 encoded_surrogate(const unsigned char *u, unsigned second_lo) {
    if (u[0] != 0xED || u[1] < second_lo || u[1] > second_lo + 0xF || (u[2] & 0xC0) != 0x80)
        return 0;
    return 0xD000 | ((u[1] & 0x3Fu) << 6) | (u[2] & 0x3Fu);
}

// Text in Tcl's internal form, which is UTF-8 except that NUL is the pair C0 80 and a character
// beyond the BMP may come as two encoded surrogates (from "\uD83D\uDE00" and the like). The
// repair matches tkinter's, so that elements read here equal those of tk.splitlist: C0 80 is
// U+0000, an encoded surrogate pair is its character, and any byte still invalid is decoded
// with "surrogateescape".
Ref decode_tcl_repaired(const char *s, Py_ssize_t n) {
    Scratch scratch;
    char *out = scratch_room(scratch, static_cast<size_t>(n) + 1);
    if (!out)
        return Ref();
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    Py_ssize_t i = 0, j = 0;
    while (i < n) {
        if (u[i] == 0xC0 && i + 1 < n && u[i + 1] == 0x80) {
            out[j++] = '\0';
            i += 2;
            continue;
        }
        if (u[i] == 0xED && i + 5 < n) {
            Py_UCS4 high = encoded_surrogate(u + i, 0xA0);
            Py_UCS4 low = high ? encoded_surrogate(u + i + 3, 0xB0) : 0;
            if (low) {
                j += store_utf8(out + j, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
                i += 6;
                continue;
            }
        }
        out[j++] = s[i++];
    }
    return Ref::steal(PyUnicode_DecodeUTF8(out, j, "surrogateescape"));
}

Ref decode_tcl(const char *s, Py_ssize_t n) {
    PyObject *text = PyUnicode_DecodeUTF8(s, n, nullptr);
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return Ref::steal(text);
    PyErr_Clear();
    return decode_tcl_repaired(s, n);
}

// Raises tkinter.TclError with the result text of `interp` (when not null and not empty), else
// with `default_msg` (when that is true), else without arguments. Returns null.
PyObject *raise_tcl_error(TclInterp *interp, PyObject *default_msg) {
    Ref message;
    if (interp) {
        if (!bind_from_interp(interp))
            return nullptr;
        const char *result = tcl.GetStringResult(interp);
        message = decode_tcl(result, static_cast<Py_ssize_t>(std::strlen(result)));
        if (!message)
            return nullptr;
    }
    if (!message || PyUnicode_GET_LENGTH(message.get()) == 0)
        message = Ref::borrow(default_msg);
    int has_message = message ? PyObject_IsTrue(message.get()) : 0;
    if (has_message < 0)
        return nullptr;
    // The instance is made here so that a tuple message stays one argument.
    Ref error = has_message ? call(tcl_error, {message.get()}) : call(tcl_error);
    if (error)
        PyErr_SetObject(tcl_error, error.get());
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// List parsing.

// A list text as Tcl's scanner reads it: UTF-8 in Tcl's internal form, where NUL is C0 80 (as
// tkinter hands text to Tcl), so that the whole text is scanned and Tcl's error messages quote
// it intact. The scanner sees it through a window, [start(), end()), that extend() moves on.
// ASCII text without NUL is its own UTF-8: the window lies on the str's own buffer. Any other
// text is encoded a chunk at a time into a buffer that the scan reuses, so that a long text
// is never copied whole.
class ListText {
  public:
    // False with an exception set when the text cannot be encoded (a lone surrogate).
    bool init(PyObject *text) {
        if (!text_ready(text))
            return false;
        text_ = text;
        length_ = PyUnicode_GET_LENGTH(text);
        kind_ = PyUnicode_KIND(text);
        source_ = PyUnicode_DATA(text);
        if (PyUnicode_IS_ASCII(text) && !std::memchr(source_, '\0', static_cast<size_t>(length_))) {
            direct_ = true;
            start_ = static_cast<const char *>(source_);
            text_end_ = start_ + length_;
            end_ = window_end(start_);
            return true;
        }
        if (kind_ != PyUnicode_1BYTE_KIND && has_surrogate()) {
            Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text)); // raises the codec's error
            if (encoded)
                PyErr_SetString(PyExc_SystemError, "a surrogate that UTF-8 encodes");
            return false;
        }
        start_ = end_ = nullptr;
        return true;
    }

    bool empty() const { return length_ == 0; }
    // Whether the text is ASCII throughout (so is every element).
    bool ascii() const { return direct_; }
    const char *start() const { return start_; }
    const char *end() const { return end_; }
    // Whether the window reaches the end of the text.
    bool complete() const { return direct_ ? end_ == text_end_ : next_char_ == length_; }
    // An upper bound of the bytes from `p` (in the window) to the end of the text.
    Py_ssize_t remaining(const char *p) const {
        return (end_ - p) + (direct_ ? text_end_ - end_ : length_ - next_char_);
    }

    // Moves the window to start at `from` (inside it, or its end) and to hold more of the text:
    // at least twice what it held from there, so that an element longer than a window is met
    // whole in the end. False with an exception set: MemoryError, or OverflowError for an
    // element longer than Tcl's scanner takes at once (2 GiB).
    bool extend(const char *from) {
        const Py_ssize_t kept = end_ - from;
        if (direct_) {
            if (from == start_) // an element longer than Tcl's scanner takes
                return too_long();
            start_ = from;
            end_ = window_end(from);
            return true;
        }
        if (kept >= max_window)
            return too_long();
        Py_ssize_t wanted = kept < chunk / 2 ? chunk : kept * 2;
        if (wanted > max_window)
            wanted = max_window;
        // A character takes at most 4 bytes: room for one more past `wanted`.
        if (kept > 0 && buffer_.data() != from)
            std::memmove(buffer_.data(), from, static_cast<size_t>(kept));
        buffer_.resize(static_cast<size_t>(kept)); // shrinks: never fails
        if (!buffer_.reserve(static_cast<size_t>(wanted) + 4))
            return false;
        char *out = buffer_.data() + kept;
        char *const stop = buffer_.data() + wanted;
        switch (kind_) {
        case PyUnicode_1BYTE_KIND:
            out = encode(static_cast<const Py_UCS1 *>(source_), out, stop);
            break;
        case PyUnicode_2BYTE_KIND:
            out = encode(static_cast<const Py_UCS2 *>(source_), out, stop);
            break;
        default:
            out = encode(static_cast<const Py_UCS4 *>(source_), out, stop);
            break;
        }
        start_ = buffer_.data();
        end_ = out;
        return true;
    }

  private:
    static constexpr Py_ssize_t chunk = 64 * 1024; // bytes encoded at a time
    // Tcl's scanner takes an int length; an encoded window passes its end by up to 3 bytes.
    static constexpr Py_ssize_t max_window = INT_MAX - 4;

    static bool too_long() {
        PyErr_SetString(PyExc_OverflowError, "list element is too long");
        return false;
    }

    const char *window_end(const char *from) const {
        return text_end_ - from > INT_MAX ? from + INT_MAX : text_end_;
    }

    bool has_surrogate() const {
        if (kind_ == PyUnicode_2BYTE_KIND) {
            const auto *c = static_cast<const Py_UCS2 *>(source_);
            for (Py_ssize_t i = 0; i < length_; ++i)
                if ((c[i] & 0xF800) == 0xD800)
                    return true;
            return false;
        }
        const auto *c = static_cast<const Py_UCS4 *>(source_);
        for (Py_ssize_t i = 0; i < length_; ++i)
            if ((c[i] & 0xFFFFF800) == 0xD800)
                return true;
        return false;
    }

    // Encodes characters from next_char_ on until `stop` is reached (or passed by at most 3
    // bytes) or the text ends; returns the end of what was written.
    template <class Char> char *encode(const Char *chars, char *out, char *const stop) {
        Py_ssize_t i = next_char_;
        while (i < length_ && out < stop) {
            if (sizeof(Char) == 1) {
                // Eight ASCII characters without NUL at a time: copied as they are.
                constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
                uint64_t word;
                while (i + 8 <= length_ && out + 8 <= stop) {
                    std::memcpy(&word, chars + i, 8);
                    if ((word & highs) | ((word - ones) & ~word & highs))
                        break;
                    std::memcpy(out, &word, 8);
                    i += 8;
                    out += 8;
                }
                if (i == length_ || out >= stop)
                    break;
            }
            const Py_UCS4 ch = chars[i++];
            if (ch - 1 < 0x7F) { // ASCII but NUL
                *out++ = static_cast<char>(ch);
            } else if (ch < 0x800) { // NUL as C0 80
                *out++ = static_cast<char>(0xC0 | (ch >> 6));
                *out++ = static_cast<char>(0x80 | (ch & 0x3F));
            } else if (ch < 0x10000) {
                *out++ = static_cast<char>(0xE0 | (ch >> 12));
                *out++ = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
                *out++ = static_cast<char>(0x80 | (ch & 0x3F));
            } else {
                *out++ = static_cast<char>(0xF0 | (ch >> 18));
                *out++ = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
                *out++ = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
                *out++ = static_cast<char>(0x80 | (ch & 0x3F));
            }
        }
        next_char_ = i;
        return out;
    }

    PyObject *text_ = nullptr; // borrowed: the caller holds it
    const void *source_ = nullptr;
    Py_ssize_t length_ = 0; // in characters
    int kind_ = PyUnicode_1BYTE_KIND;
    bool direct_ = false;
    // Direct: the window on the str's buffer, which ends at text_end_.
    const char *text_end_ = nullptr;
    // Encoded: the window is buffer_; next_char_ is the first character not yet encoded.
    SmallArray<char, 256> buffer_;
    Py_ssize_t next_char_ = 0;
    const char *start_ = nullptr;
    const char *end_ = nullptr;
};

// A slice of an ASCII text as str: no scan for the widest character is needed.
Ref ascii_text(const char *s, Py_ssize_t n) {
    if (n <= 1) // the runtime's cached one-character strings
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, s, n));
    Ref text = Ref::steal(PyUnicode_New(n, 127));
    if (text)
        std::memcpy(PyUnicode_DATA(text.get()), s, static_cast<size_t>(n));
    return text;
}

inline bool is_ascii(const char *s, Py_ssize_t n) {
    unsigned char bits = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        bits |= static_cast<unsigned char>(s[i]);
    return bits < 0x80;
}

// A slice of UTF-8 that holds a character beyond ASCII, as str. Text of Latin-1 characters
// only (ASCII and the two-byte sequences C2 80 to C3 BF) is read here, in two quick passes;
// anything else goes to the UTF-8 decoder.
Ref latin1_text(const char *s, Py_ssize_t n) {
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    Py_ssize_t chars = 0;
    for (Py_ssize_t i = 0; i < n; ++chars) {
        if (u[i] < 0x80)
            i += 1;
        else if ((u[i] == 0xC2 || u[i] == 0xC3) && i + 1 < n && (u[i + 1] & 0xC0) == 0x80)
            i += 2;
        else
            return decode_tcl(s, n);
    }
    if (chars == 1) // the runtime's cached one-character strings
        return Ref::steal(PyUnicode_FromOrdinal(((u[0] & 0x03) << 6) | (u[1] & 0x3F)));
    Ref text = Ref::steal(PyUnicode_New(chars, 255));
    if (!text)
        return text;
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(text.get());
    for (Py_ssize_t i = 0; i < n; ++out) {
        if (u[i] < 0x80) {
            *out = u[i];
            i += 1;
        } else {
            *out = static_cast<Py_UCS1>(((u[i] & 0x03) << 6) | (u[i + 1] & 0x3F));
            i += 2;
        }
    }
    return text;
}

// Most elements are ASCII even in a text that is not: those skip the UTF-8 decoder.
Ref element_text(const char *element, Py_ssize_t size, bool literal, bool ascii, Scratch &scratch) {
    if (!literal) {
        // Collapsing backslash sequences never lengthens an element; Tcl adds a NUL.
        char *buffer = scratch_room(scratch, static_cast<size_t>(size) + 1);
        if (!buffer)
            return Ref();
        size = tcl.CopyAndCollapse(size, element, buffer);
        element = buffer;
        ascii = false;
    }
    if (ascii || is_ascii(element, size))
        return ascii_text(element, size);
    return latin1_text(element, size);
}

// The elements, in a tuple grown as they are found (its memory follows the element count,
// however much white space the text holds) and cut to size at the end.
class TupleBuilder {
  public:
    // False with an exception set, also when `item` is null (its maker failed). `remaining` is
    // the number of bytes left after this element: at most (remaining + 1) / 2 more elements
    // can follow (each takes a byte and a separator), which bounds the growth.
    bool append(Ref item, Py_ssize_t remaining) {
        if (!item)
            return false;
        if (count_ == capacity_) {
            Py_ssize_t most = count_ + 1 + (remaining + 1) / 2;
            Py_ssize_t grown = capacity_ < 16 ? 16 : capacity_ * 2;
            if (!resize(grown < most ? grown : most))
                return false;
        }
        PyTuple_SET_ITEM(tuple_.get(), count_++, item.release());
        return true;
    }
    // The tuple of the elements. One with spare room is copied into a new one of the exact
    // size rather than cut down in place: the large block is then freed at the size it was
    // taken, so the allocator keeps it for the next large list instead of mapping fresh pages
    // (measured: a tenth fewer page faults, about 5% of the time of a 200,000-element split).
    Ref finish() {
        if (count_ == 0)
            return Ref::steal(PyTuple_New(0));
        if (count_ == capacity_)
            return std::move(tuple_);
        Ref exact = Ref::steal(PyTuple_New(count_));
        if (!exact)
            return exact;
        PyObject **from = &PyTuple_GET_ITEM(tuple_.get(), 0);
        std::memcpy(&PyTuple_GET_ITEM(exact.get(), 0), from, sizeof(PyObject *) * count_);
        std::memset(static_cast<void *>(from), 0, sizeof(PyObject *) * count_);
        return exact;
    }

  private:
    bool resize(Py_ssize_t capacity) {
        if (!tuple_) {
            tuple_ = Ref::steal(PyTuple_New(capacity));
        } else {
            PyObject *tuple = tuple_.release();
            if (_PyTuple_Resize(&tuple, capacity) < 0)
                return false; // the tuple is gone
            tuple_ = Ref::steal(tuple);
        }
        capacity_ = capacity;
        return bool(tuple_);
    }

    Ref tuple_; // slots past count_ are still null
    Py_ssize_t capacity_ = 0;
    Py_ssize_t count_ = 0;
};

// Splits the list text with Tcl's own scanner, one element per TclFindElement call.
Ref split_list(PyObject *source, PyObject *interp_obj) {
    ListText list;
    if (!list.init(source))
        return Ref();
    if (list.empty())
        return Ref::steal(PyTuple_New(0));
    TclInterp *interp = nullptr;
    if (!owned_interp(interp_obj, &interp) || !bind_from_interp(interp))
        return Ref();

    TupleBuilder items;
    Scratch scratch;
    const char *p = list.start();
    for (;;) {
        const bool complete = list.complete();
        if (p >= list.end() && complete)
            break;
        const char *element = nullptr, *next = nullptr;
        Py_ssize_t size = 0;
        int literal = 0;
        // An element is taken once the scan has seen what follows it (next inside the window)
        // or the end of the text; anything else, failures included, is read again from `p`
        // in a wider window. The interpreter gets Tcl's message only for a final failure.
        const int code = p < list.end()
                             ? tcl.FindElement(complete ? interp : nullptr, p, list.end() - p,
                                               &element, &next, &size, &literal)
                             : TCL_ERROR;
        if (!complete && (code != TCL_OK || next >= list.end())) {
            if (!list.extend(p))
                return Ref();
            p = list.start();
            continue;
        }
        if (code != TCL_OK) {
            Ref message = text("invalid list element");
            return message ? Ref::steal(raise_tcl_error(interp, message.get())) : message;
        }
        if (element >= list.end()) // only white space was left
            break;
        // Tcl 8.6 sets `literal` for braced elements and for bare ones without a backslash,
        // older versions only for braced ones: collapsing when it is clear suits both.
        if (!items.append(element_text(element, size, literal != 0, list.ascii(), scratch),
                          list.remaining(next)))
            return Ref();
        p = next;
    }
    return items.finish();
}

// The cases that are not parsed: plain numbers, containers and None. Returns 1 with `out` set,
// 0 for a value to parse as text, -1 with an exception set.
int list_from_value(PyObject *obj, Ref &out) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type) {
        out = Ref::steal(PyTuple_Pack(1, obj));
        return out ? 1 : -1;
    }
    int is_container = PyTuple_Check(obj) || PyList_Check(obj);
    if (!is_container) {
        is_container = PyObject_IsInstance(obj, abc_sequence);
        if (is_container == 0)
            is_container = PyObject_IsInstance(obj, abc_set);
        if (is_container < 0)
            return -1;
    }
    if (is_container) {
        out = Ref::steal(PySequence_Tuple(obj));
        return out ? 1 : -1;
    }
    if (obj == Py_None) {
        out = Ref::steal(PyTuple_New(0));
        return out ? 1 : -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Dictionary order.

long compare_texts(PyObject *left, PyObject *right) {
    return visit_text(left, [&](const auto *l, Py_ssize_t nl) {
        return visit_text(right, [&](const auto *r, Py_ssize_t nr) {
            using L = std::remove_const_t<std::remove_pointer_t<decltype(l)>>;
            using R = std::remove_const_t<std::remove_pointer_t<decltype(r)>>;
            return dictionary_compare(Cursor<L>{l, nl}, Cursor<R>{r, nr});
        });
    });
}

// str(obj), ready to be read by kind.
Ref as_text(PyObject *obj) {
    Ref text = PyUnicode_CheckExact(obj) ? Ref::borrow(obj) : Ref::steal(PyObject_Str(obj));
    if (text && !text_ready(text.get()))
        return Ref();
    return text;
}

// ---------------------------------------------------------------------------------------------
// Functions.

// ctypes.cast(ptr, c_void_p) with its address moved by `count` bytes (`step` is the in-place
// add or subtract), cast back to the type of `ptr`.
PyObject *moved_pointer(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        const char *name, PyObject *(*step)(PyObject *, PyObject *)) {
    PyObject *params[2];
    if (!parse_args(name, args, static_cast<size_t>(nargs), kwnames, {"ptr", "count"}, 2, params))
        return nullptr;
    PyObject *ptr = params[0];
    PyObject *count = params[1];
    Ref p = call(ctypes_cast, {ptr, c_void_p});
    Ref value = p ? get_attr(p.get(), S.value) : Ref();
    Ref moved = value ? Ref::steal(step(value.get(), count)) : Ref();
    if (!moved || PyObject_SetAttr(p.get(), S.value, moved.get()) < 0)
        return nullptr;
    return call(ctypes_cast, {p.get(), reinterpret_cast<PyObject *>(Py_TYPE(ptr))}).release();
}

const char ptr_add_doc[] = "_ptr_add($module, /, ptr, count)\n--\n\n"
                           "The pointer `count` bytes after `ptr`, of the same ctypes type.";

PyObject *ptr_add(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return moved_pointer(args, nargs, kwnames, "_ptr_add", PyNumber_InPlaceAdd);
}

const char ptr_sub_doc[] = "_ptr_sub($module, /, ptr, count)\n--\n\n"
                           "The pointer `count` bytes before `ptr`, of the same ctypes type.";

PyObject *ptr_sub(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return moved_pointer(args, nargs, kwnames, "_ptr_sub", PyNumber_InPlaceSubtract);
}

const char ptr_diff_doc[] = "_ptr_diff($module, /, ptr1, ptr2)\n--\n\n"
                            "The distance in bytes from `ptr2` to `ptr1`.";

PyObject *ptr_diff(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_args("_ptr_diff", args, static_cast<size_t>(nargs), kwnames, {"ptr1", "ptr2"}, 2,
                    params))
        return nullptr;
    PyObject *ptr1 = params[0];
    PyObject *ptr2 = params[1];
    Ref p1 = call(ctypes_cast, {ptr1, c_void_p});
    Ref v1 = p1 ? get_attr(p1.get(), S.value) : Ref();
    Ref p2 = v1 ? call(ctypes_cast, {ptr2, c_void_p}) : Ref();
    Ref v2 = p2 ? get_attr(p2.get(), S.value) : Ref();
    return v2 ? PyNumber_Subtract(v1.get(), v2.get()) : nullptr;
}

const char error_doc[] =
    "TclError_from_interp($module, /, interp, default_msg=None)\n--\n\n"
    "Raises tkinter.TclError with the interpreter's result text, or `default_msg` when there\n"
    "is no interpreter or its result is empty.";

PyObject *TclError_from_interp(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_args("TclError_from_interp", args, static_cast<size_t>(nargs), kwnames,
                    {"interp", "default_msg"}, 1, params))
        return nullptr;
    PyObject *interp_obj = params[0];
    PyObject *default_msg = params[1] ? params[1] : Py_None;
    int has_interp = PyObject_IsTrue(interp_obj);
    if (has_interp < 0)
        return nullptr;
    TclInterp *interp = nullptr;
    if (has_interp && !owned_interp(interp_obj, &interp))
        return nullptr;
    return raise_tcl_error(interp, default_msg);
}

// The functions bound before the classes (the module's globals keep their documented order).
PyMethodDef pointer_functions[] = {
    {"_ptr_add", as_cfunction(ptr_add), fastcall, ptr_add_doc},
    {"_ptr_sub", as_cfunction(ptr_sub), fastcall, ptr_sub_doc},
    {"_ptr_diff", as_cfunction(ptr_diff), fastcall, ptr_diff_doc},
    {"TclError_from_interp", as_cfunction(TclError_from_interp), fastcall, error_doc},
    {nullptr, nullptr, 0, nullptr},
};

const char c_char_p_doc[] =
    "_c_char_p_from_obj($module, /, obj)\n--\n\n"
    "Similar to Tcl_GetStringFromObj: str(obj) (\"\" for None) as a ctypes.c_char_p byte\n"
    "array of its UTF-8; the length is len(string.value).";

PyObject *c_char_p_from_obj(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    PyObject *obj;
    if (!parse_args("_c_char_p_from_obj", args, static_cast<size_t>(nargs), kwnames, {"obj"}, 1,
                    &obj))
        return nullptr;
    Ref string = obj == Py_None ? text("") : as_text(obj);
    Ref bytes = string ? Ref::steal(PyUnicode_AsUTF8String(string.get())) : Ref();
    return bytes ? call(c_char_p, {bytes.get()}).release() : nullptr;
}

const char get_list_doc[] =
    "GetListFromAny($module, /, obj, interp=None)\n--\n\n"
    "Convert any Tcl object/string to a Python list (tuple).\n\n"
    "An object that is already a valid Python list (a sequence or a set) is returned\n"
    "unchanged, converted to a tuple only where necessary; plain numbers come back as a\n"
    "one-element tuple and None as an empty one. Anything else is split as a Tcl list by the\n"
    "Tcl library's own scanner; `interp` (None, a tkinter.Tk or a Tcl_Interp_p) supplies the\n"
    "error message for text that is not a valid list.\n\n"
    "    >>> GetListFromAny('a b c {de} {f g h { i }}')\n"
    "    ('a', 'b', 'c', 'de', 'f g h { i }')\n";

PyObject *GetListFromAny(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *params[2];
    if (!parse_args("GetListFromAny", args, static_cast<size_t>(nargs), kwnames, {"obj", "interp"},
                    1, params))
        return nullptr;
    PyObject *obj = params[0];
    PyObject *interp = params[1] ? params[1] : Py_None;
    if (!PyUnicode_Check(obj)) {
        Ref taken;
        int found = list_from_value(obj, taken);
        if (found != 0)
            return taken.release();
    }
    Ref text = as_text(obj);
    return text ? split_list(text.get(), interp).release() : nullptr;
}

const char compare_doc[] =
    "DictionaryCompare($module, /, left, right)\n--\n\n"
    "This function compares two strings as if they were being used in an index or card\n"
    "catalog. The case of alphabetic characters is ignored, except to break ties. Thus \"B\"\n"
    "comes before \"b\" but after \"a\". Also, integers embedded in the strings compare in\n"
    "numerical order. In other words, \"x10y\" comes after \"x9y\", not before it as it would\n"
    "when using strcmp().\n\n"
    "Results:\n"
    "    A negative result means that the first element comes before the second, and a\n"
    "    positive result means that the second element should come first. A result of zero\n"
    "    means the two elements are equal and it doesn't matter which comes first.\n\n"
    "From:\n"
    "    DictionaryCompare in generic/tclCmdIL.c of Tcl 8.4.19.\n";

PyObject *DictionaryCompare(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    PyObject *params[2];
    if (kwnames == nullptr && nargs == 2) {
        params[0] = args[0];
        params[1] = args[1];
    } else if (!parse_args("DictionaryCompare", args, static_cast<size_t>(nargs), kwnames,
                           {"left", "right"}, 2, params)) {
        return nullptr;
    }
    PyObject *left = params[0];
    PyObject *right = params[1];
    // The usual case, from a sort key: two str, compared without touching reference counts.
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right) && PyUnicode_IS_READY(left) &&
        PyUnicode_IS_READY(right))
        return PyLong_FromLong(compare_texts(left, right));
    Ref left_text = as_text(left);
    Ref right_text = left_text ? as_text(right) : Ref();
    return right_text ? PyLong_FromLong(compare_texts(left_text.get(), right_text.get())) : nullptr;
}

// The functions bound after the classes.
PyMethodDef text_functions[] = {
    {"_c_char_p_from_obj", as_cfunction(c_char_p_from_obj), fastcall, c_char_p_doc},
    {"GetListFromAny", as_cfunction(GetListFromAny), fastcall, get_list_doc},
    {"DictionaryCompare", as_cfunction(DictionaryCompare), fastcall, compare_doc},
    {nullptr, nullptr, 0, nullptr},
};

const char adopt_interp_doc[] =
    "_adopt_interp($module, address, /)\n--\n\n"
    "For tests that drive a Tcl interpreter made without tkinter (through ctypes): binds this\n"
    "module to the Tcl library of the interpreter at `address` and takes the interpreter as one\n"
    "of the calling thread, so that Tcl_Interp_p(address) is accepted where a tkinter.Tk is.\n"
    "The caller vouches that `address` is a live interpreter of this thread.";

PyObject *adopt_interp(PyObject *, PyObject *address) {
    auto *interp = static_cast<TclInterp *>(PyLong_AsVoidPtr(address));
    if (!interp) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "no Tcl interpreter at address 0");
        return nullptr;
    }
    const TclApi *api = bind_from_interp(interp);
    if (!api)
        return nullptr;
    if (!record_owner(interp))
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef adopt_interp_def = {"_adopt_interp", adopt_interp, METH_O, adopt_interp_doc};

// ---------------------------------------------------------------------------------------------
// Classes.
//
// Tcl_Interp_p and the record layouts are ordinary ctypes classes, made by the metaclass of
// their ctypes base, as a class statement would.

// The class `name` (`qualname`) derived from `base`, its namespace holding `extra` (name,
// value) pairs.
Ref ctypes_class(PyObject *base, const char *name, const char *qualname, const char *doc,
                 std::initializer_list<std::pair<const char *, PyObject *>> extra = {}) {
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    return bases ? new_class(module_name, {name, qualname, doc, nullptr, 0}, bases.get(),
                             [&](PyObject *ns, const char *) {
                                 for (const auto &item : extra)
                                     if (PyDict_SetItemString(ns, item.first, item.second) < 0)
                                         return false;
                                 return true;
                             })
                 : bases;
}

const char interp_doc[] =
    "Pointer to a Tcl interpreter; as an argument type it also accepts None (no interpreter)\n"
    "and tkinter.Tk objects.";

const char from_param_doc[] =
    "Converts a Tcl_Interp_p, None or a tkinter.Tk to a Tcl_Interp_p for a foreign call.";

PyObject *from_param(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *interp;
    if (!parse_method_args("from_param", args, nargs, kwnames, {"interp"}, 1, &interp))
        return nullptr;
    InterpKind kind;
    TclInterp *address = nullptr;
    if (!interp_kind(interp, &kind) || !interp_address(interp, kind, &address))
        return nullptr;
    // A foreign call is about to use the interpreter: refused from another thread. A raw
    // pointer whose interpreter was never met passes as it is, like any pointer handed to
    // ctypes.
    if (address && !check_owner(interp, kind, address, Unknown::allow))
        return nullptr;
    if (kind == InterpKind::pointer)
        return Py_NewRef(interp);
    if (!address)
        return call(interp_class).release();
    Ref value = Ref::steal(PyLong_FromVoidPtr(address));
    return value ? call(interp_class, {value.get()}).release() : nullptr;
}

const MethodDef interp_classmethods[] = {
    {"from_param", from_param, "($cls, interp)", from_param_doc},
};

// Tcl_Interp_p: a ctypes.c_void_p whose from_param takes None and tkinter.Tk objects too.
Ref interp_pointer_class() {
    Ref bases = Ref::steal(PyTuple_Pack(1, c_void_p));
    return bases
               ? new_class(module_name, class_def("Tcl_Interp_p", nullptr, interp_doc), bases.get(),
                           [](PyObject *ns, const char *qualname) {
                               for (const MethodDef &def : interp_classmethods)
                                   if (!add_classmethod(ns, def, qualname))
                                       return false;
                               return true;
                           })
               : bases;
}

const char return_codes_doc[] = "Tcl's completion codes (TCL_OK and the others of tcl.h).";

Ref return_codes() {
    return new_class(module_name, class_def("ReturnCodes", nullptr, return_codes_doc), nullptr,
                     [](PyObject *ns, const char *) {
                         const char *names[] = {"TCL_OK", "TCL_ERROR", "TCL_RETURN", "TCL_BREAK",
                                                "TCL_CONTINUE"};
                         for (long code = 0; code < 5; ++code)
                             if (!set_item(ns, names[code], Ref::steal(PyLong_FromLong(code))))
                                 return false;
                         return true;
                     });
}

const char obj_type_doc[] = "Tcl's Tcl_ObjType record (tcl.h).";
const char obj_doc[] = "Tcl's Tcl_Obj record (tcl.h).";

// A ctypes field list: [(name, type), ...].
Ref fields(std::initializer_list<std::pair<const char *, PyObject *>> items) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return list;
    for (const auto &item : items) {
        Ref field = Ref::steal(Py_BuildValue("(sO)", item.first, item.second));
        if (!field || PyList_Append(list.get(), field.get()) < 0)
            return Ref();
    }
    return list;
}

bool set_fields(PyObject *cls, const Ref &field_list) {
    return field_list && PyObject_SetAttrString(cls, "_fields_", field_list.get()) == 0;
}

// Tcl_ObjType, then Tcl_Obj with its nested union and structure, field lists innermost first.
bool add_records(PyObject *m, PyObject *ctypes, PyObject *wide_int, PyObject *size_type) {
    Ref structure = get_attr(ctypes, "Structure");
    Ref union_base = structure ? get_attr(ctypes, "Union") : Ref();
    Ref pointer = union_base ? get_attr(ctypes, "POINTER") : Ref();
    Ref c_long = pointer ? get_attr(ctypes, "c_long") : Ref();
    Ref c_double = c_long ? get_attr(ctypes, "c_double") : Ref();
    if (!c_double)
        return false;

    Ref obj_type_fields = fields({{"name", c_char_p},
                                  {"freeIntRepProc", c_void_p},
                                  {"dupIntRepProc", c_void_p},
                                  {"updateStringProc", c_void_p},
                                  {"setFromAnyProc", c_void_p}});
    Ref obj_type = obj_type_fields
                       ? ctypes_class(structure.get(), "Tcl_ObjType", "Tcl_ObjType", obj_type_doc,
                                      {{"_fields_", obj_type_fields.get()}})
                       : Ref();
    if (!bind(m, "Tcl_ObjType", obj_type))
        return false;

    Ref two_ptr = ctypes_class(structure.get(), "s_twoPtrValue",
                               "Tcl_Obj.u_internalRep.s_twoPtrValue", nullptr);
    Ref internal_rep =
        two_ptr ? ctypes_class(union_base.get(), "u_internalRep", "Tcl_Obj.u_internalRep", nullptr,
                               {{"s_twoPtrValue", two_ptr.get()}})
                : Ref();
    Ref obj = internal_rep ? ctypes_class(structure.get(), "Tcl_Obj", "Tcl_Obj", obj_doc,
                                          {{"u_internalRep", internal_rep.get()}})
                           : Ref();
    if (!bind(m, "Tcl_Obj", obj))
        return false;
    Ref type_ptr = call(pointer.get(), {obj_type.get()});
    return type_ptr &&
           set_fields(two_ptr.get(), fields({{"ptr1", c_void_p}, {"ptr2", c_void_p}})) &&
           set_fields(internal_rep.get(), fields({{"longValue", c_long.get()},
                                                  {"doubleValue", c_double.get()},
                                                  {"otherValuePtr", c_void_p},
                                                  {"wideValue", wide_int},
                                                  {"twoPtrValue", two_ptr.get()}})) &&
           set_fields(obj.get(), fields({{"refCount", size_type},
                                         {"bytes", c_char_p},
                                         {"length", size_type},
                                         {"typePtr", type_ptr.get()},
                                         {"internalRep", internal_rep.get()}}));
}

// dictionary_key: a sort key whose comparisons run the dictionary order here, without a Python
// call per comparison (list.sort calls tp_richcompare directly when every key has this type).
// Two keys compare as DictionaryCompare compares their texts. The key is a copy of the
// characters of str(text), with the terminating NUL, in the object itself and nothing else:
// a sort reads its keys in random order, so what a comparison costs most is reaching them, and
// a small key reached in one step (not key, then str) is the fastest to reach.

struct DictionaryKey {
    PyObject_HEAD Py_ssize_t shape; // length in characters << 3 | kind (1, 2 or 4 bytes each)
    alignas(4) char chars[4];       // length + 1 characters of that kind, the last one NUL

    Py_ssize_t length() const { return shape >> 3; }
    int kind() const { return static_cast<int>(shape & 7); }
    size_t bytes() const { return static_cast<size_t>((length() + 1) * kind()); }
};

extern PyTypeObject dictionary_key_type;

PyObject *dictionary_key_new_from(PyObject *obj) {
    Ref text = as_text(obj);
    if (!text)
        return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    const int kind = PyUnicode_KIND(text.get());
    const size_t bytes = static_cast<size_t>((length + 1) * kind); // no more than the str holds
    void *memory = PyObject_Malloc(offsetof(DictionaryKey, chars) + bytes);
    if (!memory)
        return PyErr_NoMemory();
    auto *key = reinterpret_cast<DictionaryKey *>(
        PyObject_Init(static_cast<PyObject *>(memory), &dictionary_key_type));
    key->shape = length << 3 | kind;
    std::memcpy(key->chars, PyUnicode_DATA(text.get()), bytes);
    return reinterpret_cast<PyObject *>(key);
}

// The dictionary order of two keys.
long compare_keys(const DictionaryKey *a, const DictionaryKey *b) {
    // Most words are 1-byte text: that pair skips the dispatch on kinds.
    if (a->kind() == PyUnicode_1BYTE_KIND && b->kind() == PyUnicode_1BYTE_KIND)
        return dictionary_compare(
            Cursor<Py_UCS1>{reinterpret_cast<const Py_UCS1 *>(a->chars), a->length()},
            Cursor<Py_UCS1>{reinterpret_cast<const Py_UCS1 *>(b->chars), b->length()});
    auto visit = [](const DictionaryKey *key, auto &&f) {
        switch (key->kind()) {
        case PyUnicode_1BYTE_KIND:
            return f(reinterpret_cast<const Py_UCS1 *>(key->chars), key->length());
        case PyUnicode_2BYTE_KIND:
            return f(reinterpret_cast<const Py_UCS2 *>(key->chars), key->length());
        default:
            return f(reinterpret_cast<const Py_UCS4 *>(key->chars), key->length());
        }
    };
    return visit(a, [&](const auto *l, Py_ssize_t nl) {
        return visit(b, [&](const auto *r, Py_ssize_t nr) {
            using L = std::remove_const_t<std::remove_pointer_t<decltype(l)>>;
            using R = std::remove_const_t<std::remove_pointer_t<decltype(r)>>;
            return dictionary_compare(Cursor<L>{l, nl}, Cursor<R>{r, nr});
        });
    });
}

PyObject *dictionary_key_vectorcall(PyObject *, PyObject *const *args, size_t nargsf,
                                    PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames)
        return dictionary_key_new_from(args[0]); // as a sort key
    PyObject *text;
    if (!parse_args("dictionary_key", args, static_cast<size_t>(PyVectorcall_NARGS(nargsf)),
                    kwnames, {"text"}, 1, &text))
        return nullptr;
    return dictionary_key_new_from(text);
}

PyObject *dictionary_key_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"text", nullptr};
    PyObject *text;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:dictionary_key",
                                     const_cast<char **>(keywords), &text))
        return nullptr;
    return dictionary_key_new_from(text);
}

void dictionary_key_dealloc(PyObject *self) { PyObject_Free(self); }

PyObject *dictionary_key_richcompare(PyObject *self, PyObject *other, int op) {
    if (Py_TYPE(other) != &dictionary_key_type || Py_TYPE(self) != &dictionary_key_type)
        Py_RETURN_NOTIMPLEMENTED;
    const long diff = compare_keys(reinterpret_cast<DictionaryKey *>(self),
                                   reinterpret_cast<DictionaryKey *>(other));
    Py_RETURN_RICHCOMPARE(diff, 0L, op);
}

// The key's text, as a new str.
Ref key_text(PyObject *self) {
    const auto *key = reinterpret_cast<const DictionaryKey *>(self);
    return Ref::steal(PyUnicode_FromKindAndData(key->kind(), key->chars, key->length()));
}

PyObject *dictionary_key_repr(PyObject *self) {
    Ref text = key_text(self);
    return text ? PyUnicode_FromFormat("dictionary_key(%R)", text.get()) : nullptr;
}

PyObject *dictionary_key_get_text(PyObject *self, void *) { return key_text(self).release(); }

PyObject *dictionary_key_sizeof(PyObject *self, PyObject *) {
    return PyLong_FromSize_t(offsetof(DictionaryKey, chars) +
                             reinterpret_cast<const DictionaryKey *>(self)->bytes());
}

PyGetSetDef dictionary_key_getset[] = {
    {"text", dictionary_key_get_text, nullptr, "The text the key orders, str() of the argument.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dictionary_key_methods[] = {
    {"__sizeof__", dictionary_key_sizeof, METH_NOARGS, "Size of the key in memory, in bytes."},
    {nullptr, nullptr, 0, nullptr},
};

const char dictionary_key_doc[] =
    "dictionary_key(text)\n--\n\n"
    "A sort key for Tcl's dictionary order: sorted(words, key=dictionary_key) orders the words\n"
    "as sorted(words, key=functools.cmp_to_key(DictionaryCompare)) does, without a Python call\n"
    "per comparison. The key holds str(text) as its attribute `text`; keys compare only with\n"
    "keys and are not hashable.";

PyTypeObject dictionary_key_type = [] {
    PyTypeObject t =
        static_type("ortan.tcl.internal.dictionary_key", offsetof(DictionaryKey, chars));
    t.tp_dealloc = dictionary_key_dealloc;
    t.tp_repr = dictionary_key_repr;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = dictionary_key_doc;
    t.tp_richcompare = dictionary_key_richcompare;
    t.tp_getset = dictionary_key_getset;
    t.tp_methods = dictionary_key_methods;
    t.tp_new = dictionary_key_new;
    t.tp_vectorcall = dictionary_key_vectorcall;
    return t;
}();

// ---------------------------------------------------------------------------------------------
// Module init: binds the globals in their documented order.

const char module_doc[] =
    "Access to some internals of Tcl's C code.\n\n"
    "This file implements access to some internals of Tcl's C code, including internal\n"
    "structures and APIs:\n\n"
    "- ReturnCodes: Tcl's completion codes\n"
    "- TclDLL: the Tcl shared library that tkinter loaded, bound at import\n"
    "- Tcl_ObjType, Tcl_Obj: the record layouts of Tcl objects\n"
    "- GetListFromAny: splits Tcl list text with Tcl's own element scanner\n"
    "- DictionaryCompare: Tcl's dictionary order of strings\n"
    "- dictionary_key: a sort key for that order, compared in C++\n";

// The library behind TclDLL and lib: the one that holds the Tcl functions that _tkinter calls,
// found from the address of Tcl_CreateInterp as _tkinter's own handle resolves it (through its
// link to Tcl, whatever the library is called, or in _tkinter itself where Tcl is linked in and
// exports its symbols). ctypes opens it again by its path, which gives the loaded library and
// never a second Tcl. Sets `library` to None when nothing exports Tcl's functions.
bool find_library(PyObject *ctypes, Ref &library) {
    Ref cdll = get_attr(ctypes, "CDLL");
    Ref tkinter = cdll ? import_module("_tkinter") : Ref();
    Ref file;
    if (!tkinter || get_optional_attr(tkinter.get(), S.file, file) < 0)
        return false;
    Ref handle = call(cdll.get(), {file ? file.get() : Py_None}); // None: the program itself
    if (!handle) {
        if (!PyErr_ExceptionMatches(PyExc_OSError))
            return false;
        PyErr_Clear();
    }
    Ref symbol;
    if (handle && get_optional_attr(handle.get(), S.create_interp, symbol) < 0)
        return false;
    if (!symbol) {
        library = Ref::borrow(Py_None);
        return true;
    }
    Ref pointer = call(ctypes_cast, {symbol.get(), c_void_p});
    Ref address = pointer ? get_attr(pointer.get(), S.value) : Ref();
    void *code = address ? PyLong_AsVoidPtr(address.get()) : nullptr;
    Ref path = code ? file_holding(code) : Ref();
    if (!path)
        return false;
    // Where the system names no file (or names the program), _tkinter's handle serves.
    library = PyUnicode_Check(path.get()) && PyUnicode_GET_LENGTH(path.get()) > 0
                  ? call(cdll.get(), {path.get()})
                  : handle;
    return bool(library);
}

// Tcl_GetStringResult for a library that no longer exports it (Tcl 9), as a C function at an
// address that ctypes calls like the library's own.
const char *string_result(TclInterp *interp) { return string_result_of(interp); }

// Gives `library` the functions that this Tcl lacks: Tcl_GetStringResult on Tcl 9.
bool complete_library(PyObject *library, PyObject *ctypes) {
    Ref found;
    if (get_optional_attr(library, S.get_string_result, found) < 0)
        return false;
    if (found)
        return true;
    Ref prototype = call_method(ctypes, S.cfunctype, {c_char_p, c_void_p});
    Ref address = prototype ? Ref::steal(PyLong_FromVoidPtr(reinterpret_cast<void *>(
                                  reinterpret_cast<uintptr_t>(&string_result))))
                            : Ref();
    Ref function = address ? call(prototype.get(), {address.get()}) : Ref();
    return function && PyObject_SetAttrString(library, "Tcl_GetStringResult", function.get()) == 0;
}

const char unavailable_doc[] =
    "Stands for the Tcl library where no loaded library exports Tcl's functions (Tcl linked\n"
    "into _tkinter without exporting them): every attribute raises RuntimeError.";

PyObject *unavailable_getattr(PyObject *const *, Py_ssize_t, PyObject *) {
    PyErr_SetString(PyExc_RuntimeError,
                    "TclDLL is not available: no loaded library exports Tcl's functions (Tcl is "
                    "linked into _tkinter without them); GetListFromAny, DictionaryCompare and "
                    "TclError_from_interp work without it");
    return nullptr;
}

const MethodDef unavailable_methods[] = {
    {"__getattr__", unavailable_getattr, "($self, name, /)", nullptr},
};

// Binds `lib` (the library's path, or None) and `TclDLL` (its ctypes.CDLL, or a stand-in that
// refuses every use); `library` is the CDLL, or None.
bool bind_library(PyObject *m, PyObject *ctypes, Ref &library) {
    if (!find_library(ctypes, library))
        return false;
    if (library.get() == Py_None) {
        Ref cls = new_class(
            module_name,
            class_def("TclLibraryUnavailable", nullptr, unavailable_doc, unavailable_methods),
            nullptr);
        Ref stand_in = cls ? call(cls.get()) : cls;
        return bind(m, "lib", Ref::borrow(Py_None)) && bind(m, "TclDLL", stand_in);
    }
    Ref name = get_attr(library.get(), "_name");
    return name && complete_library(library.get(), ctypes) && bind(m, "lib", name) &&
           bind(m, "TclDLL", library);
}

// Sets argtypes and restype of one function of the library (null restype: None).
bool declare(PyObject *library, const char *name, std::initializer_list<PyObject *> argtypes,
             PyObject *restype) {
    Ref function = get_attr(library, name);
    Ref types = function ? Ref::steal(PyList_New(0)) : Ref();
    if (!types)
        return false;
    for (PyObject *type : argtypes)
        if (PyList_Append(types.get(), type) < 0)
            return false;
    return PyObject_SetAttrString(function.get(), "argtypes", types.get()) == 0 &&
           PyObject_SetAttrString(function.get(), "restype", restype ? restype : Py_None) == 0;
}

// `size` is Tcl's length type: c_int on Tcl 8, c_ssize_t on Tcl 9.
bool declare_functions(PyObject *library, PyObject *ctypes, PyObject *size) {
    Ref pointer = get_attr(ctypes, "POINTER");
    Ref c_int = pointer ? get_attr(ctypes, "c_int") : Ref();
    Ref p_char_p = c_int ? call(pointer.get(), {c_char_p}) : Ref();
    Ref p_int = p_char_p ? call(pointer.get(), {c_int.get()}) : Ref();
    Ref p_size = p_int ? call(pointer.get(), {size}) : Ref();
    return p_size &&
           declare(library, "TclFindElement",
                   {interp_class, c_char_p, size, p_char_p.get(), p_char_p.get(), p_size.get(),
                    p_int.get()},
                   c_int.get()) &&
           declare(library, "TclCopyAndCollapse", {size, c_char_p, c_char_p}, size) &&
           declare(library, "Tcl_GetStringResult", {interp_class}, c_char_p) &&
           declare(library, "Tcl_ResetResult", {interp_class}, nullptr);
}

// The major version of the Tcl that ctypes sees: the library's own Tcl_GetVersion, or where
// TclDLL is not available tkinter's (_tkinter is built for one major and links no other).
int ctypes_tcl_major(PyObject *ctypes, PyObject *library, PyObject *tkinter) {
    if (library == Py_None) {
        Ref version = get_attr(tkinter, "TclVersion");
        const double number = version ? PyFloat_AsDouble(version.get()) : -1.0;
        return number == -1.0 && PyErr_Occurred() ? -1 : static_cast<int>(number);
    }
    Ref c_int = get_attr(ctypes, "c_int");
    Ref major = c_int ? call(c_int.get()) : c_int;
    Ref byref = major ? get_attr(ctypes, "byref") : major;
    Ref major_ref = byref ? call(byref.get(), {major.get()}) : byref;
    Ref get_version = major_ref ? get_attr(library, "Tcl_GetVersion") : major_ref;
    // Tcl_GetVersion(&major, NULL, NULL, NULL): Tcl skips the null ones.
    Ref done = get_version ? call(get_version.get(), {major_ref.get(), Py_None, Py_None, Py_None})
                           : get_version;
    Ref value = done ? get_attr(major.get(), S.value) : done;
    return value ? static_cast<int>(PyLong_AsLong(value.get())) : -1;
}

// Tcl's length type as ctypes declares it: c_int on Tcl 8, c_ssize_t (Tcl_Size) from Tcl 9 on.
Ref tcl_size_type(PyObject *ctypes, PyObject *library, PyObject *tkinter) {
    const int major = ctypes_tcl_major(ctypes, library, tkinter);
    if (major == -1 && PyErr_Occurred())
        return Ref();
    return get_attr(ctypes, major >= 9 ? "c_ssize_t" : "c_int");
}

// Binds each function of `defs`, up to the closing empty entry, under its name.
bool bind_functions(PyObject *m, PyMethodDef *defs) {
    for (PyMethodDef *def = defs; def->ml_name; ++def)
        if (!bind(m, def->ml_name, module_function(def, m)))
            return false;
    return true;
}

bool init_module(PyObject *m) {
    if (!S.intern())
        return false;
    if (!bind_public_names(m, {"ReturnCodes", "TclDLL", "lib", "Tcl_Interp_p", "Tcl_WideInt",
                               "Tcl_ObjType", "Tcl_Obj", "TclError_from_interp", "GetListFromAny",
                               "DictionaryCompare", "dictionary_key"}))
        return false;
    Ref ctypes = import_module("ctypes");
    if (!bind(m, "ctypes", ctypes))
        return false;
    Ref tkinter = import_module("tkinter");
    if (!bind(m, "tkinter", tkinter))
        return false;
    if (!bind(m, "Sequence", import_attr("collections.abc", "Sequence"), &abc_sequence) ||
        !bind(m, "Set", import_attr("collections.abc", "Set"), &abc_set) ||
        !bind(m, "unicode", Ref::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type))) ||
        !bind(m, "ReturnCodes", return_codes()))
        return false;
    Ref tk = get_attr(tkinter.get(), "Tk");
    Ref error = tk ? get_attr(tkinter.get(), "TclError") : Ref();
    Ref cast = error ? get_attr(ctypes.get(), "cast") : Ref();
    Ref void_p = cast ? get_attr(ctypes.get(), "c_void_p") : Ref();
    Ref char_p = void_p ? get_attr(ctypes.get(), "c_char_p") : Ref();
    if (!char_p)
        return false;
    keep(tk_class, tk);
    keep(tcl_error, error);
    keep(ctypes_cast, cast);
    keep(c_void_p, void_p);
    keep(c_char_p, char_p);

    Ref library; // TclDLL, or None where no library exports Tcl's functions
    if (!bind_library(m, ctypes.get(), library) || !bind_functions(m, pointer_functions) ||
        !bind(m, "Tcl_Interp_p", interp_pointer_class(), &interp_class))
        return false;

    Ref wide_int = get_attr(ctypes.get(), "c_longlong");
    Ref size = wide_int ? tcl_size_type(ctypes.get(), library.get(), tkinter.get()) : wide_int;
    if (!size || !bind(m, "Tcl_WideInt", wide_int) ||
        !add_records(m, ctypes.get(), wide_int.get(), size.get()))
        return false;
    if (library.get() != Py_None && !declare_functions(library.get(), ctypes.get(), size.get()))
        return false;

    if (PyType_Ready(&dictionary_key_type) < 0)
        return false;
    return bind_functions(m, text_functions) &&
           bind(m, "dictionary_key",
                Ref::borrow(reinterpret_cast<PyObject *>(&dictionary_key_type))) &&
           bind(m, adopt_interp_def.ml_name, module_function(&adopt_interp_def, m));
}

PyModuleDef module_def = define_module(module_name, module_doc);

} // namespace

PyMODINIT_FUNC PyInit_internal() { return create_module(module_def, init_module); }

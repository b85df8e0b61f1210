// ortan.tcl.internal: Tcl's dictionary order of two texts (DictionaryCompare of tclUtil.c),
// over code points of any str kind. Header-only: the compare is inlined into each caller.
#pragma once

#include "support.h"

namespace ortan {
namespace dictionary_order {

inline bool is_digit(Py_UCS4 ch) {
    return ch < 0x80 ? (ch >= '0' && ch <= '9') : Py_UNICODE_ISDIGIT(ch) != 0;
}

// The first character of str.lower() of `ch`: the simple lower-case mapping (for U+0130,
// whose full mapping is two characters, that is "i", as in Tcl).
inline Py_UCS4 lower(Py_UCS4 ch) {
    if (ch < 0x80)
        return (ch >= 'A' && ch <= 'Z') ? ch + ('a' - 'A') : ch;
    return Py_UNICODE_TOLOWER(ch);
}

// Reads a text like a NUL-terminated string, NUL at the end, for the digit tests (NUL is no
// digit); where a text ends is told by its length, so a NUL inside it is a character. Every str
// buffer carries a NUL after its last character (CPython checks this invariant), and the
// compare never reads further: it reads the next character only after a digit, and advances
// only past a digit or a character inside the text.
template <class Char> struct Cursor {
    const Char *data;
    Py_ssize_t length;
    Py_ssize_t index = 0;

    Py_UCS4 current() const { return data[index]; }
    Py_UCS4 next() const { return data[index + 1]; }
    bool inside() const { return index < length; }
};

inline long code_diff(Py_UCS4 a, Py_UCS4 b) { return static_cast<long>(a) - static_cast<long>(b); }

// Tcl's DictionaryCompare over code points; the case tie-breaker is the code-point difference.
// Inlined into each caller: as an out-of-line call it made a key sort a quarter slower.
template <class L, class R>
[[gnu::always_inline]] inline long dictionary_compare(Cursor<L> left, Cursor<R> right) {
    long secondary = 0;
    long diff = 0;
    for (;;) {
        if (is_digit(right.current()) && is_digit(left.current())) {
            // Leading zeros are skipped (keeping one digit); more of them sorts later, but only
            // as a secondary choice.
            long zeros = 0;
            while (right.current() == '0' && is_digit(right.next())) {
                ++right.index;
                --zeros;
            }
            while (left.current() == '0' && is_digit(left.next())) {
                ++left.index;
                ++zeros;
            }
            if (secondary == 0)
                secondary = zeros;
            // The longer run is larger; between runs of equal length the first differing digit.
            diff = 0;
            for (;;) {
                if (diff == 0)
                    diff = code_diff(left.current(), right.current());
                ++right.index;
                ++left.index;
                if (!is_digit(right.current())) {
                    if (is_digit(left.current()))
                        return 1;
                    if (diff != 0)
                        return diff;
                    break;
                }
                if (!is_digit(left.current()))
                    return -1;
            }
            continue;
        }
        if (!left.inside() || !right.inside()) {
            // The end of a text is not a character (not even NUL): the longer text is the
            // greater, by the code of its next character, or by 1 when that is NUL.
            if (left.inside())
                diff = left.current() ? static_cast<long>(left.current()) : 1;
            else if (right.inside())
                diff = right.current() ? -static_cast<long>(right.current()) : -1;
            else
                diff = 0;
            break;
        }
        Py_UCS4 uni_left = left.data[left.index++];
        Py_UCS4 uni_right = right.data[right.index++];
        diff = code_diff(lower(uni_left), lower(uni_right));
        if (diff != 0)
            return diff;
        if (secondary == 0)
            secondary = code_diff(uni_left, uni_right);
    }
    return diff == 0 ? secondary : diff;
}

} // namespace dictionary_order
} // namespace ortan

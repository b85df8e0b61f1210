// Fast text: scanning str buffers by kind, and building str results.
#pragma once

#include "ref.h"

namespace ortan {

// Whether the str's buffer can be read by kind: PyUnicode_READY for the legacy strings that
// exist before 3.12 (a no-op there after). False with an exception set when it fails.
inline bool text_ready(PyObject *str) { return PyUnicode_READY(str) == 0; }

// Calls f(data, length) with the str's buffer typed by its kind (Py_UCS1, Py_UCS2 or Py_UCS4),
// so one template scans all three without copying. The str must be ready (text_ready).
template <class F> decltype(auto) visit_text(PyObject *str, F &&f) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const void *data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        return f(static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND:
        return f(static_cast<const Py_UCS2 *>(data), n);
    default:
        return f(static_cast<const Py_UCS4 *>(data), n);
    }
}

// Builds a str piece by piece, on CPython's public writer (PyUnicodeWriter; compat.h gives it
// to Pythons before 3.14). Every write returns false with an
// exception set on failure; finish() returns the text (or null) and may be called once.
class TextWriter {
  public:
    explicit TextWriter(Py_ssize_t size_hint = 0);
    ~TextWriter();
    TextWriter(const TextWriter &) = delete;
    TextWriter &operator=(const TextWriter &) = delete;

    bool ok() const { return ok_; }
    bool put(Py_UCS4 ch);
    bool put_ascii(const char *ascii, Py_ssize_t len);
    bool put_text(PyObject *str); // an exact or subclassed str, written as is
    bool put_range(PyObject *str, Py_ssize_t start, Py_ssize_t end);
    Ref finish();

  private:
    PyUnicodeWriter *writer_ = nullptr;
    bool ok_ = true;
    bool open_ = true;
};

} // namespace ortan

namespace ortan {

// The Tcl option word of a Python keyword: "-" + keyword, with one trailing underscore dropped,
// as tkinter does, so that Python keywords can name options (`from_` is -from, `in_` is -in).
// A new str, or null with an exception set.
Ref option_word(PyObject *keyword);

} // namespace ortan

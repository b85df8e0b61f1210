// TextWriter over CPython's str writer, and the option words of keywords.
#include "text.h"

#include <cstring>

namespace ortan {

TextWriter::TextWriter(Py_ssize_t size_hint) : writer_(PyUnicodeWriter_Create(size_hint)) {
    ok_ = writer_ != nullptr;
}
TextWriter::~TextWriter() {
    if (open_ && writer_)
        PyUnicodeWriter_Discard(writer_);
}
// A writer that could not be created (ok() false, MemoryError set) fails every write.
bool TextWriter::put(Py_UCS4 ch) { return writer_ && PyUnicodeWriter_WriteChar(writer_, ch) == 0; }
bool TextWriter::put_ascii(const char *ascii, Py_ssize_t len) {
    return writer_ && PyUnicodeWriter_WriteUTF8(writer_, ascii, len) == 0;
}
bool TextWriter::put_text(PyObject *str) { return put_range(str, 0, PyUnicode_GET_LENGTH(str)); }
bool TextWriter::put_range(PyObject *str, Py_ssize_t start, Py_ssize_t end) {
    if (!writer_)
        return false;
    if (start >= end)
        return true;
    return PyUnicodeWriter_WriteSubstring(writer_, str, start, end) == 0;
}
Ref TextWriter::finish() {
    open_ = false;
    return writer_ ? Ref::steal(PyUnicodeWriter_Finish(writer_)) : Ref();
}

} // namespace ortan

namespace ortan {

Ref option_word(PyObject *keyword) {
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "keywords must be strings, not %.200s",
                     Py_TYPE(keyword)->tp_name);
        return Ref();
    }
    static PyObject *const dash = PyUnicode_InternFromString("-");
    if (!dash)
        return Ref();
    if (!text_ready(keyword))
        return Ref();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(keyword);
    const bool trailing = n > 0 && PyUnicode_READ_CHAR(keyword, n - 1) == '_';
    if (PyUnicode_IS_ASCII(keyword)) {
        // The usual keyword: the word written straight into a new ASCII str.
        const Py_ssize_t stem = trailing ? n - 1 : n;
        PyObject *word = PyUnicode_New(stem + 1, 127);
        if (!word)
            return Ref();
        Py_UCS1 *out = PyUnicode_1BYTE_DATA(word);
        out[0] = '-';
        std::memcpy(out + 1, PyUnicode_1BYTE_DATA(keyword), static_cast<size_t>(stem));
        return Ref::steal(word);
    }
    if (!trailing)
        return Ref::steal(PyUnicode_Concat(dash, keyword));
    Ref stem = Ref::steal(PyUnicode_Substring(keyword, 0, n - 1));
    return stem ? Ref::steal(PyUnicode_Concat(dash, stem.get())) : stem;
}

} // namespace ortan

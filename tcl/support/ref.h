// Owning reference handle: the one way this code base holds a PyObject*.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// Back-ports of the C API used here, for the oldest supported Python (3.9).
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *obj) {
    Py_INCREF(obj);
    return obj;
}
static inline int PyModule_AddObjectRef(PyObject *module, const char *name, PyObject *value) {
    if (!value)
        return -1;
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}
#endif

namespace ortan {

// A Ref owns exactly one strong reference, or none (a null handle). New references are
// adopted with steal(), borrowed ones are turned into owned ones with borrow(); release()
// hands the reference back to the C API (for example as a function's result). A C++ function
// that fails returns a null Ref with a Python exception set.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref &other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref &&other) noexcept : ptr_(other.release()) {}
    Ref &operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject *obj) noexcept {
        Ref ref;
        ref.ptr_ = obj;
        return ref;
    }
    static Ref borrow(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyObject *get() const noexcept { return ptr_; }
    PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    PyObject *ptr_ = nullptr;
};

} // namespace ortan

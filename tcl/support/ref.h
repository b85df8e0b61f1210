// Owning reference handle: the one way this code base holds a PyObject*.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.h"

#include <utility>

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

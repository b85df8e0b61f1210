// The guard that keeps nested C++ walks from overflowing the C stack.
#pragma once

#include "ref.h"

namespace ortan {

// Py_EnterRecursiveCall for the lifetime of a scope: every level of a walk over nested
// containers, and every C++ function that can be re-entered through Python code without a
// Python frame in between, holds one, so that a structure that contains itself (or a cycle of
// C-only calls) raises RecursionError instead of overflowing the C stack. When ok() is false
// the RecursionError is set and the caller returns its failure value.
//
// From CPython 3.14 on, Py_EnterRecursiveCall measures the C stack itself and lets a walk go
// on until the stack is nearly full (tens of thousands of levels, each failure costing
// milliseconds); the guard also counts its own levels and stops at the recursion limit
// (sys.getrecursionlimit()), as every CPython before 3.12 did.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) : ok_(enter(where)) {}
    ~RecursionGuard() {
        if (!ok_)
            return;
        Py_LeaveRecursiveCall();
#if PY_VERSION_HEX >= 0x030E0000
        --depth();
#endif
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

    bool ok() const { return ok_; }

  private:
#if PY_VERSION_HEX >= 0x030E0000
    static int &depth() {
        static thread_local int levels = 0;
        return levels;
    }
#endif
    static bool enter(const char *where) {
#if PY_VERSION_HEX >= 0x030E0000
        if (depth() >= Py_GetRecursionLimit()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
#endif
        if (Py_EnterRecursiveCall(where) != 0)
            return false;
#if PY_VERSION_HEX >= 0x030E0000
        ++depth();
#endif
        return true;
    }

    bool ok_;
};

} // namespace ortan

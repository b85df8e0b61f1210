// The guard that keeps nested C++ walks from overflowing the C stack.
#pragma once

#include "ref.h"

namespace ortan {

// Py_EnterRecursiveCall for the lifetime of a scope: every level of a walk over nested
// containers, and every C++ function that can be re-entered through Python code without a
// Python frame in between, holds one, so that a structure that contains itself (or a cycle of
// C-only calls) raises RecursionError instead of overflowing the C stack. When ok() is false
// the RecursionError is set and the caller returns its failure value.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) : ok_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (ok_)
            Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

    bool ok() const { return ok_; }

  private:
    bool ok_;
};

} // namespace ortan

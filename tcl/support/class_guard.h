// Whether a class is unchanged since import: the one check behind every fast path that relies on
// what it confirmed of a class then (a method that is still the one it was, a slot that is still
// read by its descriptor).
#pragma once

#include "ref.h"

namespace ortan {

// A class that a fast path relies on. watch() is called once, at import, when the fast path has
// confirmed what it needs of the class; unchanged() then says, on every call, whether the class
// and its bases are still as they were. When it says no (or cannot tell), the caller checks its
// condition again the ordinary way: a false "no" costs time, never correctness.
//
// From Python 3.12, a type watcher (PyType_AddWatcher) reports every change; where no watcher
// is free the guard always says no. Before, the type's version tag: a change clears the
// type's valid-version flag, and a later lookup gives it a new tag (up to 3.9 the flag alone
// is cleared and the tag kept, so both are read).
class ClassGuard {
  public:
    // Starts watching `type`; `confirmed` false makes the guard say no from the start. False
    // with an exception set only on a failure that the caller must report.
    bool watch(PyTypeObject *type, bool confirmed);

    bool unchanged() const {
#if PY_VERSION_HEX >= 0x030C0000
        return !changed_;
#else
        return version_ != 0 && type_->tp_version_tag == version_ &&
               PyType_HasFeature(type_, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
    }

#if PY_VERSION_HEX >= 0x030C0000
    // For the watcher: the class or one of its bases changed.
    void changed(PyTypeObject *type) {
        if (type == type_)
            changed_ = true;
    }
#endif

  private:
    PyTypeObject *type_ = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    bool changed_ = true;
#else
    unsigned int version_ = 0; // the type's version tag when watched; 0: none
#endif
};

} // namespace ortan

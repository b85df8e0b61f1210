// Whether a class is unchanged since import.
#include "class_guard.h"

namespace ortan {

#if PY_VERSION_HEX >= 0x030C0000

namespace {

// The guards of this module (each module has its own watcher and its own few guards).
constexpr int max_guards = 16;
ClassGuard *guards[max_guards];
int guard_count = 0;
int watcher_id = -1; // -1: none registered yet; -2: none was free

int on_type_changed(PyTypeObject *type) {
    for (int i = 0; i < guard_count; ++i)
        guards[i]->changed(type);
    return 0;
}

// This module's watcher, registered on first use; -1 when none is free.
int watcher() {
    if (watcher_id == -1) {
        watcher_id = PyType_AddWatcher(on_type_changed);
        if (watcher_id < 0) {
            PyErr_Clear(); // all taken: every guard says no
            watcher_id = -2;
        }
    }
    return watcher_id < 0 ? -1 : watcher_id;
}

} // namespace

bool ClassGuard::watch(PyTypeObject *type, bool confirmed) {
    type_ = type;
    changed_ = true;
    const int id = confirmed ? watcher() : -1;
    if (id < 0 || guard_count == max_guards)
        return true;
    if (PyType_Watch(id, reinterpret_cast<PyObject *>(type)) < 0)
        return false;
    guards[guard_count++] = this;
    changed_ = false;
    return true;
}

#else

bool ClassGuard::watch(PyTypeObject *type, bool confirmed) {
    type_ = type;
    version_ = 0;
    // An attribute lookup through the type gives it a valid version tag if it has none.
    Ref probe = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__doc__"));
    if (!probe)
        PyErr_Clear();
    if (confirmed && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        version_ = type->tp_version_tag;
    return true;
}

#endif

} // namespace ortan

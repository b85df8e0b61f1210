// Direct access to a class's __slots__ from C++, for the objects a hot path makes and reads on
// every call.
#pragma once

#include "class_guard.h"
#include "pyapi.h"

#include <structmember.h>

namespace ortan {

// One slot of a class built with __slots__: the attribute stays public and plainly assignable
// through its member descriptor, and C++ reads and writes the reference in place. The slot is
// used directly only for an object of the exact class whose name still finds that descriptor
// (a subclass, or a class attribute put in its place, is read the ordinary way).
struct Slot {
    PyObject *name;    // interned
    PyTypeObject *cls; // the class that defines it
    PyObject *member;  // its member descriptor
    Py_ssize_t offset; // where the reference lives in an instance

    ClassGuard guard; // whether the class is unchanged since the slot was found

    // Where the reference lives in `obj`, or null when `obj` must be read the ordinary way.
    PyObject **at(PyObject *obj) const {
        if (Py_TYPE(obj) != cls)
            return nullptr;
        // Unchanged since import, or else still finding this descriptor.
        if (!guard.unchanged() && _PyType_Lookup(cls, name) != member)
            return nullptr;
        return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + offset);
    }
};

// obj.<slot>: in place where it can be, otherwise through `read` (getattr by default; a class
// with a __getattr__ hook passes its own reader).
template <Ref (*read)(PyObject *, PyObject *) = get_attr>
Ref read_slot(const Slot &slot, PyObject *obj) {
    PyObject **at = slot.at(obj);
    if (!at)
        return read(obj, slot.name);
    if (!*at)
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                     Py_TYPE(obj)->tp_name, slot.name);
    return Ref::borrow(*at);
}

// obj.<slot> = value; false with an exception set, also when `value` is null.
bool write_slot(const Slot &slot, PyObject *obj, PyObject *value);

// The Slot for `name` of a class built with it in __slots__; false with TypeError otherwise.
bool find_slot(Slot &slot, PyObject *cls, PyObject *name);

} // namespace ortan

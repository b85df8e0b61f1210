// Direct access to a class's __slots__ from C++.
#include "slots.h"

namespace ortan {

bool write_slot(const Slot &slot, PyObject *obj, PyObject *value) {
    if (!value)
        return false;
    PyObject **at = slot.at(obj);
    if (!at)
        return PyObject_SetAttr(obj, slot.name, value) == 0;
    Py_XSETREF(*at, Py_NewRef(value));
    return true;
}

bool find_slot(Slot &slot, PyObject *cls, PyObject *name) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    PyObject *member = PyDict_GetItemWithError(type->tp_dict, name);
    if (!member || !Py_IS_TYPE(member, &PyMemberDescr_Type)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "%s has no slot %R", type->tp_name, name);
        return false;
    }
    if (_PyType_Lookup(type, name) != member) {
        PyErr_Format(PyExc_TypeError, "%s.%U is not its slot", type->tp_name, name);
        return false;
    }
    slot.name = name;
    slot.cls = type;
    slot.member = Py_NewRef(member);
    slot.offset = reinterpret_cast<PyMemberDescrObject *>(member)->d_member->offset;
    return slot.guard.watch(type, true);
}

} // namespace ortan

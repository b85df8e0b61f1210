// The Tcl library that runs an interpreter: its functions, and whose thread an interpreter is.
#include "tcl_library.h"
#include "pyapi.h"

#include <cstdio>
#include <cstring>

namespace ortan {

namespace {

// This module's binding (each extension module has its own copy of this file's state).
TclApi module_api;

using AnyFunction = void (*)();

// The function slots that follow a stub table's header.
const AnyFunction *slots_of(const stubs::Header *table) {
    return reinterpret_cast<const AnyFunction *>(table + 1);
}

// Reads slot `slot` of `slots` into `member`; false when the slot is empty.
template <class Fn> bool take(const AnyFunction *slots, int slot, Fn &member) {
    member = reinterpret_cast<Fn>(slots[slot]);
    return member != nullptr;
}

#define ORTAN_TAKE_SLOT(member, field, slot, result, params)                                       \
    if (!take(slots, slot, out.member))                                                            \
        return #field;

// Each fills the functions of one group from its table; null when done, else the name of the
// first empty slot.
const char *fill_common(const AnyFunction *slots, stubs::Common &out) {
    ORTAN_TCL_COMMON_SLOTS(ORTAN_TAKE_SLOT)
    return nullptr;
}
const char *fill_tcl8(const AnyFunction *slots, const AnyFunction *internal, stubs::Tcl8 &out) {
    ORTAN_TCL8_SLOTS(ORTAN_TAKE_SLOT)
    slots = internal;
    ORTAN_TCL8_INTERNAL_SLOTS(ORTAN_TAKE_SLOT)
    return nullptr;
}
const char *fill_tcl9(const AnyFunction *slots, const AnyFunction *internal, stubs::Tcl9 &out) {
    ORTAN_TCL9_SLOTS(ORTAN_TAKE_SLOT)
    slots = internal;
    ORTAN_TCL9_INTERNAL_SLOTS(ORTAN_TAKE_SLOT)
    return nullptr;
}

#undef ORTAN_TAKE_SLOT

// A magic number as 0xFCA3BACF (PyErr_Format has no zero-padded upper-case hex).
struct Hex {
    char text[12];
    explicit Hex(int value) {
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    }
};

bool known_magic(int magic) { return magic == stubs::magic_tcl8 || magic == stubs::magic_tcl9; }

// The major version that a magic number tells (on 32-bit platforms both majors have the same
// magic: 0 then).
int major_of_magic(int magic) {
    if (stubs::magic_tcl8 == stubs::magic_tcl9)
        return 0;
    return magic == stubs::magic_tcl9 ? 9 : 8;
}

} // namespace

// Fills `api` from the stub table `table` (its magic already known to be Tcl's). False with
// RuntimeError set.
bool fill_api(const stubs::Header *table, TclApi &api) {
    const char *empty = fill_common(slots_of(table), api);
    if (empty) {
        PyErr_Format(PyExc_RuntimeError, "the Tcl stub table at %p has no %s",
                     static_cast<const void *>(table), empty);
        return false;
    }
    int major = 0, minor = 0, patch = 0, type = 0;
    api.GetVersion(&major, &minor, &patch, &type);
    const int told = major_of_magic(table->magic);
    if (!((major == 8 && minor == 6) || (major == 9 && minor == 0)) || (told && told != major)) {
        PyErr_Format(PyExc_RuntimeError,
                     "Tcl %d.%d.%d (stub table magic %s) is not supported: this build binds "
                     "Tcl 8.6 and 9.0",
                     major, minor, patch, Hex(table->magic).text);
        return false;
    }
    const auto *hooks = static_cast<const stubs::Hooks *>(table->hooks);
    const stubs::Header *internal = hooks ? hooks->internal : nullptr;
    if (!internal || internal->magic != table->magic) {
        PyErr_Format(PyExc_RuntimeError, "the stub table of Tcl %d.%d.%d has no internal table",
                     major, minor, patch);
        return false;
    }
    empty = major == 9 ? fill_tcl9(slots_of(table), slots_of(internal), api.t9_)
                       : fill_tcl8(slots_of(table), slots_of(internal), api.t8_);
    if (empty) {
        PyErr_Format(PyExc_RuntimeError, "the stub table of Tcl %d.%d.%d has no %s", major, minor,
                     patch, empty);
        return false;
    }
    api.major = major;
    api.minor = minor;
    api.patch = patch;
    api.table = table;
    return true;
}

const TclApi *bind_from_interp(TclInterp *interp) {
    if (!interp)
        return bound_tcl_api();
    const stubs::Header *table = stub_table_of(interp);
    if (module_api.bound() && table == module_api.table)
        return &module_api;
    if (!table || !known_magic(table->magic)) {
        PyErr_Format(PyExc_RuntimeError,
                     "the Tcl interpreter at %p has no stub table of Tcl 8 (magic %s) or Tcl 9 "
                     "(%s): found %s",
                     static_cast<void *>(interp), Hex(stubs::magic_tcl8).text,
                     Hex(stubs::magic_tcl9).text, table ? Hex(table->magic).text : "no table");
        return nullptr;
    }
    if (module_api.bound()) {
        PyErr_Format(PyExc_RuntimeError,
                     "the Tcl interpreter at %p runs another Tcl library than the one bound "
                     "first (Tcl %d.%d.%d): one process, one Tcl",
                     static_cast<void *>(interp), module_api.major, module_api.minor,
                     module_api.patch);
        return nullptr;
    }
    TclApi api;
    if (!fill_api(table, api))
        return nullptr;
    module_api = api;
    return &module_api;
}

const TclApi *bound_tcl_api() {
    if (module_api.bound())
        return &module_api;
    // _tkinter.create(screenName, baseName, className, interactive, wantobjects, wantTk, sync,
    // use): a bare interpreter, without Tk and without the profile scripts that tkinter.Tcl()
    // runs. Only its stub table is wanted; the table stays when the interpreter is deleted.
    Ref create = import_attr("_tkinter", "create");
    Ref app = create ? Ref::steal(PyObject_CallFunction(create.get(), "OssiiiiO", Py_None, "ortan",
                                                        "Tcl", 0, 1, 0, 0, Py_None))
                     : create;
    Ref address = app ? Ref::steal(PyObject_CallMethod(app.get(), "interpaddr", nullptr)) : app;
    void *interp = address ? PyLong_AsVoidPtr(address.get()) : nullptr;
    if (!interp) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "_tkinter made no Tcl interpreter");
        return nullptr;
    }
    return bind_from_interp(static_cast<TclInterp *>(interp));
}

const char *string_result_of(TclInterp *interp) {
    const stubs::Header *table = interp ? stub_table_of(interp) : nullptr;
    stubs::Common common;
    if (!table || !known_magic(table->magic) || fill_common(slots_of(table), common))
        return nullptr;
    return common.GetString(common.GetObjResult(interp));
}

const TclApi &tcl_api() { return module_api; }

namespace {} // namespace

Ref tkapp_of(PyObject *obj) {
    if (std::strcmp(Py_TYPE(obj)->tp_name, "_tkinter.tkapp") == 0)
        return Ref::borrow(obj);
    Ref tk;
    static PyObject *const tk_name = PyUnicode_InternFromString("tk");
    if (!tk_name || get_optional_attr(obj, tk_name, tk) < 0)
        return Ref();
    if (tk && std::strcmp(Py_TYPE(tk.get())->tp_name, "_tkinter.tkapp") == 0)
        return tk;
    PyErr_Format(PyExc_TypeError, "%R is not a Tcl interpreter of tkinter", obj);
    return Ref();
}

} // namespace ortan

// The Tcl library that runs an interpreter: its functions, and whose thread an interpreter is.
#pragma once

#include "ref.h"
#include "tcl_stubs.h"

#include <climits>
#include <cstddef>

namespace ortan {

constexpr int TCL_OK = 0;
constexpr int TCL_ERROR = 1;
constexpr int TCL_ALL_EVENTS = ~0x20; // ~TCL_DONT_WAIT
constexpr int TCL_EVAL_GLOBAL = 0x020000;
constexpr int TCL_EVAL_DIRECT = 0x040000;
constexpr int TCL_EVAL_INVOKE = 0x080000;

// Tcl_ObjType of tcl.h (8.6; Tcl 9 adds fields that a zero `version` leaves unread).
using TclFreeIntRepProc = void (*)(TclObj *);
using TclDupIntRepProc = void (*)(TclObj *src, TclObj *dup);
using TclUpdateStringProc = void (*)(TclObj *);
using TclSetFromAnyProc = int (*)(TclInterp *, TclObj *);
struct TclObjType {
    const char *name;
    TclFreeIntRepProc freeIntRepProc;
    TclDupIntRepProc dupIntRepProc;
    TclUpdateStringProc updateStringProc;
    TclSetFromAnyProc setFromAnyProc;
    size_t version;
};

// The head of a Tcl_Obj of tcl.h, as far as an object of a type of our own is made: the
// counts are int in 8.6 and Tcl_Size in 9.0, and on a 64-bit platform the type and the
// internal representation sit at the same offsets in both.
struct TclObjHead {
    ptrdiff_t refCount_and_bytes[2];
    ptrdiff_t length;
    const TclObjType *typePtr;
    void *ptr1; // internalRep.twoPtrValue
    void *ptr2;
};
static_assert(sizeof(void *) == 8, "the Tcl_Obj head is declared for 64-bit platforms");

// The functions of the Tcl library that runs an interpreter, read from that interpreter's stub
// table (Tcl's own way for extensions to reach it: whatever the library's file is called, and
// also where Tcl is linked statically into _tkinter). One build serves Tcl 8.6 and 9.0: the
// slots that both give the same prototype are plain members; the others are member functions
// that take the wide length type and call the running major's prototype. On Tcl 8 a length
// must fit an int; callers refuse longer ones.
class TclApi : public stubs::Common {
  public:
    bool bound() const { return major != 0; }

    TclObj *NewStringObj(const char *bytes, Py_ssize_t length) const {
        return v9() ? t9_.NewStringObj(bytes, length)
                    : t8_.NewStringObj(bytes, static_cast<int>(length));
    }
    TclObj *NewListObj(Py_ssize_t objc, TclObj *const *objv) const {
        return v9() ? t9_.NewListObj(objc, objv) : t8_.NewListObj(static_cast<int>(objc), objv);
    }
    int EvalObjv(TclInterp *interp, Py_ssize_t objc, TclObj *const *objv, int flags) const {
        return v9() ? t9_.EvalObjv(interp, objc, objv, flags)
                    : t8_.EvalObjv(interp, static_cast<int>(objc), objv, flags);
    }
    void *Alloc(size_t size) const {
        return v9() ? t9_.Alloc(size) : t8_.Alloc(static_cast<unsigned int>(size));
    }
    void ThreadQueueEvent(TclThreadId thread, TclEvent *event, int position) const {
        if (v9())
            t9_.ThreadQueueEvent(thread, event, position);
        else
            t8_.ThreadQueueEvent(thread, event, static_cast<TclQueuePosition>(position));
    }
    const char *GetStringFromObj(TclObj *obj, Py_ssize_t *length) const {
        if (v9())
            return t9_.GetStringFromObj(obj, length);
        int n = 0;
        const char *text = t8_.GetStringFromObj(obj, &n);
        *length = n;
        return text;
    }
    // With an int length: null for a text longer than an int holds (only Tcl 9 has those).
    const char *GetStringFromObj(TclObj *obj, int *length) const {
        if (!v9())
            return t8_.GetStringFromObj(obj, length);
        Py_ssize_t n = 0;
        const char *text = t9_.GetStringFromObj(obj, &n);
        *length = n <= INT_MAX ? static_cast<int>(n) : 0;
        return n <= INT_MAX ? text : nullptr;
    }
    int ListObjGetElements(TclInterp *interp, TclObj *list, Py_ssize_t *objc,
                           TclObj ***objv) const {
        if (v9())
            return t9_.ListObjGetElements(interp, list, objc, objv);
        int n = 0;
        const int code = t8_.ListObjGetElements(interp, list, &n, objv);
        *objc = n;
        return code;
    }
    // With an int count: TCL_ERROR for a list longer than an int holds (only Tcl 9 has those).
    int ListObjGetElements(TclInterp *interp, TclObj *list, int *objc, TclObj ***objv) const {
        if (!v9())
            return t8_.ListObjGetElements(interp, list, objc, objv);
        Py_ssize_t n = 0;
        const int code = t9_.ListObjGetElements(interp, list, &n, objv);
        *objc = n <= INT_MAX ? static_cast<int>(n) : 0;
        return code == TCL_OK && n > INT_MAX ? TCL_ERROR : code;
    }
    // TclFindElement and TclCopyAndCollapse, from Tcl's internal table.
    int FindElement(TclInterp *interp, const char *list, Py_ssize_t length, const char **element,
                    const char **next, Py_ssize_t *size, int *literal) const {
        if (v9())
            return t9_.FindElement(interp, list, length, element, next, size, literal);
        int n = 0;
        const int code =
            t8_.FindElement(interp, list, static_cast<int>(length), element, next, &n, literal);
        *size = n;
        return code;
    }
    Py_ssize_t CopyAndCollapse(Py_ssize_t count, const char *source, char *target) const {
        return v9() ? t9_.CopyAndCollapse(count, source, target)
                    : t8_.CopyAndCollapse(static_cast<int>(count), source, target);
    }
    int EvalEx(TclInterp *interp, const char *script, Py_ssize_t length, int flags) const {
        return v9() ? t9_.EvalEx(interp, script, length, flags)
                    : t8_.EvalEx(interp, script, static_cast<int>(length), flags);
    }
    void Free(void *memory) const {
        if (v9())
            t9_.Free(memory);
        else
            t8_.Free(static_cast<char *>(memory));
    }
    // The interpreter's result as text: Tcl 9 has no Tcl_GetStringResult, and this is its body.
    const char *GetStringResult(TclInterp *interp) const { return GetString(GetObjResult(interp)); }

    int major = 0, minor = 0, patch = 0;  // the library's version; 0 while unbound
    const stubs::Header *table = nullptr; // the stub table that the functions come from

  private:
    friend bool fill_api(const stubs::Header *table, TclApi &api);
    bool v9() const { return major == 9; }
    stubs::Tcl8 t8_;
    stubs::Tcl9 t9_;
};

// The functions of the Tcl library that runs `interp`. The first interpreter that a module meets
// binds the module to its library; every later one must run that same library. Null with
// RuntimeError set for a stub table of unknown magic, an unsupported version (this build binds
// Tcl 8.6 and 9.0) or an interpreter of another Tcl library. A null `interp` means none:
// bound_tcl_api().
const TclApi *bind_from_interp(TclInterp *interp);

// This module's functions of Tcl, bound first when no interpreter was met yet: from a private
// interpreter of _tkinter, made for that and deleted again. Null with an exception set.
const TclApi *bound_tcl_api();

// The text of an interpreter's result, read through its own stub table: Tcl_GetStringResult
// for ctypes callers (with or without the GIL). Null for an interpreter of unknown stub table.
const char *string_result_of(TclInterp *interp);

// This module's table as it stands: unbound (all members null) until an interpreter was met.
const TclApi &tcl_api();

// The stub table of an interpreter: the fourth field of Tcl's interpreter record, after the
// three of the old public Tcl_Interp, in Tcl 8.6 and 9.0 alike.
inline const stubs::Header *stub_table_of(TclInterp *interp) {
    return reinterpret_cast<const stubs::InterpHeader *>(interp)->stubTable;
}

// The _tkinter application object behind `obj`: `obj` itself, or `obj.tk` for a tkinter.Tk,
// the result of tkinter.Tcl(), a widget or a host Interpreter. Null with TypeError set when
// `obj` has none.
Ref tkapp_of(PyObject *obj);

} // namespace ortan

// The Tcl library that tkinter loaded: its functions, and whose thread an interpreter is.
#pragma once

#include "ref.h"

#include <cstddef>

namespace ortan {

// Tcl's own types, as far as this code base touches them (tcl.h is not needed to build).
struct TclInterp;
struct TclObj;
struct TclCommandToken;
using TclThreadId = void *;
using TclObjCmdProc = int (*)(void *client_data, TclInterp *interp, int objc, TclObj *const objv[]);
using TclCmdDeleteProc = void (*)(void *client_data);
struct TclEvent;
using TclEventProc = int (*)(TclEvent *event, int flags);
struct TclEvent {
    TclEventProc proc;
    TclEvent *next;
};

// Tcl_CmdInfo of tcl.h: what Tcl_GetCommandInfo reports about a command.
struct TclCmdInfo {
    int isNativeObjectProc;
    TclObjCmdProc objProc;
    void *objClientData;
    void *proc;
    void *clientData;
    TclCmdDeleteProc deleteProc;
    void *deleteData;
    void *namespacePtr;
};
using TclInterpDeleteProc = void (*)(void *client_data, TclInterp *interp);

constexpr int TCL_OK = 0;
constexpr int TCL_ERROR = 1;
constexpr int TCL_QUEUE_TAIL = 0;
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

// The functions of the Tcl library that the modules call. All are exported by Tcl 8.5 and 8.6.
struct TclApi {
    int (*FindElement)(TclInterp *, const char *, int, const char **, const char **, int *, int *);
    int (*CopyAndCollapse)(int, const char *, char *);
    const char *(*GetStringResult)(TclInterp *);
    void (*ResetResult)(TclInterp *);
    TclThreadId (*GetCurrentThread)();
    TclCommandToken *(*CreateObjCommand)(TclInterp *, const char *, TclObjCmdProc, void *,
                                         TclCmdDeleteProc);
    int (*DeleteCommand)(TclInterp *, const char *);
    TclObj *(*NewStringObj)(const char *, int);
    TclObj *(*NewListObj)(int, TclObj *const *);
    void (*SetObjResult)(TclInterp *, TclObj *);
    TclObj *(*GetObjResult)(TclInterp *);
    const char *(*GetStringFromObj)(TclObj *, int *);
    void (*SetObjErrorCode)(TclInterp *, TclObj *);
    void (*AppendObjToErrorInfo)(TclInterp *, TclObj *);
    int (*EvalObjv)(TclInterp *, int, TclObj *const *, int);
    int (*EvalEx)(TclInterp *, const char *, int, int);
    void (*IncrRefCount)(TclObj *, const char *, int); // Tcl_DbIncrRefCount
    void (*DecrRefCount)(TclObj *, const char *, int); // Tcl_DbDecrRefCount
    int (*InterpDeleted)(TclInterp *);
    void (*Preserve)(void *);
    void (*Release)(void *);
    char *(*Alloc)(unsigned int);
    void (*Free)(char *);
    void (*ThreadQueueEvent)(TclThreadId, TclEvent *, int);
    void (*ThreadAlert)(TclThreadId);
    void *(*GetAssocData)(TclInterp *, const char *, TclInterpDeleteProc *);
    void (*SetAssocData)(TclInterp *, const char *, TclInterpDeleteProc, void *);
    TclCommandToken *(*FindCommand)(TclInterp *, const char *, void *, int);
    int (*GetCommandInfo)(TclInterp *, const char *, TclCmdInfo *);
    int (*GetCommandInfoFromToken)(TclCommandToken *, TclCmdInfo *);
    int (*SetReturnOptions)(TclInterp *, TclObj *);
    int (*DictObjGet)(TclInterp *, TclObj *, TclObj *, TclObj **);
    int (*ListObjGetElements)(TclInterp *, TclObj *, int *, TclObj ***);
    TclObj *(*GetReturnOptions)(TclInterp *, int);
    void *(*SaveInterpState)(TclInterp *, int);
    int (*RestoreInterpState)(TclInterp *, void *);
    void (*InvalidateStringRep)(TclObj *);
};

// The Tcl library that _tkinter is linked with, found among the libraries already loaded in
// the process: the first of the known file names ("libtcl8.4.so" … "libtcl8.6.dylib") that is
// loaded and is the library whose Tcl_CreateInterp _tkinter calls. No second Tcl is ever
// loaded: two Tcl libraries in one process would drive tkinter's interpreters with foreign
// functions. On success `name` is the file name that matched (a static string) and `api` is
// filled; otherwise false with ImportError set, naming the reason and the names tried.
bool bind_tkinter_tcl(const char *&name, void *&handle, TclApi &api);

// The _tkinter application object behind `obj`: `obj` itself, or `obj.tk` for a tkinter.Tk,
// the result of tkinter.Tcl(), a widget or a host Interpreter. Null with TypeError set when
// `obj` has none.
Ref tkapp_of(PyObject *obj);

} // namespace ortan

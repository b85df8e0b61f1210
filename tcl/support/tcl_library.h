// The Tcl library that tkinter loaded: its functions, and whose thread an interpreter is.
#pragma once

#include "ref.h"

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
    void (*IncrRefCount)(TclObj *, const char *, int); // Tcl_DbIncrRefCount
    void (*DecrRefCount)(TclObj *, const char *, int); // Tcl_DbDecrRefCount
    int (*InterpDeleted)(TclInterp *);
    void (*Preserve)(void *);
    void (*Release)(void *);
    char *(*Alloc)(unsigned int);
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

// The Tcl interpreter of a _tkinter application object and the thread that created it (which
// _tkinter records in the object, and which alone may use the interpreter). The record's layout
// is checked against interpaddr() on every call; false with RuntimeError set when it does not
// match, so an unknown layout is refused rather than trusted.
bool tkapp_interp(PyObject *tkapp, TclInterp *&interp, TclThreadId &owner);

// True on the thread `owner`; otherwise false with RuntimeError set, as tkinter refuses a call
// from another thread.
bool on_owner_thread(const TclApi &api, TclThreadId owner);

} // namespace ortan

// Tcl's stub tables as this code base reads them: the slots it calls, with the prototype each
// major version of Tcl gives them. tcl.h is not needed to build; tests/test_tcl_stubs.py
// compiles these declarations against the real headers of Tcl 8.6 and 9.0 and fails on any
// difference of slot, argument or size.
#pragma once

#include <cstddef>

namespace ortan {

// Tcl's own types, as far as this code base touches them.
struct TclInterp;
struct TclObj;
struct TclObjType;
struct TclCommandToken; // what a Tcl_Command points to
struct TclNamespace;
struct TclThread;         // what a Tcl_ThreadId points to
struct TclInterpStateRec; // what a Tcl_InterpState points to
using TclThreadId = TclThread *;
using TclObjCmdProc = int (*)(void *client_data, TclInterp *interp, int objc, TclObj *const objv[]);
using TclCmdDeleteProc = void (*)(void *client_data);
using TclInterpDeleteProc = void (*)(void *client_data, TclInterp *interp);
using TclExitProc = void (*)(void *client_data);
struct TclEvent;
using TclEventProc = int (*)(TclEvent *event, int flags);
struct TclEvent {
    TclEventProc proc;
    TclEvent *next;
};
enum TclQueuePosition { TCL_QUEUE_TAIL, TCL_QUEUE_HEAD, TCL_QUEUE_MARK }; // Tcl 8's enum

// Tcl_CmdInfo: what Tcl_GetCommandInfo reports about a command. Tcl 9 writes the last two
// fields as well; Tcl 8 leaves them as they were.
struct TclCmdInfo {
    int isNativeObjectProc;
    TclObjCmdProc objProc;
    void *objClientData;
    void *proc;
    void *clientData;
    TclCmdDeleteProc deleteProc;
    void *deleteData;
    TclNamespace *namespacePtr;
    void *objProc2;
    void *objClientData2;
};

// Tcl's length type: int in Tcl 8, ptrdiff_t (Tcl_Size) in Tcl 9.
using TclSize8 = int;
using TclSize9 = std::ptrdiff_t;

namespace stubs {

// A stub table starts with a magic number (which tells the major version and the pointer size)
// and its hooks; the function slots follow, slot n at the n-th pointer after the header.
struct Header {
    int magic;
    const void *hooks;
};

// The hooks of the public table: the internal table is the second.
struct Hooks {
    const void *platform;
    const Header *internal;
    const void *internal_platform;
};

// The start of Tcl's interpreter record (Interp of tclInt.h) up to its stub table.
struct InterpHeader {
    char *result;
    void (*freeProc)();
    int errorLine;
    const Header *stubTable;
};

constexpr int magic_tcl8 = static_cast<int>(0xFCA3BACF);
constexpr int magic_tcl9 = static_cast<int>(0xFCA3BACBu + sizeof(void *)); // 0xFCA3BAD3 (64 bit)

// X(member, tcl_field, slot, result, (parameters)): a slot of the public table whose prototype
// is the same in Tcl 8.6 and 9.0.
#define ORTAN_TCL_COMMON_SLOTS(X)                                                                  \
    X(DecrRefCount, tcl_DbDecrRefCount, 19, void, (TclObj *, const char *, int))                   \
    X(IncrRefCount, tcl_DbIncrRefCount, 20, void, (TclObj *, const char *, int))                   \
    X(GetObjType, tcl_GetObjType, 40, const TclObjType *, (const char *))                          \
    X(InvalidateStringRep, tcl_InvalidateStringRep, 42, void, (TclObj *))                          \
    X(ListObjAppendElement, tcl_ListObjAppendElement, 44, int, (TclInterp *, TclObj *, TclObj *))  \
    X(NewObj, tcl_NewObj, 55, TclObj *, ())                                                        \
    X(CreateObjCommand, tcl_CreateObjCommand, 96, TclCommandToken *,                               \
      (TclInterp *, const char *, TclObjCmdProc, void *, TclCmdDeleteProc))                        \
    X(DeleteAssocData, tcl_DeleteAssocData, 100, void, (TclInterp *, const char *))                \
    X(DeleteCommand, tcl_DeleteCommand, 103, int, (TclInterp *, const char *))                     \
    X(GetAssocData, tcl_GetAssocData, 150, void *,                                                 \
      (TclInterp *, const char *, TclInterpDeleteProc *))                                          \
    X(GetCommandInfo, tcl_GetCommandInfo, 159, int, (TclInterp *, const char *, TclCmdInfo *))     \
    X(GetObjResult, tcl_GetObjResult, 166, TclObj *, (TclInterp *))                                \
    X(InterpDeleted, tcl_InterpDeleted, 184, int, (TclInterp *))                                   \
    X(Preserve, tcl_Preserve, 201, void, (void *))                                                 \
    X(Release, tcl_Release, 216, void, (void *))                                                   \
    X(ResetResult, tcl_ResetResult, 217, void, (TclInterp *))                                      \
    X(SetAssocData, tcl_SetAssocData, 223, void,                                                   \
      (TclInterp *, const char *, TclInterpDeleteProc, void *))                                    \
    X(SetObjErrorCode, tcl_SetObjErrorCode, 234, void, (TclInterp *, TclObj *))                    \
    X(SetObjResult, tcl_SetObjResult, 235, void, (TclInterp *, TclObj *))                          \
    X(GetVersion, tcl_GetVersion, 279, void, (int *, int *, int *, int *))                         \
    X(CreateThreadExitHandler, tcl_CreateThreadExitHandler, 288, void, (TclExitProc, void *))      \
    X(EvalObjEx, tcl_EvalObjEx, 293, int, (TclInterp *, TclObj *, int))                            \
    X(GetCurrentThread, tcl_GetCurrentThread, 300, TclThreadId, ())                                \
    X(GetVar2Ex, tcl_GetVar2Ex, 306, TclObj *, (TclInterp *, const char *, const char *, int))     \
    X(SetVar2Ex, tcl_SetVar2Ex, 317, TclObj *,                                                     \
      (TclInterp *, const char *, const char *, TclObj *, int))                                    \
    X(ThreadAlert, tcl_ThreadAlert, 318, void, (TclThreadId))                                      \
    X(GetString, tcl_GetString, 340, char *, (TclObj *))                                           \
    X(GetCommandInfoFromToken, tcl_GetCommandInfoFromToken, 484, int,                              \
      (TclCommandToken *, TclCmdInfo *))                                                           \
    X(DictObjPut, tcl_DictObjPut, 494, int, (TclInterp *, TclObj *, TclObj *, TclObj *))           \
    X(DictObjGet, tcl_DictObjGet, 495, int, (TclInterp *, TclObj *, TclObj *, TclObj **))          \
    X(NewDictObj, tcl_NewDictObj, 503, TclObj *, ())                                               \
    X(FindCommand, tcl_FindCommand, 515, TclCommandToken *,                                        \
      (TclInterp *, const char *, TclNamespace *, int))                                            \
    X(SetReturnOptions, tcl_SetReturnOptions, 538, int, (TclInterp *, TclObj *))                   \
    X(GetReturnOptions, tcl_GetReturnOptions, 539, TclObj *, (TclInterp *, int))                   \
    X(SaveInterpState, tcl_SaveInterpState, 535, TclInterpStateRec *, (TclInterp *, int))          \
    X(RestoreInterpState, tcl_RestoreInterpState, 536, int, (TclInterp *, TclInterpStateRec *))    \
    X(AppendObjToErrorInfo, tcl_AppendObjToErrorInfo, 574, void, (TclInterp *, TclObj *))

// The slots whose prototype differs: Tcl 8.6's public table, then its internal table.
#define ORTAN_TCL8_SLOTS(X)                                                                        \
    X(Alloc, tcl_Alloc, 3, char *, (unsigned int))                                                 \
    X(Free, tcl_Free, 4, void, (char *))                                                           \
    X(EvalEx, tcl_EvalEx, 291, int, (TclInterp *, const char *, TclSize8, int))                    \
    X(GetStringFromObj, tcl_GetStringFromObj, 41, char *, (TclObj *, TclSize8 *))                  \
    X(ListObjGetElements, tcl_ListObjGetElements, 45, int,                                         \
      (TclInterp *, TclObj *, TclSize8 *, TclObj ***))                                             \
    X(NewListObj, tcl_NewListObj, 53, TclObj *, (TclSize8, TclObj *const *))                       \
    X(NewStringObj, tcl_NewStringObj, 56, TclObj *, (const char *, TclSize8))                      \
    X(EvalObjv, tcl_EvalObjv, 292, int, (TclInterp *, TclSize8, TclObj *const *, int))             \
    X(ThreadQueueEvent, tcl_ThreadQueueEvent, 319, void,                                           \
      (TclThreadId, TclEvent *, TclQueuePosition))
#define ORTAN_TCL8_INTERNAL_SLOTS(X)                                                               \
    X(CopyAndCollapse, tclCopyAndCollapse, 7, TclSize8, (TclSize8, const char *, char *))          \
    X(FindElement, tclFindElement, 22, int,                                                        \
      (TclInterp *, const char *, TclSize8, const char **, const char **, TclSize8 *, int *))

// The same for Tcl 9.0.
#define ORTAN_TCL9_SLOTS(X)                                                                        \
    X(Alloc, tcl_Alloc, 3, void *, (std::size_t))                                                  \
    X(Free, tcl_Free, 4, void, (void *))                                                           \
    X(EvalEx, tcl_EvalEx, 291, int, (TclInterp *, const char *, TclSize9, int))                    \
    X(NewListObj, tcl_NewListObj, 53, TclObj *, (TclSize9, TclObj *const *))                       \
    X(NewStringObj, tcl_NewStringObj, 56, TclObj *, (const char *, TclSize9))                      \
    X(EvalObjv, tcl_EvalObjv, 292, int, (TclInterp *, TclSize9, TclObj *const *, int))             \
    X(ThreadQueueEvent, tcl_ThreadQueueEvent, 319, void, (TclThreadId, TclEvent *, int))           \
    X(GetStringFromObj, tcl_GetStringFromObj, 651, char *, (TclObj *, TclSize9 *))                 \
    X(ListObjGetElements, tcl_ListObjGetElements, 661, int,                                        \
      (TclInterp *, TclObj *, TclSize9 *, TclObj ***))
#define ORTAN_TCL9_INTERNAL_SLOTS(X)                                                               \
    X(CopyAndCollapse, tclCopyAndCollapse, 7, TclSize9, (TclSize9, const char *, char *))          \
    X(FindElement, tclFindElement, 22, int,                                                        \
      (TclInterp *, const char *, TclSize9, const char **, const char **, TclSize9 *, int *))

#define ORTAN_TCL_SLOT_MEMBER(member, field, slot, result, params) result(*member) params;

// The functions of each group, filled from a stub table.
struct Common {
    ORTAN_TCL_COMMON_SLOTS(ORTAN_TCL_SLOT_MEMBER)
};
struct Tcl8 {
    ORTAN_TCL8_SLOTS(ORTAN_TCL_SLOT_MEMBER)
    ORTAN_TCL8_INTERNAL_SLOTS(ORTAN_TCL_SLOT_MEMBER)
};
struct Tcl9 {
    ORTAN_TCL9_SLOTS(ORTAN_TCL_SLOT_MEMBER)
    ORTAN_TCL9_INTERNAL_SLOTS(ORTAN_TCL_SLOT_MEMBER)
};

} // namespace stubs
} // namespace ortan

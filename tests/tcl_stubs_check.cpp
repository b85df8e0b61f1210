// Holds the package's own declarations of Tcl's stub tables (tcl/support/tcl_stubs.h) against the
// real headers of one Tcl version: compiling this file fails on any difference of slot, argument,
// result or size. tests/test_tcl_stubs.py compiles it against each Tcl's headers it finds.
#include <tcl.h>

#include "tclInt.h" // Interp and the internal stub table

#include "tcl_stubs.h"

#include <cstddef>
#include <type_traits>

namespace {

using namespace ortan;

// Tcl's type for each of ours, through pointers, const and function types.
template <class T> struct Real { using type = T; };
template <class T> struct Real<T *> { using type = typename Real<T>::type *; };
template <class T> struct Real<const T> { using type = const typename Real<T>::type; };
template <class R, class... A> struct Real<R(A...)> {
    using type = typename Real<R>::type(typename Real<A>::type...);
};
template <> struct Real<TclInterp> { using type = Tcl_Interp; };
template <> struct Real<TclObj> { using type = Tcl_Obj; };
template <> struct Real<TclObjType> { using type = Tcl_ObjType; };
template <> struct Real<TclCommandToken> { using type = std::remove_pointer_t<Tcl_Command>; };
template <> struct Real<TclNamespace> { using type = Tcl_Namespace; };
template <> struct Real<TclThread> { using type = std::remove_pointer_t<Tcl_ThreadId>; };
template <> struct Real<TclEvent> { using type = Tcl_Event; };
template <> struct Real<TclInterpStateRec> { using type = std::remove_pointer_t<Tcl_InterpState>; };
template <> struct Real<TclCmdInfo> { using type = Tcl_CmdInfo; };
#if TCL_MAJOR_VERSION < 9
template <> struct Real<TclQueuePosition> { using type = Tcl_QueuePosition; };
#endif

template <class Ours, class Theirs>
constexpr bool same = std::is_same<typename Real<Ours>::type, Theirs>::value;

constexpr std::size_t slot_offset(int slot) {
    return sizeof(stubs::Header) + static_cast<std::size_t>(slot) * sizeof(void *);
}

#define CHECK_SLOT(table, member, field, slot, result, params)                                     \
    static_assert(offsetof(table, field) == slot_offset(slot), #field ": not at slot " #slot);     \
    static_assert(same<result(*) params, decltype(table::field)>, #field ": prototype differs");

#define CHECK_PUBLIC(...) CHECK_SLOT(TclStubs, __VA_ARGS__)
#define CHECK_INTERNAL(...) CHECK_SLOT(TclIntStubs, __VA_ARGS__)

ORTAN_TCL_COMMON_SLOTS(CHECK_PUBLIC)
#if TCL_MAJOR_VERSION >= 9
ORTAN_TCL9_SLOTS(CHECK_PUBLIC)
ORTAN_TCL9_INTERNAL_SLOTS(CHECK_INTERNAL)
static_assert(std::is_same<Tcl_Size, TclSize9>::value, "Tcl_Size");
static_assert(TCL_STUB_MAGIC == stubs::magic_tcl9, "magic");
static_assert(sizeof(Tcl_CmdInfo) == sizeof(TclCmdInfo), "Tcl_CmdInfo");
static_assert(offsetof(Tcl_CmdInfo, objProc2) == offsetof(TclCmdInfo, objProc2), "objProc2");
static_assert(offsetof(Tcl_CmdInfo, objClientData2) == offsetof(TclCmdInfo, objClientData2),
              "objClientData2");
#else
ORTAN_TCL8_SLOTS(CHECK_PUBLIC)
ORTAN_TCL8_INTERNAL_SLOTS(CHECK_INTERNAL)
static_assert(TCL_STUB_MAGIC == stubs::magic_tcl8, "magic");
static_assert(sizeof(Tcl_CmdInfo) <= sizeof(TclCmdInfo), "Tcl_CmdInfo");
static_assert(sizeof(Tcl_QueuePosition) == sizeof(int), "Tcl_QueuePosition");
#endif

// The headers of both tables, the hooks and the interpreter record up to its stub table.
static_assert(offsetof(TclStubs, magic) == offsetof(stubs::Header, magic), "magic field");
static_assert(offsetof(TclStubs, hooks) == offsetof(stubs::Header, hooks), "hooks field");
static_assert(offsetof(TclStubs, tcl_PkgProvideEx) == slot_offset(0), "first slot");
static_assert(offsetof(TclIntStubs, hooks) == offsetof(stubs::Header, hooks), "internal hooks");
static_assert(offsetof(TclIntStubs, reserved0) == slot_offset(0), "first internal slot");
static_assert(offsetof(TclStubHooks, tclIntStubs) == offsetof(stubs::Hooks, internal), "hooks");
static_assert(offsetof(Interp, stubTable) == offsetof(stubs::InterpHeader, stubTable),
              "Interp.stubTable");

// The records that the code fills or hands to Tcl.
static_assert(sizeof(Tcl_Event) == sizeof(TclEvent), "Tcl_Event");
static_assert(offsetof(Tcl_Event, proc) == offsetof(TclEvent, proc), "Tcl_Event.proc");
static_assert(offsetof(Tcl_Event, nextPtr) == offsetof(TclEvent, next), "Tcl_Event.nextPtr");
static_assert(same<TclEventProc, Tcl_EventProc *>, "Tcl_EventProc");
#define CHECK_CMD_INFO(field)                                                                      \
    static_assert(offsetof(Tcl_CmdInfo, field) == offsetof(TclCmdInfo, field), #field);
CHECK_CMD_INFO(isNativeObjectProc)
CHECK_CMD_INFO(objProc)
CHECK_CMD_INFO(objClientData)
CHECK_CMD_INFO(proc)
CHECK_CMD_INFO(clientData)
CHECK_CMD_INFO(deleteProc)
CHECK_CMD_INFO(deleteData)
CHECK_CMD_INFO(namespacePtr)
static_assert(same<TclObjCmdProc, Tcl_ObjCmdProc *>, "Tcl_ObjCmdProc");
static_assert(same<TclCmdDeleteProc, Tcl_CmdDeleteProc *>, "Tcl_CmdDeleteProc");
static_assert(int(ortan::TCL_QUEUE_TAIL) == int(::TCL_QUEUE_TAIL) &&
                  int(ortan::TCL_QUEUE_MARK) == int(::TCL_QUEUE_MARK),
              "queue positions");

} // namespace

// The Tcl library that tkinter loaded: its functions, and whose thread an interpreter is.
#include "tcl_library.h"
#include "pyapi.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

namespace ortan {

namespace {

// The file names the Tcl library goes by, oldest first.
constexpr const char *library_names[] = {
    "libtcl8.4.so",   "libtcl8.4.dylib", "libtcl8.5.so",    "libtcl8.5.dylib",
    "libtcl8.6.so.0", "libtcl8.6.so",    "libtcl8.6.dylib",
};

// The address of Tcl_CreateInterp as _tkinter resolves it: through _tkinter's own handle, so
// the lookup follows its dependencies to the Tcl library it is linked with. Null (with no
// exception) when _tkinter has no file of its own or does not reach Tcl that way.
void *tkinter_create_interp() {
    Ref tkinter = import_module("_tkinter");
    if (!tkinter)
        return nullptr;
    Ref file = get_attr(tkinter.get(), "__file__");
    const char *path = file && PyUnicode_Check(file.get()) ? PyUnicode_AsUTF8(file.get()) : nullptr;
    PyErr_Clear();
    void *handle = path ? dlopen(path, RTLD_LAZY | RTLD_NOLOAD) : dlopen(nullptr, RTLD_LAZY);
    if (!handle)
        return nullptr;
    void *symbol = dlsym(handle, "Tcl_CreateInterp");
    dlclose(handle);
    return symbol;
}

template <class Fn> bool resolve(void *handle, const char *symbol, Fn &slot, std::string &missing) {
    slot = reinterpret_cast<Fn>(dlsym(handle, symbol));
    if (!slot)
        missing += missing.empty() ? symbol : std::string(", ") + symbol;
    return slot != nullptr;
}

bool resolve_api(void *handle, TclApi &api, std::string &missing) {
    resolve(handle, "TclFindElement", api.FindElement, missing);
    resolve(handle, "TclCopyAndCollapse", api.CopyAndCollapse, missing);
    resolve(handle, "Tcl_GetStringResult", api.GetStringResult, missing);
    resolve(handle, "Tcl_ResetResult", api.ResetResult, missing);
    resolve(handle, "Tcl_GetCurrentThread", api.GetCurrentThread, missing);
    resolve(handle, "Tcl_CreateObjCommand", api.CreateObjCommand, missing);
    resolve(handle, "Tcl_DeleteCommand", api.DeleteCommand, missing);
    resolve(handle, "Tcl_NewStringObj", api.NewStringObj, missing);
    resolve(handle, "Tcl_NewListObj", api.NewListObj, missing);
    resolve(handle, "Tcl_SetObjResult", api.SetObjResult, missing);
    resolve(handle, "Tcl_GetObjResult", api.GetObjResult, missing);
    resolve(handle, "Tcl_GetStringFromObj", api.GetStringFromObj, missing);
    resolve(handle, "Tcl_SetObjErrorCode", api.SetObjErrorCode, missing);
    resolve(handle, "Tcl_AppendObjToErrorInfo", api.AppendObjToErrorInfo, missing);
    resolve(handle, "Tcl_EvalObjv", api.EvalObjv, missing);
    resolve(handle, "Tcl_EvalEx", api.EvalEx, missing);
    resolve(handle, "Tcl_DbIncrRefCount", api.IncrRefCount, missing);
    resolve(handle, "Tcl_DbDecrRefCount", api.DecrRefCount, missing);
    resolve(handle, "Tcl_InterpDeleted", api.InterpDeleted, missing);
    resolve(handle, "Tcl_Preserve", api.Preserve, missing);
    resolve(handle, "Tcl_Release", api.Release, missing);
    resolve(handle, "Tcl_Alloc", api.Alloc, missing);
    resolve(handle, "Tcl_Free", api.Free, missing);
    resolve(handle, "Tcl_ThreadQueueEvent", api.ThreadQueueEvent, missing);
    resolve(handle, "Tcl_ThreadAlert", api.ThreadAlert, missing);
    resolve(handle, "Tcl_GetAssocData", api.GetAssocData, missing);
    resolve(handle, "Tcl_SetAssocData", api.SetAssocData, missing);
    resolve(handle, "Tcl_FindCommand", api.FindCommand, missing);
    resolve(handle, "Tcl_GetCommandInfo", api.GetCommandInfo, missing);
    resolve(handle, "Tcl_GetCommandInfoFromToken", api.GetCommandInfoFromToken, missing);
    resolve(handle, "Tcl_SetReturnOptions", api.SetReturnOptions, missing);
    resolve(handle, "Tcl_DictObjGet", api.DictObjGet, missing);
    resolve(handle, "Tcl_ListObjGetElements", api.ListObjGetElements, missing);
    resolve(handle, "Tcl_GetReturnOptions", api.GetReturnOptions, missing);
    resolve(handle, "Tcl_SaveInterpState", api.SaveInterpState, missing);
    resolve(handle, "Tcl_RestoreInterpState", api.RestoreInterpState, missing);
    resolve(handle, "Tcl_InvalidateStringRep", api.InvalidateStringRep, missing);
    return missing.empty();
}

std::string names_tried() {
    std::string names;
    for (const char *name : library_names)
        names += names.empty() ? name : std::string(", ") + name;
    return names;
}

} // namespace

bool bind_tkinter_tcl(const char *&name, void *&handle, TclApi &api) {
    // C++ strings may throw; the caller sees MemoryError instead.
    try {
        void *wanted = tkinter_create_interp();
        if (PyErr_Occurred())
            return false;
        for (const char *candidate : library_names) {
            // RTLD_NOLOAD: only a library that is already in the process, never a second Tcl.
            void *loaded = dlopen(candidate, RTLD_LAZY | RTLD_NOLOAD);
            if (!loaded)
                continue;
            if (!wanted || dlsym(loaded, "Tcl_CreateInterp") != wanted) {
                dlclose(loaded);
                continue;
            }
            std::string missing;
            if (!resolve_api(loaded, api, missing)) {
                dlclose(loaded);
                PyErr_Format(PyExc_ImportError,
                             "Cannot load Tcl shared library (.so or .dylib): %s lacks %s",
                             candidate, missing.c_str());
                return false;
            }
            name = candidate;
            handle = loaded;
            return true;
        }
        PyErr_Format(PyExc_ImportError,
                     "Cannot load Tcl shared library (.so or .dylib): none of the names tried "
                     "(%s) is the Tcl library that tkinter has loaded",
                     names_tried().c_str());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return false;
}

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

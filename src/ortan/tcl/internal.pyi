"""Access to some internals of Tcl's C code."""

import ctypes as ctypes
import tkinter as tkinter
from collections.abc import Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, ClassVar, NoReturn, TypeVar, Union, final

__all__ = (
    "ReturnCodes",
    "TclDLL",
    "lib",
    "Tcl_Interp_p",
    "Tcl_WideInt",
    "Tcl_ObjType",
    "Tcl_Obj",
    "TclError_from_interp",
    "GetListFromAny",
    "DictionaryCompare",
    "dictionary_key",
)

_P = TypeVar("_P")
_Interp = Union[tkinter.Tk, "Tcl_Interp_p", None]

unicode = str

class ReturnCodes:
    TCL_OK: int
    TCL_ERROR: int
    TCL_RETURN: int
    TCL_BREAK: int
    TCL_CONTINUE: int

lib: str
TclDLL: ctypes.CDLL

def _ptr_add(ptr: _P, count: int) -> _P: ...
def _ptr_sub(ptr: _P, count: int) -> _P: ...
def _ptr_diff(ptr1: Any, ptr2: Any) -> int: ...
def TclError_from_interp(interp: _Interp, default_msg: object = None) -> NoReturn: ...

class Tcl_Interp_p(ctypes.c_void_p):
    @classmethod
    def from_param(cls, interp: _Interp) -> Tcl_Interp_p: ...  # type: ignore[override]

Tcl_WideInt = ctypes.c_longlong

class Tcl_ObjType(ctypes.Structure):
    name: bytes | None
    freeIntRepProc: int | None
    dupIntRepProc: int | None
    updateStringProc: int | None
    setFromAnyProc: int | None

class Tcl_Obj(ctypes.Structure):
    class u_internalRep(ctypes.Union):
        class s_twoPtrValue(ctypes.Structure):
            ptr1: int | None
            ptr2: int | None

        longValue: int
        doubleValue: float
        otherValuePtr: int | None
        wideValue: int
        twoPtrValue: Tcl_Obj.u_internalRep.s_twoPtrValue

    refCount: int
    bytes: bytes | None
    length: int
    typePtr: ctypes._Pointer[Tcl_ObjType]
    internalRep: Tcl_Obj.u_internalRep

def _c_char_p_from_obj(obj: object) -> ctypes.c_char_p: ...
def GetListFromAny(obj: object, interp: _Interp = None) -> tuple[Any, ...]: ...
def DictionaryCompare(left: object, right: object) -> int: ...

@final
class dictionary_key:
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, text: object) -> dictionary_key: ...
    @property
    def text(self) -> str: ...
    def __lt__(self, value: dictionary_key, /) -> bool: ...
    def __le__(self, value: dictionary_key, /) -> bool: ...
    def __gt__(self, value: dictionary_key, /) -> bool: ...
    def __ge__(self, value: dictionary_key, /) -> bool: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

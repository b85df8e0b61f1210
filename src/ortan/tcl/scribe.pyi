"""Python values to Tcl text (scribe) and to Tcl binding values (tclobj)."""

import sys as sys
from collections.abc import Callable, Iterable, Mapping as Mapping, Sequence as Sequence
from collections.abc import Set as Set
from typing import Any, Protocol

from _tkinter import Tcl_Obj as _tkTcl_Obj

__all__ = ("scribe", "tclobj")

unicode = str
_sysmaxsize: int
_long_type: type[int]

_Flags = Any  # a set of "USE_BRACES", "BRACES_UNMATCHED", "TCL_DONT_USE_BRACES"

def _Tcl_ScanElement(string: object) -> tuple[int, set[str]]: ...
def _Tcl_ConvertElement(src: object, flags: _Flags) -> str: ...
def _tcl_UpdateStringOfList(listObj: Iterable[object]) -> str: ...

def _scribe_from_sequence(listObj: Iterable[object]) -> str: ...

def _scribe_from_mapping(obj: Mapping[Any, Any]) -> str: ...
def _tclobj_from_sequence(obj: Iterable[object]) -> tuple[Any, ...]: ...
def _tclobj_from_mapping(obj: Mapping[Any, Any]) -> tuple[Any, ...]: ...

class _Scribe(Protocol):
    from_sequence: Callable[[Iterable[object]], str]
    from_mapping: Callable[[Mapping[Any, Any]], str]
    def __call__(self, obj: object) -> str: ...

class _Tclobj(Protocol):
    from_sequence: Callable[[Iterable[object]], tuple[Any, ...]]
    from_mapping: Callable[[Mapping[Any, Any]], tuple[Any, ...]]
    def __call__(self, obj: object) -> Any: ...

scribe: _Scribe
tclobj: _Tclobj

"""Drive a Tcl interpreter from Python: the host interpreter and its cast operations."""

import functools
import tkinter
from typing import Any

import _tkinter

from .history import History
from .hop import Hop
from .internal import GetListFromAny as GetListFromAny
from .namespace import TclNamespace

__all__ = [
    "Interpreter",
    "cast_any",
    "cast_array",
    "cast_boolean",
    "cast_list",
    "default_interpreter",
]

class Interpreter:
    tk: _tkinter.TkappType
    _root: tkinter.Tk
    def __init__(self) -> None: ...
    @functools.cached_property
    def history(self) -> History: ...
    @functools.cached_property
    def hop(self) -> Hop: ...
    @functools.cached_property
    def vars(self) -> TclNamespace.VariablesView: ...
    def cast_boolean(self, value: Any) -> bool: ...
    def cast_list(self, value: Any) -> tuple[Any, ...]: ...
    def cast_array(self, value: Any) -> dict[Any, Any]: ...
    def cast_any(self, value: Any) -> Any: ...

def default_interpreter() -> Interpreter: ...
def cast_list(value: Any) -> tuple[Any, ...]: ...
def cast_boolean(value: Any) -> bool: ...
def cast_array(value: Any) -> dict[Any, Any]: ...
def cast_any(value: Any) -> Any: ...

# The module stands in for its default interpreter.
tk: _tkinter.TkappType
history: History
hop: Hop
vars: TclNamespace.VariablesView

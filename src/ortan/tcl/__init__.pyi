"""Drive a Tcl interpreter from Python: the host interpreter and its cast operations."""

import functools
import tkinter
from typing import Any, Optional, Union

import _tkinter

from ._host import Host as Host
from .cast import HostCasts as HostCasts
from .cast import cast_any as cast_any
from .cast import cast_array as cast_array
from .cast import cast_dict as cast_dict
from .cast import cast_list as cast_list
from .history import History
from .hop import Hop
from .internal import GetListFromAny as GetListFromAny
from .namespace import TclNamespace

__all__ = [
    "Interpreter",
    "cast_any",
    "cast_array",
    "cast_boolean",
    "cast_dict",
    "cast_list",
    "default_interpreter",
]

class Interpreter(HostCasts):
    tk: _tkinter.TkappType
    _root: Optional[tkinter.Tk]
    def __init__(self, master: Union[tkinter.Misc, _tkinter.TkappType, None] = None) -> None: ...
    @functools.cached_property
    def history(self) -> History: ...
    @functools.cached_property
    def hop(self) -> Hop: ...
    @functools.cached_property
    def vars(self) -> TclNamespace.VariablesView: ...

__version__: str

def default_interpreter() -> Interpreter: ...
def cast_boolean(value: object) -> bool: ...

# The module stands in for its default interpreter.
tk: _tkinter.TkappType
history: History
hop: Hop
vars: TclNamespace.VariablesView

"""Quick calls: Hop, attribute-style calling of Tcl commands, and Hop_Code, the path it builds."""

import weakref as weakref
from tkinter import TclError as TclError
from typing import Any, NoReturn

from typing_extensions import Self

from ortan.tcl._host import Host
from ortan.tcl.scribe import scribe as scribe

__all__ = ("Hop", "Hop_Code")

class Hop:
    tcl: Host
    def __init__(self, tcl: Host) -> None: ...
    def __getattr__(self, name: str, /) -> Hop_Code: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> NoReturn: ...

class Hop_Code:
    tcl: Host
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: Host) -> None: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> Any: ...
    def __getattr__(self, name: str, /) -> Hop_Code: ...
    def __copy__(self, /) -> Self: ...
    def __deepcopy__(self, memo: Any, /) -> Self: ...

"""Quick calls: Hop, attribute-style calling of Tcl commands, and Hop_Code, the path it builds."""

import weakref as weakref
from tkinter import TclError as TclError
from typing import Any, NoReturn

from ortan.tcl.scribe import scribe as scribe

class Hop:
    tcl: Any
    def __init__(self, tcl: Any) -> None: ...
    def __getattr__(self, name: str, /) -> Hop_Code: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> NoReturn: ...

class Hop_Code:
    tcl: Any
    cmd: list[str]
    def __init__(self, *cmd: str, tcl: Any) -> None: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> Any: ...
    def __getattr__(self, name: str, /) -> Hop_Code: ...

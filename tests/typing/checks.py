"""What a user's program may lean on, checked by mypy --strict (mypy.ini); never run.

A line that mypy must refuse carries `# type: ignore[<code>]`: under --strict an ignore that
is not needed is itself an error, so each such line fails the check unless mypy refuses it.
"""

import tkinter
from typing import Any, Dict, List, Tuple

from typing_extensions import assert_type

from ortan.tcl import Host, Interpreter
from ortan.tcl.history import History
from ortan.tcl.hop import Hop
from ortan.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclCommand,
    TempTclNamespace,
    TempTclVariable,
)
from ortan.tcl.nestmap import Nestmap
from ortan.tcl.scribe import scribe

tcl = Interpreter()

# scribe() always gives text.
assert_type(scribe([1, {"k": None}]), str)
assert_type(scribe.from_sequence([1, 2]), str)
assert_type(scribe(object()).upper(), str)

# A with block gives the temporary object's own type.
with TempTclCommand(lambda *words: "+".join(words), tcl=tcl) as command:
    assert_type(command, TempTclCommand)
    assert_type(command.cmd_name, str)
with TempTclVariable(tcl=tcl) as variable, TempTclArrayVariable(tcl=tcl) as array:
    assert_type(variable, TempTclVariable)
    assert_type(array, TempTclArrayVariable)
with TempTclNamespace(tcl=tcl) as namespace:
    assert_type(namespace, TempTclNamespace)
    assert_type(namespace.exists(), bool)

# A Nestmap lookup can be any value (text, a nested level, a list ...).
keyed = Nestmap({"a.b": 1})
assert_type(keyed["a.b"], Any)
assert_type(keyed.all_keys(), List[Any])
assert_type(Nestmap.from_tcl("{a 1}"), Nestmap)
keyed.a.b  # attribute access to items


# tcl= takes an Interpreter, or any object with the Host members (no tcl: the package default).
class MyHost:
    def __init__(self) -> None:
        self.inner = Interpreter()

    @property
    def tk(self) -> Any:
        return self.inner.tk

    @property
    def history(self) -> History:
        return self.inner.history

    @property
    def vars(self) -> TclNamespace.VariablesView:
        return self.inner.vars

    def cast_boolean(self, value: Any) -> bool:
        return self.inner.cast_boolean(value)

    def cast_list(self, value: Any) -> Tuple[Any, ...]:
        return self.inner.cast_list(value)

    def cast_array(self, value: Any) -> Dict[Any, Any]:
        return self.inner.cast_array(value)

    def cast_any(self, value: Any) -> Any:
        return self.inner.cast_any(value)


host: Host = MyHost()
hosts: List[Host] = [tcl, MyHost()]
TclVariable("::v", tcl=tcl)
TclVariable("::v", tcl=MyHost())
TclVariable("::v")
TclArrayVariable("::a", tcl=host)
TclCommand("set", tcl=host)
TclNamespace("::n", tcl=host)
TempTclCommand(print, tcl=host)
Hop(host)

# ... and refuses what is not a host.
TclVariable("::v", tcl=5)  # type: ignore[arg-type]
TclArrayVariable("::a", tcl=5)  # type: ignore[arg-type]
TclCommand("set", tcl=5)  # type: ignore[arg-type]
TclNamespace("::n", tcl=5)  # type: ignore[arg-type]
TempTclVariable(tcl=5)  # type: ignore[arg-type]
TempTclCommand(print, tcl=5)  # type: ignore[arg-type]
TempTclNamespace(tcl=5)  # type: ignore[arg-type]
Hop(5)  # type: ignore[arg-type]
TclVariable("::v", tcl=tkinter.Tcl())  # type: ignore[arg-type]

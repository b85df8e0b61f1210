"""A program that uses every public name of ortan.tcl; mypy checks it against the stubs."""

import tkinter
from functools import cmp_to_key

import ortan.tcl
from ortan.tcl import (
    Interpreter,
    cast_any,
    cast_array,
    cast_boolean,
    cast_dict,
    cast_list,
    default_interpreter,
)
from ortan.tcl.cast import HostCasts
from ortan.tcl.history import Entry, History, log
from ortan.tcl.hop import Hop, Hop_Code
from ortan.tcl.internal import (
    DictionaryCompare,
    GetListFromAny,
    ReturnCodes,
    Tcl_Interp_p,
    Tcl_Obj,
    Tcl_ObjType,
    Tcl_WideInt,
    TclDLL,
    TclError_from_interp,
    lib,
)
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
from ortan.tcl.scribe import scribe, tclobj

tcl: Interpreter = Interpreter()
default: Interpreter = default_interpreter()
flag: bool = cast_boolean("yes") and tcl.cast_boolean(1)
items: tuple[object, ...] = cast_list("a b") + tcl.cast_list(("c",))
table: dict[object, object] = cast_array("k v")
anything: object = cast_any("1")
keys: list[str] = list(cast_dict("k v")) + list(tcl.cast_dict(("n", 1)))
shared: Interpreter = Interpreter(tkinter.Tcl())
on_app: Interpreter = Interpreter(shared.tk)
casts: HostCasts = shared

text: str = scribe([1, {"k": None}]) + scribe.from_sequence([1]) + scribe.from_mapping({"a": 1})
native: object = tclobj(1.5)

words: tuple[object, ...] = GetListFromAny("a {b c}", None)
order: list[str] = sorted(["x10", "x9"], key=cmp_to_key(DictionaryCompare))
ok: int = ReturnCodes.TCL_OK
size: int = len(lib) if lib is not None else 0
pointer: Tcl_Interp_p = Tcl_Interp_p.from_param(None)
wide = Tcl_WideInt(5)
record = Tcl_Obj()
kind = Tcl_ObjType()
try:
    TclError_from_interp(None, "message")
except Exception:
    pass

var = TclVariable("::v", tcl=tcl)
var.set("x")
value: str = var.get_str()
array = TclArrayVariable("::a", tcl=tcl)
array["k"] = "v"
command = TclCommand("::set", tcl=tcl)
command("::w", 1)
namespace = TclNamespace("::n", tcl=tcl)
namespace.create()
namespace.vars["x"] = "1"
parts: list[str] = TclNamespace.split("::a::b")
with TempTclVariable(tcl=tcl) as temp_var, TempTclArrayVariable(tcl=tcl) as temp_array:
    temp_var.set(1)
    temp_array["k"] = 1
with TempTclCommand(lambda: "x", tcl=tcl) as temp_command, TempTclNamespace(tcl=tcl) as temp_ns:
    temp_command()
    temp_ns.exists()

keyed = Nestmap({"a.b": 1})
keyed["a.c"] = 2
leaves: list[tuple[object, object]] = keyed.all_items()
parsed: Nestmap = Nestmap.from_tcl("{a 1}")

history = History(max_history=10)
history.append(["set", "x", "1"])
entries: list[Entry] = history.filter(count=0)
log.debug("done")
hop = Hop(tcl)
code: Hop_Code = hop.ns.proc
result: object = tcl.hop.set("::x", 1) or ortan.tcl.hop.set("::y", 2)

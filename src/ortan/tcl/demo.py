"""A short tour of ortan.tcl against an embedded Tcl interpreter: python -m ortan.tcl.demo"""

import functools
import tkinter

import ortan.tcl
from ortan.tcl.internal import DictionaryCompare, GetListFromAny
from ortan.tcl.namespace import TclArrayVariable, TclNamespace, TempTclCommand
from ortan.tcl.nestmap import Nestmap
from ortan.tcl.scribe import scribe, tclobj

__all__ = ["main"]


def section(title):
    print(f"\n== {title}")


def show_scribe(tcl):
    section("scribe: Python values as Tcl text, and what Tcl reads back")
    for value in (
        ["a b", "{", "}", "x\\{y", "$HOME [exit]", ""],
        {"name": "my value", "nested": [1, [2, 3]]},
        (True, None, 1.5, b"ab"),
    ):
        text = scribe(value)
        back = tcl.tk.call("lrange", text, 0, "end")
        print(f"  {value!r}\n    -> {text}\n    Tcl reads {len(back)} elements: {list(back)}")
    tcl.tk.call("set", "::demo", tclobj([1, [2.5, "x y"]]))
    print(f"  tclobj([1, [2.5, 'x y']]) as ::demo; Tcl reads: {tcl.tk.eval('set ::demo')}")


def show_internal():
    section("internal: Tcl's own list scanner and dictionary order")
    text = 'a {b c} "d e" f\\ g \\x41'
    print(f"  GetListFromAny({text!r}) -> {GetListFromAny(text)}")
    words = ["x10", "X9", "x9", "a", "B", "b"]
    print(f"  dictionary order of {words}: {sorted(words, key=functools.cmp_to_key(DictionaryCompare))}")


def show_namespace(tcl):
    section("namespace: variables, commands and namespaces as Python objects")
    app = TclNamespace("::app", tcl=tcl)
    app.create()
    app.vars["version"] = "1.0"
    app.eval("proc twice {x} {expr {$x * 2}}")
    print(f"  ::app::version = {tcl.tk.eval('set ::app::version')!r}; procs: {list(app.procs)}")
    print(f"  app.procs['twice'](21) -> {app.procs['twice'](21)!r}")
    colors = TclArrayVariable("::colors", tcl=tcl)
    colors.update(sky="blue", grass="green")
    print(f"  array ::colors as a mapping: {dict(sorted(colors.items()))}")
    with TempTclCommand(lambda *words: "+".join(words), tcl=tcl) as join:
        print(f"  a Python callable as Tcl command {join.cmd_name}: {tcl.tk.eval(join.cmd_name + ' x y')}")
    print(f"  after the with block it is gone: {tcl.tk.call('info', 'commands', join.cmd_name)!r}")


def show_nestmap(tcl):
    section("nestmap: TclX keyed lists")
    person = Nestmap({"name.first": "Ada", "name.last": "Lovelace", "born": 1815})
    print(f"  Nestmap {dict(person)} -> {scribe(person)}")
    try:
        tcl.tk.eval("package require Tclx")
    except tkinter.TclError:
        print("  (TclX is not installed: apt-get install tclx8.4 shows the keyed-list interop)")
        return
    tcl.tk.call("set", "::person", tclobj(person))
    print(f"  TclX keylget person name.last -> {tcl.tk.eval('keylget ::person name.last')}")
    tcl.tk.eval("keylset ::person name.middle {King Noel}")
    back = Nestmap.from_tcl(tcl.tk.call("set", "::person"))
    print(f"  after TclX keylset, from_tcl -> {back.all_items()}")


def show_hop_and_history(tcl):
    section("hop and history: quick calls, recorded")
    tcl.tk.eval("namespace eval demo { proc greet {who args} { list hello $who {*}$args } }")
    print(f"  tcl.hop.demo.greet('world', loud=1) -> {tcl.hop.demo.greet('world', loud=1)!r}")
    tcl.history.start_marker("setup")
    tcl.hop.set("::x", 5)
    tcl.history.end_marker("setup")
    try:
        tcl.hop.demo.nosuch()
    except tkinter.TclError as error:
        print(f"  a failure carries Tcl's errorInfo: {error.args[0].splitlines()}")
    print("  the last calls:")
    for entry in tcl.history.filter(count=4):
        print(f"    {entry}")
    print(f"  under marker 'setup': {[e.api for e in tcl.history.filter('setup')]}")


def main():
    tcl = ortan.tcl.Interpreter()
    print(f"Tcl {tcl.tk.eval('info patchlevel')} embedded, no display")
    show_scribe(tcl)
    show_internal()
    show_namespace(tcl)
    show_nestmap(tcl)
    show_hop_and_history(tcl)


if __name__ == "__main__":
    main()

"""namespace: the wrappers' hot paths against the raw tkinter calls they make."""

from benchmarks.common import Row, best_time, main

import ortan.tcl
from ortan.tcl.namespace import TclCommand, TclNamespace, TclVariable

NUMBER = 20_000
REPEAT = 7


def pair(name, ours, anchor, anchor_name, goal):
    # Interleave the two so that drift on the machine hits both alike.
    ours_time = anchor_time = float("inf")
    for _ in range(3):
        ours_time = min(ours_time, best_time(ours, repeat=REPEAT, number=NUMBER))
        anchor_time = min(anchor_time, best_time(anchor, repeat=REPEAT, number=NUMBER))
    return Row(name, ours_time, anchor_time, anchor_name, goal)


def run():
    interp = ortan.tcl.Interpreter()
    tk = interp.tk
    tk.eval("namespace eval ::a {variable x {some text}}")
    tk.setvar("v", "hello")

    command = TclCommand("::list", tcl=interp)
    variable = TclVariable("v", tcl=interp)
    ns = TclNamespace("::a", tcl=interp)
    view = ns.vars
    ns_root = TclNamespace("::", tcl=interp)

    def callback(word):
        return word

    ns_root.cmds["ours_cb"] = callback
    tk.createcommand("tk_cb", callback)

    rows = [
        pair("TclCommand call, 2 words + 1 option",
             lambda: command("a", "b", opt="v"),
             lambda: tk.call("::list", "a", "b", "-opt", "v"),
             "tk.call(same words)", "<= 1.5"),
        pair("TclCommand.call(), same words",
             lambda: command.call("a", "b", opt="v"),
             lambda: tk.call("::list", "a", "b", "-opt", "v"),
             "tk.call(same words)", "<= 1.5"),
        pair("TclVariable.get_obj()",
             lambda: variable.get_obj(), lambda: tk.getvar("v"), "tk.getvar", "<= 1.5"),
        pair("TclVariable.set(text)",
             lambda: variable.set("hello"), lambda: tk.setvar("v", "hello"),
             "tk.setvar", "<= 1.5"),
        pair("ns.vars['x']",
             lambda: view["x"], lambda: tk.eval("set ::a::x"),
             "tk.eval('set ::a::x')", "<= 2"),
        pair("Python callback, tk.call(name, 'x')",
             lambda: tk.call("ours_cb", "x"), lambda: tk.call("tk_cb", "x"),
             "the same callable by tk.createcommand", "<= 1.5 (goal 1.2)"),
    ]
    return rows


if __name__ == "__main__":
    main(run)

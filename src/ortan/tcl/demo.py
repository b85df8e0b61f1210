"""A short tour of ortan.tcl against an embedded Tcl interpreter: python -m ortan.tcl.demo"""

import ortan.tcl
from ortan.tcl.scribe import scribe, tclobj


def show_scribe(tcl):
    print("scribe: Python values as Tcl text, and what Tcl reads back")
    values = [
        ["a b", "{", "}", "x\\{y", "$HOME [exit]", ""],
        {"name": "my value", "nested": [1, [2, 3]]},
        (True, None, 1.5, b"ab"),
    ]
    for value in values:
        text = scribe(value)
        back = tcl.tk.splitlist(tcl.tk.call("lrange", text, 0, "end"))
        print(f"  {value!r}\n    -> {text}\n    Tcl llength {len(back)}: {list(back)}")
    tcl.tk.call("set", "::demo", tclobj([1, [2.5, "x y"]]))
    print(f"  tclobj([1, [2.5, 'x y']]) set as ::demo; Tcl reads: {tcl.tk.eval('set ::demo')}")


def main():
    tcl = ortan.tcl.Interpreter()
    print(f"Tcl {tcl.tk.eval('info patchlevel')} embedded, no display\n")
    show_scribe(tcl)


if __name__ == "__main__":
    main()

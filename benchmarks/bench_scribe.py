"""scribe(): list formatting against Tcl's own and against the same rules in plain Python."""

import random
import tkinter

from benchmarks.common import Row, best_time, main
from ortan.tcl.scribe import scribe, tclobj

N = 200_000


def make_items(n, seed=1):
    rng = random.Random(seed)
    alphabet = "abcdefgh {}[]$\\\"#;\t"
    return [
        "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 9))) for _ in range(n)
    ]


# --- the same quoting rules in plain Python: the baseline ------------------------------------

_BLANK_ESCAPES = {"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}
_BACKSLASHED = set('[]$; \\"')
_ASKS_BRACES = set("[$; \f\n\r\t\v")


def py_scan(text):
    flags = set()
    if not text or text[0] in '{"':
        flags.add("USE_BRACES")
    level, i, n = 0, 0, len(text)
    while i < n:
        c = text[i]
        if c == "{":
            level += 1
        elif c == "}":
            level -= 1
            if level < 0:
                flags |= {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
        elif c in _ASKS_BRACES:
            flags.add("USE_BRACES")
        elif c == "\\":
            if i + 1 == n or text[i + 1] == "\n":
                flags = {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
            else:
                flags.add("USE_BRACES")
                if text[i + 1] in "{}\\":
                    i += 1  # an escaped brace or backslash counts for nothing
        i += 1
    if level != 0:
        return {"TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"}
    return flags


def py_convert(text, flags, first):
    if not text:
        return "{}"
    if first and text[0] == "#":
        flags = flags | {"USE_BRACES"}
    if "USE_BRACES" in flags and "TCL_DONT_USE_BRACES" not in flags:
        return "{%s}" % text
    out = []
    start = 0
    if text[0] in "{#" and (text[0] == "{" or first):
        out.append("\\" + text[0])
        if text[0] == "{":
            flags = flags | {"BRACES_UNMATCHED"}
        start = 1
    braces = "BRACES_UNMATCHED" in flags
    for c in text[start:]:
        if c in _BACKSLASHED or (braces and c in "{}"):
            out.append("\\" + c)
        elif c in _BLANK_ESCAPES:
            out.append(_BLANK_ESCAPES[c])
        else:
            out.append(c)
    return "".join(out)


def py_scribe_list(items):
    return " ".join(py_convert(t, py_scan(t), i == 0) for i, t in enumerate(items))


# ---------------------------------------------------------------------------------------------


def run():
    tk = tkinter.Tcl().tk
    items = make_items(N)
    as_tuple = tuple(items)
    assert py_scribe_list(items) == scribe(items)
    assert tk.splitlist(scribe(items)) == as_tuple

    ours = best_time(lambda: scribe(items), repeat=5)
    tcl = best_time(lambda: tk.call("format", "%s", as_tuple), repeat=5)
    plain = best_time(lambda: py_scribe_list(items), repeat=1)

    calls = 200_000
    text_call = best_time(lambda: [scribe("abc") for _ in range(calls)], repeat=5) / calls
    str_call = best_time(lambda: [str("abc") for _ in range(calls)], repeat=5) / calls
    int_call = best_time(lambda: [tclobj(1) for _ in range(calls)], repeat=5) / calls
    str_int_call = best_time(lambda: [str(1) for _ in range(calls)], repeat=5) / calls
    return [
        Row(f"scribe(list of {N:,} texts)", ours, tcl, "Tcl list formatting", "<= 0.5"),
        Row(f"scribe(list of {N:,} texts)", ours, plain, "same rules in Python", "<= 1/30"),
        Row("scribe('abc')", text_call, str_call, "str('abc')", "<= 2"),
        Row("tclobj(1)", int_call, str_int_call, "str(1)", "<= 2"),
    ]


if __name__ == "__main__":
    main(run)

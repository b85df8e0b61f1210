"""scribe(): list formatting against Tcl's own and against the same rules in plain Python."""

import random
import tkinter

from benchmarks.common import Row, best_time, main
from benchmarks.element_model import scribe_list as py_scribe_list
from ortan.tcl.scribe import scribe, tclobj

N = 200_000


def make_items(n, seed=1):
    rng = random.Random(seed)
    alphabet = "abcdefgh {}[]$\\\"#;\t"
    return [
        "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 9))) for _ in range(n)
    ]


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

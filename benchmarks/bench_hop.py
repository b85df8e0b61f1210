"""Quick calls and the call history: tcl.hop.<cmd>(...) against the raw tk.call it makes."""

import logging

import ortan.tcl
from benchmarks.common import Row, best_time, main
from ortan.tcl.history import History

CALLS = 20_000


def per_call(func, calls=CALLS, repeat=7):
    def loop():
        for _ in range(calls):
            func()

    return best_time(loop, repeat=repeat) / calls


def quick_call_rows():
    tcl = ortan.tcl.Interpreter()
    tk = tcl.tk
    tk.eval("namespace eval ns_a::ns_b { proc procname {args} { return $args } }")
    hop = tcl.hop
    assert tcl.history.enabled
    raw = per_call(lambda: tk.call("set", "::x", "1"))
    ours = per_call(lambda: tcl.hop.set("::x", 1))
    plain = per_call(lambda: tcl.hop.set("::x", 1, cast_=False))
    path_raw = per_call(lambda: tk.call("ns_a::ns_b::procname", "x", "-opt", "y"))
    path = per_call(lambda: hop.ns_a.ns_b.procname("x", opt="y", cast_=False))
    tcl.history.disable()
    unrecorded = per_call(lambda: tcl.hop.set("::x", 1, cast_=False))
    raw_name = "tk.call('set', '::x', '1')"
    return [
        Row("tcl.hop.set('::x', 1), history on", ours, raw, raw_name, "<= 3 (goal 2)"),
        Row("  the same, cast_=False", plain, raw, raw_name, "info"),
        Row("  the same, cast_=False, history off", unrecorded, raw, raw_name, "info"),
        Row("hop.ns_a.ns_b.procname('x', opt='y')", path, path_raw, "tk.call of the 4 words",
            "info"),
    ]


def debug_record_rows():
    log = logging.getLogger("ortan.tcl")
    saved = log.level, log.propagate
    words = ["cmd"] + ["word %d" % i for i in range(100)]
    history = History()
    try:
        log.propagate = False  # records are made but go nowhere
        log.setLevel(logging.DEBUG)
        recorded = per_call(lambda: history.append(words), calls=5_000)
        log.setLevel(logging.INFO)
        skipped = per_call(lambda: history.append(words), calls=5_000)
    finally:
        log.setLevel(saved[0])
        log.propagate = saved[1]
    return [
        Row("History.append(101 words), debug off", skipped, recorded,
            "the same, debug on", "< 1 (not formatted)"),
    ]


def run():
    return quick_call_rows() + debug_record_rows()


if __name__ == "__main__":
    main(run)

"""Quick calls and the call history: tcl.hop.<cmd>(...) against the raw tk.call it makes.

Two further anchors put the ratio in context: the same steps written in plain Python (the
classes below, which follow the documented algorithm), and the steps every recorded quick call
hands to code outside this package (the Tcl call, the clock reading, the host's cast_any, the
deque), each timed on its own and summed: no implementation gets below that. (An Entry keeps
the raw clock reading and makes its datetime when first read, so the clock step is the reading
alone; the logger's answer is read from its cache, which costs less than the method call.)
"""

import collections
import logging
import time
import tkinter
import weakref

import ortan.tcl
from benchmarks.common import Row, best_time, main
from ortan.tcl.history import History
from ortan.tcl.scribe import scribe
from ortan.tcl.history import get_time

CALLS = 20_000


def per_call(func, calls=CALLS, repeat=7):
    return best_time(func, repeat=repeat, number=calls)


log = logging.getLogger("ortan.tcl")


class PyEntry:
    def __init__(self, api):
        if not isinstance(api, str):
            api = " ".join("{%s}" % word if " " in word else word for word in api)
        self.timestamp = get_time()
        self.api = api


class PyHistory:
    def __init__(self, max_history=9999):
        self.__history__ = collections.deque(maxlen=max_history)
        self.__markers__ = {}
        self.__activeMarkers__ = []
        self.enabled = True

    def append(self, item):
        if log.isEnabledFor(logging.DEBUG):
            log.debug("%% %s" % (item,))
        if not self.enabled:
            return
        entry = PyEntry(item)
        self.__history__.append(entry)
        for name in self.__activeMarkers__:
            self.__markers__[name].append(entry)


class PyHop:
    def __init__(self, tcl):
        self.tcl = weakref.proxy(tcl)

    def __getattr__(self, name):
        return PyHopCode(name, tcl=self.tcl)


class PyHopCode:
    def __init__(self, *cmd, tcl):
        self.tcl = tcl
        self.cmd = list(cmd)

    def __getattr__(self, name):
        self.cmd.append(name)
        return self

    def __call__(self, *args, **kwargs):
        cast = kwargs.pop("cast_", True)
        cmd = ["::".join(self.cmd)]
        cmd.extend(scribe(arg) for arg in args)
        for key, value in kwargs.items():
            cmd += ["-" + key, scribe(value)]
        self.tcl.history.append(cmd)
        try:
            result = self.tcl.tk.call(*cmd)
        except tkinter.TclError:
            raise tkinter.TclError(self.tcl.vars["::errorInfo"]) from None
        if cast:
            return self.tcl.cast_any(result)
        return result if isinstance(result, str) else scribe(result)


class PyHost(ortan.tcl.Interpreter):
    """An interpreter whose history and quick calls are the plain-Python ones above."""

    def __init__(self):
        super().__init__()
        self.__dict__["history"] = PyHistory()
        self.__dict__["hop"] = PyHop(self)


def outside_steps_time(tcl):
    """The summed time of the steps a recorded quick call hands to code outside this package."""
    tk = tcl.tk
    full = collections.deque(range(9999), maxlen=9999)
    steps = [
        lambda: tk.call("set", "::x", "1"),
        lambda: time.time_ns(),
        lambda: tcl.cast_any("1"),
        lambda: full.append(None),
    ]
    empty = per_call(lambda: None)
    return sum(max(0.0, per_call(step) - empty) for step in steps)


def quick_call_rows():
    tcl = ortan.tcl.Interpreter()
    tk = tcl.tk
    tk.eval("namespace eval ns_a::ns_b { proc procname {args} { return $args } }")
    hop = tcl.hop
    assert tcl.history.enabled
    raw_call = lambda: tk.call("set", "::x", "1")  # noqa: E731
    raw = per_call(raw_call)
    ours = per_call(lambda: tcl.hop.set("::x", 1))
    plain = per_call(lambda: tcl.hop.set("::x", 1, cast_=False))
    path_raw = per_call(lambda: tk.call("ns_a::ns_b::procname", "x", "-opt", "y"))
    path = per_call(lambda: hop.ns_a.ns_b.procname("x", opt="y", cast_=False))
    py_host = PyHost()
    plain_python = per_call(lambda: py_host.hop.set("::x", 1))
    outside = outside_steps_time(tcl)
    tcl.history.disable()
    unrecorded = per_call(lambda: tcl.hop.set("::x", 1, cast_=False))
    tcl.history.enable()
    # The anchor once more, and our main row once more, each keeping its best: a burst of load
    # from another process during one timing does not then skew the ratio.
    raw = min(raw, per_call(raw_call))
    ours = min(ours, per_call(lambda: tcl.hop.set("::x", 1)))
    raw_name = "tk.call('set', '::x', '1')"
    return [
        Row("tcl.hop.set('::x', 1), history on", ours, raw, raw_name, "<= 3 (goal 2)"),
        Row("  the steps outside this package alone", outside, raw, raw_name, "info (floor)"),
        Row("  the same quick call in plain Python", ours, plain_python, "plain-Python hop",
            "info"),
        Row("  the same, cast_=False", plain, raw, raw_name, "info"),
        Row("  the same, cast_=False, history off", unrecorded, raw, raw_name, "info"),
        Row("hop.ns_a.ns_b.procname('x', opt='y')", path, path_raw, "tk.call of the 4 words",
            "info"),
    ]


def debug_record_rows():
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

"""Memory stays flat when each module's main operations, error paths included, run thousands of
times: a reference leaked per call shows up as traced memory (tracemalloc) and as allocated
blocks (sys.getallocatedblocks) that grow with the number of calls.

Each case is a function registered with @case(module, name): given a fresh host interpreter, it
returns the operation to repeat. Adding a module is adding its cases.
"""

import collections.abc
import gc
import os
import sys
import tkinter
import tracemalloc
import weakref

import pytest

import ortan.tcl

TclError = tkinter.TclError

# Calls per measured batch. A leak of one object per call grows a batch by ROUNDS blocks and
# by at least 16 * ROUNDS bytes; the limits below are a small fraction of that, and far above
# the noise of a run without leaks (a few blocks, a few hundred bytes).
ROUNDS = 2000
WARMUP = 300
MAX_BLOCKS = ROUNDS // 4
MAX_BYTES = ROUNDS * 4

CASES = []


def case(module, name):
    """Registers a case: `make(tcl)` returns the operation to repeat."""

    def register(make):
        CASES.append(pytest.param(module, make, id=f"{module}: {name}"))
        return make

    return register


def expect(exc, f, *args, **kwargs):
    """An operation that must fail with `exc`."""

    def op():
        try:
            f(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{f!r} did not raise {exc.__name__}")

    return op


def sequence(*ops):
    def op():
        for f in ops:
            f()

    return op


class Boom(Exception):
    pass


def measure(op, rounds):
    """Growth of (allocated blocks, traced bytes) over `rounds` calls."""
    gc.collect()
    blocks, traced = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        op()
    gc.collect()
    return sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - traced


# Under the sanitizer build (tools/sanitize) each operation runs for its memory errors only: the
# instrumented allocator makes the measured batches slow, and leaks are this file's business in
# the ordinary run.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize("module, make", CASES)
def test_memory_stays_flat(module, make, tcl, record_property):
    op = make(tcl)
    for _ in range(WARMUP):
        op()
    if UNDER_SANITIZER:
        return
    tracemalloc.start()
    try:
        # Three batches: a leak grows every one of them, a one-off (a cache filling, a dict
        # resizing) only one.
        batches = [measure(op, ROUNDS) for _ in range(3)]
    finally:
        tracemalloc.stop()
    blocks = min(b for b, _ in batches)
    traced = min(t for _, t in batches)
    record_property("growth per batch (blocks, bytes)", batches)
    print(f"{module}: {ROUNDS} calls per batch, growth (blocks, bytes): {batches}")
    assert blocks < MAX_BLOCKS and traced < MAX_BYTES, (
        f"memory grows with the number of calls: {batches} per {ROUNDS} calls"
    )


# --- scribe --------------------------------------------------------------------------------------


class Hooked:
    def __init__(self, value):
        self.value = value

    def __tclobj__(self):
        return self.value


class Scribed:
    def __scribe__(self):
        return "scribed {text}"


class Raises:
    def __init__(self, where):
        self.where = where

    def __getattr__(self, name):
        if name == self.where:
            raise Boom(name)
        raise AttributeError(name)

    def __str__(self):
        raise Boom("str")


class Items(collections.abc.Sequence):
    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return ["x y", i, None][i]

    def __len__(self):
        return 3


NESTED = [
    "a b",
    "{",
    "}",
    "x\\",
    "",
    "é ü",
    12,
    2**70,
    -1.5,
    True,
    None,
    b"ab",
    (1, ("x", "y z")),
    {"k": [1, 2], "a b": {"c": None}},
    {1, 2, 3},
    frozenset(["q"]),
    range(4),
    Items(),
    Hooked(["h", 1]),
    Scribed(),
    collections.deque(["d"]),
    "\U0001f600[$x]",
]


@case("scribe", "scribe and tclobj of nested values and hooks")
def _(tcl):
    from ortan.tcl.scribe import scribe, tclobj

    return sequence(lambda: scribe(NESTED), lambda: tclobj(NESTED), lambda: scribe(NESTED[13]))


@case("scribe", "element scanning, converting and list joining")
def _(tcl):
    from ortan.tcl.scribe import (
        _scribe_from_mapping,
        _Tcl_ConvertElement,
        _Tcl_ScanElement,
        _tcl_UpdateStringOfList,
        _tclobj_from_mapping,
        _tclobj_from_sequence,
    )  # fmt: skip

    def op():
        for text in ("", "a b", "{a", "a\\", "x\\{y", "#x", "é\t"):
            size, flags = _Tcl_ScanElement(text)
            _Tcl_ConvertElement(text, flags)
            _Tcl_ConvertElement(text, ["USE_BRACES"])
        _tcl_UpdateStringOfList(["a}", "b{", "c d", 1])
        _scribe_from_mapping({"a": "b c"})
        _tclobj_from_sequence(("a", [1.5]))
        _tclobj_from_mapping({"a": (1,)})

    return op


@case("scribe", "errors: hooks and str raising, self-containing lists, bad flags")
def _(tcl):
    from ortan.tcl.scribe import _Tcl_ConvertElement, scribe, tclobj

    loop = ["x"]
    loop.append(loop)

    class Changing(collections.abc.Mapping):
        """A mapping whose item lookup changes the dict its keys come from."""

        data = {"a": 1, "b": 2}

        def __getitem__(self, key):
            self.data[key + "x"] = 0
            return self.data[key]

        def __iter__(self):
            return iter(self.data)

        def __len__(self):
            return len(self.data)

    changing = Changing()
    return sequence(
        expect(Boom, scribe, [1, Raises("__scribe__")]),
        expect(Boom, tclobj, [Raises("__tclobj__")]),
        expect(Boom, scribe, Raises("nothing")),
        expect(RecursionError, scribe, loop),
        expect(RecursionError, tclobj, loop),
        expect(AttributeError, _Tcl_ConvertElement, "{a", frozenset()),
        expect(TypeError, _Tcl_ConvertElement, "a", None),
        expect(TypeError, scribe),
        expect(RuntimeError, scribe, changing),
        expect(RuntimeError, tclobj, changing),
        lambda: Changing.data.clear() or Changing.data.update(a=1, b=2),
    )


# --- internal ------------------------------------------------------------------------------------


@case("internal", "GetListFromAny of texts, objects and interpreters")
def _(tcl):
    from ortan.tcl.internal import GetListFromAny, Tcl_Interp_p

    address = Tcl_Interp_p(tcl.tk.interpaddr())
    # A raw address is taken once its interpreter was met through its tkinter.Tk (which tells
    # the interpreter's thread).
    GetListFromAny("x", tcl._root)
    dict_obj = tcl.tk.call("dict", "create", "a", "b c")
    root = tkinter.Tcl()

    def op():
        GetListFromAny('a b c {de} {f g h { i }} "q r" x\\ y \\u00e9')
        GetListFromAny("é {ü x}", root)
        GetListFromAny("a b", address)
        GetListFromAny(dict_obj)
        GetListFromAny([1, 2])
        GetListFromAny(5)
        GetListFromAny(None)
        GetListFromAny(b"ab")

    return op


@case("internal", "errors: invalid lists, interpreters and texts")
def _(tcl):
    from ortan.tcl.internal import GetListFromAny

    return sequence(
        expect(TclError, GetListFromAny, "a {b"),
        expect(TclError, GetListFromAny, '"a"b', tkinter.Tcl()),
        expect(ValueError, GetListFromAny, "a", tcl.tk),
        expect(UnicodeError, GetListFromAny, "\ud800 x"),
        expect(Boom, GetListFromAny, Raises("nothing")),
    )


@case("internal", "DictionaryCompare and the library helpers")
def _(tcl):
    from ortan.tcl.internal import (
        DictionaryCompare,
        TclError_from_interp,
        _c_char_p_from_obj,
        _ptr_add,
        _ptr_diff,
    )  # fmt: skip

    words = ["x10y", "x9y", "x01", "B", "b", "é", "\u0663", "", "abc", "ABD", 10]

    def op():
        for left in words:
            for right in words[:4]:
                DictionaryCompare(left, right)
        p = _c_char_p_from_obj("some text")
        _ptr_diff(_ptr_add(p, 4), p)
        try:
            TclError_from_interp(None, "message")
        except TclError:
            pass
        try:
            DictionaryCompare(Raises("nothing"), "a")
        except Boom:
            pass

    return op


# --- nestmap -------------------------------------------------------------------------------------

KEYED = "{name {{first alpha} {last beta}}} {size 3} {a.b {{c d}}} {e {}}"


@case("nestmap", "keyed lists: build, read, write, delete, convert")
def _(tcl):
    from ortan.tcl.nestmap import Nestmap
    from ortan.tcl.scribe import scribe, tclobj

    def op():
        n = Nestmap.from_tcl(KEYED)
        n["name.middle"] = "gamma"
        n["x.y.z"] = [1, 2]
        n.update({"size": 4}, extra=Nestmap(q="r"))
        n.get("missing.key")
        n.__contains__("name.first")
        n.all_items()
        n.all_keys()
        del n["x.y.z"]
        n.pop("name.first")
        n.setdefault("new.key", "v")
        scribe(n)
        tclobj(n)
        Nestmap({"a": {"b": 1}, "c": [("d", "e")]}, f="g")

    return op


@case("nestmap", "errors: values below values, missing keys, bad keyed lists")
def _(tcl):
    from ortan.tcl.nestmap import Nestmap

    n = Nestmap({"size": "3"})
    return sequence(
        expect(KeyError, n.__setitem__, "size.unit", "m"),
        expect(KeyError, n.__getitem__, "missing.key"),
        expect(KeyError, n.__delitem__, "missing"),
        expect(ValueError, Nestmap.from_tcl, "a b c"),
        expect(TclError, Nestmap.from_tcl, "{a {b}"),
        expect(TypeError, n.update, {}, {}),
        expect(TypeError, n.__contains__, 5),
    )


# --- history -------------------------------------------------------------------------------------


@case("history", "recording, markers, filtering, clearing")
def _(tcl):
    from ortan.tcl.history import History

    h = History(max_history=50)

    def op():
        h.start_marker("m")
        h.append(["set", "a b", "c"])
        h.append("puts hi")
        h.end_marker("m")
        h.filter(count=5, regex="^set ")
        h.filter(marker="m", count=0)
        str(h.filter(count=1)[0])
        repr(h)
        h.disable()
        h.append("ignored")
        h.enable()
        h.clear(marker="m")

    return op


@case("history", "errors: missing markers, bad words, bad patterns")
def _(tcl):
    from ortan.tcl.history import Entry, History

    h = History(max_history=5)
    return sequence(
        expect(Exception, h.filter, marker="missing"),
        expect(KeyError, h.clear, marker="missing"),
        expect(ValueError, h.end_marker, "missing"),
        expect(TypeError, Entry, ["set", 5]),
        expect(Exception, h.filter, regex="("),
    )


# --- hop -----------------------------------------------------------------------------------------


def quiet_history(tcl):
    """A small history for the host: the default one would grow for 9999 calls."""
    from ortan.tcl.history import History

    tcl.history = History(max_history=20)
    return tcl


@case("hop", "quick calls with options, casts and paths")
def _(tcl):
    tcl = quiet_history(tcl)
    tcl.tk.eval("namespace eval ns_a { proc rec {args} { return $args } }")
    hop = tcl.hop

    def op():
        hop.ns_a.rec(1, [2, "x y"], opt=True, other={"k": None})
        hop.set("v", "value")
        hop.llength("a b c", cast_=False)
        hop.expr("1.5 * 2")
        str(hop.ns_a.rec)

    return op


@case("hop", "errors: Tcl failures with their trace, empty command")
def _(tcl):
    tcl = quiet_history(tcl)
    tcl.tk.eval("proc ::fail {} { error boom }")
    hop = tcl.hop
    return sequence(
        expect(TclError, hop.fail),
        expect(TclError, hop.no_such_command, 1, x=2),
        expect(TclError, hop),
        expect(Boom, hop.set, Raises("__scribe__")),
    )


# --- namespace -----------------------------------------------------------------------------------


@case("namespace", "variables and arrays")
def _(tcl):
    from ortan.tcl.namespace import TclArrayVariable, TclVariable, TempTclVariable

    var = TclVariable("::leak_v", tcl=tcl)
    arr = TclArrayVariable("::leak_a", tcl=tcl)

    def op():
        var.set([1, "a b"])
        var.get()
        var.get_str()
        var.exists()
        arr["k"] = "v"
        arr.update({"x": 1, "y": "z w"})
        arr["k"]
        arr.__contains__("x")
        list(arr)
        len(arr)
        arr.array_get()
        arr.array_item_byref("x").get()
        del arr["y"]
        with TempTclVariable(tcl=tcl) as t:
            t.set(1)

    return op


@case("namespace", "commands and procedures")
def _(tcl):
    from ortan.tcl.namespace import TclCommand, TempTclCommand

    tcl.tk.eval("proc ::leak_p {a {b 2} args} { return [list $a $b $args] }")
    proc = TclCommand("::leak_p", tcl=tcl)
    bound = TclCommand("::leak_p", args=("x",), keywords={"opt": 1}, tcl=tcl)

    def op():
        proc(1, 2, 3)
        bound.call("y", k="v")
        bound.eval()
        proc.proc_args()
        proc.proc_arg_default("b")
        proc.proc_body()
        proc.is_proc()
        str(bound)
        with TempTclCommand(lambda *a: len(a), tcl=tcl) as cmd:
            cmd(1, "2 3")

    return op


@case("namespace", "a registered callback that raises")
def _(tcl):
    from ortan.tcl.namespace import TclCommand, TclNamespace, TempTclCommand

    def fails(*words):
        raise Boom("from a callback")

    TclNamespace("::", tcl=tcl).cmds["leak_cb"] = fails
    command = TclCommand("::leak_cb", tcl=tcl)

    def op():
        tcl.tk.eval("catch {::leak_cb a {b c}} msg opts")
        expect(TclError, command, "x")()
        with TempTclCommand(fails, tcl=tcl) as temp:
            expect(TclError, temp)()

    return op


@case("namespace", "namespaces and their views")
def _(tcl):
    from ortan.tcl.namespace import TclNamespace, TempTclNamespace

    ns = TclNamespace("::leak_ns", tcl=tcl)
    ns.create()
    ns.eval("proc p {} { return 1 }")

    def op():
        ns.vars["v"] = "a b"
        ns.vars["v"]
        ns.objs.get("v")
        list(ns.vars)
        ns.vars.__contains__("v")
        list(ns.procs)
        list(ns.cmds)
        ns.procs.__contains__("p")
        ns.children()
        ns.exists()
        ns.call("set", "w", 1)
        TclNamespace.join(ns, "a", "::b::c")
        TclNamespace.split("::a::b")
        TclNamespace.qualifiers("::a::b")
        with TempTclNamespace(tcl=tcl) as t:
            t.create()

    return op


@case("namespace", "errors: missing variables and commands, invalid names")
def _(tcl):
    from ortan.tcl.namespace import TclCommand, TclNamespace, TclVariable

    ns = TclNamespace("::leak_err", tcl=tcl)
    ns.create()
    return sequence(
        expect(TclError, TclVariable("::leak_missing", tcl=tcl).get),
        expect(KeyError, ns.vars.__getitem__, "missing"),
        expect(KeyError, ns.vars.__delitem__, "missing"),
        expect(TclError, TclCommand("::leak_no_cmd", tcl=tcl)),
        expect(ValueError, TclNamespace.split, "a:b"),
        expect(ValueError, TclNamespace.join, "a", "b:::c"),
    )


# --- lifetime across modules ---------------------------------------------------------------------


def test_wrappers_and_quick_calls_after_their_interpreter_is_gone():
    from ortan.tcl import namespace
    from ortan.tcl.scribe import scribe, tclobj

    interp = ortan.tcl.Interpreter()
    interp.tk.eval("namespace eval ::life { proc p {a} { return $a } }")
    hop, code = interp.hop, interp.hop.life.p
    ns = namespace.TclNamespace("::life", tcl=interp)
    var, proc, host_vars = ns.vars.byref("v"), ns.procs.byref("p"), interp.vars
    temp_command = namespace.TempTclCommand(lambda: "x", tcl=interp)
    temp_variable = namespace.TempTclVariable(tcl=interp).__enter__()
    temp_namespace = namespace.TempTclNamespace(tcl=interp).__enter__()
    alive = weakref.ref(interp)
    unraisable = []
    old_hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        del interp
        gc.collect()
        assert alive() is None
        uses = {
            "hop attribute call": lambda: hop.set("::x", 1),
            "stored quick call": lambda: code(1),
            "quick call with a wrapper argument": lambda: hop.life.p(var),
            "variable": var.get,
            "procedure": lambda: proc("a"),
            "namespace": ns.exists,
            "host variables view": lambda: host_vars["x"],
            "procedures view": lambda: list(ns.procs),
            "temporary command": temp_command.delete,
            "temporary variable's with end": lambda: temp_variable.__exit__(None, None, None),
            "temporary namespace's with end": lambda: temp_namespace.__exit__(None, None, None),
        }
        for name, use in uses.items():
            try:
                use()
            except ReferenceError:
                continue
            pytest.fail(f"{name}: no ReferenceError")
        # Conversions need no interpreter.
        assert scribe(var) == "::life::v" and scribe(ns) == "::life"
        assert tclobj(proc) == ("::life::p",)
        del temp_command, temp_variable, temp_namespace, uses
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    # Collected temporaries may at most report their ReferenceError as ignored.
    assert all(issubclass(u.exc_type, ReferenceError) for u in unraisable), unraisable

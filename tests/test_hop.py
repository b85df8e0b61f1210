import copy
import gc
import inspect
import os
import pydoc
import subprocess
import sys
import textwrap
import tkinter
import tracemalloc
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

import ortan.tcl
from ortan.tcl import hop as hop_module
from ortan.tcl import namespace as namespace_module
from ortan.tcl.history import History
from ortan.tcl.hop import Hop, Hop_Code
from ortan.tcl.scribe import scribe

TclError = tkinter.TclError


@pytest.fixture
def host(tcl):
    """The host interpreter, with `rec` (returns its arguments) and ns_a::ns_b::procname."""
    tcl.tk.eval(
        "proc ::rec {args} { return $args }\n"
        "namespace eval ns_a::ns_b { proc procname {args} { return $args } }\n"
        "proc ::fail {} { error boom }"
    )
    return tcl


def last_line(tcl):
    return tcl.history.filter(count=1)[0].api


# --- module and host ---------------------------------------------------------------------------


def test_module_names():
    assert hop_module.weakref is weakref and hop_module.TclError is TclError
    assert hop_module.scribe is scribe
    assert type(Hop) is type and type(Hop_Code) is type
    assert Hop.__module__ == Hop_Code.__module__ == "ortan.tcl.hop"
    assert "cast_" in Hop.__doc__ and "[A-Za-z0-9_]" in Hop.__doc__


def test_type_stub_matches_the_module():
    stubtest = pytest.importorskip("mypy.stubtest")
    assert stubtest.test_stubs(stubtest.parse_options(["ortan.tcl.hop"])) == 0


def test_host_hop_is_a_weak_hop_on_itself(host):
    assert type(host.hop) is Hop
    assert type(host.hop.tcl) in weakref.ProxyTypes
    assert host.hop.tcl.tk is host.tk
    assert type(host.history) is History


def test_hop_keeps_a_proxy_it_is_given(host):
    proxy = weakref.proxy(host)
    assert Hop(proxy).tcl is proxy


# --- the words of a call -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, words",
    [
        ((), {}, []),
        (("x",), {}, ["x"]),
        (("a b", ["c d"], 1, 2.5, True, None), {}, ["a b", "{c d}", "1", "2.5", "true", ""]),
        (("x",), {"opt": "y", "n": 2}, ["x", "-opt", "y", "-n", "2"]),
        (("p", "q"), {"b": [1, 2], "a": None}, ["p", "q", "-b", "1 2", "-a", ""]),
        ((), {"cast": 0}, ["-cast", "0"]),
        (("x",), {"cast_": False, "k": "v"}, ["x", "-k", "v"]),
    ],
    ids=["none", "one", "converted", "options", "options-last", "cast-is-an-option", "cast_-out"],
)
def test_words_reach_tcl_in_order(host, args, kwargs, words):
    kwargs = dict(kwargs, cast_=False)
    result = host.hop.rec(*args, **kwargs)
    assert host.tk.splitlist(result) == tuple(words)
    assert host.history.filter(count=1)[0].api == " ".join(
        ["rec"] + ["{%s}" % w if " " in w else w for w in words]
    )


def test_options_come_after_positional_arguments_whatever_the_call_order(host):
    assert host.hop.rec(opt=1, *["a", "b"], cast_=False) == "a b -opt 1"


@pytest.mark.parametrize(
    "kwargs, words",
    [
        ({"from_": 1}, ["-from", "1"]),
        ({"in_": ".f", "class_": "C"}, ["-in", ".f", "-class", "C"]),
        ({"to": 2}, ["-to", "2"]),
        ({"x__": 1}, ["-x_", "1"]),
        ({"_": 1}, ["-", "1"]),
        ({"cast__": 0}, ["-cast_", "0"]),
        ({"cast_": False, "from_": 3}, ["-from", "3"]),
    ],
    ids=["from_", "in_-class_", "plain", "one-underscore-only", "only-underscore", "cast__",
         "cast_-kept"],
)
def test_option_words_drop_one_trailing_underscore(host, kwargs, words):
    kwargs.setdefault("cast_", False)
    assert host.tk.splitlist(host.hop.rec(**kwargs)) == tuple(words)
    assert last_line(host) == " ".join(["rec"] + words)


def test_tkinter_options_through_a_quick_call(host):
    # The convention is tkinter's own: `from_` names Tcl's -from.
    host.tk.eval("proc ::range {args} { dict get $args -from }")
    assert host.hop.range(from_=5, to=9) == 5


@pytest.mark.parametrize(
    "value",
    [0, 1, 255, 256, -1, 10**18, -(2**63), 2**63 - 1, 2**63, -(2**63) - 1, 2**200, True, False,
     1.5, -0.0, 1e300],
    ids=lambda v: repr(v)[:12],
)
def test_numbers_are_written_as_scribe_writes_them(host, value):
    assert host.hop.rec(value, cast_=False) == scribe(value)
    assert last_line(host) == "rec " + scribe(value)


def test_int_subclass_goes_through_scribe(host):
    class Flag(int):
        def __scribe__(self):
            return "flag%d" % int(self)

    assert host.hop.rec(Flag(3), cast_=False) == "flag3"


@given(st.lists(st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"))))
def test_text_arguments_arrive_unchanged(words):
    tcl = ortan.tcl.Interpreter()
    tcl.tk.eval("proc ::rec {args} { return $args }")
    assert tcl.tk.splitlist(tcl.hop.rec(*words, cast_=False)) == tuple(words)


def test_recorded_line_of_a_braced_word(host):
    host.hop.rec("a b", ["c d"])
    assert last_line(host) == "rec {a b} {{c d}}"


def test_history_gets_the_very_list_that_runs(host):
    class Appending:
        def append(self, words):
            assert type(words) is list
            words.append("added")

    host.history = Appending()
    assert host.hop.rec("x", cast_=False) == "x added"


def test_call_is_recorded_with_markers(host):
    host.history.start_marker("phase")
    host.hop.set("::v", 1)
    host.hop.ns_a.ns_b.procname("arguments", arg_a="x", argb=2)
    assert [e.api for e in host.history.filter(marker="phase")] == [
        "set ::v 1",
        "ns_a::ns_b::procname arguments -arg_a x -argb 2",
    ]


@pytest.mark.parametrize(
    "call, words, error",
    [
        (lambda hop: hop.set("::v", "a b"), ["set", "::v", "a b"], None),
        (lambda hop: hop.error("boom"), ["error", "boom"], "boom"),
        (lambda hop: hop.fail(), ["fail"], "boom"),
        (lambda hop: hop.nosuch.thing(1), ["nosuch::thing", "1"],
         'invalid command name "nosuch::thing"'),
    ],
    ids=["returned", "error", "proc-error", "no-command"],
)
def test_entry_says_how_the_call_ended(host, call, words, error):
    try:
        call(host.hop)
    except TclError:
        assert error is not None
    entry = host.history.filter(count=1)[0]
    assert entry.error == error
    assert type(entry.duration) is float and entry.duration >= 0
    assert host.tk.splitlist(entry.script) == tuple(words)


def test_script_of_a_quick_call_runs_it_again(host):
    host.hop.rec("a b", "{", "$x [exit]", opt="c;d")
    entry = host.history.filter(count=1)[0]
    assert entry.api == "rec {a b} { {$x [exit]} -opt c;d"
    assert host.tk.eval(entry.script) == host.hop.rec("a b", "{", "$x [exit]", opt="c;d",
                                                       cast_=False)


def test_failure_from_python_is_noted_too(host):
    class Failing:
        def call(self, *words):
            raise ValueError("not from Tcl")

    tk = host.tk
    host.tk = Failing()
    try:
        with pytest.raises(ValueError):
            host.hop.rec("x")
    finally:
        host.tk = tk
    entry = host.history.filter(count=1)[0]
    assert entry.error == "not from Tcl" and type(entry.duration) is float


def test_other_histories_get_append_and_no_outcome(host):
    calls = []

    class Own(History):
        def append(self, item):
            calls.append(("class", list(item)))
            super().append(item)

    host.history = Own()
    host.hop.rec("x")
    assert host.history.filter()[0].duration is None
    plain = History()
    plain.append = lambda item: calls.append(("instance", list(item)))
    host.history = plain
    host.hop.rec("y")
    assert calls == [("class", ["rec", "x"]), ("instance", ["rec", "y"])]
    assert len(plain.__history__) == 0
    host.history = History()
    host.history.disable()
    assert host.hop.rec("z", cast_=False) == "z"


# --- results -----------------------------------------------------------------------------------


def test_namespace_path_and_casting(host):
    call = host.hop.ns_a.ns_b.procname
    assert call("arguments", arg_a="x", argb=2) == ("arguments", "-arg_a", "x", "-argb", "2")
    assert call("arguments", arg_a="x", argb=2, cast_=False) == "arguments -arg_a x -argb 2"


@pytest.mark.parametrize(
    "words",
    [
        ("set", "::v", "value"),
        ("set", "::v", "a {b c}"),
        ("llength", "a b c"),
        ("list", "a", "b c", ""),
        ("expr", "1.5 * 2"),
        ("expr", "2 ** 70"),
        ("dict", "create", "k", "v w"),
        ("string", "repeat", "", "1"),
    ],
    ids=["text", "list-text", "integer", "list", "double", "bignum", "tcl-obj", "empty"],
)
def test_plain_result_is_the_text_tcl_holds(host, words):
    command, *args = words
    plain = getattr(host.hop, command)(*args, cast_=False)
    assert type(plain) is str
    assert plain == host.tk.eval(scribe(words))


@pytest.mark.parametrize(
    "command, args, cast",
    [("llength", ("a b c",), 3), ("set", ("::v", "1.5"), 1.5), ("set", ("::v", "x"), "x")],
    ids=["int", "float", "text"],
)
def test_cast_result(host, command, args, cast):
    result = getattr(host.hop, command)(*args)
    assert result == cast and type(result) is type(cast)
    assert getattr(host.hop, command)(*args, cast_=False) == str(cast)


@pytest.mark.parametrize(
    "script, expected",
    [
        ("list [dict create] x", ("", "x")),
        ("list a [list [dict create k v] b]", ("a", ("k v", "b"))),
        ("list [dict create 010 1.10] 1.10", ("010 1.10", "1.10")),
    ],
    ids=["empty-dict", "nested", "text-kept"],
)
def test_cast_list_result_holds_no_tcl_object(host, script, expected):
    host.tk.eval("set ::d [%s]" % script)
    raw = host.tk.call("set", "::d")
    assert isinstance(raw, tuple)
    result = host.hop.set("::d")
    assert result == expected

    def elements(value):
        return [x for item in value for x in (elements(item) if isinstance(item, tuple) else [item])]

    assert all(type(item) in (str, int, float) for item in elements(result))


# --- paths and attributes ----------------------------------------------------------------------


def test_path_is_shared_and_grows_in_place(host):
    x = host.hop.a
    x.b
    x.c
    assert x.cmd == ["a", "b", "c"]
    assert hasattr(x, "probe") and x.cmd == ["a", "b", "c", "probe"]
    assert host.hop.a.cmd == ["a"]  # every access on the Hop starts afresh


PROBES = ["__len__", "__wrapped__", "__signature__", "_repr_html_",
          "_ipython_canary_method_should_not_exist_", "_partialmethod", "_"]


@pytest.mark.parametrize("name", PROBES)
def test_probe_names_are_never_path_components(host, name):
    code = host.hop.demo.greet
    assert not hasattr(code, name)
    with pytest.raises(AttributeError, match="'Hop_Code' object has no attribute '%s'" % name):
        getattr(code, name)
    assert code.cmd == ["demo", "greet"]
    with pytest.raises(AttributeError, match="'Hop' object has no attribute '%s'" % name):
        getattr(host.hop, name)


def test_names_with_one_underscore_at_one_end_are_path_components(host):
    code = host.hop._private.helper_.__class__
    assert code is Hop_Code
    assert host.hop._private.helper_.cmd == ["_private", "helper_"]


@pytest.fixture
def greet(host):
    host.tk.eval("namespace eval demo { proc greet {who args} { list hello $who {*}$args } }")
    return host.hop.demo.greet


@pytest.mark.parametrize(
    "look",
    [
        lambda g: hasattr(g, "__len__"),
        lambda g: pydoc.render_doc(g),
        lambda g: inspect.signature(g),
        lambda g: inspect.getdoc(g),
        lambda g: inspect.unwrap(g),
        lambda g: copy.copy(g),
        lambda g: copy.deepcopy(g),
        lambda g: repr(g),
        lambda g: dir(g),
    ],
    ids=["hasattr", "help", "signature", "getdoc", "unwrap", "copy", "deepcopy", "repr", "dir"],
)
def test_looking_at_a_handle_leaves_its_command_alone(greet, look):
    look(greet)
    assert greet.cmd == ["demo", "greet"]
    assert repr(greet) == "<tcl.Hop magic, referring Tcl code ::demo::greet>"
    assert greet("world", cast_=False) == "hello world"


def test_signature_of_a_handle(greet):
    assert str(inspect.signature(greet)) == "(*args, **kwargs)"


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_a_copy_has_a_path_of_its_own(host, copier):
    base = host.hop.ns_a
    base.extra = "kept"
    twin = copier(base)
    assert type(twin) is Hop_Code and twin.tcl is base.tcl and twin.extra == "kept"
    assert twin.ns_b.procname("x", cast_=False) == "x"
    assert base.cmd == ["ns_a"] and twin.cmd == ["ns_a", "ns_b", "procname"]


def test_a_copy_keeps_the_class(host):
    class Mine(Hop_Code):
        pass

    twin = copy.copy(Mine("a", tcl=host.hop.tcl))
    assert type(twin) is Mine and twin.cmd == ["a"]


def test_state_is_plainly_assignable(host):
    code = host.hop.anything
    code.cmd = ["ns_a", "ns_b", "procname"]
    assert code("x", cast_=False) == "x"
    del code.cmd
    with pytest.raises(AttributeError):
        code()


def test_subclass_property_for_the_path_is_honoured(host):
    class Fixed(Hop_Code):
        @property
        def cmd(self):
            return ["rec"]

        @cmd.setter
        def cmd(self, value):
            self.given = value

    assert Fixed("ignored", tcl=host.hop.tcl)("x", cast_=False) == "x"


def test_changed_class_still_reads_its_state(host, monkeypatch):
    monkeypatch.setattr(Hop_Code, "note", "changed", raising=False)
    assert host.hop.rec("x", cast_=False) == "x"
    assert host.hop.ns_a.ns_b.procname.cmd == ["ns_a", "ns_b", "procname"]


def test_own_attributes_are_not_path_components(host):
    code = host.hop.ns
    assert host.hop.tcl.tk is host.tk
    assert code.cmd == ["ns"] and code.tcl.tk is host.tk
    assert code.cmd == ["ns"]


def test_str_and_repr(host):
    code = host.hop.ns_a.procname
    assert str(code) == repr(code) == "<tcl.Hop magic, referring Tcl code ::ns_a::procname>"


def test_hop_code_constructor():
    tcl = object()
    code = Hop_Code("a", "b", tcl=tcl)
    assert code.cmd == ["a", "b"] and code.tcl is tcl
    assert Hop_Code(tcl=tcl).cmd == []
    with pytest.raises(TypeError, match="tcl"):
        Hop_Code("a")
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        Hop_Code("a", tcl=tcl, x=1)


def test_half_built_objects_raise_attribute_error():
    with pytest.raises(AttributeError):
        object.__new__(Hop_Code).anything
    with pytest.raises(AttributeError):
        object.__new__(Hop).anything


def test_subclass_overrides_are_honoured(host):
    class Loud(Hop_Code):
        def __getattr__(self, name):
            return "loud " + name

        def __call__(self, *args, **kwargs):
            return ("called", args, kwargs)

    loud = Loud("x", tcl=host)
    assert loud.anything == "loud anything"
    assert loud(1, k=2) == ("called", (1,), {"k": 2})


def test_calls_with_many_arguments_and_options(host):
    args = [str(i) for i in range(40)]
    options = {"o%d" % i: i for i in range(20)}
    words = host.tk.splitlist(host.hop.rec(*args, cast_=False, **options))
    assert words[:40] == tuple(args)
    assert words[40:] == tuple(w for k, v in options.items() for w in ("-" + k, str(v)))


# --- failures ----------------------------------------------------------------------------------


def test_calling_the_hop_itself(host):
    with pytest.raises(TclError) as ours:
        host.hop(1, opt=2)
    with pytest.raises(TclError) as tcl:
        host.tk.call("")
    assert ours.value.args == tcl.value.args == ('invalid command name ""',)


@pytest.mark.parametrize(
    "path, args, first_line",
    [
        (("error",), ("boom",), "boom"),
        (("fail",), (), "boom"),
        (("no_such_command",), (1,), 'invalid command name "no_such_command"'),
        (("ns_a", "missing"), (), 'invalid command name "ns_a::missing"'),
    ],
    ids=["error", "in-proc", "unknown", "unknown-in-namespace"],
)
def test_tcl_error_carries_error_info(host, path, args, first_line):
    code = host.hop
    for name in path:
        code = getattr(code, name)
    with pytest.raises(TclError) as info:
        code(*args)
    error = info.value
    assert error.args == (host.tk.getvar("::errorInfo"),)
    assert error.errorinfo == error.args[0]
    assert error.errorcode == tuple(host.tk.splitlist(host.tk.getvar("::errorCode")))
    assert error.args[0].startswith(first_line + "\n")
    assert "while executing" in error.args[0]
    assert error.__cause__ is None and error.__suppress_context__
    assert isinstance(error.__context__, TclError)
    assert last_line(host) == " ".join(["::".join(path)] + [str(a) for a in args])


@pytest.mark.parametrize(
    "script, code",
    [
        ("error boom", ("NONE",)),
        ("error boom {} {MY KIND {with space}}", ("MY", "KIND", "with space")),
        ("throw {ARITH DIVZERO {divide by zero}} boom", ("ARITH", "DIVZERO", "divide by zero")),
        ("expr {1 / 0}", ("ARITH", "DIVZERO", "divide by zero")),
        ("no_such_command", ("TCL", "LOOKUP", "COMMAND", "no_such_command")),
        ('error boom {} "\\{not a list"', ("{not a list",)),
    ],
    ids=["none", "own", "throw", "divide", "lookup", "not-a-list"],
)
def test_error_code_is_a_tuple_of_text(host, script, code):
    host.tk.eval("proc ::raising {} { %s }" % script)
    with pytest.raises(TclError) as info:
        host.hop.raising()
    assert info.value.errorcode == code
    assert all(type(word) is str for word in info.value.errorcode)
    assert info.value.errorinfo == info.value.args[0] == host.tk.getvar("::errorInfo")


def test_a_python_callback_failure_end_to_end(host):
    from ortan.tcl.namespace import TclNamespace

    def failing(*words):
        raise KeyError("missing %s" % (words,))

    TclNamespace("::", tcl=host).cmds["failing"] = failing
    with pytest.raises(TclError) as info:
        host.hop.failing("a")
    cause = info.value.__cause__
    assert type(cause) is KeyError and cause.args == ("missing ('a',)",)
    assert info.value.errorcode[:2] == ("ORTAN", "PYERR")
    assert info.value.__suppress_context__ and isinstance(info.value.__context__, TclError)
    # The message first, then the traceback.
    lines = info.value.errorinfo.splitlines()
    assert lines[:2] == ["KeyError: \"missing ('a',)\"", "Traceback (most recent call last):"]
    # A code that Tcl code writes names no exception.
    host.tk.eval("proc ::pyfail {} { error {ValueError: bad} {} {ORTAN PYERR 0000000000000007} }")
    with pytest.raises(TclError) as info:
        host.hop.pyfail()
    assert info.value.__cause__ is None and info.value.errorcode[:2] == ("ORTAN", "PYERR")


def test_error_info_names_the_procedure(host):
    with pytest.raises(TclError, match='(?s)boom.*\\(procedure "fail" line 1\\)'):
        host.hop.fail()


class FakeTk:
    def __init__(self, error):
        self.error = error

    def call(self, *words):
        raise self.error


class FakeHost:
    def __init__(self, tk, vars=None):
        self.tk = tk
        self.history = History()
        self.vars = vars

    def cast_any(self, value):
        return value


@pytest.mark.parametrize(
    "make", [lambda: tkinter.Tcl(), lambda: tkinter.Tcl().tk], ids=["Tcl()", "tkapp"]
)
@pytest.mark.parametrize(
    "build", [Hop, lambda tcl: Hop_Code("x", tcl=tcl)], ids=["Hop", "Hop_Code"]
)
def test_a_tkinter_object_is_refused_as_host(make, build):
    with pytest.raises(TypeError, match=r"needs a host interpreter.*Interpreter\(\.\.\.\)"):
        build(make())


def test_other_errors_propagate_unchanged():
    error = ValueError("not from Tcl")
    host = FakeHost(FakeTk(error))
    with pytest.raises(ValueError) as info:
        Hop(host).cmd("x")
    assert info.value is error
    assert [e.api for e in host.history.filter()] == ["cmd x"]


def test_error_while_reading_error_info_propagates():
    host = FakeHost(FakeTk(TclError("short")), vars={})
    with pytest.raises(KeyError) as info:
        Hop(host).cmd()
    assert isinstance(info.value.__context__, TclError)


def test_unconvertible_argument_records_and_runs_nothing(host):
    class Broken:
        def __scribe__(self):
            raise RuntimeError("cannot convert")

    host.tk.setvar("::v", "before")
    with pytest.raises(RuntimeError, match="cannot convert"):
        host.hop.set("::v", Broken())
    with pytest.raises(RuntimeError, match="cannot convert"):
        host.hop.set("::v", opt=Broken())
    assert host.history.filter() == []
    assert host.tk.getvar("::v") == "before"


def test_history_that_leads_back_to_the_call(host):
    host.history = host.hop.loop  # history.append(...) is itself a quick call
    with pytest.raises(RecursionError):
        host.hop.set("::v", 1)


RUNAWAY = """
import resource, sys
import ortan.tcl
sys.setrecursionlimit({limit})
resource.setrlimit(resource.RLIMIT_AS, (4_000_000_000, 4_000_000_000))
tcl = ortan.tcl.Interpreter()
tcl.history = tcl.hop.loop
try:
    tcl.hop.set("::v", 1)
except RecursionError as error:
    print("RecursionError", len(tcl.history.cmd), str(error))
print("peak", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves address space")
@pytest.mark.parametrize("limit", [1000, 100_000], ids=["default-limit", "raised-limit"])
def test_runaway_nesting_ends_in_recursion_error_with_little_memory(limit):
    # Each level carries a longer path and history line than the last: memory grows faster
    # than the depth, so the depth must be bounded whatever the interpreter's own limit is.
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(RUNAWAY.format(limit=limit))],
        capture_output=True, text=True, timeout=300, env=dict(os.environ),
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("RecursionError "), run.stdout
    assert int(lines[0].split()[1]) <= 501  # the path grew once per level
    assert int(lines[-1].split()[1]) < 400, run.stdout  # MB at the peak


def test_nested_quick_calls_below_the_limit_work(host):
    def nest(depth):
        depth = int(depth)
        return 0 if depth == 0 else 1 + host.hop.nest(depth - 1)

    host.tk.createcommand("nest", nest)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 5000))
    try:
        assert host.hop.nest(150) == 150
    finally:
        # A raised limit left behind would let later recursion tests overflow the C stack.
        sys.setrecursionlimit(limit)


# --- lifetime ----------------------------------------------------------------------------------


def test_hop_does_not_keep_the_interpreter_alive():
    tcl = ortan.tcl.Interpreter()
    hop = tcl.hop
    code = hop.set
    alive = weakref.ref(tcl)
    del tcl
    gc.collect()
    assert alive() is None
    for use in (lambda: hop.set("::x", 1), lambda: hop.set, lambda: code("::x", 1)):
        with pytest.raises(ReferenceError, match="the Interpreter this object belongs to no longer "
                           "exists; keep a reference to the Interpreter"):
            use()
    with pytest.raises(ReferenceError):
        hop.tcl.tk  # the proxy itself, as weakref makes it


# --- size --------------------------------------------------------------------------------------


def test_full_history_of_quick_calls_stays_small(host):
    for i in range(9999):  # reach every size class before measuring
        host.hop.set("::x", i)
    host.history.clear()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(9999):
            host.hop.set("::x", i)
        gc.collect()
        used = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert len(host.history.__history__) == 9999
    assert used < 3_000_000, used


@pytest.mark.parametrize("script, name, text", [
    ("set ::l [list 1e3 1.10 -0 0x10]; foreach x $::l {expr {$x+0}}", "::l", "1e3 1.10 -0 0x10"),
    ("set ::d [list [dict create] x]", "::d", "{} x"),
    ("set ::n 010; expr {$::n + 0}", "::n", "010"),
    ("set ::s {a  {b c}}", "::s", "a  {b c}"),
], ids=["shimmered-numbers", "empty-dict", "octal-looking", "spacing"])
def test_uncast_result_is_tcls_own_text(host, script, name, text):
    # The elements have numeric internal types by now; the text is still Tcl's own.
    host.tk.eval(script)
    assert host.hop.set(name, cast_=False) == text == host.tk.eval("set %s" % name)

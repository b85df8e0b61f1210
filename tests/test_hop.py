import gc
import tkinter
import tracemalloc
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

import ortan.tcl
from ortan.tcl import hop as hop_module
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


# --- paths and attributes ----------------------------------------------------------------------


def test_path_is_shared_and_grows_in_place(host):
    x = host.hop.a
    x.b
    x.c
    assert x.cmd == ["a", "b", "c"]
    assert hasattr(x, "probe") and x.cmd == ["a", "b", "c", "probe"]
    assert host.hop.a.cmd == ["a"]  # every access on the Hop starts afresh


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
    assert error.args[0].startswith(first_line + "\n")
    assert "while executing" in error.args[0]
    assert error.__cause__ is None and error.__suppress_context__
    assert isinstance(error.__context__, TclError)
    assert last_line(host) == " ".join(["::".join(path)] + [str(a) for a in args])


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


# --- lifetime ----------------------------------------------------------------------------------


def test_hop_does_not_keep_the_interpreter_alive():
    tcl = ortan.tcl.Interpreter()
    hop = tcl.hop
    code = hop.set
    alive = weakref.ref(tcl)
    del tcl
    gc.collect()
    assert alive() is None
    for use in (lambda: hop.set("::x", 1), lambda: code("::x", 1), lambda: hop.tcl.tk):
        with pytest.raises(ReferenceError):
            use()


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

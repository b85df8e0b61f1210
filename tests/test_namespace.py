"""ortan.tcl.namespace: variables, commands, namespaces and their views on a live interpreter."""

import gc
import os
import subprocess
import sys
import logging
import re
import tkinter
import weakref
from collections.abc import MutableMapping

import pytest
from hypothesis import given
from hypothesis import strategies as st

import ortan.tcl
import ortan.tcl.namespace as namespace
from ortan.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclArrayVariable,
    TempTclCommand,
    TempTclNamespace,
    TempTclVariable,
)
from ortan.tcl.scribe import scribe

TclError = tkinter.TclError


# ---------------------------------------------------------------------------------------------
# Fixtures


class RecordingTk:
    """The interpreter's tk with every call and eval recorded, to check the words sent."""

    def __init__(self, tk):
        self._tk = tk
        self.sent = []

    def call(self, *args):
        self.sent.append(("call",) + args)
        return self._tk.call(*args)

    def eval(self, script):
        self.sent.append(("eval", script))
        return self._tk.eval(script)

    def __getattr__(self, name):
        return getattr(self._tk, name)


class RecordingHost:
    """A host interpreter whose tk records what it is sent."""

    def __init__(self, interp):
        self._interp = interp
        self.tk = RecordingTk(interp.tk)

    def __getattr__(self, name):
        return getattr(self._interp, name)


@pytest.fixture
def rec(tcl):
    return RecordingHost(tcl)


@pytest.fixture
def ns_a(tcl):
    tcl.tk.eval("namespace eval ::a {}")
    return TclNamespace("::a", tcl=tcl)


def tcl_exists(tk, name):
    return tk.call("info", "exists", name) in (1, "1")


# ---------------------------------------------------------------------------------------------
# The module


def test_module_surface():
    assert namespace.__all__ == (
        "TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
        "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace",
    )
    assert "namespaces, variables and commands" in namespace.__doc__
    for name in namespace.__all__:
        assert getattr(namespace, name).__module__ == "ortan.tcl.namespace"
        assert name in namespace.__doc__
    assert namespace.MutableMapping is MutableMapping
    assert namespace.scribe is scribe and namespace.TclError is TclError
    assert namespace.Tk is tkinter.Tk and namespace.weakref is weakref
    # The private helper is checked apart: tests elsewhere patch it, which moves it to the end.
    assert [name for name in vars(namespace) if not name.startswith("_")] == [
        "MutableMapping", "scribe", "tclobj", "TclError", "Tk", "MethodType", "weakref", "sys",
        "functools", *namespace.__all__]
    assert [name for name in vars(namespace) if name.startswith("_") and name[1] != "_"] == [
        "_calls"]


@pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="the mypy for Python < 3.10 also checks the standard-library classes a stub "
    "re-exports against this Python's own; test_typing.py leaves them out",
)
def test_type_stub_matches_the_module():
    stubtest = pytest.importorskip("mypy.stubtest")
    assert stubtest.test_stubs(stubtest.parse_options(["ortan.tcl.namespace"])) == 0


def test_class_tree():
    mm = MutableMapping.__mro__
    assert TempTclArrayVariable.__mro__ == (
        (TempTclArrayVariable, TempTclVariable, TclArrayVariable) + mm[:-1] + (TclVariable, object)
    )
    assert TempTclVariable.__bases__ == (TclVariable,)
    assert TclArrayVariable.__bases__ == (MutableMapping, TclVariable)
    assert TempTclCommand.__bases__ == (TclCommand,)
    assert TempTclNamespace.__bases__ == (TclNamespace,)
    assert TclNamespace.ObjectsView.__bases__ == (TclNamespace.VariablesView,)
    assert TclNamespace.ProcsView.__bases__ == (TclNamespace.CommandsView,)
    assert TclNamespace.VariablesView.__bases__ == (MutableMapping,)
    assert TclNamespace.CommandsView.__bases__ == (MutableMapping,)
    for view in ("VariablesView", "ObjectsView", "CommandsView", "ProcsView"):
        cls = getattr(TclNamespace, view)
        assert cls.__qualname__ == "TclNamespace." + view
        assert cls.__module__ == "ortan.tcl.namespace"
        assert not cls.__abstractmethods__
    assert not TclArrayVariable.__abstractmethods__


def test_class_attributes():
    marker = TclVariable._TclVariable__marker
    assert type(marker) is object
    assert TclVariable.get is TclVariable.get_obj
    assert TclVariable.array_get is TclVariable.array_get_obj
    assert TclArrayVariable.get is TclVariable.get
    assert isinstance(TclCommand.__dict__["kwargs_to_dashed_args"], staticmethod)
    for name in ("qualifiers", "tail", "join", "split", "normalize"):
        assert isinstance(TclNamespace.__dict__[name], staticmethod)
    names = list(TclNamespace.__dict__)
    assert names[names.index("__str__"):][:6] == [
        "__str__", "qualifiers", "tail", "join", "split", "normalize"]
    assert list(TempTclVariable.__dict__).count("__init__") == 1
    assert {"__init__", "__enter__", "__exit__", "__del__"} <= set(TempTclCommand.__dict__)


# ---------------------------------------------------------------------------------------------
# Namespace names (static methods of TclNamespace)

SPLIT = [
    ("::a::b", ["", "a", "b"]), ("a::b", ["a", "b"]), ("::", [""]), ("", []),
    ("a::::b", ["a", "b"]), ("::a::", ["", "a"]), ("x", ["x"]), ("::::a", ["", "a"]),
]
NORMALIZE = [("::", ""), ("", ""), ("::a::", "::a"), ("a::::b", "a::b"), ("::a::b", "::a::b"),
             ("a", "a"), ("a::", "a")]
JOIN = [
    (("::a", "b"), "::a::b"), (("a", "::b"), "::b"), (("", "b", "c"), "b::c"),
    (("a", "", "b"), "a::b"), (("::", "a"), "::a"), (("x",), "x"), (("::a::", "b::"), "::a::b"),
    (("::a", "b", "::c", "d"), "::c::d"), (("", ""), ""),
]
TAIL = [("::a::b", "b"), ("a", "a"), ("a::", ""), ("::", ""), ("a:::b", "b"), ("", "")]
QUALIFIERS = [("::a::b", "::a"), ("a::b", "a"), ("::a", ""), ("a", ""), ("::", ""),
              ("a:::b", "a"), ("::a::b::c", "::a::b")]
INVALID = ["a:b", "a:::b", "a:", ":a", "::a::b:"]


@pytest.mark.parametrize("name, parts", SPLIT, ids=[repr(c[0]) for c in SPLIT])
def test_split(name, parts):
    assert TclNamespace.split(name) == parts


@pytest.mark.parametrize("name, expected", NORMALIZE, ids=[repr(c[0]) for c in NORMALIZE])
def test_normalize(name, expected):
    assert TclNamespace.normalize(name) == expected


@pytest.mark.parametrize("names, expected", JOIN, ids=[repr(c[0]) for c in JOIN])
def test_join(names, expected):
    assert TclNamespace.join(*names) == expected


@pytest.mark.parametrize("name, expected", TAIL, ids=[repr(c[0]) for c in TAIL])
def test_tail(name, expected):
    assert TclNamespace.tail(name) == expected


@pytest.mark.parametrize("name, expected", QUALIFIERS, ids=[repr(c[0]) for c in QUALIFIERS])
def test_qualifiers(name, expected):
    assert TclNamespace.qualifiers(name) == expected


@pytest.mark.parametrize("name", INVALID, ids=INVALID)
def test_invalid_names(name):
    for method in (TclNamespace.split, TclNamespace.normalize, TclNamespace.join):
        with pytest.raises(ValueError, match="^Invalid Tcl namespace '%s'$" % re.escape(name)):
            method(name)


def test_join_reports_the_joined_text():
    with pytest.raises(ValueError, match=r"^Invalid Tcl namespace '::a::b:c'$"):
        TclNamespace.join("::a", "b:c")


def test_names_accept_objects_through_scribe(tcl):
    ns = TclNamespace("::p::q", tcl=tcl)
    assert TclNamespace.join(ns, "r") == "::p::q::r"
    assert ns.split(ns) == ["", "p", "q"] and ns.tail(ns) == "q"
    assert TclNamespace.normalize(("a", "b")) == "a b"  # scribe of a sequence is a list text
    assert TclNamespace.join(string="::x") == "::x"


name_component = st.text(alphabet="ab_1é", min_size=1, max_size=3)
name_text = st.builds(
    lambda lead, parts, seps, trail: lead + "".join(p + s for p, s in zip(parts, seps)) + trail,
    st.sampled_from(["", "::", "::::"]), st.lists(name_component, min_size=1, max_size=4),
    st.lists(st.sampled_from(["::", "::::", "::::::"]), min_size=4, max_size=4),
    st.sampled_from(["", "::"]))


@given(name_text)
def test_name_arithmetic_properties(name):
    normal = TclNamespace.normalize(name)
    assert TclNamespace.normalize(normal) == normal
    assert "::".join(TclNamespace.split(name)) == normal
    qualifiers, tail = TclNamespace.qualifiers(normal), TclNamespace.tail(normal)
    if qualifiers:  # "::a" has no qualifiers, so joining its tail alone loses the "::"
        assert TclNamespace.join(qualifiers, tail) == normal


@given(name_text)
def test_normalize_agrees_with_tcl(name):
    tk = tkinter.Tcl().tk
    absolute = "::" + TclNamespace.normalize(name).lstrip(":")
    assert tk.eval("namespace eval {%s} {namespace current}" % name.lstrip(":")) == absolute


# ---------------------------------------------------------------------------------------------
# TclVariable


@pytest.mark.parametrize(
    "index, expected",
    [(None, "x"), ("k", "x(k)"), (5, "x(5)"), (True, "x(true)"),
     (("a", "two words"), "x(a {two words})")],
    ids=["none", "text", "int", "bool", "tuple"],
)
def test_variable_naming(tcl, index, expected):
    assert TclVariable("x", index, tcl=tcl).var_name == expected


def test_variable_attributes_and_text_forms(tcl):
    v = TclVariable("::x", tcl=tcl, cast=int)
    assert list(vars(v)) == ["tcl", "cast", "var_name"]
    assert type(v.tcl) in weakref.ProxyTypes and v.cast is int
    assert repr(v) == "TclVariable('::x')" and str(v) == "::x" and v.__tclobj__() == "::x"
    assert hash(v) == hash(v) and v != TclVariable("::x", tcl=tcl)
    assert TclVariable(v, tcl=tcl).var_name == "::x"


def test_get_set_and_casts(tcl, tk):
    v = TclVariable("x", tcl=tcl, cast=int)
    assert v.set(42) is None
    assert v.get() == 42 and type(v.get_obj()) is int
    assert v.get(cast=None) == tk.getvar("x")
    assert v.get(cast=str) == "42" and v.get_str() == "42"
    v.set([1, "a b", None])
    assert v.get_str() == "1 {a b} {}"
    assert TclVariable("x", tcl=tcl).get() == tk.getvar("x")


def test_odd_names_reach_tcl_as_one_word(tcl, tk):
    v = TclVariable("a [b] $c {d", tcl=tcl)
    v.set("value")
    assert tk.getvar("a [b] $c {d") == "value"
    assert v.get_str() == "value" and v.exists()


def test_element_access(tcl, tk):
    v = TclVariable("arr", tcl=tcl)
    v.set("one", array_index="k 1")
    v.set("two", array_index=5)
    assert tk.eval("set {arr(k 1)}") == "one"
    assert v.get(array_index="k 1") == "one" and v.get_str(array_index=5) == "two"
    assert v.get(array_index=5) == "two"  # non-text indexes are read back by their Tcl text
    assert v.exists(array_index=5) and not v.exists(array_index=6)
    element = v.array_item_byref("k 1", cast=str.upper)
    assert type(element) is TclVariable and element.var_name == "arr(k 1)"
    assert element.get() == "ONE" and element.tcl == v.tcl


def test_missing_variables(tcl):
    v = TclVariable("nothing", tcl=tcl)
    for read in (v.get, v.get_str):
        with pytest.raises(TclError, match="no such variable"):
            read()
    with pytest.raises(TclError):
        v.unset()
    assert v.unset(nocomplain=True) is None
    assert v.exists() is False


def test_unset_reraises_other_errors(tcl):
    v = TclVariable("x", tcl=tcl)

    class Refuses:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError):
        v.unset(nocomplain=Refuses())


def test_array_methods(tcl, tk):
    v = TclVariable("arr", tcl=tcl)
    assert v.array_set({"a": 1, "b c": "d e"}) is None
    assert v.is_array() and v.array_size() == 2
    assert v.array_get_str() == {"a": "1", "b c": "d e"}
    assert v.array_get() == v.array_get_obj() == tcl.cast_array(tk.call("array", "get", "arr"))
    assert v.array_get_str("b*") == v.array_get_obj(pattern="b*") == {"b c": "d e"}
    assert sorted(v.array_names()) == ["a", "b c"] and v.array_names("a") == ("a",)
    v.array_set(["f", "g"])
    v.array_set("h {i j}")
    assert v.array_size() == 4
    v.array_unset("b*")
    assert sorted(v.array_names()) == ["a", "f", "h"]
    v.array_unset()
    assert not v.is_array() and not tcl_exists(tk, "arr")
    with pytest.raises(TclError):
        v.array_set(["odd"])


def test_absolute_names(rec, tk):
    v = TclVariable("::a::b", tcl=rec)
    assert v.absolute() == "::a::b" and rec.tk.sent == []
    v = TclVariable("x", tcl=rec)
    assert v.absolute() == "::x" and rec.tk.sent == [("call", "namespace", "current")]
    v.make_absolute()
    assert v.var_name == "::x"


def test_variable_as_command_word(tcl, tk):
    v = TclVariable("::counter", tcl=tcl)
    v.set(1)
    TclCommand("::incr", tcl=tcl)(v, 4)
    assert v.get() == 5


# ---------------------------------------------------------------------------------------------
# TclArrayVariable


def test_array_as_mapping(tcl, tk):
    a = TclArrayVariable("::arr", tcl=tcl)
    assert len(a) == 0 and list(a) == [] and dict(a) == {}
    a["x"] = 1
    a.update({"y": "two words"}, z=[1, 2])
    assert len(a) == 3 and "x" in a and "q" not in a
    assert a["y"] == "two words" and a["z"] == tk.getvar("::arr", "z")
    assert dict(a) == {"x": a["x"], "y": "two words", "z": a["z"]}
    del a["x"]
    assert sorted(a) == ["y", "z"]
    a.clear()
    assert not tcl_exists(tk, "::arr")
    a.clear()  # nothing to clear: no error


def test_array_mapping_quirks(tcl, tk):
    a = TclArrayVariable("::arr", tcl=tcl, cast=str)
    a[5] = 7
    assert a[5] == "7" and a.get(5, None) == 7 and a.get(5, float) == 7.0
    with pytest.raises(TclError):
        a["missing"]
    with pytest.raises(TclError):
        a.pop("missing", None)
    with pytest.raises(TclError):
        a.setdefault("missing", None)
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        TclArrayVariable("::arr", array_index="k", tcl=tcl)


def test_array_iteration_is_lazy(rec):
    a = TclArrayVariable("::arr", tcl=rec)
    a.update(k="v")
    rec.tk.sent.clear()
    it = iter(a)
    assert rec.tk.sent == []
    assert list(it) == ["k"] and len(rec.tk.sent) == 1
    assert list(it) == []


def test_empty_update_makes_an_empty_array(tcl, tk):
    a = TclArrayVariable("::fresh", tcl=tcl)
    a.update()
    assert a.is_array() and len(a) == 0


# ---------------------------------------------------------------------------------------------
# Temporary variables


def test_temporary_variable_lifecycle(tcl, tk):
    with TempTclVariable(tcl=tcl) as v:
        assert v.var_name == "::__ortan__TempTclVariable_%d_tmp" % id(v)
        assert not v.exists()
        v.set("x")
        assert tk.getvar(v.var_name) == "x"
    assert not tcl_exists(tk, v.var_name)
    with TempTclVariable(tcl=tcl) as never_set:
        pass
    assert not never_set.exists()


def test_temporary_variable_removed_when_the_block_raises(tcl, tk):
    with pytest.raises(ZeroDivisionError):
        with TempTclVariable("::v_{id}", tcl=tcl) as v:
            v.set(1)
            1 / 0
    assert v.var_name == "::v_%d" % id(v) and not tcl_exists(tk, v.var_name)


def test_temporary_variable_name_errors(tcl):
    with pytest.raises(KeyError):
        TempTclVariable("::{x}", tcl=tcl)
    assert TempTclVariable(TclVariable("::t_{cls}", tcl=tcl), tcl=tcl).var_name == (
        "::t_TempTclVariable")


def test_temporary_array(tcl, tk):
    with TempTclArrayVariable(tcl=tcl) as a:
        assert a.var_name.startswith("::__ortan__TempTclArrayVariable_")
        a.update(k=1, j=2)
        assert sorted(a) == ["j", "k"]
    assert not tcl_exists(tk, a.var_name)
    with pytest.raises(TypeError):
        TempTclArrayVariable(array_index="k", tcl=tcl)


def test_temporary_variable_element_and_cast(tcl, tk):
    v = TempTclVariable("::t_{id}", array_index="i", tcl=tcl, cast=int)
    assert v.var_name == "::t_%d(i)" % id(v)
    with v:
        v.set(3)
        assert v.get() == 3
    assert not tcl_exists(tk, "::t_%d" % id(v) + "(i)")


# ---------------------------------------------------------------------------------------------
# TclCommand


@pytest.mark.parametrize(
    "cmd, args, name, bound",
    [
        ("puts hello", None, "puts", ("hello",)),
        (("puts", "a b"), None, "puts", ("a b",)),
        (["list", 1, True], None, "list", (1, True)),
        ("puts hello", (), "puts hello", ()),
        (("puts", "hello"), "x {y z}", "puts hello", ("x", "y z")),
        ("set", ["x", None], "set", ("x", "")),
    ],
    ids=["text", "tuple", "list", "args-empty", "args-text", "args-converted"],
)
def test_command_construction(tcl, cmd, args, name, bound):
    c = TclCommand(cmd, args=args, tcl=tcl)
    assert c.cmd_name == name and tuple(c.args) == bound


def test_command_from_command(tcl):
    base = TclCommand("::list", args=("a",), keywords={"k": 1}, tcl=tcl)
    c = TclCommand(base, tcl=tcl)
    assert c.cmd_name == "::list" and c.args == ("a", "-k", 1) and c.keywords == {}
    c = TclCommand(base, args=("b",), keywords={"z": None}, tcl=tcl)
    assert c.args == ("a", "b", "-k", 1) and c.keywords == {"z": ""}
    assert list(vars(c)) == ["tcl", "cmd_name", "args", "keywords", "cast", "logger"]


@pytest.mark.parametrize(
    "bound, call_args, call_kwargs, expected",
    [
        ({}, (), {}, ("::list",)),
        ({}, ("a", "b"), {"opt": "v"}, ("::list", "w", "a", "b", "-opt", "v")),
        ({"flag": False, "n": 2}, (1,), {"flag": True},
         ("::list", "w", 1, "-flag", True, "-n", 2)),
        ({"n": 2}, (), {"m": None, "n": [3, 4]}, ("::list", "w", "-n", (3, 4), "-m", "")),
    ],
    ids=["bare", "option", "override-in-place", "new-after-bound"],
)
def test_option_ordering(tcl, bound, call_args, call_kwargs, expected):
    c = TclCommand("::list", args=() if not call_args and not call_kwargs else ("w",),
                   keywords=bound, tcl=tcl)
    snapshot = dict(c.keywords)
    assert c.build_tclcmd(*call_args, **call_kwargs) == expected
    assert c.keywords == snapshot


def test_kwargs_to_dashed_args():
    assert TclCommand.kwargs_to_dashed_args(a=1, b_c="x") == ("-a", 1, "-b_c", "x")
    assert TclCommand.kwargs_to_dashed_args() == ()
    with pytest.raises(TypeError):
        TclCommand.kwargs_to_dashed_args(1)


class PlainCommand(TclCommand):
    """A subclass that changes nothing: it takes the general way through the methods."""


# (bound keywords, call keywords, option words): one trailing underscore is dropped, as tkinter
# does, and the two spellings of one option are one option, at its first place, last value.
UNDERSCORE_OPTIONS = [
    ({}, {"from_": 1, "in_": 2}, ("-from", 1, "-in", 2)),
    ({"from": 1, "n": 2}, {"from_": 5}, ("-from", 5, "-n", 2)),
    ({"from_": 1, "n": 2}, {"from": 5, "m": 3}, ("-from", 5, "-n", 2, "-m", 3)),
    ({}, {"class_": "x", "class": "y"}, ("-class", "y")),
    ({"a": 1, "a_": 2}, {}, ("-a", 2)),
    ({}, {"a__": 1, "_": 2, "b": 3}, ("-a_", 1, "-", 2, "-b", 3)),
    ({"größe": 1, "x": 2}, {"größe_": 3, "été_": 4}, ("-größe", 3, "-x", 2, "-été", 4)),
    ({f"k{i}": i for i in range(12)}, {"k11_": "x", "k0": "y"},
     tuple(w for i in range(12) for w in ("-k%d" % i, {0: "y", 11: "x"}.get(i, i)))),
]


@pytest.mark.parametrize("cls", [TclCommand, PlainCommand], ids=["exact", "subclass"])
@pytest.mark.parametrize("bound, call, expected", UNDERSCORE_OPTIONS,
                         ids=["call", "bound-plain", "bound-underscored", "both-in-call",
                              "both-bound", "only-one-dropped", "non-ascii", "many"])
def test_a_trailing_underscore_names_the_same_option(tcl, cls, bound, call, expected):
    c = cls("::list", keywords=bound, tcl=tcl)
    assert c.build_tclcmd(**call) == ("::list",) + expected
    assert c.keywords == bound  # the spellings are merged for the call only
    assert c(**call) == expected  # Tcl receives the same words


def test_kwargs_to_dashed_args_drops_one_trailing_underscore():
    assert TclCommand.kwargs_to_dashed_args(from_=1, in_=2) == ("-from", 1, "-in", 2)
    assert TclCommand.kwargs_to_dashed_args(**{"from": 1, "from_": 2}) == ("-from", 2)


def test_an_overridden_dashed_args_gets_the_merged_keywords(tcl):
    class Keys(TclCommand):
        @staticmethod
        def kwargs_to_dashed_args(**kwargs):
            return tuple(kwargs.items())

    c = Keys("::list", keywords={"from": 1, "n": 2}, tcl=tcl)
    assert c.build_tclcmd(from_=3) == ("::list", ("from", 3), ("n", 2))


class MutatesKeywords:
    """A word whose conversion hook changes the bound options of the command being called."""

    def __init__(self, command, change):
        self.command, self.change = command, change

    def __tclobj__(self):
        self.change(self.command)
        return "pos"


KEYWORD_CHANGES = {
    "adds": lambda c: c.keywords.__setitem__("zzz", "added"),
    "removes": lambda c: c.keywords.pop("a"),
    "replaces": lambda c: setattr(c, "keywords", {"other": 1}),
    "clears": lambda c: c.keywords.clear(),
}


@pytest.mark.parametrize("cls", [TclCommand, PlainCommand], ids=["exact", "subclass"])
@pytest.mark.parametrize("change", KEYWORD_CHANGES.values(), ids=KEYWORD_CHANGES.keys())
def test_call_words_come_from_the_bound_options_as_the_call_began(tcl, cls, change):
    c = cls("show", keywords={"a": 1, "b": 2}, tcl=tcl)
    words = c.build_tclcmd(MutatesKeywords(c, change), force=1, b=3)
    assert words == ("show", "pos", "-a", 1, "-b", 3, "-force", 1)
    bare = cls("show", tcl=tcl)
    assert bare.build_tclcmd(MutatesKeywords(bare, KEYWORD_CHANGES["adds"]), force=1) == (
        "show", "pos", "-force", 1)


@pytest.mark.parametrize("cls", [TclCommand, PlainCommand], ids=["exact", "subclass"])
@pytest.mark.parametrize("bound", [{}, {"n": 1}], ids=["unbound", "bound"])
def test_call_converts_the_options_before_the_positional_words(tcl, cls, bound):
    seen = []

    class Word:
        def __init__(self, text):
            self.text = text

        def __tclobj__(self):
            seen.append(self.text)
            return self.text

    c = cls("::list", keywords=bound, tcl=tcl)
    assert c.call(Word("p"), Word("q"), k=Word("v"))[:2] == ("p", "q")
    assert seen == ["v", "p", "q"]


def test_overridden_dashed_args_are_used(tcl):
    class Plain(TclCommand):
        @staticmethod
        def kwargs_to_dashed_args(**kwargs):
            return tuple("--" + k for k in kwargs)

    assert Plain("::list", tcl=tcl)("a", x=1) == ("a", "--x")


def test_call_and_eval(tcl, tk):
    c = TclCommand("::list", tcl=tcl)
    assert c("a b", None, True, x=False) == tk.call("::list", "a b", "", True, "-x", False)
    assert c.eval("a b", None, True) == "{a b} {} true"
    assert TclCommand("::expr", ("1 + 1",), tcl=tcl, cast=int).eval() == 2
    assert TclCommand("::expr", ("1 + 1",), tcl=tcl, cast=None)() == 2
    assert TclCommand("::set", ("x", "7"), tcl=tcl, cast=int).call() == 7
    with pytest.raises(TclError, match="invalid command name"):
        TclCommand("::no_such_command", tcl=tcl)()


def test_call_sends_one_word_tuple_as_one_command(tcl):
    # The words go to tk.call as one tuple: a lone word that is itself a tuple stays one word.
    c = TclCommand("::list", tcl=tcl)
    c.cmd_name = ("::list", "x")
    with pytest.raises(TclError, match='invalid command name "::list x"'):
        c.call()


def test_call_goes_through_a_replaced_tkapp_call(tcl, monkeypatch):
    tkapp = type(tcl.tk)
    original = tkapp.call
    sent = []

    def call(tk, *words):
        sent.append(words)
        return original(tk, *words)

    try:
        monkeypatch.setattr(tkapp, "call", call)
    except TypeError:
        pytest.skip("tkinter's interpreter type is immutable on this CPython")
    assert TclCommand("::list", tcl=tcl).call("a", opt="v") == ("a", "-opt", "v")
    assert sent == [(("::list", "a", "-opt", "v"),)]


def test_call_logs_and_eval_does_not(tcl, caplog):
    logger = logging.getLogger("test.namespace")
    c = TclCommand("::list", keywords={"k": "a b"}, tcl=tcl, logger=logger)
    with caplog.at_level(logging.INFO, logger="test.namespace"):
        c.call("x", [1, 2])
        c("y")
        c.eval("z")
    assert [r.getMessage() for r in caplog.records] == [
        "Calling: ::list x {1 2} -k {a b}", "Calling: ::list y -k {a b}"]


def test_command_management(tcl, tk):
    tk.eval("proc ::p {a {b 2} {c {x y}}} {return $a$b}")
    c = TclCommand("::p", tcl=tcl)
    assert c.exists() is True and c.is_proc() is True and c.is_command() is False
    assert c.proc_body() == "return $a$b" and c.proc_args() == ("a", "b", "c")
    assert c.proc_arg_default("b") == "2" and c.proc_arg_default("c") == "x y"
    assert c.proc_arg_default("a") is None
    assert tk.eval("info vars ::__ortan__*") == ""
    with pytest.raises(TclError):
        c.proc_arg_default("nope")
    assert tk.eval("info vars ::__ortan__*") == ""
    assert c.origin() == "::p"
    c.rename("::q")
    assert c.cmd_name == "::q" and c("1") == "12" and not TclCommand("::p", tcl=tcl).exists()
    with pytest.raises(TclError):
        c.rename("::set")
    assert c.cmd_name == "::q"
    c.delete()
    assert not c.exists()
    with pytest.raises(TclError):
        c.delete()
    missing = TclCommand("::missing", tcl=tcl)
    assert missing.is_command() is False
    with pytest.raises(TclError):
        missing.proc_body()
    assert TclCommand("::set", tcl=tcl).is_command() is True
    assert TclCommand("::se?", tcl=tcl).exists() is True  # the name is a pattern


def test_createcommand(tcl, tk):
    seen = []
    c = TclCommand("::py_cmd", tcl=tcl)
    assert c.createcommand(lambda *a: seen.append(a) or "done") is None
    assert tk.eval("py_cmd a {b c}") == "done" and seen == [("a", "b c")]
    assert c.is_command()


def test_command_text_forms(tcl):
    c = TclCommand("::puts", tcl=tcl)
    assert repr(c) == "TclCommand('::puts')"
    c = TclCommand("::list", args=("a b",), keywords={"k": 1}, tcl=tcl, cast=str)
    assert repr(c) == "TclCommand('::list', args=('a b',), keywords={'k': 1}, cast=<class 'str'>)"
    assert str(c) == "::list {a b} -k 1"
    assert c.__tclobj__() == ("::list", "a b", "-k", 1)
    assert scribe(c) == str(c)


def test_absolute_command_names(rec):
    c = TclCommand("::a::f", tcl=rec)
    assert c.absolute() == "::a::f" and rec.tk.sent == []
    c = TclCommand("f", tcl=rec)
    c.make_absolute()
    assert c.cmd_name == "::f"


def test_command_as_method(tcl):
    class Word:
        def __tclobj__(self):
            return "me"

        words = TclCommand("::list", args=("first",), tcl=tcl)

    assert Word.__dict__["words"].__get__(None, Word) is Word.__dict__["words"]
    assert Word.words is Word.__dict__["words"]
    assert Word().words("x") == ("first", "me", "x")


# ---------------------------------------------------------------------------------------------
# TempTclCommand


def test_temporary_command(tcl, tk):
    def handler(*args):
        """Joins its words."""
        return "+".join(args)

    handler.extra = 1
    with TempTclCommand(handler, tcl=tcl) as c:
        assert c.cmd_name == "::__ortan__TempTclCommand_%d_tmp" % id(c)
        assert c("a", "b") == "a+b" and tk.eval("%s x" % c.cmd_name) == "x"
        assert c.__wrapped__ is handler and c.__name__ == "handler"
        assert c.__doc__ == "Joins its words." and c.extra == 1
    assert not c.exists()


def test_temporary_command_removed_when_the_block_raises(tcl):
    with pytest.raises(ZeroDivisionError):
        with TempTclCommand(lambda: "", "::tc_{id}", tcl=tcl) as c:
            c.delete()  # deleting inside the block does not make the exit fail
            1 / 0
    assert not c.exists()


def test_temporary_command_on_collection(tcl, tk):
    c = TempTclCommand(lambda: "x", tcl=tcl)
    name = c.cmd_name
    del c
    gc.collect()
    assert tk.call("info", "commands", name) == ""
    tk.eval("proc ::kept {} {}")
    c = TempTclCommand(cmd_name="::kept", tcl=tcl)
    assert not hasattr(c, "__wrapped__")
    del c
    gc.collect()
    assert tk.eval("info commands ::kept") == "::kept"


# ---------------------------------------------------------------------------------------------
# TclNamespace


def test_namespace_attributes(tcl):
    ns = TclNamespace("::a", tcl=tcl)
    assert list(vars(ns)) == ["ns", "tcl", "vars", "objs", "procs", "cmds"]
    assert type(ns.vars) is TclNamespace.VariablesView and ns.vars.ns is ns
    assert type(ns.objs) is TclNamespace.ObjectsView
    assert type(ns.procs) is TclNamespace.ProcsView and type(ns.cmds) is TclNamespace.CommandsView
    assert str(ns) == "::a" and scribe(ns) == "::a" and TclNamespace(ns, tcl=tcl).ns == "::a"
    assert tcl.tk.call("namespace", "exists", "::a") == 0  # constructing creates nothing


@pytest.mark.parametrize(
    "method, args, sent",
    [
        ("eval", ("set x 1",), ("eval", "namespace eval ::a {set x 1}")),
        ("eval", ("puts", "hello world"), ("eval", "namespace eval ::a {puts {hello world}}")),
        ("call", ("namespace", "children"),
         ("call", ("namespace", "eval", "::a", ("namespace", "children")))),
        ("children", ("b",),
         ("call", ("namespace", "eval", "::a", ("namespace", "children", "b")))),
        ("export", (), ("call", ("namespace", "eval", "::a", ("namespace", "export")))),
        ("export", ("p*",), ("call", ("namespace", "eval", "::a", ("namespace", "export", "-clear")))),
        ("export", (False, "p*"),
         ("call", ("namespace", "eval", "::a", ("namespace", "export", "p*")))),
        ("import_", (), ("call", ("namespace", "eval", "::a", ("namespace", "import")))),
        ("import_", (True, "::b::*"),
         ("call", ("namespace", "eval", "::a", ("namespace", "import", "-force", "::b::*")))),
        ("forget", ("::b::*",),
         ("call", ("namespace", "eval", "::a", ("namespace", "forget", "::b::*")))),
        ("which", ("set", True, True),
         ("call", ("namespace", "eval", "::a", ("namespace", "which", "-command", "-variable",
                                               "set")))),
        ("delete", (), ("call", ("namespace", "delete", "::a"))),
        ("exists", (), ("call", ("namespace", "exists", "::a"))),
        ("parent", (), ("call", ("namespace", "parent", "::a"))),
        ("current", (), ("call", ("namespace", "current"))),
        ("create", (), ("eval", "namespace eval ::a {}")),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_namespace_words(rec, method, args, sent):
    rec.tk.call("namespace", "eval", "::a::b", "proc p {} {}")
    rec.tk.sent.clear()
    try:
        getattr(TclNamespace("::a", tcl=rec), method)(*args)
    except TclError:
        pass  # only the words matter here
    assert rec.tk.sent[0] == sent


def test_namespace_operations(tcl, tk):
    ns = TclNamespace("::a", tcl=tcl)
    assert ns.exists() is False
    assert ns.create() is None and ns.exists() is True
    assert ns.eval("set x 1") == "1" and tk.getvar("::a::x") == "1"
    assert ns.call("namespace", "current") == "::a"
    assert ns.eval("namespace current") == "::a"
    ns.eval("namespace eval b {}; namespace eval c {}; proc p1 {} {return one}")
    assert sorted(ns.children()) == ["::a::b", "::a::c"] and ns.children("b") == ()
    assert ns.export() == () and ns.export(False, "p*") is None and ns.export() == ("p*",)
    assert ns.export(True) is None and ns.export() == ()
    assert scribe(ns.code("p1")) == tk.eval("namespace eval ::a {namespace code p1}")
    assert ns.origin("p1") == "::a::p1" and ns.which("p1", command=True) == "::a::p1"
    assert ns.which("x", variable=True) == "::a::x"
    with pytest.raises(TclError):
        ns.which("x", command=True, variable=True)
    assert ns.parent() == "::" and TclNamespace("::a::b", tcl=tcl).parent() == "::a"
    assert ns.delete() is None and ns.exists() is False
    with pytest.raises(TclError):
        ns.delete()
    assert ns.children() == () and ns.exists()  # namespace eval made it again


def test_import_and_forget(tcl, tk):
    tk.eval("namespace eval ::lib {namespace export p*; proc pa {} {return A}}")
    user = TclNamespace("::user", tcl=tcl)
    user.create()
    assert user.import_() is None
    assert user.import_(False, "::lib::*") is None and user.eval("pa") == "A"
    assert user.forget("::lib::pa") is None
    with pytest.raises(TclError):
        user.eval("pa")


def test_empty_namespace_name(rec, tk):
    ns = TclNamespace("", tcl=rec)
    assert ns.is_absolute() == "" and ns.is_relative() == ""
    assert ns.exists() is True and ns.absolute() == ""
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        ns.create()
    rec.tk.sent.clear()
    assert ns.call("namespace", "current") == "::" and ns.eval("set y 2") == "2"
    assert rec.tk.sent == [("call", ("namespace", "current")), ("eval", "set y 2")]
    with pytest.raises(TclError, match='invalid command name "some text"'):
        ns.call("some text")
    assert TclNamespace("::b", tcl=rec).call("set z 3") == "3"
    assert tk.getvar("::b::z") == "3"


@pytest.mark.parametrize(
    "name, absolute, relative, made_absolute",
    [("::a", True, False, "::a"), ("a::b", False, True, "::a::b"), ("::", True, False, "::")],
)
def test_absolute_and_relative(tcl, name, absolute, relative, made_absolute):
    ns = TclNamespace(name, tcl=tcl)
    assert ns.is_absolute() is absolute and ns.is_relative() is relative
    assert ns.absolute() == made_absolute
    ns.make_absolute()
    assert ns.ns == made_absolute


def test_absolute_rejects_invalid_relative_names(tcl):
    with pytest.raises(ValueError, match="^Invalid Tcl namespace '::::a:b'$"):
        TclNamespace("a:b", tcl=tcl).absolute()


PARENTS = ["::a::b", "::a", "::", "::a::b::", "::a:::c", "::a::::b", "::x:", "::::a"]


@pytest.mark.parametrize("name", PARENTS, ids=PARENTS)
def test_parent_from_the_name_agrees_with_tcl(rec, tk, name):
    tk.eval("namespace eval {%s} {}" % name)
    rec.tk.sent.clear()
    assert TclNamespace(name, tcl=rec).parent(force_eval=True) == tk.call(
        "namespace", "parent", name)
    assert rec.tk.sent == []


def test_parent_of_relative_names_asks_tcl(rec, tk):
    tk.eval("namespace eval ::r::s {}")
    assert TclNamespace("r::s", tcl=rec).parent(True) == "::r"
    assert rec.tk.sent == [("call", ("namespace", "parent", "r::s"))]


# ---------------------------------------------------------------------------------------------
# TempTclNamespace


def test_temporary_namespace(tcl):
    with TempTclNamespace(tcl=tcl) as n:
        assert isinstance(n, TempTclNamespace)
        assert n.ns == "::__ortan__TempTclNamespace_%d_tmp" % id(n) and n.exists()
        n.vars["v"] = 1
    assert not n.exists()
    with pytest.raises(ZeroDivisionError):
        with TempTclNamespace("::tn_{id}", tcl=tcl) as n:
            n.delete()
            1 / 0
    assert n.ns == "::tn_%d" % id(n) and not n.exists()
    with pytest.raises(KeyError):
        TempTclNamespace("::{nope}", tcl=tcl)


# ---------------------------------------------------------------------------------------------
# Variable views


def test_variable_views(ns_a, tcl, tk):
    vars_, objs = ns_a.vars, ns_a.objs
    vars_["x"] = [1, 2]
    assert tk.getvar("::a::x") == "1 2" or tk.eval("set ::a::x") == "1 2"
    assert vars_["x"] == "1 2" and objs["x"] == tk.getvar("::a::x")
    assert "x" in vars_ and "y" not in vars_
    tk.setvar("::g", "global")
    assert vars_["::g"] == "global"
    assert "x" in list(vars_) and len(vars_) == len(list(vars_))
    del vars_["x"]
    assert not tcl_exists(tk, "::a::x")
    assert vars_.unset("missing", nocomplain=True) is None
    assert vars_.set("n", 5) is None and objs.get("n") == 5 and vars_.get("n") == "5"


def test_variable_view_errors(ns_a):
    with pytest.raises(KeyError) as info:
        ns_a.vars["missing"]
    assert isinstance(info.value.args[0], TclError) and info.value.__cause__ is info.value.args[0]
    with pytest.raises(TclError):
        ns_a.vars.get("missing")
    with pytest.raises(KeyError) as info:
        del ns_a.objs["missing"]
    assert isinstance(info.value.__cause__, TclError)
    with pytest.raises(KeyError) as info:
        ns_a.vars["a:b"]
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "Invalid Tcl namespace '::a::a:b'"
    for op in (lambda: "a:b" in ns_a.vars, lambda: ns_a.vars.__delitem__("a:b")):
        with pytest.raises(ValueError, match="Invalid Tcl namespace"):
            op()
    with pytest.raises(TypeError):
        ns_a.vars.byref("x", tcl=None)
    with pytest.raises(TypeError):
        ns_a.vars.array_byref("x", var_type=TclVariable)
    with pytest.raises(AssertionError):
        TclNamespace.VariablesView("::a")


def test_variable_view_arrays_and_references(ns_a, tk):
    views = ns_a.vars
    assert views.array_set("arr", {"k": "v w", "n": 1}) is None
    assert views.is_array("arr") and sorted(views.array_names("arr")) == ["k", "n"]
    assert views.array_get("arr") == {"k": "v w", "n": "1"}
    assert ns_a.objs.array_get("arr", "n") == ns_a.tcl.cast_array(tk.call("array", "get", "::a::arr", "n"))
    assert views.exists("arr", "k") and ns_a.objs.get("arr", "n") == 1
    assert views.set("arr", "z", array_index="new") is None and views["arr(new)"] == "z"
    element = views.byref("arr", "k")
    assert element.var_name == "::a::arr(k)" and element.get() == "v w"
    array = views.array_byref("arr", cast=str)
    assert type(array) is TclArrayVariable and array.var_name == "::a::arr"
    assert array.tcl == ns_a.tcl and array["n"] == "1"
    views.unset("arr", array_index="new")
    views.array_unset("arr", "n*")
    assert views.array_names("arr") == ("k",)
    with TempTclVariable(tcl=ns_a.tcl) as temp:
        assert type(views.byref("::t", var_type=lambda *a, **k: temp)) is TempTclVariable


def test_iteration_of_a_view_is_one_query(rec, tk):
    tk.eval("namespace eval ::a {variable q 1}")
    ns = TclNamespace("::a", tcl=rec)
    it = iter(ns.vars)
    assert rec.tk.sent == []
    names = list(it)
    assert "q" in names and all(type(n) is str for n in names)
    # One query, run inside the namespace, that lists its own names.
    [(how, (namespace, eval_, name, query))] = rec.tk.sent
    assert (how, namespace, eval_, name) == ("call", "namespace", "eval", "::a")
    assert query[0] == "::apply" and query[-1] == "vars"
    assert len(ns.objs) == len(names)


def test_global_view_of_the_host(tcl, tk):
    with pytest.raises(TclError):
        tk.eval("error boom")
    assert "boom" in tcl.vars["::errorInfo"]
    tk.setvar("g", "text")
    assert tcl.vars["g"] == "text" and tcl.vars["::g"] == "text" and "g" in tcl.vars
    assert isinstance(tcl.vars, TclNamespace.VariablesView)


# ---------------------------------------------------------------------------------------------
# Command views


def test_command_views(ns_a, tk):
    calls = []
    ns_a.cmds["f"] = lambda *a: calls.append(a) or "ok"
    assert ns_a.cmds["f"]("x") == "ok" and calls == [("x",)]
    assert tk.eval("::a::f y") == "ok"
    assert "f" in ns_a.cmds and "f" not in ns_a.procs
    tk.eval("proc ::a::p {x {y 1}} {return $x$y}")
    assert "p" in ns_a.procs and ns_a.procs["p"]("z") == "z1"
    assert "p" in list(ns_a.procs) and len(ns_a.procs) == len(list(ns_a.procs))
    assert "f" in list(ns_a.cmds)
    assert ns_a.cmds.proc_body("p") == "return $x$y" and ns_a.cmds.proc_args("p") == ("x", "y")
    assert ns_a.procs.proc_arg_default("p", "y") == "1" and ns_a.cmds.origin("p") == "::a::p"
    assert ns_a.cmds.exists("p") and not ns_a.procs.exists("f")
    bound = ns_a.cmds.byref("p", ("b",))
    assert bound.cmd_name == "::a::p" and bound() == "b1" and bound("c") == "bc"
    del ns_a.cmds["f"]
    assert "f" not in ns_a.cmds
    missing = ns_a.cmds["missing"]
    assert type(missing) is TclCommand and missing.cmd_name == "::a::missing"
    with pytest.raises(KeyError) as info:
        del ns_a.cmds["missing"]
    assert isinstance(info.value.__cause__, TclError) and info.value.args[0] is info.value.__cause__
    with pytest.raises(TclError):
        ns_a.cmds.delete("missing")
    with pytest.raises(ValueError):
        ns_a.cmds["a:b"]
    with pytest.raises(TypeError):
        ns_a.cmds.byref("p", tcl=None)
    with pytest.raises(AssertionError):
        TclNamespace.CommandsView(None)


@pytest.mark.parametrize(
    "new_name, lands_at", [("g", "::a::g"), ("::g", "::g"), ("", "::a")],
    ids=["relative", "absolute", "empty"])
def test_command_view_rename(ns_a, tk, new_name, lands_at):
    tk.eval("proc ::a::f {} {return moved}")
    ns_a.cmds.rename("f", new_name)
    assert tk.eval(lands_at) == "moved" and tk.call("info", "commands", "::a::f") == ""


def test_rename_to_empty_in_an_unnamed_namespace_deletes(tcl, tk):
    tk.eval("proc ::gone {} {}")
    TclNamespace("::", tcl=tcl).cmds.rename("gone", "")
    assert tk.call("info", "commands", "::gone") == ""


# ---------------------------------------------------------------------------------------------
# The views as mappings: keys are the names that read back


@pytest.fixture
def crowded(tcl, tk):
    """The namespace ::a holding, besides two scalars, what a view must not list as its keys:
    an array, a declared-unset variable, a name with a single colon, a child namespace with a
    variable and a procedure of its own; globals are visible from it."""
    tk.eval("""
        namespace eval ::a {
            variable x 1
            variable decl
            array set arr {k v}
            namespace eval child {variable y 2; proc q {} {}}
            proc p {} {return p}
        }
        set {::a::two words} {b c}
        set ::a::x:y colon
        set ::g global
        proc ::a::x:y {} {}
    """)
    return tcl


def own_readable_vars(tk, ns):
    """The scalars of namespace `ns`, asked of Tcl one by one: what the views must list."""
    names = []
    for name in tk.splitlist(tk.call("info", "vars", ns + "::*")):
        tail = str(name).rpartition("::")[2]
        if (tk.getboolean(tk.call("info", "exists", name))
                and not tk.getboolean(tk.call("array", "exists", name))
                and tail and ":" not in tail):
            names.append(tail)
    return sorted(names)


@pytest.mark.parametrize("name", ["::a", "::"], ids=["namespace", "global"])
@pytest.mark.parametrize("kind", ["vars", "objs"])
def test_variable_views_keep_the_mapping_contract(crowded, tk, name, kind):
    ns = TclNamespace(name, tcl=crowded)
    view = getattr(ns, kind)
    expected = own_readable_vars(tk, "" if name == "::" else name)
    contents = dict(view)
    assert sorted(contents) == sorted(view) == sorted(view.keys()) == expected
    assert ("x" in expected) == (name == "::a") and ("g" in expected) == (name == "::")
    assert not {"arr", "decl", "env", "tcl_platform", "child", "y", "x:y"} & set(contents)
    assert len(view) == len(contents) and view == contents
    assert list(view.items()) == list(contents.items())
    assert list(view.values()) == list(contents.values())
    for key, value in contents.items():
        assert key in view and view[key] == value
    assert "arr" not in view and "decl" not in view  # exists, but view[...] cannot read it
    key, value = view.popitem()
    assert contents[key] == value and key not in view
    view.clear()
    assert dict(view) == {} and len(view) == 0
    # Only the keys went: the array, the declared name and the child namespace stay.
    assert ns.vars.is_array("arr" if name == "::a" else "env")
    assert tk.eval("namespace eval ::a::child {set y}") == "2"
    assert tk.call("info", "vars", "::a::decl") == ("::a::decl",) or name == "::"


@pytest.mark.parametrize("kind, query", [("cmds", "commands"), ("procs", "procs")])
def test_command_views_list_the_namespace_own_commands(crowded, tk, kind, query):
    ns = TclNamespace("::a", tcl=crowded)
    view = getattr(ns, kind)
    ns.cmds["f"] = lambda: "f"
    expected = {"p", "f"} if kind == "cmds" else {"p"}
    assert set(view) == expected and len(view) == len(expected)  # no globals, no ::a::child::q
    assert all(key in view for key in view) and "puts" not in view and "x:y" not in list(view)
    assert set(dict(view)) == expected and view == dict(view)
    everywhere = set(tk.splitlist(tk.call("info", query, "::*")))
    assert set(getattr(TclNamespace("::", tcl=crowded), kind)) == {
        str(n).lstrip(":") for n in everywhere}
    view.clear()
    assert list(view) == [] and "puts" in TclNamespace("::", tcl=crowded).cmds
    assert tk.call("info", "commands", "::a::child::q") == ("::a::child::q",)


def test_glob_characters_in_a_command_name_are_literal(ns_a, tk):
    tk.eval("proc ::a::p1 {} {}")
    assert "p*" not in ns_a.cmds and "p?" not in ns_a.procs and "\\p1" not in ns_a.cmds
    tk.call("proc", "::a::p*", "", "")
    assert "p*" in ns_a.cmds and "p*" in ns_a.procs and "p?" not in ns_a.cmds
    assert "p1" in ns_a.cmds and ns_a.cmds.exists("p1")
    assert TclCommand("::a::p?", tcl=ns_a.tcl).exists()  # the command itself keeps the pattern


ODD_COMMAND_NAMES = ["p q", "{x", "x}", "a [b]", "$v", "p*", "back\\slash", "{}"]


@pytest.mark.parametrize("name", ODD_COMMAND_NAMES, ids=ODD_COMMAND_NAMES)
def test_command_views_keep_a_name_as_one_word(ns_a, tk, name):
    tk.eval("proc ::a::p {args} {return [list wrong $args]}")
    tk.call("proc", "::a::" + name, "x {y 1}", "return [list right $x$y]")
    procs, cmds = ns_a.procs, ns_a.cmds
    assert procs[name].cmd_name == "::a::" + name and procs[name]("z") == ("right", "z1")
    assert name in procs and name in cmds and name in list(procs)
    assert cmds.proc_body(name) == "return [list right $x$y]"
    assert cmds.proc_args(name) == ("x", "y") and cmds.proc_arg_default(name, "y") == "1"
    assert cmds.origin(name) == "::a::" + name
    assert cmds.byref(name, ("w",))() == ("right", "w1")
    cmds.rename(name, name + "2")
    assert name not in cmds and tk.call("::a::" + name + "2", "q") == ("right", "q1")
    cmds.rename(name + "2", name)
    del cmds[name]
    assert name not in cmds and "p" in procs
    cmds[name] = lambda *words: "python"
    assert tk.call("::a::" + name) == "python" and cmds[name]() == "python"


@pytest.mark.parametrize("index", ["k", "y(k", "a b", "x)", ""], ids=repr)
def test_array_elements_are_addressed_by_name_and_index(tcl, tk, index):
    tk.eval("namespace eval {::x(y} {}")
    arr = TclArrayVariable("::x(y::arr", tcl=tcl)
    arr[index] = "value of " + index
    assert tk.getvar("::x(y::arr", index) == "value of " + index
    assert index in arr and arr.exists(index) and index in list(arr)
    assert arr.get_str(index) == arr[index] == "value of " + index
    assert "other" not in arr and not arr.exists("other")
    with pytest.raises(TclError, match=re.escape('can\'t read "::x(y::arr(other)"')):
        arr.get_str("other")
    del arr[index]
    assert index not in arr and dict(arr) == {}


# ---------------------------------------------------------------------------------------------
# The interpreter behind the wrappers


def test_wrappers_do_not_keep_the_interpreter_alive():
    interp = ortan.tcl.Interpreter()
    ref = weakref.ref(interp)
    ns = TclNamespace("::a", tcl=interp)
    wrappers = [TclVariable("x", tcl=interp), TclArrayVariable("arr", tcl=interp),
                TclCommand("::set x", tcl=interp), ns, ns.vars, ns.cmds]
    del interp
    gc.collect()
    assert ref() is None
    for use in (wrappers[0].get, wrappers[1].__len__, wrappers[2], wrappers[3].exists,
                lambda: wrappers[4]["x"], lambda: list(wrappers[5]), lambda: wrappers[0].set(1)):
        with pytest.raises(ReferenceError):
            use()


def test_temporary_command_collected_after_its_interpreter_is_quiet():
    interp = ortan.tcl.Interpreter()
    command = TempTclCommand(lambda: "x", tcl=interp)
    unraisable = []
    old_hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        del interp
        gc.collect()
        del command
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert unraisable == []


def test_proxies_are_kept_as_given(tcl):
    proxy = weakref.proxy(tcl)
    assert TclVariable("x", tcl=proxy).tcl is proxy
    assert TclNamespace("", tcl=proxy).tcl is proxy
    with pytest.raises(TypeError):
        TclVariable("x", tcl=[1])  # lists refuse weak references


WRAPPERS = {
    "TclVariable": lambda host: TclVariable("x", tcl=host),
    "TempTclVariable": lambda host: TempTclVariable(tcl=host),
    "TclArrayVariable": lambda host: TclArrayVariable("a", tcl=host),
    "TempTclArrayVariable": lambda host: TempTclArrayVariable(tcl=host),
    "TclCommand": lambda host: TclCommand("::set", tcl=host),
    "TempTclCommand": lambda host: TempTclCommand(tcl=host),
    "TclNamespace": lambda host: TclNamespace("::a", tcl=host),
    "TempTclNamespace": lambda host: TempTclNamespace(tcl=host),
}
TKINTER_HOSTS = {
    "Tcl()": lambda root: root,
    "tkapp": lambda root: root.tk,
    "proxy": lambda root: weakref.proxy(root),
}


@pytest.mark.parametrize("host", TKINTER_HOSTS.values(), ids=TKINTER_HOSTS.keys())
@pytest.mark.parametrize("make", WRAPPERS.values(), ids=WRAPPERS.keys())
def test_a_tkinter_object_is_refused_as_host(make, host):
    root = tkinter.Tcl()
    with pytest.raises(TypeError, match=r"needs a host interpreter, not the tkinter object .*"
                                        r"wrap it as ortan\.tcl\.Interpreter\(\.\.\.\)"):
        make(host(root))


def test_a_gone_interpreter_is_named_in_the_error():
    interp = ortan.tcl.Interpreter()
    proxy = weakref.proxy(interp)
    ns = TclNamespace("::a", tcl=interp)
    wrappers = [TclVariable("x", tcl=interp), TclArrayVariable("arr", tcl=interp),
                TclCommand("::set x", tcl=interp), ns, ns.vars, ns.cmds]
    del interp
    gc.collect()
    uses = [wrappers[0].get, wrappers[0].exists, wrappers[1].__len__, lambda: "k" in wrappers[1],
            wrappers[2], wrappers[2].proc_args, wrappers[3].exists, lambda: wrappers[4]["x"],
            lambda: list(wrappers[5]), lambda: "f" in wrappers[5],
            lambda: wrappers[0].array_item_byref("k"), lambda: TclVariable("x", tcl=proxy),
            lambda: TclNamespace("::", tcl=proxy)]
    for use in uses:
        with pytest.raises(ReferenceError) as info:
            use()
        assert "the Interpreter this object belongs to no longer exists" in str(info.value)


@pytest.mark.parametrize(
    "method, message",
    [(lambda: TclVariable("x").__repr__(1), "TclVariable.__repr__() takes no arguments (1 given)"),
     (lambda: TclCommand("::set").__repr__(1, 2),
      "TclCommand.__repr__() takes no arguments (2 given)"),
     (lambda: TclArrayVariable("a").__len__(1),
      "TclArrayVariable.__len__() takes no arguments (1 given)"),
     (lambda: TclNamespace("::a").make_absolute(x=1),
      "TclNamespace.make_absolute() takes no keyword arguments"),
     (lambda: TclNamespace("::a").cmds.__len__(1),
      "CommandsView.__len__() takes no arguments (1 given)")],
    ids=["variable-repr", "command-repr", "array-len", "keyword", "view-len"])
def test_methods_without_arguments_say_so_as_cpython_does(method, message):
    with pytest.raises(TypeError) as info:
        method()
    assert str(info.value) == message


MEMORY_SCRIPT = """
import resource
import ortan.tcl
from ortan.tcl.namespace import TclNamespace
interp = ortan.tcl.Interpreter()
name = "::" + "a::" * 30_000_000
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
limit = (vm + 300_000) * 1024  # 300 MB more: less than the parent's components need
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    TclNamespace(name, tcl=interp).parent(force_eval=True)
except MemoryError:
    print("MemoryError")
del name
print(TclNamespace("::a::b::c").parent(force_eval=True))
"""


@pytest.mark.skipif(
    bool(os.environ.get("ORTAN_SANITIZE")) or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer runtime reserves address space")
def test_out_of_memory_is_memory_error():
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(namespace.__file__)))
    env = dict(os.environ, PYTHONPATH=package_root)
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], env=env, capture_output=True,
                         text=True, timeout=120)
    assert (out.returncode, out.stdout.split("\n")) == (0, ["MemoryError", "::a::b", ""]), out.stderr


def test_default_interpreter_is_the_package_module():
    v = TclVariable("::default_test")
    assert v.tcl == ortan.tcl and TclCommand("::set").tcl == ortan.tcl
    assert TclNamespace("").tcl == ortan.tcl
    v.set("d")
    assert ortan.tcl.tk.getvar("::default_test") == "d" and v.get() == "d"
    v.unset()

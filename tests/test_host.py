"""The host interpreter stand-in: the contract the modules rely on."""

import tkinter
import weakref

import pytest

import ortan.tcl
from ortan.datastructures import AttrDict
from ortan.utils.utils import get_time


@pytest.mark.parametrize(
    "value, expected",
    [("1", True), ("0", False), ("yes", True), ("Off", False), ("TRUE", True), (True, True), (0, False)],
)
def test_cast_boolean(tcl, value, expected):
    assert tcl.cast_boolean(value) is expected


def test_cast_boolean_rejects_non_booleans(tcl):
    with pytest.raises(tkinter.TclError):
        tcl.cast_boolean("maybe")


@pytest.mark.parametrize(
    "raw, expected",
    [("42", 42), ("-7", -7), ("0x10", 16), ("1.5", 1.5), ("1e3", 1000.0), ("abc", "abc"),
     ("", ""), (3, 3), (2.5, 2.5), (("a", "b"), ("a", "b"))],
)
def test_cast_any_text_and_numbers(tcl, raw, expected):
    result = tcl.cast_any(raw)
    assert result == expected and type(result) is type(expected)


def test_cast_any_of_tcl_objects(tcl):
    tk = tcl.tk
    assert tcl.cast_any(tk.call("expr", "2**70")) == 2**70
    assert tcl.cast_any(tk.call("dict", "create", "a", "b")) == "a b"


def test_cast_list_and_array(tcl):
    tk = tcl.tk
    assert tcl.cast_list("a {b c} d") == ("a", "b c", "d")
    assert tcl.cast_list(tk.call("list", "x", "y z")) == ("x", "y z")
    assert ortan.tcl.cast_list(["p"]) == ("p",)
    with pytest.raises(tkinter.TclError):
        ortan.tcl.cast_list("a {b")
    tk.eval("array set ::arr {k1 v1 k2 {v 2}}")
    assert tcl.cast_array(tk.call("array", "get", "::arr")) == {"k1": "v1", "k2": "v 2"}


def test_interpreter_accepts_weak_references(tcl):
    proxy = weakref.proxy(tcl)
    assert proxy.tk.eval("expr 1+1") == "2"


def test_module_stands_in_for_the_default_interpreter():
    assert ortan.tcl.tk is ortan.tcl.default_interpreter().tk
    assert ortan.tcl.cast_any("5") == 5
    assert ortan.tcl.cast_boolean("on") is True
    with pytest.raises(AttributeError):
        ortan.tcl.no_such_attribute


def test_sibling_stand_ins():
    d = AttrDict(a=1)
    d.b = 2
    assert d.a == 1 and d["b"] == 2
    del d.a
    assert d == {"b": 2}
    with pytest.raises(AttributeError):
        d.missing
    assert get_time().year >= 2024


def test_demo_runs(capsys):
    from ortan.tcl import demo

    demo.main()
    out = capsys.readouterr().out
    for title in ("scribe", "internal", "namespace", "nestmap", "hop and history"):
        assert f"== {title}" in out

"""The host interpreter: Interpreter(master), the casts of ortan.tcl.cast, and the contract the
modules rely on."""

import gc
import inspect
import sys
import tkinter
import weakref

import _tkinter

import pytest
from hypothesis import given
from hypothesis import strategies as st

import ortan.tcl
from benchmarks.cast_model import cast_text
from ortan.tcl._family import AttrDict, get_time
from ortan.tcl.namespace import TclCommand, TclVariable


@pytest.mark.parametrize(
    "value, expected",
    [("1", True), ("0", False), ("yes", True), ("Off", False), ("TRUE", True), ("of", False),
     (True, True), (0, False), (5, True), (2**70, True)],
)
def test_cast_boolean(tcl, value, expected):
    assert tcl.cast_boolean(value) is expected


@pytest.mark.parametrize("value", ["maybe", "2", "0x0", "o", ""])
def test_cast_boolean_rejects_non_booleans(tcl, value):
    with pytest.raises(tkinter.TclError):
        tcl.cast_boolean(value)


# --- cast_any: text keeps its information ------------------------------------------------------


# int() of longer text raises (sys.set_int_max_str_digits); 0 means no limit.
INT_DIGIT_LIMIT = getattr(sys, "get_int_max_str_digits", lambda: 0)()

CAST_TEXT = [
    ("10", 10, "int"),
    ("-3", -3, "negative int"),
    ("0", 0, "zero"),
    ("123456789012345678901234567890", 123456789012345678901234567890, "big int"),
    ("1.5", 1.5, "float"),
    ("0.1", 0.1, "float 0.1"),
    ("1e-05", 1e-05, "float repr with exponent"),
    ("1e+16", 1e16, "large float repr"),
    ("-0.0", -0.0, "negative zero float"),
    ("010", "010", "leading zero"),
    ("007", "007", "leading zeros"),
    ("1.10", "1.10", "trailing zero"),
    ("8.10", "8.10", "version text"),
    (" 5 ", " 5 ", "blanks"),
    ("+5", "+5", "plus sign"),
    ("-0", "-0", "negative zero int"),
    ("1_000", "1_000", "underscore"),
    ("1e3", "1e3", "exponent not repr"),
    ("1e-5", "1e-5", "short exponent"),
    ("1e500", "1e500", "overflow"),
    ("nan", "nan", "nan"),
    ("inf", "inf", "inf"),
    ("Infinity", "Infinity", "Infinity"),
    ("0x10", "0x10", "hex"),
    ("\u0663", "\u0663", "non-ASCII digit"),
    ("9" * 5000, "9" * 5000 if 0 < INT_DIGIT_LIMIT < 5000 else int("9" * 5000),
     "beyond int digit limit"),
    ("abc", "abc", "word"),
    ("", "", "empty"),
]


def same_value(result, expected):
    return type(result) is type(expected) and repr(result) == repr(expected)


@pytest.mark.parametrize("text, expected", [c[:2] for c in CAST_TEXT],
                         ids=[c[2] for c in CAST_TEXT])
def test_cast_any_keeps_the_information_of_text(tcl, text, expected):
    assert same_value(cast_text(text), expected)
    assert same_value(tcl.cast_any(text), expected)
    assert same_value(ortan.tcl.cast_any(text), expected)
    assert same_value(tcl.cast_any(value=text), expected)
    # The text as a live Tcl result: a variable's value, and a quick call's result.
    assert same_value(tcl.cast_any(tcl.tk.call("set", "::x", text)), expected)
    assert same_value(tcl.hop.set("::x", text), expected)


@given(st.text(alphabet="0123456789.e+-_ xn\u0663", max_size=10))
def test_cast_any_agrees_with_the_rule(text):
    assert same_value(ortan.tcl.cast_any(text), cast_text(text))


@given(st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.integers()))
def test_cast_any_reads_back_the_text_of_numbers(number):
    assert same_value(ortan.tcl.cast_any(repr(number)), number)


class Text(str):
    pass


def test_cast_any_of_a_str_subclass():
    assert same_value(ortan.tcl.cast_any(Text("12")), 12)
    word = Text("010")
    assert ortan.tcl.cast_any(word) is word


@pytest.mark.parametrize(
    "script, expected",
    [("expr {2**70}", 2**70), ("expr {1.5 * 2}", 3.0), ("expr {1 < 2}", 1),
     ("list a {b c}", ("a", "b c")), ("binary format a3 abc", b"abc"),
     ("set ::y 010; expr {$::y + 0}; set ::y", 8)],
    ids=["bignum", "double", "int", "list", "bytes", "octal text read by expr"],
)
def test_cast_any_keeps_what_tkinter_converted(tcl, script, expected):
    raw = tcl.tk.call("eval", script)
    assert raw == expected and not isinstance(raw, str)
    assert tcl.cast_any(raw) is raw


@pytest.mark.parametrize("value", [3, 2.5, True, ("a", "b"), b"x", None, [1]],
                         ids=["int", "float", "bool", "tuple", "bytes", "None", "list"])
def test_cast_any_returns_other_values_as_they_are(tcl, value):
    assert tcl.cast_any(value) is value


def test_cast_any_of_tcl_objects_in_a_list(tcl):
    tk = tcl.tk
    raw = tk.call("list", tk.call("dict", "create"), "x", tk.call("list", tk.call("dict", "create", "a", "b"), 2))
    assert any(isinstance(item, _tkinter.Tcl_Obj) for item in raw)
    assert tcl.cast_any(raw) == ortan.tcl.cast_any(raw) == ("", "x", ("a b", 2))
    assert tcl.cast_any(tcl.cast_any(raw)) == ("", "x", ("a b", 2))
    deep = tk.call("dict", "create")
    for _ in range(100_000):
        deep = (deep,)
    with pytest.raises(RecursionError):
        tcl.cast_any(deep)


def test_cast_any_of_tcl_objects(tcl):
    tk = tcl.tk
    assert tcl.cast_any(tk.call("expr", "2**70")) == 2**70
    assert tcl.cast_any(tk.call("dict", "create", "a", "b")) == "a b"
    assert tcl.cast_any(tk.call("dict", "create", "010", "1.10")) == "010 1.10"


# --- cast_list, cast_array, cast_dict ----------------------------------------------------------


def test_cast_list_and_array(tcl):
    tk = tcl.tk
    assert tcl.cast_list("a {b c} d") == ("a", "b c", "d")
    assert tcl.cast_list(tk.call("list", "x", "y z")) == ("x", "y z")
    assert tcl.cast_list((tk.call("dict", "create", "a", "b"), 1)) == ("a b", 1)
    assert ortan.tcl.cast_list(["p"]) == ("p",)
    with pytest.raises(tkinter.TclError):
        ortan.tcl.cast_list("a {b")
    tk.eval("array set ::arr {k1 v1 k2 {v 2}}")
    assert tcl.cast_array(tk.call("array", "get", "::arr")) == {"k1": "v1", "k2": "v 2"}


DICTS = [
    ("a 1 b {x y}", {"a": "1", "b": "x y"}, "text"),
    ("", {}, "empty"),
    ("a 1 b 2 a 3", {"a": "3", "b": "2"}, "repeated key"),
    (("a", 1, 2, "x", 1.5, ("p", "q")), {"a": 1, "2": "x", "1.5": ("p", "q")}, "numeric keys"),
    ((("k 1", "k2"), "v"), {"{k 1} k2": "v"}, "list key"),
    (["a", "b"], {"a": "b"}, "list"),
]


@pytest.mark.parametrize("value, expected", [d[:2] for d in DICTS], ids=[d[2] for d in DICTS])
def test_cast_dict(tcl, value, expected):
    result = tcl.cast_dict(value)
    assert result == expected and type(result) is dict
    assert list(result) == list(expected)
    assert all(type(key) is str for key in result)
    assert ortan.tcl.cast_dict(value) == expected


def test_cast_dict_of_tcl_results(tcl):
    tk = tcl.tk
    assert tcl.cast_dict(tk.call("dict", "create", "010", "1.10", 7, "x")) == {
        "010": "1.10", "7": "x"}
    assert tcl.cast_dict(tk.call("list", "n", 5, 6, tk.call("list", "a", "b"))) == {
        "n": 5, "6": ("a", "b")}
    # Through a quick call, uncast: the dict's text.
    assert tcl.cast_dict(tcl.hop.dict("create", "k", "v", cast_=False)) == {"k": "v"}


@pytest.mark.parametrize("cast", ["cast_dict", "cast_array"])
@pytest.mark.parametrize("value", ["a 1 b", ("a", 1, "b"), ["x"]], ids=["text", "tuple", "list"])
def test_odd_element_counts_raise(tcl, cast, value):
    for owner in (tcl, ortan.tcl):
        with pytest.raises(tkinter.TclError, match="missing value to go with key"):
            getattr(owner, cast)(value)
    # Tcl itself says the same of an odd dict.
    with pytest.raises(tkinter.TclError, match="missing value to go with key"):
        tcl.tk.call("dict", "size", "a 1 b")


def test_casts_refuse_bad_lists_and_arguments(tcl):
    for cast in (tcl.cast_list, tcl.cast_array, tcl.cast_dict, ortan.tcl.cast_dict):
        with pytest.raises(tkinter.TclError):
            cast("a {b")
    with pytest.raises(TypeError):
        tcl.cast_any()
    with pytest.raises(TypeError):
        ortan.tcl.cast_any("1", "2")
    with pytest.raises(TypeError):
        type(tcl).cast_any()


def test_cast_methods_keep_their_signatures_and_help():
    for name in ("cast_any", "cast_list", "cast_boolean", "cast_array", "cast_dict"):
        method = getattr(ortan.tcl.Interpreter, name)
        assert str(inspect.signature(method)) == "(self, value)"
        assert method.__doc__
    for name in ("cast_any", "cast_list", "cast_array", "cast_dict"):
        assert str(inspect.signature(getattr(ortan.tcl, name))) == "(value)"
    assert str(inspect.signature(ortan.tcl.Interpreter)) == "(master=None)"


def test_casts_do_not_leak(tcl):
    tk = tcl.tk
    dict_obj = tk.call("dict", "create", "a", "b")
    values = ["12", "1.5", "010", "word", "9" * 30, "9" * 5000, dict_obj, 3, ("a", 1, "b", 2)]

    def op():
        for value in values:
            tcl.cast_any(value)
            ortan.tcl.cast_any(value)
        tcl.cast_list((dict_obj, "x"))
        tcl.cast_dict(("a", 1, ("p", "q"), 2))
        tcl.cast_array("k v")
        tcl.cast_boolean("yes")
        for bad in ("a 1 b", "a {b"):
            with pytest.raises(tkinter.TclError):
                tcl.cast_dict(bad)
        with pytest.raises(tkinter.TclError):
            tcl.cast_boolean("maybe")

    for _ in range(200):
        op()
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(2000):
        op()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 500


# --- Interpreter(master): the interpreter a program already has ------------------------------


def check_companions(tcl, tk):
    """history, hop, vars and a wrapper of `tcl` all work on the Tcl interpreter of `tk`."""
    assert tcl.tk is tk
    assert tcl.hop.set("::shared", 42) == 42
    assert tk.eval("set ::shared") == "42"
    assert tcl.history.filter(count=1)[0].api == "set ::shared 42"
    tk.eval("set ::from_tk {a b}")
    assert tcl.vars["from_tk"] == "a b"
    TclVariable("::from_wrapper", tcl=tcl).set("v")
    assert tk.eval("set ::from_wrapper") == "v"
    tk.eval("proc ::twice {x} {expr {$x * 2}}")
    assert TclCommand("::twice", tcl=tcl)(21) == 42


def test_interpreter_on_a_tcl_interpreter():
    master = tkinter.Tcl()
    for given_master in (master, master.tk):
        tcl = ortan.tcl.Interpreter(given_master)
        check_companions(tcl, master.tk)
    assert ortan.tcl.Interpreter(master)._root is master
    assert ortan.tcl.Interpreter(master.tk)._root is None


def test_interpreter_never_destroys_a_given_interpreter():
    master = tkinter.Tcl()
    tcl = ortan.tcl.Interpreter(master)
    variable = TclVariable("::kept", tcl=tcl)
    variable.set("yes")
    del tcl
    gc.collect()
    assert master.tk.eval("set ::kept") == "yes"
    with pytest.raises(ReferenceError):
        variable.get()
    # One it made lives as long as tkinter keeps it (the application object here), as before.
    tk = ortan.tcl.Interpreter().tk
    gc.collect()
    assert tk.eval("expr {6 * 7}") == "42"


@pytest.mark.parametrize("master", [42, "::", object(), ortan.tcl, tkinter.Tcl],
                         ids=["int", "text", "object", "package module", "tkinter.Tcl itself"])
def test_interpreter_refuses_other_masters(master):
    with pytest.raises(TypeError, match=r"Interpreter\(\) takes a tkinter.Tk, .* not "):
        ortan.tcl.Interpreter(master)


def test_interpreter_on_a_tk_application(display):
    root = tkinter.Tk()
    try:
        frame = tkinter.Frame(root)
        button = tkinter.Button(frame, text="Go")
        button.pack()
        frame.pack()
        root.update()
        for master in (root, button, root.tk):
            tcl = ortan.tcl.Interpreter(master)
            check_companions(tcl, root.tk)
        tcl = ortan.tcl.Interpreter(button)
        assert tcl._root is root
        assert tcl.hop.winfo("exists", str(button)) == 1
        assert TclCommand(str(button), tcl=tcl)("cget", "-text") == "Go"
        tcl.hop.winfo("toplevel", str(button))
        del tcl
        gc.collect()
        root.update()
        assert button.winfo_exists() and button.cget("text") == "Go"
    finally:
        root.destroy()


def test_interpreter_accepts_weak_references(tcl):
    proxy = weakref.proxy(tcl)
    assert proxy.tk.eval("expr 1+1") == "2"


def test_module_stands_in_for_the_default_interpreter():
    assert ortan.tcl.tk is ortan.tcl.default_interpreter().tk
    assert ortan.tcl.cast_any("5") == 5
    assert ortan.tcl.cast_boolean("on") is True
    with pytest.raises(AttributeError):
        ortan.tcl.no_such_attribute


def test_family_stand_ins():
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

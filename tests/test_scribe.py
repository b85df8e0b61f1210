import collections
import enum
import inspect
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tkinter
import ortan.tcl.scribe as scribe_module
from ortan.tcl.scribe import (
    _scribe_from_mapping,
    _scribe_from_sequence,
    _Tcl_ConvertElement,
    _tcl_UpdateStringOfList,
    _Tcl_ScanElement,
    _tclobj_from_mapping,
    _tclobj_from_sequence,
    scribe,
    tclobj,
)

U, B, D = "USE_BRACES", "BRACES_UNMATCHED", "TCL_DONT_USE_BRACES"

# (element, flags after scanning, converted element)
ELEMENTS = [
    ("", {U}, "{}"),
    ("abc", set(), "abc"),
    ("#abc", set(), "#abc"),
    ("a b", {U}, "{a b}"),
    ("$x", {U}, "{$x}"),
    ("a[b]", {U}, "{a[b]}"),
    ("a]b", set(), "a\\]b"),
    ('a"b', set(), 'a\\"b'),
    ('"a"', {U}, '{"a"}'),
    ("a{b}", set(), "a{b}"),
    ("{a b}", {U}, "{{a b}}"),
    ("a\nb", {U}, "{a\nb}"),
    ("a\\nb", {U}, "{a\\nb}"),
    ("{a", {D, B}, "\\{a"),
    ("a}", {D, B}, "a\\}"),
    ("}a{", {D, B}, "\\}a\\{"),
    ("a {b", {D, B}, "a\\ \\{b"),
    ("a\\", {D, B}, "a\\\\"),
    ("x\\{y", {D, B}, "x\\\\\\{y"),
    ("a\\\nb", {D, B, U}, "a\\\\\\nb"),
    ("é ü", {U}, "{é ü}"),
    # Braces that balance only when a backslashed brace is counted: Tcl would read them
    # differently, so the element is backslash-quoted.
    ("#\\{}\t", {D, B}, "#\\\\\\{\\}\\t"),
    ("x\\{} [set ::pwned 1] \\{}", {D, B}, "x\\\\\\{\\}\\ \\[set\\ ::pwned\\ 1\\]\\ \\\\\\{\\}"),
    ("a\\{b}", {D, B}, "a\\\\\\{b\\}"),
]


@pytest.mark.parametrize("element, flags, converted", ELEMENTS, ids=[repr(e[0]) for e in ELEMENTS])
def test_element_quoting(element, flags, converted, tk):
    size, scanned = _Tcl_ScanElement(element)
    assert (size, scanned) == (2 * len(element) + 2, flags)
    assert type(scanned) is set
    assert _Tcl_ConvertElement(element, scanned) == converted
    assert tk.splitlist(converted) == (element,) or (element == "" and converted == "{}")


@pytest.mark.parametrize(
    "items, text",
    [
        ([], ""),
        ([[]], "{}"),
        (["a}", "b{", "c d"], "a\\} b\\{ {c d}"),
        ([1, 2, [3, 4]], "1 2 {3 4}"),
        (["#abc", "x"], "{#abc} x"),
        (["#{", "x"], "\\#\\{ x"),
        (["x", "#abc"], "x #abc"),
    ],
)
def test_list_join(items, text):
    assert _tcl_UpdateStringOfList(items) == text
    assert scribe(items) == text


@pytest.mark.parametrize(
    "flags, expected",
    [({U}, "{a b}"), (set(), "a\\ b"), ({U, D}, "a\\ b"), (frozenset({U}), "{a b}"), ([U], "{a b}")],
    ids=["braces", "empty", "dont-use", "frozenset", "list"],
)
def test_convert_with_foreign_flags(flags, expected):
    assert _Tcl_ConvertElement("a b", flags) == expected


def test_leading_brace_marks_callers_flags():
    flags = set()
    assert _Tcl_ConvertElement("{a}", flags) == "\\{a\\}"
    assert flags == {B}
    # A collection without add() is only a problem when the text starts with a brace.
    assert _Tcl_ConvertElement("a}", frozenset()) == "a}"
    with pytest.raises(AttributeError):
        _Tcl_ConvertElement("{a", frozenset())


def test_scan_and_convert_apply_scribe_first():
    assert _Tcl_ScanElement([1, 2]) == (8, {U})
    assert _Tcl_ConvertElement([1, 2], {U}) == "{1 2}"
    assert _Tcl_ScanElement(None) == (2, {U})


class Color(enum.IntEnum):
    RED = 1

    def __str__(self):
        return "red"


# (value, scribe(value))
SCRIBED = [
    (None, ""),
    ("a b", "a b"),
    (True, "true"),
    (False, "false"),
    (1, "1"),
    (2**100, str(2**100)),
    (1.5, "1.5"),
    ([None, True, False, 1.5, b"ab"], "{} true false 1.5 {97 98}"),
    (b"ab", "97 98"),
    (bytearray(b"a"), "97"),
    ([[]], "{}"),
    ({1: [2, 3], "k": None}, "1 {2 3} k {}"),
    ({"a b": "c"}, "{a b} c"),
    (range(3), "0 1 2"),
    ({"x": 1}.keys(), "x"),
    (frozenset(["q"]), "q"),
    (collections.OrderedDict(a=1), "a 1"),
    (collections.deque([1, "a b"]), "1 {a b}"),
    (Color.RED, "red"),
]


@pytest.mark.parametrize("value, text", SCRIBED, ids=[repr(v) for v, _ in SCRIBED])
def test_scribe(value, text):
    assert scribe(value) == text


# (value, tclobj(value))
TCLOBJS = [
    (None, ""),
    ([1, [2, "a b"], None], (1, (2, "a b"), "")),
    ({"k": 1.5}, ("k", 1.5)),
    (True, True),
    (b"ab", b"ab"),
    (sys.maxsize, sys.maxsize),
    (-sys.maxsize - 1, -sys.maxsize - 1),
    (sys.maxsize + 1, str(sys.maxsize + 1)),
    (-sys.maxsize - 2, str(-sys.maxsize - 2)),
    (Color.RED, "red"),
    ({1, 1}, (1,)),
]


@pytest.mark.parametrize("value, expected", TCLOBJS, ids=[repr(v) for v, _ in TCLOBJS])
def test_tclobj(value, expected):
    result = tclobj(value)
    assert result == expected and type(result) is type(expected)


def test_tclobj_passes_binding_values_through(tk):
    tcl_obj = tk.call("dict", "create", "a", "b c")
    assert isinstance(tcl_obj, _tkinter.Tcl_Obj)
    for value in (tcl_obj, "text", 2.5, b"\x00"):
        assert tclobj(value) is value
    assert scribe([tcl_obj]) == "{a {b c}}"


class Hooks:
    def __init__(self, scribe=None, tclobj=None):
        if scribe is not None:
            self.__scribe__ = scribe
        if tclobj is not None:
            self.__tclobj__ = tclobj


@pytest.mark.parametrize(
    "obj, scribed, tcl",
    [
        (Hooks(lambda: "S", lambda: ("T", 1)), "S", ("T", 1)),
        (Hooks(tclobj=lambda: ("a b", 1)), "{a b} 1", ("a b", 1)),
        (Hooks(scribe=lambda: "S"), "S", "S"),
        (Hooks(scribe=lambda: 5), 5, 5),
    ],
    ids=["both", "tclobj-only", "scribe-only", "scribe-non-text"],
)
def test_hooks(obj, scribed, tcl):
    assert scribe(obj) == scribed
    assert tclobj(obj) == tcl


def test_non_text_scribe_hook_is_converted_again_as_list_item():
    assert scribe([Hooks(scribe=lambda: [1, "a b"])]) == "{1 {a b}}"


class FalseHooks:
    __scribe__ = None
    __tclobj__ = 0

    def __str__(self):
        return "plain"


def test_false_hooks_count_as_absent():
    assert scribe(FalseHooks()) == "plain"
    assert tclobj(FalseHooks()) == "plain"


class Boom(Exception):
    pass


def boom(*args):
    raise Boom


class RaisingHookLookup:
    @property
    def __scribe__(self):
        raise Boom

    @property
    def __tclobj__(self):
        raise Boom


class MissingHookLookup:
    @property
    def __scribe__(self):
        raise AttributeError("not here")

    def __str__(self):
        return "m"


class BadStr:
    __str__ = boom


class BadIter(collections.abc.Sequence):
    __len__ = lambda self: 1  # noqa: E731
    __getitem__ = boom
    __iter__ = boom


class BadMapping(collections.abc.Mapping):
    __len__ = lambda self: 1  # noqa: E731
    __iter__ = lambda self: iter(["k"])  # noqa: E731
    __getitem__ = boom


@pytest.mark.parametrize(
    "obj",
    [Hooks(scribe=boom), Hooks(tclobj=boom), RaisingHookLookup(), BadStr(), BadIter(), BadMapping(),
     [1, BadStr()], {"k": BadStr()}],
    ids=["scribe-hook", "tclobj-hook", "hook-lookup", "str", "iter", "getitem", "item", "value"],
)
def test_errors_propagate_unchanged(obj):
    with pytest.raises(Boom):
        scribe(obj)
    with pytest.raises(Boom):
        tclobj(obj if not isinstance(obj, BadStr) else [obj, Hooks(tclobj=boom)])


def test_attribute_error_in_hook_lookup_counts_as_absence():
    assert scribe(MissingHookLookup()) == "m"


def test_self_containing_containers_raise_recursion_error():
    loop = [1]
    loop.append(loop)
    mapping = {}
    mapping["self"] = mapping
    for value in (loop, mapping):
        with pytest.raises(RecursionError):
            scribe(value)
        with pytest.raises(RecursionError):
            tclobj(value)


def test_deep_nesting_within_the_limit_works(tk):
    value = "x y"
    for _ in range(100):
        value = [value]
    text = scribe(value)
    for _ in range(100):
        (text,) = tk.splitlist(text)
    assert text == "x y"


def test_module_layout():
    names = [n for n in vars(scribe_module) if not n.startswith("__")]
    assert names == [
        "Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "unicode",
        "_Tcl_ScanElement", "_Tcl_ConvertElement", "_tcl_UpdateStringOfList",
        "_scribe_from_sequence", "_scribe_from_mapping", "scribe", "_sysmaxsize", "_long_type",
        "_tclobj_from_sequence", "_tclobj_from_mapping", "tclobj",
    ]
    assert scribe_module.Mapping is collections.abc.Mapping
    assert scribe_module._tkTcl_Obj is _tkinter.Tcl_Obj
    assert scribe_module.unicode is str and scribe_module._long_type is int
    assert scribe_module._sysmaxsize == sys.maxsize
    assert _scribe_from_sequence is _tcl_UpdateStringOfList
    assert scribe.from_sequence is _scribe_from_sequence
    assert scribe.from_mapping is _scribe_from_mapping
    assert tclobj.from_sequence is _tclobj_from_sequence
    assert tclobj.from_mapping is _tclobj_from_mapping
    assert "scribe() and tclobj()" in scribe_module.__doc__


def test_signatures_and_docs():
    for func in (scribe, tclobj, _scribe_from_mapping, _tclobj_from_sequence, _tclobj_from_mapping):
        assert str(inspect.signature(func)) == "(obj)"
        assert func(obj={"a": 1}) == func({"a": 1})
    assert str(inspect.signature(_Tcl_ScanElement)) == "(string)"
    assert str(inspect.signature(_Tcl_ConvertElement)) == "(src, flags)"
    assert str(inspect.signature(_tcl_UpdateStringOfList)) == "(listObj)"
    assert _Tcl_ConvertElement(src="a b", flags={U}) == "{a b}"
    assert scribe.__doc__.startswith("scribe() Function/Class")
    assert tclobj.__doc__ is None
    for func in (_Tcl_ScanElement, _Tcl_ConvertElement, _tcl_UpdateStringOfList):
        assert "From:" in func.__doc__ and "8.4.19" in func.__doc__
    with pytest.raises(TypeError):
        scribe()
    with pytest.raises(TypeError):
        scribe(1, 2)
    with pytest.raises(TypeError):
        scribe(value=1)
    for func in (_scribe_from_mapping, _tclobj_from_sequence, _tclobj_from_mapping):
        with pytest.raises(TypeError, match=r"^%s\(\) missing" % func.__name__):
            func()


def test_converters_bind_like_functions():
    class Holder:
        convert = scribe

    holder = Holder()
    assert holder.convert() == str(holder)
    assert Holder.convert(None) == ""
    scribe.extra = 1
    del scribe.extra


# Texts over the characters that matter to Tcl's list and command syntax.
special_text = st.text(
    alphabet=st.sampled_from(list("{}[]$;\\\"# \t\n\r\f\vab0") + ["\x00", "é", "€", "\U0001F600"]),
    max_size=12,
)


@settings(max_examples=400, deadline=None)
@given(items=st.lists(special_text, max_size=6))
def test_lists_split_back_exactly_through_tcl(items):
    assert split(_shared_tk(), scribe(items)) == tuple(items)


@settings(max_examples=400, deadline=None)
@given(value=special_text.map(lambda t: t + " [set ::pwned 1] ") | special_text)
def test_evaluating_a_scribed_command_never_runs_code(value):
    tk = _shared_tk()
    tk.eval("unset -nocomplain ::pwned ::x")
    tk.call("eval", scribe(("set", "::x", value)))
    assert tk.getvar("::x") == value
    assert tk.eval("info exists ::pwned") == "0"


@settings(max_examples=200, deadline=None)
@given(first=special_text.map(lambda t: "#" + t), rest=st.lists(special_text, max_size=3))
def test_list_starting_with_hash_is_no_comment(first, rest):
    tk = _shared_tk()
    tk.eval("unset -nocomplain ::pwned")
    items = [first, "\n[set ::pwned 1]"] + rest
    with pytest.raises(_tkinter.TclError, match="invalid command name"):
        tk.call("eval", scribe(items))
    assert tk.eval("info exists ::pwned") == "0"
    assert split(tk, scribe(items)) == tuple(items)


_TK = []


def split(tk, text):
    """Tcl's own split of a list text (passed as an object, so NUL characters survive)."""
    items = tk.call("lrange", text, 0, "end")
    return items if isinstance(items, tuple) else tk.splitlist(items)


def _shared_tk():
    # hypothesis runs many examples: one interpreter for all of them.
    if not _TK:
        import tkinter

        _TK.append(tkinter.Tcl().tk)
    return _TK[0]


def test_list_mutated_by_a_hook_during_conversion():
    items = ["a", "b c"]
    items.append(Hooks(scribe=lambda: items.clear() or "x"))
    items.append("never reached")
    # The texts already scanned stay valid although the list dropped them.
    assert scribe(items) == "a {b c} x"
    assert items == []

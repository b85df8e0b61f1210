import collections
import enum
import inspect
import os
import subprocess
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

# The directory holding the package that these tests import (installed or in place), so that a
# subprocess imports the same build.
PACKAGE_ROOT = os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(scribe_module.__file__)))
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
    # An escaped brace counts for nothing, as Tcl reads it back: braces suffice.
    ("x\\{y", {U}, "{x\\{y}"),
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


def tcl_list(tk, items):
    """The text of Tcl's own `list` of the items (read as an object: NUL characters survive)."""
    return tk.call("format", "%s", tk.call("list", *items))


# (items, Tcl 8.6's `list` of them): braces are counted as Tcl reads them back, so an escaped
# brace or backslash counts for nothing; a final backslash only when it is not escaped itself.
TCL_LISTS = [
    (["x\\{y"], "{x\\{y}"),
    (["x \\{"], "{x \\{}"),
    (["a\\}"], "{a\\}}"),
    (["\\{"], "{\\{}"),
    (["a\\\\"], "{a\\\\}"),
    (["a\\"], "a\\\\"),
    (["{a"], "\\{a"),
    (["a\\{\\}"], "{a\\{\\}}"),
    (["a\\{b}"], "a\\\\\\{b\\}"),
    (["a\\\\{"], "a\\\\\\\\\\{"),
    (["\\\\\n"], "{\\\\\n}"),
    (["a\\\nb"], "a\\\\\\nb"),
    (["#a", "#a"], "{#a} #a"),
    (["#{", "#{"], "\\#\\{ #\\{"),
    (["a]{b}"], "a\\]{b}"),
]


@pytest.mark.parametrize("items, text", TCL_LISTS, ids=[repr(i) for i, _ in TCL_LISTS])
def test_quoting_matches_tcl_list(items, text, tk):
    assert scribe(items) == text == tcl_list(tk, items)
    assert split(tk, text) == tuple(items)


@pytest.mark.parametrize("size", [15, 16, 17, 1000])
@pytest.mark.parametrize("kind", [list, tuple, collections.deque], ids=["list", "tuple", "deque"])
def test_lists_longer_than_the_stack_part(kind, size, tk):
    # Borrowed texts, then an item that runs Python code (so they are all owned), then more.
    texts = ["a b", "{", "c"] * size
    items = texts[: size // 2] + [Hooks(scribe=lambda: "h i")] + texts[size // 2 : size]
    assert scribe(kind(items)) == tcl_list(tk, [scribe(item) for item in items])


def test_nesting_grows_linearly(tk):
    assert scribe([["x", "{"], "y"]) == "{x \\{} y"
    value, tcl_text, lengths = "{", "{", []
    for _ in range(20):
        value, tcl_text = [value], tcl_list(tk, [tcl_text])
        assert scribe(value) == tcl_text
        lengths.append(len(tcl_text))
    # Each level adds its two braces, as in Tcl's own formatting.
    assert lengths == list(range(2, 41, 2))
    text = scribe(value)
    for _ in range(20):
        assert tk.call("llength", text) == 1
        text = tk.call("lindex", text, 0)
    assert text == "{"


@pytest.mark.parametrize(
    "func, arg, message",
    [
        (_scribe_from_mapping, 5,
         "_scribe_from_mapping() argument 'obj' must be a mapping, not int"),
        (_tclobj_from_mapping, None,
         "_tclobj_from_mapping() argument 'obj' must be a mapping, not None"),
        (_tclobj_from_sequence, 5,
         "_tclobj_from_sequence() argument 'obj' must be iterable, not int"),
        (_scribe_from_sequence, 1.5,
         "_scribe_from_sequence() argument 'listObj' must be iterable, not float"),
        (_tcl_UpdateStringOfList, 5,
         "_tcl_UpdateStringOfList() argument 'listObj' must be iterable, not int"),
        (scribe.from_sequence, 5,
         "_scribe_from_sequence() argument 'listObj' must be iterable, not int"),
        (tclobj.from_mapping, object(),
         "_tclobj_from_mapping() argument 'obj' must be a mapping, not object"),
        # Iterable, so the error of the item access itself propagates.
        (_scribe_from_mapping, ["k"], "list indices must be integers or slices, not str"),
    ],
    ids=["scribe-mapping", "tclobj-mapping", "tclobj-sequence", "scribe-sequence",
         "update-string", "scribe.from_sequence", "tclobj.from_mapping", "iterable-non-mapping"],
)  # fmt: skip
def test_container_argument_errors_name_the_function(func, arg, message):
    with pytest.raises(TypeError) as info:
        func(arg)
    assert str(info.value) == message


MEMORY_SCRIPT = """
import resource
from ortan.tcl.scribe import scribe
items = ["a b"] * 20_000_000
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
limit = (vm + 100_000) * 1024  # 100 MB more: far less than the elements of the list need
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    scribe(items)
except MemoryError:
    print("MemoryError")
del items
print(scribe(["still", "working"]))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves address space")
def test_out_of_memory_is_memory_error():
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], env=env, capture_output=True,
                         text=True, timeout=120)
    assert (out.returncode, out.stdout.split("\n")) == (0, ["MemoryError", "still working", ""])


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
    # Two functions that do the same, so that each names itself in its argument errors.
    assert _scribe_from_sequence is not _tcl_UpdateStringOfList
    assert _scribe_from_sequence.__name__ == "_scribe_from_sequence"
    assert _scribe_from_sequence(["a b", 1]) == _tcl_UpdateStringOfList(["a b", 1]) == "{a b} 1"
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
    assert str(inspect.signature(_scribe_from_sequence)) == "(listObj)"
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
    for func in (_scribe_from_mapping, _tclobj_from_sequence, _tclobj_from_mapping,
                 _scribe_from_sequence, _tcl_UpdateStringOfList):
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
@given(items=st.lists(special_text, max_size=6))
def test_lists_format_as_tcl_list(items):
    assert scribe(items) == tcl_list(_shared_tk(), items)


nested_values = st.recursive(
    special_text | special_text.map(lambda t: t + " [set ::pwned 1]"),
    lambda inner: st.lists(inner, max_size=4),
    max_leaves=16,
)


def reads_back(tk, text, value):
    """Tcl reads `text` as `value`: a text as itself, a list by llength and lindex per level."""
    if isinstance(value, str):
        assert text == value
        return
    assert tk.call("llength", text) == len(value)
    for i, item in enumerate(value):
        reads_back(tk, tk.call("lindex", text, i), item)


@settings(max_examples=300, deadline=None)
@given(value=st.lists(nested_values, max_size=4))
def test_nested_lists_read_back_and_never_run_code(value):
    tk = _shared_tk()
    reads_back(tk, scribe(value), value)
    tk.eval("unset -nocomplain ::pwned ::x")
    tk.call("eval", scribe(("set", "::x", value)))
    assert tk.getvar("::x") == scribe(value)
    assert tk.eval("info exists ::pwned") == "0"


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

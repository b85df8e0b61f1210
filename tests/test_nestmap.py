import abc
import importlib.util
import os
import pathlib
import subprocess
import sys
from collections import OrderedDict
from collections.abc import Mapping, MutableMapping, Sequence

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _tkinter
import ortan.tcl.nestmap as nestmap_module
from ortan.tcl.nestmap import AttrDict, Nestmap
from ortan.tcl.scribe import scribe, tclobj

IS_A_VALUE = 'target key "{}" is a value, cannot update value against another keyed list'
KEYS_ARE_TEXT = "Nestmap keys must be text (str), not '{}'"


def load_model():
    """The plain-Python model of the keyed-list rules that the fuzz target uses too."""
    path = pathlib.Path(__file__).parent.parent / "fuzz" / "nestmap_model.py"
    found = importlib.util.spec_from_file_location("nestmap_model", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


model = load_model()


def untag(value):
    """A Nestmap tree as nested dicts; a plain dict is marked, so the two cannot be confused."""
    if type(value) is Nestmap:
        return {key: untag(item) for key, item in value.items()}
    if isinstance(value, dict):
        return ("plain dict", value)
    return value


def sample():
    n = Nestmap()
    n["name.first"] = "alpha"
    n["name.last"] = "beta"
    n["size"] = "3"
    return n


# ------------------------------------------------------------------------------------------
# The class


def test_class_shape():
    assert type(Nestmap) is abc.ABCMeta
    assert Nestmap.__bases__ == (AttrDict, MutableMapping)
    assert (Nestmap.__module__, Nestmap.__qualname__) == ("ortan.tcl.nestmap", "Nestmap")
    assert not Nestmap.__abstractmethods__
    names = [name for name in vars(Nestmap) if not name.startswith("_") or name in (
        "__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__", "__tclobj__")]
    assert names == ["__init__", "from_tcl", "__getitem__", "__setitem__", "__contains__",
                     "__delitem__", "get", "pop", "setdefault", "update", "all_keys",
                     "all_items", "has_key", "__tclobj__"]
    assert Nestmap.get is MutableMapping.get
    assert Nestmap.pop is MutableMapping.pop
    assert Nestmap.setdefault is MutableMapping.setdefault
    assert vars(Nestmap)["has_key"] is vars(Nestmap)["__contains__"]
    assert isinstance(vars(Nestmap)["from_tcl"], staticmethod)
    assert [name for name in vars(nestmap_module) if not name.startswith("__")] == [
        "AttrDict", "MutableMapping", "Tcl_Obj", "tclobj", "Nestmap"]
    assert nestmap_module.Tcl_Obj is _tkinter.Tcl_Obj and nestmap_module.tclobj is tclobj


@pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="the mypy for Python < 3.10 also checks the standard-library classes a stub "
    "re-exports against this Python's own; test_typing.py leaves them out",
)
def test_type_stub_matches_the_module():
    stubtest = pytest.importorskip("mypy.stubtest")
    assert stubtest.test_stubs(stubtest.parse_options(["ortan.tcl.nestmap"])) == 0


def test_methods_need_a_nestmap():
    with pytest.raises(TypeError, match="'Nestmap' object"):
        Nestmap.__getitem__({"a": 1}, "a")
    with pytest.raises(TypeError):
        Nestmap.__setitem__(Nestmap())


# ------------------------------------------------------------------------------------------
# The worked examples


def test_dotted_assignment_builds_levels():
    n = sample()
    assert list(n.keys()) == ["name", "size"]
    assert type(n["name"]) is Nestmap and list(n["name"]) == ["first", "last"]
    assert n["name.last"] == "beta"
    assert n.name.first == "alpha"
    assert n.all_keys() == ["name.first", "name.last", "size"]
    assert n.all_items() == [("name.first", "alpha"), ("name.last", "beta"), ("size", "3")]


def test_scribe_gives_the_keyed_list_text():
    n = Nestmap({"name.first": "alpha", "name.last": "beta"})
    assert scribe(n) == "{name {{first alpha} {last beta}}}"
    assert n.__tclobj__() == tclobj(n) == (("name", (("first", "alpha"), ("last", "beta"))),)
    assert scribe(Nestmap(a={}, b="x y")) == "{a {}} {b {x y}}"


def test_from_tcl_equals_the_hand_built_map():
    n = Nestmap.from_tcl("{name {{first alpha} {last beta}}} {size 3}")
    assert untag(n) == untag(sample())


def test_writing_below_a_value_fails_and_deleting_prunes():
    n = sample()
    with pytest.raises(KeyError) as info:
        n["size.unit"] = "m"
    assert info.value.args == (IS_A_VALUE.format("size"),)
    assert n == sample()
    del n["name.first"]
    del n["name.last"]
    assert list(n.keys()) == ["size"]


# ------------------------------------------------------------------------------------------
# Construction and from_tcl

CONSTRUCTED = [
    ({"a": {"b": 1}}, {"a": {"b": 1}}),
    ({"a": ""}, {"a": {}}),
    ({"a": []}, {"a": {}}),
    ({"a": ["xy"]}, {"a": ["xy"]}),
    ({"a": [("k", "v"), ("l", {"m": 1})]}, {"a": {"k": "v", "l": {"m": 1}}}),
    ({"a": "text"}, {"a": "text"}),
    ({"a": 5}, {"a": 5}),
    ({"a": None}, {"a": None}),
    ({"a.b.c": 1, "a.d": 2}, {"a": {"b": {"c": 1}, "d": 2}}),
    ({"a": {"b.c": {"d": 1}}}, {"a": {"b": {"c": {"d": 1}}}}),
]


@pytest.mark.parametrize("kwargs, expected", CONSTRUCTED, ids=[repr(c[0]) for c in CONSTRUCTED])
def test_constructor_converts_values(kwargs, expected):
    assert untag(Nestmap(**kwargs)) == expected
    assert untag(Nestmap(kwargs)) == expected
    assert untag(Nestmap(list(kwargs.items()))) == expected


class Pairs(Sequence):
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class Frozen(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, **items):
        self.items = items

    def __getitem__(self, key):
        return self.items[key]

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


USERS = [{"name": "ada", "roles": ["admin"]}, {"name": "bob", "roles": []}]

# Values the constructor keeps as they are: read as {key value} pairs they would lose data.
KEPT_VALUES = [
    ("list of words", ["ab", "cd"]),
    ("list of records", USERS),
    ("repeated first column", [["ada", "admin"], ["ada", "ops"]]),
    ("repeated key in tuples", [("k", "v"), ("k", "w")]),
    ("text", "text"),
    ("one word pair text", "xy"),
    ("bytes", b"kv"),
    ("empty bytes", b""),
    ("bytearray", bytearray(b"kv")),
    ("int", 5),
    ("float", 1.5),
    ("None", None),
    ("True", True),
    ("tuple of two words", ("x", "y")),
    ("pair and word", [("k", "v"), "x"]),
    ("non-text key", [(1, "v")]),
    ("three items", [("k", "v", "w")]),
    ("pair of bytes", [b"kv"]),
    ("pair of a mapping", [{"k": "v"}]),
    ("mapping with an int key", {1: "x"}),
    ("set of pairs", {("k", "v")}),
    ("dict view", {"k": "v"}.items()),
]


@pytest.mark.parametrize("value", [c[1] for c in KEPT_VALUES], ids=[c[0] for c in KEPT_VALUES])
def test_constructor_keeps_values_that_are_not_levels(value):
    n = Nestmap(a=value)
    assert n["a"] is value
    assert model.makes_level(value) is False
    assert scribe(n) == scribe([("a", value)])


# Values that become nested levels: mappings with text keys and lists of distinct pairs.
NESTED_VALUES = [
    ("empty text", "", {}),
    ("empty list", [], {}),
    ("empty tuple", (), {}),
    ("empty dict", {}, {}),
    ("dict", {"b": 1}, {"b": 1}),
    ("OrderedDict", OrderedDict(b=1), {"b": 1}),
    ("AttrDict", AttrDict(b=1), {"b": 1}),
    ("other mapping", Frozen(b=1), {"b": 1}),
    ("pairs", [("k", "v"), ("l", "w")], {"k": "v", "l": "w"}),
    ("lists of two", [["ada", "admin"], ["bob", "ops"]], {"ada": "admin", "bob": "ops"}),
    ("tuple of pairs", (("k", "v"),), {"k": "v"}),
    ("other sequence", Pairs(Pairs("k", "v")), {"k": "v"}),
    ("dotted keys", [("k.l", "v"), ("m", "w")], {"k": {"l": "v"}, "m": "w"}),
    ("records below", [("users", USERS)], {"users": USERS}),
    ("levels below", {"b": [("x", "y")], "c": ["ab"]}, {"b": {"x": "y"}, "c": ["ab"]}),
]


@pytest.mark.parametrize("value, expected", [c[1:] for c in NESTED_VALUES],
                         ids=[c[0] for c in NESTED_VALUES])
def test_constructor_nests_mappings_and_distinct_pairs(value, expected):
    n = Nestmap(a=value)
    assert type(n["a"]) is Nestmap
    assert untag(n["a"]) == expected
    assert model.makes_level(value) is True
    assert untag(Nestmap([("a", value)])) == untag(Nestmap({"a": value})) == {"a": expected}


def test_issue_examples_keep_their_records():
    assert untag(Nestmap({"codes": ["ab", "cd"]})) == {"codes": ["ab", "cd"]}
    assert untag(Nestmap({"users": USERS})) == {"users": USERS}
    rows = [["ada", "admin"], ["ada", "ops"]]
    assert Nestmap(rows=rows)["rows"] is rows
    assert scribe(Nestmap(codes=["ab", "cd"])) == "{codes {ab cd}}"


def test_tclx_reads_records_back_intact(tclx):
    tk = tclx.tk
    rows = [["ada", "admin"], ["ada", "ops"]]
    n = Nestmap({"users": USERS, "codes": ["ab", "cd"], "rows": rows, "name.first": "alpha"})
    tk.call("set", "kl", scribe(n))
    tk.call("keylset", "kl", "name.last", "beta", "size", "3")
    assert tk.call("keylget", "kl", "name.first") == "alpha"
    users = tk.call("keylget", "kl", "users")
    assert users == scribe(USERS)
    assert [tk.splitlist(record) for record in tk.splitlist(users)] == [
        ("name", "ada", "roles", "admin"), ("name", "bob", "roles", "")]
    assert tk.splitlist(tk.call("keylget", "kl", "codes")) == ("ab", "cd")
    assert [tk.splitlist(row) for row in tk.splitlist(tk.call("keylget", "kl", "rows"))] == [
        ("ada", "admin"), ("ada", "ops")]
    back = Nestmap.from_tcl(tk.call("set", "kl"))
    assert back["users"] == scribe(USERS) and back["codes"] == "ab cd"
    assert untag(back["name"]) == {"first": "alpha", "last": "beta"} and back["size"] == "3"


def test_records_come_back_whole_where_tclx_sees_repeated_keys(tclx):
    tk = tclx.tk
    n = Nestmap(users=[{"name": "ada"}, {"name": "bob"}], size=3)
    text = scribe(n)
    assert text == "{users {{name ada} {name bob}}} {size 3}"
    tk.call("set", "kl", text)
    assert tk.splitlist(tk.call("keylkeys", "kl", "users")) == ("name", "name")
    back = Nestmap.from_tcl(tk.call("set", "kl"))
    assert untag(back) == {"users": "{name ada} {name bob}", "size": "3"}
    assert back["users"] == str(tk.call("keylget", "kl", "users")) == scribe(n["users"])
    assert [tk.splitlist(record) for record in tk.splitlist(back["users"])] == [
        ("name", "ada"), ("name", "bob")]


def test_an_empty_key_at_the_top_is_refused_as_tclx_refuses_it(tclx):
    tk = tclx.tk
    tk.call("set", "bad", "{{} v} {k w}")
    with pytest.raises(_tkinter.TclError, match="empty string"):
        tk.call("keylget", "bad", "k")
    n = Nestmap({"": "v", "k": "w"})
    for convert in (scribe, tclobj, Nestmap.__tclobj__, lambda n: scribe([n])):
        with pytest.raises(ValueError, match="^a keyed list cannot have an empty key at its top"):
            convert(n)
    # An empty key below the top is written, as TclX writes it itself.
    tk.call("keylset", "kl", "a.", "v", "b", "w")
    inner = Nestmap({"a.": "v", "b": "w"})
    assert scribe(inner) == str(tk.call("set", "kl")) == "{a {{{} v}}} {b w}"
    assert tk.call("keylget", "kl", "b") == "w"
    assert untag(Nestmap.from_tcl(scribe(inner))) == {"a": {"": "v"}, "b": "w"}
    with pytest.raises(ValueError):
        scribe(inner["a"])  # converted on its own, that level is a top level


def test_constructor_keeps_a_given_nestmap_and_passes_dict_errors():
    inner = Nestmap(x=1)
    assert Nestmap(a=inner)["a"] is inner
    with pytest.raises(TypeError):
        Nestmap({}, {})
    with pytest.raises(ValueError, match="element #0 has length 1"):
        Nestmap(["a"])


FROM_TCL = [
    ("", {}),
    ("{a {{x y}}}", {"a": {"x": "y"}}),
    ("{a {x y}}", {"a": "x y"}),
    ("{a x}", {"a": "x"}),
    ("{a.b 1}", {"a": {"b": "1"}}),
    ("{a.b 1} {a.c 2}", {"a": {"b": "1", "c": "2"}}),
    ("{a. 1} {a.b 2}", {"a": {"": "1", "b": "2"}}),
    # A value whose pairs repeat a key (a list of records) or collide is no level: its text.
    ("{users {{name ada} {name bob}}}", {"users": "{name ada} {name bob}"}),
    ("{a {{x 1} {x.y 2}}}", {"a": "{x 1} {x.y 2}"}),
    ("{a {{b {{x 1} {x 2}}} {c 3}}}", {"a": {"b": "{x 1} {x 2}", "c": "3"}}),
    ("{a {}}", {"a": {}}),
    ("{a {{b {{c d}}}}}", {"a": {"b": {"c": "d"}}}),
    ("{a {{x y} z}}", {"a": "{x y} z"}),
    ("{{s p} {v w x}}", {"s p": "v w x"}),
    # Values that are not even list text stay text, as TclX stores them.
    (r'{a \{} {b {say "hi}}', {"a": "{", "b": 'say "hi'}),
    ("{a {{x \\{}}}", {"a": {"x": "{"}}),
]


@pytest.mark.parametrize("text, expected", FROM_TCL, ids=[c[0] or "empty" for c in FROM_TCL])
def test_from_tcl(text, expected):
    assert untag(Nestmap.from_tcl(text)) == expected
    assert untag(Nestmap.from_tcl(string=text)) == expected


NOT_A_PAIR = "not a keyed list: element {} {} is not a {{key value}} pair ({}, not 2)"
FROM_TCL_ERRORS = [
    ("a 1 b 2", ValueError, NOT_A_PAIR.format(0, "'a'", "1 item")),
    ("a", ValueError, NOT_A_PAIR.format(0, "'a'", "1 item")),
    ("{a b c}", ValueError, NOT_A_PAIR.format(0, "'a b c'", "3 items")),
    ("{a b} c", ValueError, NOT_A_PAIR.format(1, "'c'", "1 item")),
    ("{a b} {}", ValueError, NOT_A_PAIR.format(1, "''", "0 items")),
    ("{" + "x " * 40 + "}", ValueError,
     NOT_A_PAIR.format(0, repr(("x " * 40)[:60]) + "...", "40 items")),
    ("{k 1} {k 2}", ValueError, "not a keyed list: key 'k' is given twice"),
    ("{a 1} {b 2} {a 3}", ValueError, "not a keyed list: key 'a' is given twice"),
    ("{a 1} {a.b 2}", ValueError, "not a keyed list: keys 'a' and 'a.b' collide at the path 'a'"),
    ("{a.b 1} {a {{b 2}}}", ValueError,
     "not a keyed list: keys 'a.b' and 'a' collide at the path 'a'"),
    ("{a.b.c 1} {x 2} {a.b 3}", ValueError,
     "not a keyed list: keys 'a.b.c' and 'a.b' collide at the path 'a.b'"),
    ("{a. 1} {a 2}", ValueError, "not a keyed list: keys 'a.' and 'a' collide at the path 'a'"),
]


@pytest.mark.parametrize("text, error, message", FROM_TCL_ERRORS,
                         ids=[c[0][:20] for c in FROM_TCL_ERRORS])
def test_from_tcl_errors(text, error, message):
    with pytest.raises(error) as info:
        Nestmap.from_tcl(text)
    assert str(info.value) == message


@pytest.mark.parametrize("text", ["{a", "{a b} {c", "{a b} c {d"])
def test_from_tcl_passes_list_syntax_errors(text):
    with pytest.raises(_tkinter.TclError):
        Nestmap.from_tcl(text)


def test_from_tcl_copes_with_a_cast_list_that_reuses_its_result(monkeypatch):
    # cast_list is the package root's and may be replaced: this one hands back the same list
    # every time, refilled, so each call changes (and shrinks) the results of earlier ones.
    import ortan.tcl

    split = ortan.tcl.cast_list
    shared = []

    def cast_list(value):
        shared[:] = split(value)
        return shared

    monkeypatch.setattr(ortan.tcl, "cast_list", cast_list)
    text = "{a 1} {b {{c 2} {d {x y}}}} {e 3} {f 4}"
    assert untag(Nestmap.from_tcl(text)) == {
        "a": "1", "b": {"c": "2", "d": "x y"}, "e": "3", "f": "4"}


# ------------------------------------------------------------------------------------------
# Key paths


def test_plain_dict_values_stay_plain():
    n = Nestmap()
    n["k"] = {"x": 1}
    assert untag(n) == {"k": ("plain dict", {"x": 1})}
    assert n["k.x"] == 1 and "k.x" in n and "k.y" not in n
    with pytest.raises(KeyError, match="is a value"):
        n["k.y"] = 2
    assert n.all_keys() == ["k"]
    del n["k.x"]
    assert "k" not in n  # the emptied value is pruned like a level


PAST_A_VALUE = [
    ("text", "db", "lph"),
    ("substring of text", "alpha", "lph"),
    ("int", 1, "x"),
    ("float", 1.5, "x"),
    ("list", ["x", "y"], "x"),
    ("tuple", ("x",), "0"),
    ("bytes", b"x", "x"),
    ("None", None, "x"),
    ("deeper", "alpha", "lph.a"),
]


@pytest.mark.parametrize("value, rest", [c[1:] for c in PAST_A_VALUE],
                         ids=[c[0] for c in PAST_A_VALUE])
def test_a_key_past_a_value_names_no_entry(value, rest):
    n = Nestmap({"server": {"name": "db"}})
    n["server.v"] = value
    key = "server.v." + rest
    for target in (n, model.Model(n)):
        assert key not in target and not target.has_key(key)
        assert target.get(key) is None and target.get(key, "d") == "d"
        assert target.pop(key, "d") == "d"
        for operation in (lambda: target[key], lambda: target.pop(key),
                          lambda: target.__delitem__(key)):
            with pytest.raises(KeyError) as info:
                operation()
            assert info.value.args == (rest,)
        assert target["server.v"] is value


def test_issue_example_of_keys_past_a_leaf():
    n = Nestmap({"server": {"name": "db", "port": 1}})
    assert n.get("server.port.x", "d") == "d" and n.get("server.name.x", "d") == "d"
    assert "server.name.d" not in n and "server.port.x" not in n
    with pytest.raises(KeyError):
        n["server.name.x"]
    assert untag(n) == {"server": {"name": "db", "port": 1}}


DOTTED_EDGES = [
    ("a.", {"a": {"": 1}}),
    (".a", {"": {"a": 1}}),
    ("a..b", {"a": {"": {"b": 1}}}),
    (".", {"": {"": 1}}),
]


@pytest.mark.parametrize("key, expected", DOTTED_EDGES, ids=[c[0] for c in DOTTED_EDGES])
def test_leading_and_trailing_dots_name_empty_keys(key, expected):
    n = Nestmap()
    n[key] = 1
    assert untag(n) == expected
    assert n[key] == 1 and key in n
    del n[key]
    assert n == {}


INTEGER_KEY_OPERATIONS = [
    ("getitem", lambda n: n[1]),
    ("setitem", lambda n: n.__setitem__(1, "x")),
    ("contains", lambda n: 1 in n),
    ("delitem", lambda n: n.__delitem__(1)),
    ("get", lambda n: n.get(1)),
    ("update", lambda n: n.update({1: "x"})),
]


@pytest.mark.parametrize("operation", [c[1] for c in INTEGER_KEY_OPERATIONS],
                         ids=[c[0] for c in INTEGER_KEY_OPERATIONS])
def test_integer_keys_raise_type_error(operation):
    with pytest.raises(TypeError) as info:
        operation(Nestmap(a=1))
    assert str(info.value) == KEYS_ARE_TEXT.format("int")


KEY_TYPE_ERRORS = [
    ("int key", lambda: Nestmap({1: "a"}), "int"),
    ("int key after text", lambda: Nestmap({"a": 1, 2.5: "b"}), "float"),
    ("bytes key", lambda: Nestmap([(b"k", "v")]), "bytes"),
    ("None key below", lambda: Nestmap({"a": Nestmap()}).__setitem__(None, 1), "NoneType"),
]


@pytest.mark.parametrize("make, type_name", [c[1:] for c in KEY_TYPE_ERRORS],
                         ids=[c[0] for c in KEY_TYPE_ERRORS])
def test_keys_must_be_text(make, type_name):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == KEYS_ARE_TEXT.format(type_name)
    assert info.value.__context__ is None


MISSING = [
    ("missing", "missing"),
    ("missing.key", "missing"),
    ("name.missing", "missing"),
    ("name.first.x", "x"),  # text holds no entries
]


@pytest.mark.parametrize("key, first_missing", MISSING, ids=[c[0] for c in MISSING])
def test_lookup_of_missing_keys(key, first_missing):
    n = sample()
    with pytest.raises(KeyError) as info:
        n[key]
    assert info.value.args == (first_missing,)
    assert key not in n
    assert n.get(key) is None and n.get(key, "d") == "d"
    with pytest.raises(KeyError):
        del n[key]
    assert n == sample()


def test_pop_and_setdefault_follow_the_path():
    n = sample()
    assert n.pop("name.first") == "alpha"
    assert n.pop("name.last") == "beta"
    assert list(n) == ["size"]  # the emptied level went with its last leaf
    assert n.pop("name.first", "d") == "d"
    with pytest.raises(KeyError):
        n.pop("name.first")
    assert n.setdefault("a.b", 1) == 1 and n.setdefault("a.b", 2) == 1
    assert untag(n) == {"size": "3", "a": {"b": 1}}


def test_deleting_prunes_every_emptied_level():
    n = Nestmap({"a.b.c.d": 1, "a.x": 2, "e": 3})
    del n["a.b.c.d"]
    assert untag(n) == {"a": {"x": 2}, "e": 3}
    del n["a.x"]
    assert untag(n) == {"e": 3}


def test_assignment_replaces_but_never_turns_a_value_into_a_level():
    n = Nestmap({"k.x": 1, "v": "text"})
    n["k"] = Nestmap(y=2)
    assert untag(n["k"]) == {"y": 2}
    n["v"] = "other"
    with pytest.raises(KeyError) as info:
        n["v"] = Nestmap(y=2)
    assert info.value.args == (IS_A_VALUE.format("v"),)
    with pytest.raises(KeyError, match='"v" is a value'):
        n["v.w.z"] = 1
    with pytest.raises(KeyError, match='"w" is a value'):
        Nestmap({"a.w": 1})["a.w.z"] = 1
    n["k"] = "now text"
    assert untag(n) == {"k": "now text", "v": "other"}


def test_very_long_keys_agree_with_the_model():
    # 200,000 dots: the walk takes time in proportion to the key's length.
    key = ".".join(f"k{i % 7}" for i in range(200_001))
    n, m = Nestmap(), model.Model()
    for target in (n, m):
        target[key] = "v"
        target[key[:-3] + ".side"] = "w"
    assert n[key] == m[key] == "v"
    # The leaf "v" holds no entries, not even its own text.
    probes = [key, key + ".v", key + ".x", key[:-1]]
    assert [p in n for p in probes] == [p in m for p in probes] == [True, False, False, False]
    with pytest.raises(KeyError, match="is a value") as ours:
        n[key + ".x"] = 1
    with pytest.raises(KeyError, match="is a value") as expected:
        m[key + ".x"] = 1
    assert ours.value.args == expected.value.args
    del n[key]
    del m[key]
    assert n[key[:-3] + ".side"] == m[key[:-3] + ".side"] == "w"
    assert (key in n, key in m) == (False, False)
    del n[key[:-3] + ".side"]
    del m[key[:-3] + ".side"]
    assert n == m == {}


def test_a_long_key_below_a_plain_value_hands_over_the_rest():
    rest = ".".join(["x"] * 100_000)
    key = "a.k." + rest
    n, m = Nestmap({"a.b": 1}), model.Model({"a.b": 1})
    for target in (n, m):
        target["a.k"] = {rest: 1}  # a plain dict: it gets the rest of the key as one key
    assert n[key] == m[key] == 1 and key in n and key in m
    del n[key]
    del m[key]
    assert n == m == {"a": {"b": 1}}  # the emptied dict went like a level


MEMORY_SCRIPT = """
import resource
from ortan.tcl.nestmap import Nestmap
key = ".".join(["k"] * 400_001)
n = Nestmap()
n[key] = "v"
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# 1 MB more: less than the record of the 400,000 levels that the deletion goes through needs.
resource.setrlimit(resource.RLIMIT_AS, ((vm + 1_000) * 1024, hard))
try:
    del n[key]
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(n[key])
del n[key]
print(n == {})
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves address space")
def test_out_of_memory_in_a_deletion_is_memory_error():
    package_root = str(pathlib.Path(nestmap_module.__file__).parents[2])
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=package_root), timeout=120)
    # The failed deletion changed nothing; the next one works.
    assert (out.returncode, out.stdout.split("\n")) == (0, ["MemoryError", "v", "True", ""])


def test_very_deep_paths_need_no_recursion():
    key = ".".join(["k"] * 100_000)
    n = Nestmap()
    n[key] = "v"
    assert n[key] == "v" and key in n
    del n[key]
    assert n == {}


def test_self_nesting_raises_recursion_error():
    n = Nestmap(a=1)
    n["me"] = n
    assert n["me.me.me.a"] == 1
    for operation in (n.all_keys, n.all_items, lambda: scribe(n), lambda: tclobj(n)):
        with pytest.raises(RecursionError):
            operation()
    n.clear()


# ------------------------------------------------------------------------------------------
# update


def test_update_merges_leaf_by_leaf():
    n = Nestmap({"a.x": 1, "a.y": 2, "b": 0})
    n.update(Nestmap({"a.y": 3, "a.z": 4, "e": {}}))
    assert untag(n) == {"a": {"x": 1, "y": 3, "z": 4}, "b": 0}  # empty levels are not copied


def test_update_keywords_merge_while_assignment_replaces():
    n = Nestmap({"a.x": 1})
    n.update(a=Nestmap(y=2), new=Nestmap(z=3), plain=4)
    assert untag(n) == {"a": {"x": 1, "y": 2}, "new": {"z": 3}, "plain": 4}
    n["a"] = Nestmap(y=5)
    assert untag(n["a"]) == {"y": 5}
    n.update(**{"a.q": Nestmap(deep=1)})
    assert untag(n["a"]) == {"y": 5, "q": {"deep": 1}}
    with pytest.raises(KeyError) as info:
        n.update(**{"a.y": Nestmap(deep=1)})
    assert info.value.args == (IS_A_VALUE.format("a.y"),)
    with pytest.raises(KeyError) as info:
        n.update(plain=Nestmap(z=1))
    assert info.value.args == (IS_A_VALUE.format("plain"),)


class KeysOnly:
    def keys(self):
        return ["p.q"]

    def __getitem__(self, key):
        return "from keys()"


UPDATE_SOURCES = [
    ("dict", {"p.q": "v", "r": "w"}, {"p": {"q": "v"}, "r": "w"}),
    ("pairs", [("p.q", "v"), ("r", "w")], {"p": {"q": "v"}, "r": "w"}),
    ("keys()", KeysOnly(), {"p": {"q": "from keys()"}}),
    ("plain dict value", {"r": {"s": 1}}, {"r": ("plain dict", {"s": 1})}),
]


@pytest.mark.parametrize("source, expected", [c[1:] for c in UPDATE_SOURCES],
                         ids=[c[0] for c in UPDATE_SOURCES])
def test_update_from_mappings_and_pairs(source, expected):
    n = Nestmap()
    n.update(source)
    assert untag(n) == expected


def test_update_takes_at_most_one_positional_argument():
    n = Nestmap(a=1)
    with pytest.raises(TypeError) as info:
        n.update({"b": 2}, {"c": 3}, d=4)
    assert str(info.value) == "update() takes at most 1 positional arguments (2 given)"
    assert n == {"a": 1}


def test_subclasses_keep_their_own_item_methods():
    seen = []

    class Recording(Nestmap):
        def __setitem__(self, key, value):
            seen.append(key)
            Nestmap.__setitem__(self, key, value)

    r = Recording({"a.b": 1})
    r.update(c=2)
    n = Nestmap(r=r)
    n["r.d.e"] = 3
    n.update(Nestmap({"r.f": 4}))
    assert seen == ["a.b", "c", "d.e", "f"]
    assert n["r"] is r and n.all_keys() == ["r.a.b", "r.c", "r.d.e", "r.f"]


# ------------------------------------------------------------------------------------------
# TclX keyed lists


def keyed_list_obj(tk, script):
    tk.eval("set kl {}; " + script)
    obj = tk.call("set", "kl")
    assert isinstance(obj, _tkinter.Tcl_Obj) and obj.typename == "keyedList"
    return obj


# Several levels, blanks and braces, balanced or not, in keys and values.
TCLX_SCRIPT = r"""
keylset kl name.first alpha name.last {b {e} ta} {sp ace.in ner} {two words}
keylset kl deep.a.b.c "x\} \{y" brace\{key "\{" quote {say "hi} size 3
"""
TCLX_EXPECTED = {
    "name": {"first": "alpha", "last": "b {e} ta"},
    "sp ace": {"in ner": "two words"},
    "deep": {"a": {"b": {"c": "x} {y"}}},
    "brace{key": "{",
    "quote": 'say "hi',
    "size": "3",
}


def by_hand():
    n = Nestmap()
    for key, value in [("name.first", "alpha"), ("name.last", "b {e} ta"),
                       ("sp ace.in ner", "two words"), ("deep.a.b.c", "x} {y"),
                       ("brace{key", "{"), ("quote", 'say "hi'), ("size", "3")]:
        n[key] = value
    return n


def test_tclx_keyed_lists_come_back_equal(tclx):
    obj = keyed_list_obj(tclx.tk, TCLX_SCRIPT)
    assert untag(by_hand()) == TCLX_EXPECTED
    assert untag(Nestmap.from_tcl(obj)) == TCLX_EXPECTED
    assert untag(Nestmap.from_tcl(tclx.tk.eval("set kl"))) == TCLX_EXPECTED
    assert Nestmap.from_tcl(obj) == by_hand()


def level_paths(n, prefix=""):
    yield prefix, n
    for key, value in n.items():
        if isinstance(value, Nestmap):
            yield from level_paths(value, prefix + key + ".")


def assert_tclx_reads(tk, n):
    tk.call("set", "kl", tclobj(n))
    for key, value in n.all_items():
        assert tk.call("keylget", "kl", key) == value
    for path, level in level_paths(n):
        keys = tk.call("keylkeys", "kl", path[:-1]) if path else tk.call("keylkeys", "kl")
        assert list(tk.splitlist(keys)) == list(level)


def test_tclx_reads_a_nestmap(tclx):
    tk = tclx.tk
    n = by_hand()
    assert_tclx_reads(tk, n)
    tk.call("keylset", "kl", "name.mid", "m {i} d", "new.le vel", "\\", "size", "4")
    n.update({"name.mid": "m {i} d", "new.le vel": "\\", "size": "4"})
    assert untag(Nestmap.from_tcl(tk.call("set", "kl"))) == untag(n)
    assert str(tk.call("keylget", "kl", "name")) == scribe(n["name"])


def test_tclx_objects_become_nested_levels(tclx):
    obj = keyed_list_obj(tclx.tk, "keylset kl x.y 1 z 2")
    expected = {"x": {"y": "1"}, "z": "2"}
    n = Nestmap()
    n["k"] = obj
    n["d.e"] = obj
    n.update(u=obj)
    n.update({"v": obj})
    assert untag(n) == {**{key: expected for key in ("k", "d", "u", "v")}, "d": {"e": expected}}
    assert untag(Nestmap(k=obj)) == {"k": expected}
    other = tclx.tk.call("dict", "create", "a", "b")
    n["other"] = other
    assert n["other"] is other


KEY_TEXT = st.text(st.sampled_from("ab{}\"\\ $[];x"), min_size=1, max_size=6)
# A plain first word keeps any value plain text: its first element is not a pair.
VALUE_TEXT = st.sampled_from(["v", "w1", "x"]) | st.builds(
    lambda word, rest: word + " " + rest, st.sampled_from(["v", "w1", "x"]),
    st.text(st.sampled_from("ab{}\"\\ $[];\n"), max_size=8))


def trees(values):
    def level(children):
        return st.dictionaries(KEY_TEXT, children, max_size=4).map(Nestmap)

    return st.recursive(values, level, max_leaves=12).filter(lambda t: isinstance(t, Nestmap))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(n=trees(VALUE_TEXT))
def test_round_trip_through_tclx(tclx, n):
    assert_tclx_reads(tclx.tk, n)
    back = Nestmap.from_tcl(tclx.tk.call("set", "kl"))
    assert untag(back) == untag(n)
    assert untag(Nestmap.from_tcl(scribe(n))) == untag(n)


# Keyed-list-like text: pairs of short keys (dots, braces, repeats) and values that are words,
# more pairs, or damaged text.
RAW_KEYS = st.sampled_from(["a", "b", "a.b", "a.", ".a", "", "k k", "{"])
RAW_VALUES = st.recursive(
    st.sampled_from(["", "x", "x y", "{", "a b c"]),
    lambda inner: st.lists(st.tuples(RAW_KEYS, inner), max_size=3).map(scribe),
    max_leaves=8,
)


@given(st.lists(st.tuples(RAW_KEYS, RAW_VALUES), max_size=4).map(scribe))
def test_from_tcl_reads_back_what_it_writes_and_drops_nothing(text):
    try:
        n = Nestmap.from_tcl(text)
    except ValueError as error:
        assert "not a keyed list" in str(error)
        return
    # Every entry of the text is in the result: its text, or read as a level.
    for key, value in (tuple(_tkinter_split(pair)) for pair in _tkinter_split(text)):
        assert key in n
        found = n[key]
        assert isinstance(found, Nestmap) or found == value
    if "" in dict.keys(n):
        with pytest.raises(ValueError):
            scribe(n)
        return
    assert Nestmap.from_tcl(scribe(n)) == n


def _tkinter_split(text):
    import ortan.tcl

    return ortan.tcl.cast_list(text)

"""Fuzz target: Nestmap.from_tcl on random keyed-list texts, Tcl objects and odd values, and
random sequences of mapping operations on dotted keys checked against a model of the rules.

Properties, when from_tcl accepts the input:
- every level is a Nestmap and holds no key with a "." (dotted keys become levels);
- the keyed-list text of the result reads back to an equal Nestmap (scribe() of it, through
  from_tcl again), and Tcl splits that text into {key value} pairs;
- all_keys() and all_items() agree with item lookup by the dotted keys.
- a top level with an empty key is refused on the way to Tcl (ValueError), as TclX refuses it.
Failures may only be those of a text that is not a keyed list: ValueError (an element that is no
pair, keys that repeat or collide as paths, or a Unicode error), TclError (list syntax),
RecursionError (very deep nesting).

Operations (item access, assignment, deletion and membership by dotted keys, get, pop,
setdefault, update with mappings, pairs and keywords, all_keys, all_items, has_key) give the
same results, the same errors and the same levels as the model `Model` (fuzz/nestmap_model.py),
including which values the constructor turns into nested levels.
"""

import tkinter

import atheris

with atheris.instrument_imports():
    import harness
    from nestmap_model import Model

from ortan.tcl.nestmap import Nestmap
from ortan.tcl.scribe import scribe

EXPECTED = (ValueError, tkinter.TclError, RecursionError)
KEYED = '{}{}   ..ab\\"\t\n'


def keyed_text(fdp, depth=3):
    """Text shaped like a keyed list, with random damage."""
    pairs = []
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        key = harness.text(fdp, 6, alphabet="ab..c \\{}") if fdp.ConsumeBool() else "k"
        if depth > 0 and fdp.ConsumeBool():
            val = keyed_text(fdp, depth - 1)
        else:
            val = harness.text(fdp, 6, alphabet=KEYED + "xy")
        pairs.append(scribe([key, val]) if fdp.ConsumeProbability() < 0.8 else harness.text(fdp, 8))
    return " ".join(pairs) if fdp.ConsumeBool() else scribe(pairs)


def source(fdp):
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 2 or kind > 5:
        return keyed_text(fdp)
    if kind == 3:
        return harness.text(fdp, 40, alphabet=harness.SPECIAL + KEYED)
    if kind == 4:
        key, val = keyed_text(fdp), keyed_text(fdp)
        if harness.tcl_safe(key + val):
            return harness.TK.call("dict", "create", key, val)  # a Tcl_Obj
        return val
    deep = "x"
    for _ in range(fdp.ConsumeIntInRange(0, 1500)):
        deep = "{a {%s}}" % deep
    return deep


def check_levels(n):
    """Every level is a Nestmap without dotted keys; returns the depth (walked iteratively:
    the nesting may be deeper than Python's recursion limit)."""
    deepest, todo = 0, [(n, 1)]
    while todo:
        level, d = todo.pop()
        assert isinstance(level, Nestmap)
        deepest = max(deepest, d)
        for key, val in dict.items(level):
            assert type(key) is str and "." not in key, (key, level)
            if isinstance(val, Nestmap):
                todo.append((val, d + 1))
            else:
                assert type(val) is str, (key, val)
    return deepest


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        check_operations(fdp)
    else:
        check_from_tcl(fdp)


def check_from_tcl(fdp):
    src = source(fdp)
    try:
        n = Nestmap.from_tcl(src)
    except EXPECTED:
        return
    if check_levels(n) > 6:
        # The text of a level holding a backslash-quoted key or value grows 4x per level
        # (scribe follows Tcl 8.4 here; Tcl 8.5+ braces such elements): keep it small.
        return
    if "" in dict.keys(n):
        try:
            scribe(n)
        except ValueError:
            return
        raise AssertionError("an empty top-level key was written", src, n)
    text = scribe(n)
    assert type(text) is str
    again = Nestmap.from_tcl(text)
    assert again == n, (src, text, n, again)
    if harness.tcl_safe(text):
        for pair in harness.tcl_split(text):
            assert len(harness.tcl_split(pair)) == 2, (text, pair)
    items = n.all_items()
    assert [k for k, _ in items] == n.all_keys()
    for key, val in items:
        assert n[key] is val and key in n, (key, n)


# --- operations against a model --------------------------------------------------------------

def plain(v):
    """A comparable form: levels as ("level", [(key, plain value), ...]) in their order."""
    if isinstance(v, (Nestmap, Model)):
        return ("level", [(k, plain(x)) for k, x in dict.items(v)])
    if isinstance(v, list):
        return [plain(x) for x in v]
    if isinstance(v, tuple):
        return tuple(plain(x) for x in v)
    if type(v) is dict:
        return ("dict", [(k, plain(x)) for k, x in v.items()])
    return v


def op_key(fdp):
    return harness.text(fdp, 5, alphabet="ab..c") if fdp.ConsumeProbability() < 0.9 else 5


def op_value(fdp, depth=2):
    """A description of a value, built twice: once with Nestmap, once with Model."""
    kind = fdp.ConsumeIntInRange(0, 8)
    if kind <= 2 or depth <= 0:
        return ("leaf", fdp.PickValueInList(["", "text", "ab", "x y", 5, None]))
    if kind == 3:
        return (
            "level",
            [(op_key(fdp), op_value(fdp, depth - 1)) for _ in range(fdp.ConsumeIntInRange(0, 3))],
        )
    if kind == 4:
        return (
            "dict",
            [(op_key(fdp), op_value(fdp, depth - 1)) for _ in range(fdp.ConsumeIntInRange(0, 2))],
        )
    if kind == 5:
        return (
            "pairs",
            [
                (harness.text(fdp, 3, alphabet="ab."), "v")
                for _ in range(fdp.ConsumeIntInRange(0, 2))
            ],
        )
    if kind == 6:
        return ("leaf", [fdp.PickValueInList(["xy", "ab", ("k", "v")])])
    # Values that look like pairs in some way but are not a keyed-list level (and a few that are).
    return ("leaf", fdp.PickValueInList(LOOKALIKES))


LOOKALIKES = [
    [("k", "v"), ("k", "w")],
    [["a", "b"], ["c", "d"]],
    [["a", "b"], ["a", "d"]],
    [{"n": "x", "r": ["admin"]}, {"n": "y", "r": []}],
    (("k", "v"),),
    [(1, "v")],
    [("k", "v", "w")],
    [b"kv"],
    [("k.l", "v"), ("m", [("x", "y")])],
    {1: "x"},
    b"",
    b"kv",
    ("x", "y"),
    (),
    range(0),
    {("k", "v")},
]


def build(desc, cls):
    kind, content = desc
    if kind == "leaf":
        return content
    if kind == "pairs":
        return list(content)
    items = [(k, build(v, cls)) for k, v in content]
    if kind == "dict":
        return dict(items)
    return cls(items)


def is_desc(a):
    return type(a) is tuple and len(a) == 2 and a[0] in ("leaf", "level", "dict", "pairs")


def apply(target, op, args, cls):
    """(outcome, result): the result in plain form, or the error's type (and the message of the
    "is a value" KeyError)."""
    try:
        if op == "update_kw":
            result = target.update(**{k: build(v, cls) for k, v in args[0]})
        else:
            result = getattr(target, op)(*[build(a, cls) if is_desc(a) else a for a in args])
        return "ok", plain(result)
    except (KeyError, TypeError, ValueError, AttributeError) as exc:
        message = str(exc) if isinstance(exc, KeyError) and "is a value" in str(exc) else None
        return type(exc).__name__, message


OPS = [
    "__setitem__",
    "__getitem__",
    "__delitem__",
    "__contains__",
    "get",
    "pop",
    "setdefault",
    "update",
    "update_kw",
    "all_keys",
    "all_items",
    "has_key",
]


def check_operations(fdp):
    start = op_value(fdp)
    if start[0] != "level":
        start = ("level", [])
    got, expected = (
        apply(Nestmap, "__call__", [start], Nestmap),
        apply(Model, "__call__", [start], Model),
    )
    assert got == expected, (start, got, expected)
    if got[0] != "ok":
        return
    ours, model = build(start, Nestmap), build(start, Model)
    for _ in range(fdp.ConsumeIntInRange(1, 12)):
        op = fdp.PickValueInList(OPS)
        if op in ("__setitem__", "setdefault"):
            args = [op_key(fdp), op_value(fdp)]
        elif op in ("all_keys", "all_items"):
            args = []
        elif op == "update":
            args = [op_value(fdp) for _ in range(fdp.PickValueInList([1, 1, 1, 0, 2]))]
        elif op == "update_kw":
            args = [
                [
                    (harness.text(fdp, 4, alphabet="ab.c"), op_value(fdp))
                    for _ in range(fdp.ConsumeIntInRange(0, 2))
                ]
            ]
        else:
            args = [op_key(fdp)]
        got = apply(ours, op, args, Nestmap)
        expected = apply(model, op, args, Model)
        assert got == expected, (op, args, got, expected)
        assert plain(ours) == plain(model), (op, args, plain(ours), plain(model))


if __name__ == "__main__":
    harness.main(TestOneInput)

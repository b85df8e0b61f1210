"""Fuzz target: Nestmap.from_tcl on random keyed-list texts, Tcl objects and odd values.

Properties, when from_tcl accepts the input:
- every level is a Nestmap and holds no key with a "." (dotted keys become levels);
- the keyed-list text of the result reads back to an equal Nestmap (scribe() of it, through
  from_tcl again), and Tcl splits that text into {key value} pairs;
- all_keys() and all_items() agree with item lookup by the dotted keys.
Failures may only be those of a text that is not a keyed list: ValueError (from dict() or a
Unicode error), TclError (list syntax), KeyError (a dotted key below a plain value),
RecursionError (very deep nesting).
"""

import tkinter

import atheris

with atheris.instrument_imports():
    import harness

try:
    from ortan.tcl.nestmap import Nestmap
    from ortan.tcl.scribe import scribe
except ImportError as exc:
    harness.skip(f"ortan.tcl.nestmap: {exc}")

EXPECTED = (ValueError, tkinter.TclError, KeyError, RecursionError)
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
    src = source(fdp)
    try:
        n = Nestmap.from_tcl(src)
    except EXPECTED:
        return
    if check_levels(n) > 6:
        # The text of a level holding a backslash-quoted key or value grows 4x per level
        # (scribe follows Tcl 8.4 here; Tcl 8.5+ braces such elements): keep it small.
        return
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


if __name__ == "__main__":
    harness.main(TestOneInput)

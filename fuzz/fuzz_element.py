"""Fuzz target: _Tcl_ScanElement and _Tcl_ConvertElement, with odd flag collections.

Properties:
- scanning gives (2 * length + 2, a set of the three flag names), "TCL_DONT_USE_BRACES" never
  without "BRACES_UNMATCHED", "USE_BRACES" for the empty text, and exactly the flags of the
  scanning rules (the model in benchmarks/element_model.py: braces counted as Tcl reads them
  back);
- an element converted with its own scanned flags splits back through Tcl to the same text,
  and is what Tcl's own list formatting writes for it (as an element after the first);
- with any flags collection, the converter follows the quoting rules exactly (the same model),
  reads the flags by membership only, and adds "BRACES_UNMATCHED" through the
  collection's own add() when, and only when, it backslash-quotes a text that starts with "{";
- hostile sources and collections (membership tests that raise or answer odd objects, add()
  that raises or is missing) fail only with their own errors.
"""

import os
import sys
import tkinter  # noqa: F401  (loaded before the instrumentation: not worth tracing)

import atheris

# The plain-Python model of the quoting rules lives with the benchmarks, which time it too.
sys.path.insert(1, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

with atheris.instrument_imports():
    import harness

    from benchmarks.element_model import (
        BRACES_UNMATCHED,
        DONT_USE_BRACES,
        FLAG_NAMES,
        USE_BRACES,
        adds_unmatched,
        convert_element,
        scan_element,
    )
    from ortan.tcl.scribe import _Tcl_ConvertElement, _Tcl_ScanElement

U, B, D = USE_BRACES, BRACES_UNMATCHED, DONT_USE_BRACES
NAMES = FLAG_NAMES


class Recorder(set):
    """A set that counts add() calls."""

    adds = 0

    def add(self, item):
        self.adds += 1
        super().add(item)


class OddFlags:
    """A flags collection whose membership test raises, or answers objects that are not bool."""

    def __init__(self, fdp):
        self.mode = fdp.ConsumeIntInRange(0, 3)
        self.names = {n for n in NAMES if fdp.ConsumeBool()}

    def __contains__(self, name):
        if self.mode == 0:
            raise harness.Boom("contains")
        if self.mode == 1:
            return harness.Falsy(None)  # its truth test raises
        return name in self.names

    def add(self, name):
        if self.mode == 2:
            raise harness.Boom("add")
        self.names.add(name)


def plain_flags(fdp):
    """A collection whose membership is plain: the model applies."""
    names = [n for n in NAMES if fdp.ConsumeBool()]
    extra = [harness.text(fdp, 4)] if fdp.ConsumeBool() else []
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return Recorder(names + extra)
    if kind == 1:
        return frozenset(names + extra)
    if kind == 2:
        return list(names + extra)
    if kind == 3:
        return tuple(names + extra)
    if kind == 4:
        return dict.fromkeys(names + extra)
    if kind == 5:
        return " ".join(names)  # membership is a substring test
    return set(names + extra)


def scan_property(fdp):
    src = harness.text(fdp, 24)
    size, flags = _Tcl_ScanElement(src)
    assert size == 2 * len(src) + 2 and type(flags) is set, (src, size, flags)
    assert flags <= set(NAMES) and (D not in flags or B in flags), (src, flags)
    assert src or U in flags
    assert flags == scan_element(src), (src, flags, scan_element(src))
    converted = _Tcl_ConvertElement(src, flags)
    assert type(converted) is str
    if harness.tcl_safe(src):
        assert harness.tcl_split(converted) == (src,) or (src == "" and converted == "{}"), (
            src,
            flags,
            converted,
        )
        tcl = harness.TK.call("format", "%s", ("z", src))
        assert tcl == "z " + converted, (src, flags, converted, tcl)


def convert_property(fdp):
    src = harness.text(fdp, 24)
    flags = plain_flags(fdp)
    before = set(flags) if not isinstance(flags, str) else None
    expected, adds = convert_element(src, flags), adds_unmatched(src, flags)
    if adds and not hasattr(flags, "add"):
        try:
            _Tcl_ConvertElement(src, flags)
        except AttributeError:
            return
        raise AssertionError(f"no AttributeError for {src!r} with {flags!r}")
    converted = _Tcl_ConvertElement(src, flags)
    assert converted == expected, (src, flags, converted, expected)
    if isinstance(flags, Recorder):
        assert flags.adds == int(adds) and (B in flags or not adds), (src, before, flags)
    elif before is not None and not adds:
        assert set(flags) == before
    if B in flags or (src and src[0] == "{" and (U not in flags or D in flags)):
        # Backslash quoting with every brace escaped reads back whatever the text.
        if converted != "{%s}" % src and harness.tcl_safe(src):
            assert harness.tcl_split(converted) == (src,), (src, flags, converted)


def hostile(fdp):
    src = harness.hostile(fdp, 2) if fdp.ConsumeBool() else harness.text(fdp)
    flags = (
        OddFlags(fdp)
        if fdp.ConsumeBool()
        else fdp.PickValueInList([None, 0, object(), b"USE_BRACES", [U, [B]], "", {U: None}])
    )
    try:
        if fdp.ConsumeBool():
            _Tcl_ScanElement(src)
        else:
            _Tcl_ConvertElement(src, flags)
    except Exception as exc:
        if not harness.allowed_error(exc):
            raise


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 2)
    if mode == 0:
        scan_property(fdp)
    elif mode == 1:
        convert_property(fdp)
    else:
        hostile(fdp)


if __name__ == "__main__":
    harness.main(TestOneInput)

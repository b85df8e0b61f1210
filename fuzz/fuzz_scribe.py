"""Fuzz target: scribe() and tclobj() on random nested values and hostile objects.

Properties, for well-formed values (no hook raises, hooks agree with each other):
- scribe() gives text, and Tcl splits it back into the same items at every level; a list of
  texts is exactly what Tcl's own list formatting writes;
- scribe(tclobj(v)) == scribe(v), and tclobj() gives only values the binding passes natively;
- the helper functions agree with scribe() and tclobj().
Hostile values (hooks and protocol methods that raise, return odd types or change the
container under conversion, self-containing and very deep containers) may fail only with the
errors they cause.
"""

import sys
import tkinter  # noqa: F401  (loaded before the instrumentation: not worth tracing)

import atheris

with atheris.instrument_imports():
    import harness

    from ortan.tcl.scribe import (
        _scribe_from_mapping,
        _tcl_UpdateStringOfList,
        _tclobj_from_mapping,
        _tclobj_from_sequence,
        scribe,
        tclobj,
    )

import _tkinter

NATIVE = (str, bytes, bool, float, _tkinter.Tcl_Obj)


def check_native(v):
    """tclobj() results hold only what the Tcl binding passes natively."""
    if type(v) is tuple:
        for item in v:
            check_native(item)
    elif type(v) is int:
        assert -sys.maxsize - 1 <= v <= sys.maxsize, v
    else:
        assert isinstance(v, NATIVE), (type(v), v)


def well_formed(fdp):
    v = harness.value(fdp)
    text = scribe(v)
    assert type(text) is str, (v, text)
    assert scribe(tclobj(v)) == text, (v, tclobj(v), text)
    expected = harness.shape(v, scribe)
    if expected is not None:  # hooks inside may give anything
        check_native(tclobj(v))
    if type(v) in (list, tuple):
        assert _tcl_UpdateStringOfList(v) == text
        if all(type(item) is str and harness.tcl_safe(item) for item in v):
            # A list of texts is written as Tcl's own list formatting writes it.
            tcl = harness.TK.call("format", "%s", tuple(v))
            assert tcl == text, (v, text, tcl)
        assert _tclobj_from_sequence(v) == tclobj(v)
    if type(v) is dict:
        assert _scribe_from_mapping(v) == text
        assert _tclobj_from_mapping(v) == tclobj(v)
    if expected is not None and harness.leaves_tcl_safe(expected):
        assert harness.matches(text, expected), (v, text, expected)


def hostile(fdp):
    v = harness.deep(fdp) if fdp.ConsumeProbability() < 0.05 else harness.hostile(fdp)
    op = fdp.PickValueInList(
        [
            scribe,
            tclobj,
            _tcl_UpdateStringOfList,
            _scribe_from_mapping,
            _tclobj_from_sequence,
            _tclobj_from_mapping,
        ]
    )
    try:
        op(v)
    except Exception as exc:
        if not harness.allowed_error(exc):
            raise


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        well_formed(fdp)
    else:
        hostile(fdp)


if __name__ == "__main__":
    harness.main(TestOneInput)

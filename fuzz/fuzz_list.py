"""Fuzz target: GetListFromAny on random bytes as text, odd values and odd interp values.

Properties:
- for text that the Tcl binding can carry (no NUL, no lone surrogate), GetListFromAny agrees
  with Tcl's own list parser: the same elements, or a TclError where Tcl fails, carrying Tcl's
  message when an interpreter is given and "invalid list element" without one;
- exact ints, floats and bools come back as a one-element tuple, sequences and sets as the
  tuple of their items (an exact tuple as itself), None as the empty tuple;
- anything else (hostile __str__, interpreters of the wrong kind, lone surrogates) fails only
  with its own error: TclError, ValueError (including Unicode errors), TypeError, Boom; a raw
  interpreter address never met through its tkinter object is refused with RuntimeError.
"""

import tkinter

import atheris

with atheris.instrument_imports():
    import harness

from collections.abc import Sequence, Set

from ortan.tcl.internal import GetListFromAny, Tcl_Interp_p

TclError = tkinter.TclError


class OddTk(tkinter.Tk):
    """A Tk whose interpaddr() raises or answers what is not an address."""

    tk = None

    def __init__(self, answer):
        self.answer = answer

    def interpaddr(self):
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer


class BadStr:
    def __init__(self, result):
        self.result = result

    def __str__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


ADDRESS = harness.TK.interpaddr()
# Meeting the interpreter through its tkinter object makes its raw address usable: the module
# then knows the interpreter's thread. An address never met is refused (RuntimeError).
GetListFromAny("x", harness.TCL)
UNSEEN = Tcl_Interp_p(ADDRESS + 64)


def interp_value(fdp):
    """(interp, whether errors carry Tcl's message, whether it is a valid interpreter).

    Validity None: no promise either way (a 2**70 address wraps to null in ctypes)."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 2:
        return None, False, True
    if kind == 3:
        return harness.TCL, True, True
    if kind == 4:
        return Tcl_Interp_p(ADDRESS), True, True
    if kind == 5:
        return Tcl_Interp_p(), False, True
    if kind == 6:
        return OddTk(fdp.PickValueInList([None, 0])), False, True
    if kind == 7:
        if fdp.ConsumeBool():
            return OddTk(2**70), False, None
        return OddTk(fdp.PickValueInList([harness.Boom("interpaddr"), "x", 2.5])), False, False
    return (
        fdp.PickValueInList([harness.TK, 0, ADDRESS, "interp", object(), True, UNSEEN]),
        False,
        False,
    )


def raw_text(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return harness.text(fdp, 40)
    data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    return data.decode(
        ("utf-8", "latin-1", "utf-8")[kind - 1], ("replace", "strict", "surrogateescape")[kind - 1]
    )


def check_text(fdp):
    text = raw_text(fdp)
    interp, tcl_message, valid = interp_value(fdp)
    try:
        result = GetListFromAny(text, interp)
        error = None
    except Exception as exc:
        result, error = None, exc
    if valid is None:
        if error is not None and not isinstance(
            error, (TclError, ValueError, TypeError, OverflowError)
        ):
            raise error
        return
    if not valid:
        if error is None:
            assert text == "", (text, interp, result)  # the library was called: must fail
        elif not isinstance(
            error, (ValueError, TypeError, OverflowError, RuntimeError, harness.Boom)
        ):
            raise error
        elif interp is UNSEEN:  # or the text's own encoding error, found first
            assert isinstance(error, (RuntimeError, UnicodeError)), (text, error)
        return
    if "\x00" in text or not harness.tcl_safe(text):
        if error is not None and not isinstance(error, (TclError, ValueError)):
            raise error
        return
    try:
        expected = harness.tcl_split(text)
        tcl_error = None
    except TclError as exc:
        expected, tcl_error = None, exc
    if tcl_error is not None:
        assert isinstance(error, TclError), (text, interp, result, tcl_error)
        if tcl_message:
            assert str(error) == str(tcl_error), (text, str(error), str(tcl_error))
        else:
            assert str(error) == "invalid list element", (text, str(error))
        return
    if error is not None:
        raise error
    assert type(result) is tuple and result == expected, (text, result, expected)


def check_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind <= 2:
        obj = harness.value(fdp, 2)
    elif kind == 3:
        obj = harness.hostile(fdp, 2)
    elif kind == 4:
        obj = BadStr(fdp.PickValueInList([harness.Boom("str"), 5, "a {b", "x y", "\ud800"]))
    elif kind == 5:
        obj = harness.TK.call(
            "dict", "create", harness.text(fdp, 8, False), harness.text(fdp, 8, False)
        )
    else:
        obj = harness.Number(fdp.ConsumeInt(4))
    try:
        result = GetListFromAny(obj)
    except Exception as exc:
        if isinstance(
            exc,
            (
                TclError,
                ValueError,
                TypeError,
                harness.Boom,
                RecursionError,
                RuntimeError,
                KeyError,
                IndexError,
            ),
        ):
            return
        raise
    if type(obj) in (int, float, bool):
        assert result == (obj,) or result[0] != result[0], (obj, result)
    elif type(obj) is tuple:
        assert result is obj
    elif obj is None:
        assert result == ()
    elif isinstance(obj, (Sequence, Set)):
        pass  # tuple(obj); a hostile object may answer differently the second time
    else:
        assert type(result) is tuple and all(type(e) is str for e in result), (obj, result)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeProbability() < 0.7:
        check_text(fdp)
    else:
        check_value(fdp)


if __name__ == "__main__":
    harness.main(TestOneInput)

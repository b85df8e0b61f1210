"""Fuzz target: the namespace name functions of TclNamespace (split, normalize, join, tail,
qualifiers) on names of colons and odd values.

Properties:
- each function gives exactly what the name rules give (a model of them below, on scribe() of
  every argument), including the ValueError "Invalid Tcl namespace '%s'";
- normalize() is idempotent, join() of one name is normalize() of it, split() of a
  normalized name joins back to it, and tail() and qualifiers() never raise for text;
- values whose conversion fails (hostile objects) fail only with their own errors.
"""

import tkinter  # noqa: F401  (loaded before the instrumentation: not worth tracing)

import atheris

with atheris.instrument_imports():
    import harness

from ortan.tcl.namespace import TclNamespace
from ortan.tcl.scribe import scribe

NAMES = "::::::::ab:c x{}."


def model_split(string):
    string = scribe(string)
    parts = [p for p in string.split("::") if p]
    if any(":" in p for p in parts):
        raise ValueError("Invalid Tcl namespace '%s'" % string)
    return [""] + parts if string.startswith("::") else parts


def model_normalize(string):
    return "::".join(model_split(string))


def model_join(string, *args):
    string = scribe(string)
    for arg in args:
        arg = scribe(arg)
        if not string or arg.startswith("::"):
            string = arg
        elif arg:
            string = string + "::" + arg
    return model_normalize(string)


def model_tail(string):
    string = scribe(string)
    p = string.rfind("::")
    return string if p == -1 else string[p + 2 :]


def model_qualifiers(string):
    string = scribe(string)
    p = string.rfind("::")
    if p == -1:
        return ""
    while p > 0 and string[p - 1] == ":":
        p -= 1
    return string[:p]


def outcome(f, *args):
    try:
        return ("ok", f(*args))
    except ValueError as exc:
        return ("ValueError", str(exc))


def name(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 6:
        return harness.text(fdp, 14, alphabet=NAMES)
    if kind == 7:
        return harness.text(fdp, 10)
    if kind == 8:
        return harness.value(fdp, 2)  # converted by scribe() first
    return harness.ScribeHook(harness.text(fdp, 8, alphabet=NAMES))


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeProbability() < 0.1:
        args = [harness.hostile(fdp, 2) for _ in range(fdp.ConsumeIntInRange(1, 3))]
        f = fdp.PickValueInList(
            [
                TclNamespace.split,
                TclNamespace.normalize,
                TclNamespace.join,
                TclNamespace.tail,
                TclNamespace.qualifiers,
            ]
        )
        try:
            f(*args) if f is TclNamespace.join else f(args[0])
        except Exception as exc:
            if not harness.allowed_error(exc):
                raise
        return
    s = name(fdp)
    args = [name(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    for ours, model in [
        (TclNamespace.split, model_split),
        (TclNamespace.normalize, model_normalize),
        (TclNamespace.tail, model_tail),
        (TclNamespace.qualifiers, model_qualifiers),
    ]:
        got, expected = outcome(ours, s), outcome(model, s)
        assert got == expected, (ours.__name__, s, got, expected)
    got, expected = outcome(TclNamespace.join, s, *args), outcome(model_join, s, *args)
    assert got == expected, ("join", s, args, got, expected)
    status, normal = outcome(TclNamespace.normalize, s)
    if status == "ok":
        assert TclNamespace.normalize(normal) == normal
        assert TclNamespace.join(s) == normal
        assert "::".join(TclNamespace.split(normal)) == normal
        assert TclNamespace.join(TclNamespace.qualifiers(normal), TclNamespace.tail(normal)) in (
            normal,
            TclNamespace.tail(normal),
        ), s


if __name__ == "__main__":
    harness.main(TestOneInput)

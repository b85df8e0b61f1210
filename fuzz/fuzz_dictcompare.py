"""Fuzz target: DictionaryCompare on texts of any code points.

Properties:
- antisymmetry: sign(DictionaryCompare(a, b)) == -sign(DictionaryCompare(b, a)), and a text
  compares equal to itself;
- the result is exactly that of the ordering rules (a model of them below), including the
  ValueError for a character whose lower case is more than one character;
- arguments that are not text are compared by their str(); a failing str() propagates.
"""

import tkinter  # noqa: F401  (loaded before the instrumentation: not worth tracing)

import atheris

with atheris.instrument_imports():
    import harness

try:
    from ortan.tcl.internal import DictionaryCompare
except ImportError as exc:
    harness.skip(f"ortan.tcl.internal: {exc}")


def code(c):
    if len(c) != 1:  # the lower case of U+0130 is two characters
        raise ValueError("only single characters can be converted")
    return ord(c)


def model(left, right, simple_lower=False):
    """Dictionary order of two texts, step by step as the rules describe it.

    With `simple_lower`, a character whose lower case is two characters (U+0130) takes the
    first of them, as Tcl does, instead of failing."""
    left, right = str(left), str(right)
    il = ir = 0
    secondary = 0

    def at(s, i):
        return s[i] if i < len(s) else "\x00"

    def digit(c):
        return c.isdigit()

    diff = 0
    while True:
        if digit(at(right, ir)) and digit(at(left, il)):
            zeros = 0
            while at(right, ir) == "0" and digit(at(right, ir + 1)):
                ir += 1
                zeros -= 1
            while at(left, il) == "0" and digit(at(left, il + 1)):
                il += 1
                zeros += 1
            if secondary == 0:
                secondary = zeros
            diff = 0
            while True:
                if diff == 0:
                    diff = ord(at(left, il)) - ord(at(right, ir))
                ir += 1
                il += 1
                if not digit(at(right, ir)):
                    if digit(at(left, il)):
                        return 1
                    if diff != 0:
                        return diff
                    break
                elif not digit(at(left, il)):
                    return -1
            continue
        if il < len(left) and ir < len(right):
            ul, ur = left[il], right[ir]
            il += 1
            ir += 1
            ll, lr = ul.lower(), ur.lower()
            if simple_lower:
                ll, lr = ll[0], lr[0]
        else:
            diff = ord(at(left, il)) - ord(at(right, ir))
            break
        diff = code(ll) - code(lr)
        if diff != 0:
            return diff
        if secondary == 0:
            secondary = ord(ul) - ord(ur)
    return diff if diff != 0 else secondary


def outcome(f, a, b, **kw):
    try:
        return f(a, b, **kw)
    except (ValueError, TypeError) as exc:
        return type(exc)


def sign(x):
    return (x > 0) - (x < 0) if isinstance(x, int) else x


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    alphabet = fdp.PickValueInList([harness.DIGITS + "aAbB", harness.SPECIAL])
    a = harness.text(fdp, 12, alphabet=alphabet)
    b = a if fdp.ConsumeProbability() < 0.05 else harness.text(fdp, 12, alphabet=alphabet)
    if fdp.ConsumeProbability() < 0.1:
        # Shared prefixes make the digit runs and tie-breaks meet.
        b = a[: fdp.ConsumeIntInRange(0, len(a))] + b
    ab, ba = outcome(DictionaryCompare, a, b), outcome(DictionaryCompare, b, a)
    assert ab in (outcome(model, a, b), outcome(model, a, b, simple_lower=True)), (
        a,
        b,
        ab,
        outcome(model, a, b),
    )
    assert sign(ab) == (-sign(ba) if isinstance(ab, int) else ba), (a, b, ab, ba)
    if isinstance(outcome(DictionaryCompare, a, a), int):
        assert DictionaryCompare(a, a) == 0, a
    if fdp.ConsumeProbability() < 0.1:
        odd = fdp.PickValueInList(
            [10, 2.5, None, harness.Number(7), ["x"], harness.Hostile(fdp, 1)]
        )
        try:
            got = DictionaryCompare(odd, a)
        except Exception as exc:
            if not isinstance(exc, (harness.Boom, TypeError, ValueError)):
                raise
        else:
            assert got in (
                outcome(model, str(odd), a),
                outcome(model, str(odd), a, simple_lower=True),
            )


if __name__ == "__main__":
    harness.main(TestOneInput)

"""Fuzz target: DictionaryCompare on texts of any code points.

Properties:
- antisymmetry: sign(DictionaryCompare(a, b)) == -sign(DictionaryCompare(b, a)), and two texts
  compare equal exactly when they are the same text;
- the result is exactly that of the ordering rules (the model in benchmarks/dictionary_model.py),
  which DictionaryCompare follows with the simple lower case (U+0130 compares as "i"); NUL is
  a character, and a text that agrees with a shorter one up to its end is the greater;
- dictionary_key orders two texts as DictionaryCompare does, in all six comparisons;
- arguments that are not text are compared by their str(); a failing str() propagates.
"""

import os
import sys
import tkinter  # noqa: F401  (loaded before the instrumentation: not worth tracing)

import atheris

# The plain-Python model of the order lives with the benchmarks, which time it too.
sys.path.insert(1, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

with atheris.instrument_imports():
    import harness

    from benchmarks.dictionary_model import dictionary_compare

from ortan.tcl.internal import DictionaryCompare, dictionary_key


def sign(x):
    return (x > 0) - (x < 0)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    alphabet = fdp.PickValueInList([harness.DIGITS + "aAbB", harness.SPECIAL])
    a = harness.text(fdp, 12, alphabet=alphabet)
    b = a if fdp.ConsumeProbability() < 0.05 else harness.text(fdp, 12, alphabet=alphabet)
    if fdp.ConsumeProbability() < 0.1:
        # Shared prefixes make the digit runs and tie-breaks meet.
        b = a[: fdp.ConsumeIntInRange(0, len(a))] + b
    ab, ba = DictionaryCompare(a, b), DictionaryCompare(b, a)
    assert ab == dictionary_compare(a, b), (a, b, ab, dictionary_compare(a, b))
    assert sign(ab) == -sign(ba), (a, b, ab, ba)
    assert DictionaryCompare(a, a) == 0, a
    assert (ab == 0) == (a == b), (a, b, ab)  # only equal texts compare equal
    ka, kb = dictionary_key(a), dictionary_key(b)
    got = (ka < kb, ka <= kb, ka == kb, ka != kb, ka > kb, ka >= kb)
    assert got == (ab < 0, ab <= 0, ab == 0, ab != 0, ab > 0, ab >= 0), (a, b, ab, got)
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
            assert got == dictionary_compare(str(odd), a), (odd, a, got)


if __name__ == "__main__":
    harness.main(TestOneInput)

"""The host's lossless cast of a text in plain Python: the model that the benchmarks time as the
anchor of cast_any (and that a test can hold cast_any against).

int(t) if str(int(t)) == t, else float(t) if finite and repr(float(t)) == t, else t: a text
becomes a number only when the number writes back as the same text.
"""

import math


def cast_text(text):
    try:
        if text.isascii() and text.isdigit():  # the common case, without int()'s round trip
            return int(text) if text[0] != "0" or text == "0" else text
        number = int(text)
        if str(number) == text:
            return number
    except ValueError:
        pass
    try:
        number = float(text)
        if math.isfinite(number) and repr(number) == text:
            return number
    except ValueError:
        pass
    return text

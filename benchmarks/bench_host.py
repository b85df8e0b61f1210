"""The host interpreter's casts: the C++ cast_any against the same rule in plain Python.

The quick call casts its result once per call through the host's cast_any, so the row that
matters is a plain str result. The anchors are Python host methods: the lossless rule written
the fastest plain-Python way (digits first, then int() and float() with their round trips),
and the host's previous regular-expression cast, which guessed numbers from text. Single casts
are timed net of the lambda that makes each call.
"""

import re

import ortan.tcl
from benchmarks.cast_model import cast_text as py_cast_text
from benchmarks.common import Row, best_time, main

CALLS = 200_000


def per_call(func, calls=CALLS, repeat=7):
    return best_time(func, repeat=repeat, number=calls)


def net_per_call(func):
    """per_call without the cost of calling the lambda itself (tens of ns, near a cast's own)."""
    return max(1e-9, per_call(func) - per_call(lambda: None))


# --- the lossless rule in plain Python: the anchor -------------------------------------------


class PyHost:
    def cast_any(self, value):
        if type(value) is str:
            return py_cast_text(value)
        return value


# --- the host's previous cast (numbers guessed by regular expressions) ------------------------

_DECIMAL = re.compile(r"\s*[-+]?[0-9]+\s*\Z")
_PREFIXED = re.compile(r"\s*[-+]?0(?:[xX][0-9a-fA-F]+|[oO][0-7]+|[bB][01]+)\s*\Z")
_DOUBLE = re.compile(
    r"\s*[-+]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?|inf(?:inity)?|nan)\s*\Z",
    re.IGNORECASE,
)
_NUMBER_START = frozenset("0123456789+-. \t\n\r\f\viInN")


def old_cast_text(text):
    if not text or text[0] not in _NUMBER_START:
        return text
    if _DECIMAL.match(text):
        return int(text)
    if _PREFIXED.match(text):
        return int(text.strip(), 0)
    if _DOUBLE.match(text):
        return float(text)
    return text


class OldHost:
    def cast_any(self, value):
        if type(value) is str:
            if value.isascii() and value.isdigit():
                return int(value)
            return old_cast_text(value)
        return value


class OldCastInterpreter(ortan.tcl.Interpreter):
    cast_any = OldHost.cast_any


# ------------------------------------------------------------------------------------------------


def run():
    tcl = ortan.tcl.Interpreter()
    py_host, old_host = PyHost(), OldHost()
    rows = []
    for label, text in (("'1'", "1"), ("'hello world'", "hello world"), ("'1.5'", "1.5"),
                        ("'010'", "010")):
        assert tcl.cast_any(text) == py_host.cast_any(text)
        ours = net_per_call(lambda: tcl.cast_any(text))
        anchor = net_per_call(lambda: py_host.cast_any(text))
        rows.append(Row(f"tcl.cast_any({label})", ours, anchor, "same rule in Python",
                        "<= 0.5"))
    ours = net_per_call(lambda: tcl.cast_any("1"))
    rows.append(Row("tcl.cast_any('1')", ours, net_per_call(lambda: old_host.cast_any("1")),
                    "previous Python cast", "info"))
    # The whole quick call, once with this host and once with the previous Python cast.
    old_tcl = OldCastInterpreter()
    ours = per_call(lambda: tcl.hop.set("::x", 1), calls=20_000)
    rows.append(Row("tcl.hop.set('::x', 1)", ours,
                    per_call(lambda: old_tcl.hop.set("::x", 1), calls=20_000),
                    "same, previous Python cast", "info"))
    pairs = " ".join(f"key{i} {i}" for i in range(1000))
    assert tcl.cast_dict(pairs) == dict(zip(pairs.split()[::2], pairs.split()[1::2]))

    def py_cast_dict():
        items = ortan.tcl.cast_list(pairs)
        return {str(k): v for k, v in zip(items[::2], items[1::2])}

    rows.append(Row("tcl.cast_dict(1,000 pairs of text)", per_call(lambda: tcl.cast_dict(pairs),
                                                                    calls=500),
                    per_call(py_cast_dict, calls=500), "split + dict comprehension", "<= 1"))
    return rows


if __name__ == "__main__":
    main(run)

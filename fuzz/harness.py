"""Shared pieces of the fuzz targets: input decoding, value generators, hostile objects.

Every target is a script `fuzz/fuzz_<name>.py` that builds its inputs from the fuzzer's bytes
with the generators here and checks a property; tools/fuzz runs them. A target raises (and so
reports a crash with the input saved) when an operation fails in a way its contract does not
allow or a property does not hold. Expected failures of hostile inputs are caught.
"""

import collections
import collections.abc
import enum
import gc
import sys
import tkinter
import types

import atheris

# One interpreter per process: creating one per input would dominate the run time.
TCL = tkinter.Tcl()
TK = TCL.tk

# Characters that matter to Tcl's list syntax, namespace names, keyed-list keys and dictionary
# order, with a few odd ones: NUL, a character whose lower case is two characters (U+0130), the
# Kelvin sign, non-ASCII digits, a character outside the BMP and a lone surrogate.
SPECIAL = (
    '{}{}[]$;\\\\"  \t\n\r\f\v#::::..0000123456789aAbBzZ_-'
    "\x00\u0130\u212a\u00df\u0663\u0660\u00b2\u00e9\U0001f600\ud800"
)
DIGITS = "0000123456789\u0660\u0663\u00b2\U0001d7d8"


class Boom(Exception):
    """Raised by hostile objects: expected to propagate unchanged."""


def main(test_one_input):
    """Runs a target. Every function and method of the target's own script is instrumented: its
    checks (and models of the rules, which branch as the native code does) guide the fuzzer."""
    target = sys.modules[test_one_input.__module__]
    for obj in list(vars(target).values()):
        members = vars(obj).values() if isinstance(obj, type) else [obj]
        for member in members:
            if isinstance(member, types.FunctionType) and member.__module__ == target.__name__:
                atheris.instrument_func(member)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


# ---------------------------------------------------------------------------------------------
# Texts.


def text(fdp, max_len=16, surrogates=True, alphabet=SPECIAL):
    """A short text: mostly from `alphabet`, sometimes any code points."""
    mode = fdp.ConsumeIntInRange(0, 5)
    if mode == 0:
        return fdp.ConsumeUnicodeNoSurrogates(max_len)
    if mode == 1 and surrogates:
        return fdp.ConsumeUnicode(max_len)
    n = fdp.ConsumeIntInRange(0, max_len)
    chars = [alphabet[fdp.ConsumeIntInRange(0, len(alphabet) - 1)] for _ in range(n)]
    s = "".join(chars)
    return s if surrogates else s.replace("\ud800", "?")


def tcl_safe(s):
    """True when the Tcl binding carries the text unchanged (it cannot encode surrogates)."""
    try:
        s.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def tcl_split(s):
    """The elements of a Tcl list text as Tcl itself reads them (TclError when invalid)."""
    result = TK.call("lrange", s, 0, "end")
    return () if result == "" else tuple(str(e) for e in result)


# ---------------------------------------------------------------------------------------------
# Values: well-formed ones (no hooks, nothing raises) and hostile ones.


class Color(enum.IntEnum):
    RED = 1
    BLUE = 200


class Text(str):
    pass


class Number(int):
    pass


class Seq(collections.abc.Sequence):
    """A Sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class Map(collections.abc.Mapping):
    def __init__(self, pairs):
        self.data = dict(pairs)

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class TclHook:
    """Converts through __tclobj__ only: scribe() and tclobj() agree on it."""

    def __init__(self, value):
        self.value = value

    def __tclobj__(self):
        return self.value


class ScribeHook:
    """Converts through __scribe__ only, to text: scribe() and tclobj() agree on it."""

    def __init__(self, text):
        self.text = text

    def __scribe__(self):
        return self.text


def leaf(fdp, hashable=False):
    kind = fdp.ConsumeIntInRange(0, 12)
    if kind <= 4:
        return text(fdp)
    if kind == 5:
        return fdp.ConsumeIntInRange(-1000, 1000)
    if kind == 6:
        return fdp.PickValueInList(
            [sys.maxsize, -sys.maxsize - 1, sys.maxsize + 1, -sys.maxsize - 2, 2**100, 0]
        )
    if kind == 7:
        return fdp.PickValueInList(
            [0.0, -0.0, 1.5, 1e300, float("inf"), float("-inf"), float("nan")]
        )
    if kind == 8:
        return fdp.ConsumeBool()
    if kind == 9:
        return None
    if kind == 10:
        return Text(text(fdp))
    if kind == 11:
        return Number(fdp.ConsumeIntInRange(-5, 5)) if fdp.ConsumeBool() else Color.BLUE
    return (
        fdp.ConsumeBytes(4)
        if hashable
        else fdp.PickValueInList(
            [
                fdp.ConsumeBytes(4),
                bytearray(fdp.ConsumeBytes(3)),
                range(fdp.ConsumeIntInRange(0, 4)),
            ]
        )
    )


def value(fdp, depth=4):
    """A well-formed value: any mix of the kinds scribe() knows, and consistent hooks."""
    if depth <= 0 or fdp.ConsumeProbability() < 0.45:
        return leaf(fdp)
    n = fdp.ConsumeIntInRange(0, 4)
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return tuple(value(fdp, depth - 1) for _ in range(n))
    if kind == 1:
        return {leaf(fdp, hashable=True): value(fdp, depth - 1) for _ in range(n)}
    if kind == 2:
        return {leaf(fdp, hashable=True) for _ in range(n)}
    if kind == 3:
        return Seq(value(fdp, depth - 1) for _ in range(n))
    if kind == 4:
        return Map((leaf(fdp, hashable=True), value(fdp, depth - 1)) for _ in range(n))
    if kind == 5:
        return collections.deque(value(fdp, depth - 1) for _ in range(n))
    if kind == 6:
        return TclHook(value(fdp, depth - 1))
    if kind == 7:
        return ScribeHook(text(fdp))
    if kind == 8:
        return {leaf(fdp, hashable=True): n for _ in range(n)}.keys()
    return [value(fdp, depth - 1) for _ in range(n)]


def shape(v, scribe):
    """How Tcl reads scribe(v): a tuple of the shapes of a container's items, or a leaf's text.

    None when the value is not a plain tree (the caller then checks no round trip).
    """
    if isinstance(v, (TclHook, ScribeHook)):
        return None
    if v is None or isinstance(v, (str, bool, int, float)):
        return scribe(v)
    if isinstance(v, collections.abc.Mapping):
        flat = []
        for k in v:
            flat += [k, v[k]]
        v = flat
    if isinstance(v, (collections.abc.Sequence, collections.abc.Set)):
        items = [shape(item, scribe) for item in v]
        return None if any(item is None for item in items) else tuple(items)
    return None


def matches(tcl_text, expected):
    """True when Tcl reads `tcl_text` as the shape `expected`."""
    if isinstance(expected, str):
        return tcl_text == expected
    elements = tcl_split(tcl_text)
    return len(elements) == len(expected) and all(map(matches, elements, expected))


def leaves_tcl_safe(expected):
    if isinstance(expected, str):
        return tcl_safe(expected)
    return all(leaves_tcl_safe(e) for e in expected)


# Hostile objects: hooks and protocol methods that raise, return odd types, or change the
# container being converted while it is converted.


def odd_result(fdp, depth):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        raise Boom("hook")
    if kind == 1:
        return None
    if kind == 2:
        return 42
    if kind == 3:
        return b"\xff"
    if kind == 4:
        return [hostile(fdp, depth - 1), "x"]
    if kind == 5:
        return hostile(fdp, depth - 1)
    if kind == 6:
        return object()
    if kind == 7:
        gc.collect()
        return text(fdp)
    if kind == 8:
        return Text(text(fdp))
    return text(fdp)


class Hostile:
    """An object whose hooks, __str__, iteration and item access follow a script of choices."""

    def __init__(self, fdp, depth):
        self.fdp = fdp
        self.depth = depth
        self.victim = None  # a container to mutate while it is being converted
        self.mode = fdp.ConsumeIntInRange(0, 11)

    def __getattr__(self, name):
        if name not in ("__scribe__", "__tclobj__"):
            raise AttributeError(name)
        mode = self.mode
        if mode == 0:
            raise Boom(name)  # a lookup error that is not AttributeError propagates
        if mode == 1:
            return 0  # a false hook counts as absent
        if mode == 2:
            return "not callable"
        if mode == 3:
            return Falsy(self.fdp)  # truth test raises
        if mode == 4:
            return self.mutate
        if mode in (5, 6):
            return lambda: odd_result(self.fdp, self.depth)
        raise AttributeError(name)

    def mutate(self):
        victim = self.victim
        if isinstance(victim, list):
            action = self.fdp.ConsumeIntInRange(0, 3)
            if action == 0:
                victim.clear()
            elif action == 1:
                victim.append("appended")  # appending self would never end, as in Python
            elif action == 2:
                victim[:] = ["new"] * 3
            else:
                victim.extend(["a b", "{"] * 50)
        elif isinstance(victim, dict):
            victim.clear() if self.fdp.ConsumeBool() else victim.update({"k2": "v"})
        gc.collect()
        return "mutated"

    def __str__(self):
        if self.mode == 7:
            raise Boom("str")
        if self.mode == 8:
            return 5  # str() raises TypeError
        return "hostile"

    def __iter__(self):
        if self.mode == 9:
            raise Boom("iter")
        return iter([self.fdp.ConsumeIntInRange(0, 3), "a"])


class Falsy:
    def __init__(self, fdp):
        self.fdp = fdp

    def __bool__(self):
        raise Boom("bool")

    def __call__(self):
        return "called"


class BadSeq(collections.abc.Sequence):
    """A Sequence whose length lies or whose items raise."""

    def __init__(self, fdp, depth):
        self.fdp = fdp
        self.items = [hostile(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        self.mode = fdp.ConsumeIntInRange(0, 3)

    def __len__(self):
        if self.mode == 0:
            raise Boom("len")
        return len(self.items) + (5 if self.mode == 1 else 0)

    def __getitem__(self, i):
        if self.mode == 2 and i == 1:
            raise Boom("getitem")
        return self.items[i]

    def __iter__(self):
        if self.mode == 3:
            return iter(BadIter(self.items))
        return super().__iter__()


class BadIter:
    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise Boom("next")
        return self.items.pop()


class BadMap(collections.abc.Mapping):
    """A Mapping whose keys do not all have values, or whose values raise."""

    def __init__(self, fdp, depth):
        self.data = {text(fdp): hostile(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}
        self.extra = fdp.ConsumeBool()

    def __getitem__(self, key):
        if key == "ghost":
            raise KeyError(key)
        return self.data[key]

    def __iter__(self):
        yield from self.data
        if self.extra:
            yield "ghost"

    def __len__(self):
        return len(self.data)


def hostile(fdp, depth=3):
    """A value that may contain hostile objects anywhere (and well-formed parts)."""
    if depth <= 0:
        return leaf(fdp)
    kind = fdp.ConsumeIntInRange(0, 8)
    if kind == 0:
        return leaf(fdp)
    if kind == 1:
        return value(fdp, 2)
    if kind == 2:
        return Hostile(fdp, depth)
    if kind == 3:
        return BadSeq(fdp, depth)
    if kind == 4:
        return BadMap(fdp, depth)
    if kind == 5:
        # A list holding an object that changes it while it is converted.
        items = [hostile(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        h = Hostile(fdp, depth)
        h.mode, h.victim = 4, items
        items.insert(fdp.ConsumeIntInRange(0, len(items)), h)
        items.append(text(fdp))
        return items if fdp.ConsumeBool() else Seq(items)
    if kind == 6:
        h = Hostile(fdp, depth)
        d = {"k": h, text(fdp): hostile(fdp, depth - 1)}
        h.mode, h.victim = 4, d
        return d
    if kind == 7:
        # Containers that hold themselves.
        loop = [text(fdp)]
        loop.append(loop if fdp.ConsumeBool() else [loop])
        return loop
    return [hostile(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]


def deep(fdp):
    """A very deep nesting: the conversion must stop with RecursionError, not overflow.

    The innermost text needs braces at most: one that needs backslashes doubles at every level
    (as in Tcl itself), which would exhaust the memory instead.
    """
    v = fdp.PickValueInList(["", "a", "a b", "{a} b", "[x]"])
    for _ in range(fdp.ConsumeIntInRange(0, 5000)):
        v = [v]
    return v


def allowed_error(exc):
    """Errors a hostile input may cause: what its objects raise, or what Python raises for
    misuse (a hook that is not callable, str() returning a non-text, a dict changed during
    iteration, a too deep recursion). A SystemError means a C API misuse and is never fine."""
    return isinstance(
        exc,
        (
            Boom,
            TypeError,
            RecursionError,
            RuntimeError,
            KeyError,
            IndexError,
            ValueError,
            AttributeError,
        ),
    )

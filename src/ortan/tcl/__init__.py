"""Drive a Tcl interpreter from Python.

The extension modules of this package (``scribe``, ``internal``, ``namespace``, ``nestmap``,
``history``, ``hop``) work on a *host interpreter*: an `Interpreter` here, or this package
module itself, which stands for a default `Interpreter` created on first use.
"""

import functools
import re
import tkinter

import _tkinter

from .internal import GetListFromAny

__all__ = [
    "Interpreter",
    "cast_any",
    "cast_array",
    "cast_boolean",
    "cast_list",
    "default_interpreter",
]

_DECIMAL = re.compile(r"\s*[-+]?[0-9]+\s*\Z")
_PREFIXED = re.compile(r"\s*[-+]?0(?:[xX][0-9a-fA-F]+|[oO][0-7]+|[bB][01]+)\s*\Z")
_DOUBLE = re.compile(
    r"\s*[-+]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?|inf(?:inity)?|nan)\s*\Z",
    re.IGNORECASE,
)
_INTEGER_TYPES = frozenset({"int", "wideInt", "bignum"})


def cast_list(value):
    """Split a Tcl list into a tuple of its elements.

    Text and Tcl objects are split by Tcl's own list rules; a tuple or list is taken as the
    elements already. Raises `tkinter.TclError` for text that is not a valid Tcl list. Needs no
    interpreter.
    """
    if isinstance(value, tuple):
        return value
    if isinstance(value, list):
        return tuple(value)
    return GetListFromAny(value if isinstance(value, str) else str(value))


# Characters that can start Tcl number text; anything else is text at one glance.
_NUMBER_START = frozenset("0123456789+-. \t\n\r\f\viInN")


def _cast_text(text):
    """An int for Tcl integer text, a float for Tcl double text, otherwise the text.

    (A plain str of decimal digits, the common case, `Interpreter.cast_any` converts itself.)
    """
    if not text or text[0] not in _NUMBER_START:
        return text
    if _DECIMAL.match(text):
        return int(text)
    if _PREFIXED.match(text):
        return int(text.strip(), 0)
    if _DOUBLE.match(text):
        return float(text)
    return text


class Interpreter:
    """A host interpreter: one embedded Tcl interpreter (no display) and its companions.

    Attributes: ``tk`` (the tkinter application object), ``history`` (a `History` of the calls
    made through ``hop``), ``hop`` (quick calls: ``interp.hop.ns.proc(1, opt=2)``) and ``vars``
    (the variables of the global namespace as a mapping of text values).
    """

    def __init__(self):
        self._root = tkinter.Tcl()
        self.tk = self._root.tk

    # The companions are made on first use, so that a host whose companion module is unused
    # never imports it; afterwards they are plain instance attributes.

    @functools.cached_property
    def history(self):
        """The `History` of the calls made through ``hop``."""
        from .history import History

        return History()

    @functools.cached_property
    def hop(self):
        """Quick calls on this interpreter: ``interp.hop.ns.proc(1, opt=2)``."""
        from .hop import Hop

        return Hop(self)

    @functools.cached_property
    def vars(self):
        """The variables of the global namespace, as a mapping of text values."""
        from .namespace import TclNamespace

        return TclNamespace("::", tcl=self).vars

    def cast_boolean(self, value):
        """Tcl's boolean rules (1/0, true/false, yes/no, on/off, any case) to a `bool`.

        Raises `tkinter.TclError` for text that is not a Tcl boolean.
        """
        if isinstance(value, bool):
            return value
        return bool(self.tk.getboolean(value))

    def cast_list(self, value):
        """Split a Tcl list (text, Tcl object, tuple) into a tuple of its elements.

        Elements that the binding hands over as Tcl objects (the names from ``info vars``, for
        instance) come back as their text.
        """
        items = cast_list(value)
        if any(isinstance(item, _tkinter.Tcl_Obj) for item in items):
            items = tuple(str(i) if isinstance(i, _tkinter.Tcl_Obj) else i for i in items)
        return items

    def cast_array(self, value):
        """The result of ``array get`` (name, value, name, value, ...) as a `dict`."""
        items = cast_list(value)
        return dict(zip(items[::2], items[1::2]))

    def cast_any(self, value):
        """The nearest Python value of a raw Tcl result.

        An `int` for a Tcl integer, a `float` for a Tcl double, otherwise the text. A Tcl
        object converts by its type (integer and double types as above, anything else as its
        text); a tuple (a Tcl list) is returned unchanged.
        """
        if type(value) is str:
            # Plain decimal digits, the most common result, without a further call.
            if value.isascii() and value.isdigit():
                return int(value)
            return _cast_text(value)
        if isinstance(value, (bool, int, float, tuple)):
            return value
        if isinstance(value, str):
            return _cast_text(value)
        typename = getattr(value, "typename", None)
        if typename in _INTEGER_TYPES or typename == "double":
            return _cast_text(str(value))
        return str(value)


_COMPANIONS = ("history", "hop", "vars")

_default = None


def default_interpreter():
    """The package's default `Interpreter`, created on first use."""
    global _default
    if _default is None:
        _default = Interpreter()
    return _default


def cast_boolean(value):
    """`Interpreter.cast_boolean` on the default interpreter."""
    return default_interpreter().cast_boolean(value)


def cast_array(value):
    """`Interpreter.cast_array` on the default interpreter."""
    return default_interpreter().cast_array(value)


def cast_any(value):
    """`Interpreter.cast_any` on the default interpreter."""
    return default_interpreter().cast_any(value)


def __getattr__(name):
    # The module stands in for its default interpreter: ortan.tcl.tk, .history, .hop, .vars.
    if name == "tk" or name in _COMPANIONS:
        return getattr(default_interpreter(), name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


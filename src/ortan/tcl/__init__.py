"""Drive a Tcl interpreter from Python.

The extension modules of this package (``scribe``, ``internal``, ``namespace``, ``nestmap``,
``history``, ``hop``) work on a *host interpreter*: an `Interpreter` here, or this package
module itself, which stands for a default `Interpreter` created on first use. The casts of raw
Tcl results to Python values (module ``cast``) need no interpreter, except `cast_boolean`.
"""

import functools
import tkinter

import _tkinter

from .cast import HostCasts, cast_any, cast_array, cast_dict, cast_list
from .internal import GetListFromAny

__all__ = [
    "Interpreter",
    "cast_any",
    "cast_array",
    "cast_boolean",
    "cast_dict",
    "cast_list",
    "default_interpreter",
]


class Interpreter(HostCasts):
    """A host interpreter: one Tcl interpreter of tkinter and its companions.

    ``Interpreter()`` makes its own embedded interpreter (no display). ``Interpreter(master)``
    works on an interpreter the program already has: a `tkinter.Tk`, the result of
    `tkinter.Tcl()`, any widget (its interpreter) or the binding's application object. The
    package never destroys that interpreter; it lives as long as tkinter keeps it.

    Attributes: ``tk`` (the tkinter application object), ``history`` (a `History` of the calls
    made through ``hop``), ``hop`` (quick calls: ``interp.hop.ns.proc(1, opt=2)``) and ``vars``
    (the variables of the global namespace as a mapping of text values). The casts
    (``cast_any``, ``cast_list``, ``cast_boolean``, ``cast_array``, ``cast_dict``) come from
    `ortan.tcl.cast.HostCasts`.
    """

    def __init__(self, master=None):
        if master is None:
            self._root = tkinter.Tcl()
            self.tk = self._root.tk
        elif isinstance(master, tkinter.Misc):  # Tk, Tcl() and every widget
            self._root = master._root()
            self.tk = master.tk
        elif isinstance(master, _tkinter.TkappType):
            self._root = None
            self.tk = master
        else:
            raise TypeError(
                "Interpreter() takes a tkinter.Tk, a tkinter.Tcl() result, a widget or a tkinter "
                "application object (or nothing, for an interpreter of its own), not %s"
                % type(master).__name__
            )

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


def _installed_version():
    """The version of the installed distribution that this file belongs to, from its metadata;
    "0+unknown" for a source tree that was never installed (a development build)."""
    # Read on first use: importlib.metadata would add several milliseconds to every import.
    import importlib.metadata
    import os

    try:
        distribution = importlib.metadata.distribution("ortan-tcl")
    except importlib.metadata.PackageNotFoundError:
        return "0+unknown"
    # Another copy may be installed beside the tree this file comes from (PYTHONPATH=src).
    installed = os.path.realpath(distribution.locate_file("ortan/tcl/__init__.py"))
    return distribution.version if installed == os.path.realpath(__file__) else "0+unknown"


def __getattr__(name):
    # The module stands in for its default interpreter: ortan.tcl.tk, .history, .hop, .vars.
    if name == "tk" or name in _COMPANIONS:
        return getattr(default_interpreter(), name)
    if name == "Host":  # for type annotations; its module imports typing
        from ._host import Host

        return Host
    if name == "__version__":
        global __version__
        __version__ = _installed_version()
        return __version__
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


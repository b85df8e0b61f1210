"""`Host`: what the modules of ortan.tcl use of the host interpreter they are given (``tcl=``).

An `ortan.tcl.Interpreter` is one; so is the package module `ortan.tcl` itself, and any object
of a program's own with these members. A type checker holds a ``tcl=`` argument against it. At
run time nothing checks it: this module is loaded only when the name is used
(``ortan.tcl.Host``), so that importing the package does not pay for `typing`.
"""

from typing import Any, MutableMapping, Protocol, Tuple

__all__ = ["Host"]


class Host(Protocol):
    """The host interpreter's members that the wrappers and quick calls use."""

    @property
    def tk(self) -> Any:
        """The tkinter application object of the Tcl interpreter."""

    @property
    def history(self) -> Any:
        """The `History` that quick calls record into."""

    @property
    def vars(self) -> MutableMapping[str, Any]:
        """The global variables as a mapping of text values."""

    def cast_boolean(self, value: Any) -> bool:
        """A raw Tcl result read as a truth value."""

    def cast_list(self, value: Any) -> Tuple[Any, ...]:
        """The elements of a raw Tcl list result."""

    def cast_array(self, value: Any) -> Any:
        """A raw ``array get`` result as a mapping."""

    def cast_any(self, value: Any) -> Any:
        """A raw Tcl result as the nearest Python value."""

"""Private stand-ins for the helpers of the ortan family's sibling packages.

``nestmap`` takes ``AttrDict`` from ``ortan.datastructures`` and ``history`` takes ``get_time``
from ``ortan.utils.utils`` when those sibling distributions are installed; without them they
take the stand-ins here, which behave the same. Their modules belong to the siblings: this
package ships ``ortan/tcl/`` only, so installing or removing it never touches theirs.
"""

import datetime

__all__ = ["AttrDict", "get_time"]


class AttrDict(dict):
    """A dict whose items can also be read, set and deleted as attributes.

    >>> d = AttrDict(a=1)
    >>> d.a, d['a']
    (1, 1)
    """

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None


# The current local date and time as a `datetime.datetime`: get_time().
get_time = datetime.datetime.now

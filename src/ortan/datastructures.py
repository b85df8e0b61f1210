"""Small data structures shared across the ortan packages."""

__all__ = ["AttrDict"]


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

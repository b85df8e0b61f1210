"""The keyed-list mapping rules of Nestmap, written plainly in Python: the model that the fuzz
target fuzz/fuzz_nestmap.py and tests/test_nestmap.py hold Nestmap against.

Each level resolves the first component of a dotted key and hands the rest to the child. A
child that is a `Model` level is walked in a loop here rather than by recursion, so that keys of
any number of levels can be checked; the key is split once into all its components (splitting
at the first "." level by level gives the same components), and a child that is another mapping
(a plain dict stored as a value) gets the rest of the key, joined again, through its own item
protocol. A child that is not a mapping (text, numbers, lists) holds nothing: a key that runs
past it is missing (KeyError with the rest of the key; `in` is false).
"""

from collections.abc import Mapping, MutableMapping, Sequence

VALUE_IS_NOT_A_LEVEL = 'target key "%s" is a value, cannot update value against another keyed list'
TEXT_OR_BYTES = (str, bytes, bytearray, memoryview)


def components(key):
    """The components of a dotted key; `"." in key` fails for a key that is not text."""
    if "." not in key:
        return [key]
    return key.split(".")


def rest_of(parts, i):
    """The key path that is left after the first `i` components."""
    return ".".join(parts[i:])


def is_pair(item):
    """A {key value} pair: a two-element sequence that is neither text, bytes nor a mapping."""
    return (isinstance(item, Sequence) and not isinstance(item, TEXT_OR_BYTES + (Mapping,))
            and len(item) == 2)


def makes_level(value):
    """Whether a value given to the constructor becomes a nested level: a mapping with text keys,
    a sequence of pairs whose first items are distinct texts, or the empty text."""
    if isinstance(value, str):
        return value == ""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return False
    if isinstance(value, Mapping):
        return all(isinstance(key, str) for key in value.keys())
    if isinstance(value, Sequence):
        keys = []
        for item in value:
            if not is_pair(item) or not isinstance(item[0], str):
                return False
            keys.append(item[0])
        return len(set(keys)) == len(keys)
    return False


class Model(dict, MutableMapping):
    """What Nestmap must do (its bases are a dict and MutableMapping, as Nestmap's)."""

    def __init__(self, *args, **kwargs):
        super().__init__()
        dsc = dict(*args, **kwargs)
        for key, val in dsc.items():
            if not isinstance(val, Model) and makes_level(val):
                dsc[key] = Model(val)
        self.update(dsc)

    def __getitem__(self, key):
        parts = components(key)
        level = self
        for i, part in enumerate(parts[:-1]):
            child = dict.__getitem__(level, part)
            if type(child) is not Model:
                if not isinstance(child, Mapping):
                    raise KeyError(rest_of(parts, i + 1))
                return child[rest_of(parts, i + 1)]
            level = child
        return dict.__getitem__(level, parts[-1])

    def __setitem__(self, key, value):
        parts = components(key)
        level = self
        for i, part in enumerate(parts[:-1]):
            try:
                child = dict.__getitem__(level, part)
            except KeyError:
                child = Model()
                dict.__setitem__(level, part, child)
            else:
                if not isinstance(child, Model):
                    raise KeyError(VALUE_IS_NOT_A_LEVEL % part)
            if type(child) is not Model:
                child[rest_of(parts, i + 1)] = value
                return
            level = child
        last = parts[-1]
        if isinstance(value, Model):
            try:
                existing = dict.__getitem__(level, last)
            except KeyError:
                pass
            else:
                if not isinstance(existing, Model):
                    raise KeyError(VALUE_IS_NOT_A_LEVEL % last)
        dict.__setitem__(level, last, value)

    def __contains__(self, key):
        parts = components(key)
        level = self
        for i, part in enumerate(parts[:-1]):
            if not dict.__contains__(level, part):
                return False
            child = dict.__getitem__(level, part)
            if type(child) is not Model:
                return isinstance(child, Mapping) and rest_of(parts, i + 1) in child
            level = child
        return dict.__contains__(level, parts[-1])

    def __delitem__(self, key):
        parts = components(key)
        steps = []  # (parent, component, child) of every level the deletion goes through
        level = self
        for i, part in enumerate(parts[:-1]):
            child = dict.__getitem__(level, part)
            if type(child) is not Model and not isinstance(child, Mapping):
                raise KeyError(rest_of(parts, i + 1))
            steps.append((level, part, child))
            if type(child) is not Model:
                del child[rest_of(parts, i + 1)]
                break
            level = child
        else:
            dict.__delitem__(level, parts[-1])
        # Each level, innermost first, drops the child that the deletion left empty.
        for parent, part, child in reversed(steps):
            if not child:
                dict.__delitem__(parent, part)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault
    has_key = __contains__

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError(f"update() takes at most 1 positional arguments ({len(args)} given)")
        if args:
            other = args[0]
            if isinstance(other, Model):
                for key, val in other.all_items():
                    self[key] = val
            else:
                MutableMapping.update(self, other)
        for key, val in kwargs.items():
            if isinstance(val, Model):
                try:
                    existing = self[key]
                except KeyError:
                    existing = Model()
                    self[key] = existing
                else:
                    if not isinstance(existing, Model):
                        raise KeyError(VALUE_IS_NOT_A_LEVEL % key)
                existing.update(val)
            else:
                self[key] = val

    def all_keys(self):
        keys = []
        for key, val in dict.items(self):
            if isinstance(val, Model):
                keys += [key + "." + sub for sub in val.all_keys()]
            else:
                keys.append(key)
        return keys

    def all_items(self):
        items = []
        for key, val in dict.items(self):
            if isinstance(val, Model):
                items += [(key + "." + sub, v) for sub, v in val.all_items()]
            else:
                items.append((key, val))
        return items

"""Every C++ callable's argument parsing agrees with its __text_signature__: the signature is
written once beside the method table and the parse list once in the function, and this test
holds the two together (nothing else could tell that they drifted apart).

For each public and private function, method, static method and class method of the modules
(found by walking them, so a new one is checked without a line here), the callable is called
with every parameter of its signature: by keyword where the signature allows it, positionally
where it must, and again with all that may be positional given positionally. The calls have
to get past argument parsing (what they do next with the dummy values does not matter); one
positional argument too many, and an unknown keyword, have to be refused unless the signature
takes *args or **kwargs. Also: each module's method descriptor type is its own, named for the module.
"""

import importlib
import inspect
import re

import pytest

MODULES = ["scribe", "internal", "namespace", "nestmap", "history", "hop", "cast"]

# What the argument parsers (ours and CPython's) say when a call does not fit the parameters.
PARSE_ERROR = re.compile(
    r"unexpected keyword argument|missing required argument|required positional argument"
    r"|positional arguments? \(\d+ given\)|multiple values for|takes no (keyword )?arguments"
    r"|needs an argument|takes (at most|exactly|from) |takes \d+ positional arguments? but"
    r"|expected at most \d+ arguments?, got"
)
UNKNOWN = "zz_not_a_parameter"


class Dummy:
    """An argument value: whatever a function does with it, it has passed argument parsing."""

    def __repr__(self):
        return "<dummy>"


def method_type(module):
    """The module's method descriptor type: the type of any method in one of its classes."""
    for cls in classes_of(module):
        for raw in vars(cls).values():
            inner = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
            if type(inner).__name__ == "method" and type(inner).__module__ == module.__name__:
                return type(inner)
    return None


def classes_of(module):
    """The classes the module defines, nested ones (TclNamespace.VariablesView) included."""
    found, todo = [], [module]
    while todo:
        owner = todo.pop()
        for value in list(vars(owner).values()):
            if (
                isinstance(value, type)
                and value.__module__ == module.__name__
                and value not in found
            ):
                found.append(value)
                todo.append(value)
    return found


def callables():
    """(id, callable, receiver) for every C++ callable with a text signature. `receiver` is what
    is passed as the first argument of a method (an instance, or the class of a classmethod);
    None for functions and static methods."""
    cases = []
    for name in MODULES:
        module = importlib.import_module(f"ortan.tcl.{name}")
        own = method_type(module)
        for attr, value in vars(module).items():
            if getattr(value, "__text_signature__", None) is None:
                continue
            if (
                getattr(value, "__self__", None) is module  # a builtin function of the module
                or (isinstance(value, type) and value.__module__ == module.__name__)
                or type(value).__module__ == module.__name__  # a callable object (scribe)
            ):
                cases.append((f"{name}.{attr}", value, None))
        for cls in classes_of(module):
            for attr, raw in vars(cls).items():
                inner = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
                if own is None or type(inner) is not own:
                    continue
                if isinstance(raw, staticmethod):
                    receiver = None
                elif isinstance(raw, classmethod):
                    receiver = cls
                else:
                    receiver = bare_instance(cls)
                cases.append((f"{name}.{cls.__qualname__}.{attr}", inner, receiver))
    return cases


def bare_instance(cls):
    """An instance that no __init__ has run on (an abstract class gets a plain object)."""
    try:
        return cls.__new__(cls)
    except TypeError:
        return object()


def parameters(func, has_receiver):
    params = list(inspect.signature(func).parameters.values())
    if has_receiver:
        assert params and params[0].kind in (
            inspect.Parameter.POSITIONAL_ONLY,
            inspect.Parameter.POSITIONAL_OR_KEYWORD,
        ), f"{func!r}: a method's signature starts with self"
        params = params[1:]
    return params


def outcome(func, args, kwargs):
    """The TypeError of argument parsing, or None when the call got past it."""
    try:
        func(*args, **kwargs)
    except TypeError as exc:
        if PARSE_ERROR.search(str(exc)):
            return str(exc)
    except Exception:  # noqa: BLE001 (whatever comes after the parse is not checked here)
        return None
    return None


CASES = callables()
IDS = [case[0] for case in CASES]


def test_every_module_has_checked_callables():
    modules = {case_id.split(".")[0] for case_id in IDS}
    assert modules == set(MODULES)
    assert len(CASES) > 150


def drift(func, receiver):
    """How the parsing of `func` disagrees with its signature: a list of parse errors."""
    params = parameters(func, receiver is not None)
    head = [] if receiver is None else [receiver]
    kinds = inspect.Parameter
    found = []

    # Every parameter by keyword where it may be given so, positionally where it must.
    args = head + [Dummy() for p in params if p.kind is kinds.POSITIONAL_ONLY]
    kwargs = {
        p.name: Dummy()
        for p in params
        if p.kind in (kinds.POSITIONAL_OR_KEYWORD, kinds.KEYWORD_ONLY)
    }
    error = outcome(func, args, kwargs)
    if error:
        found.append(f"by keyword: {error}")

    # Every parameter that may be positional, positionally.
    positional = head + [
        Dummy() for p in params if p.kind in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD)
    ]
    keyword_only = {p.name: Dummy() for p in params if p.kind is kinds.KEYWORD_ONLY}
    error = outcome(func, positional, keyword_only)
    if error:
        found.append(f"positionally: {error}")

    # One positional argument more than the signature has is refused, unless it takes *args.
    takes_args = any(p.kind is kinds.VAR_POSITIONAL for p in params)
    if not takes_args and outcome(func, positional + [Dummy()], keyword_only) is None:
        found.append("one positional argument too many accepted")

    # A keyword the signature does not name is refused, unless it takes **kwargs.
    if not any(p.kind is kinds.VAR_KEYWORD for p in params):
        error = outcome(func, args, {**kwargs, UNKNOWN: Dummy()})
        # 3.8's keyword parser counts the keywords ("takes at most 1 keyword argument (2 given)")
        # before it names an unknown one.
        counted = error and "takes at most" in error and "keyword argument" in error
        if error is None or not (UNKNOWN in error or "no keyword arguments" in error or counted):
            found.append(f"unknown keyword accepted ({error})")
    return found


@pytest.mark.parametrize("name, func, receiver", CASES, ids=IDS)
def test_parse_list_matches_text_signature(name, func, receiver):
    assert drift(func, receiver) == [], (name, inspect.signature(func))


@pytest.mark.parametrize(
    "params, expected",
    [
        (
            ["self", "marker", "count", "regexp"],
            "by keyword: .*unexpected keyword argument 'regexp'",
        ),
        (["self", "marker", "count"], "one positional argument too many accepted"),
        (["self", "marker", "count", "regex", "extra"], "positionally: .*positional arguments"),
    ],
    ids=["misspelt", "missing", "one more"],
)
def test_a_signature_that_drifted_is_found(monkeypatch, params, expected):
    from ortan.tcl.history import History

    signature = inspect.Signature(
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in params]
    )
    monkeypatch.setattr(History.filter, "__signature__", signature)
    found = drift(History.filter, bare_instance(History))
    assert any(re.match(expected, problem) for problem in found), found


# scribe's callables are builtin functions and converter objects: it has no method type.
@pytest.mark.parametrize("name", [m for m in MODULES if m != "scribe"])
def test_method_type_is_named_for_its_module(name):
    module = importlib.import_module(f"ortan.tcl.{name}")
    own = method_type(module)
    assert (own.__module__, own.__name__) == (module.__name__, "method")
    assert repr(own) == f"<class '{module.__name__}.method'>"


def test_method_types_of_two_modules_are_told_apart():
    from ortan.tcl.history import History
    from ortan.tcl.nestmap import Nestmap

    history_method, nestmap_method = type(History.append), type(Nestmap.update)
    assert history_method is not nestmap_method
    assert history_method.__module__ == "ortan.tcl.history"
    assert nestmap_method.__module__ == "ortan.tcl.nestmap"
    assert history_method.__name__ == nestmap_method.__name__ == "method"

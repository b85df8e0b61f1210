"""The hand-written stubs agree with the modules, and a program using every name checks."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import ortan.tcl

HERE = pathlib.Path(__file__).resolve().parent
# The folder that holds the namespace package `ortan` (it has no __file__ of its own).
PACKAGE_ROOT = pathlib.Path(ortan.tcl.__file__).resolve().parent.parent.parent


@pytest.fixture
def mypy_path(monkeypatch):
    # Check the package that the tests import. An installed one mypy finds by itself (and it
    # refuses site-packages in MYPYPATH); the development tree it is shown.
    if PACKAGE_ROOT.name != "site-packages":
        monkeypatch.setenv("MYPYPATH", str(PACKAGE_ROOT))
    monkeypatch.chdir(HERE)


def reexported_classes():
    """Allowlist patterns for the members of the classes that the modules take from elsewhere.

    The stubs re-export such classes (``collections.abc.Mapping``, ``tkinter.Tk``) because the
    modules hold them. From mypy 2.0 stubtest leaves them to their own module's stubs; before
    it (the mypy for Python 3.8 and 3.9) it checks them member by member, which compares
    typeshed's standard library with this Python's and says nothing about these stubs. Nor
    does ``__slotnames__``, which mypy 2.0 ignores too.
    """
    import importlib
    import re

    for name in MODULES:
        module = importlib.import_module(f"ortan.tcl.{name}")
        for attr, obj in vars(module).items():
            if isinstance(obj, type) and not obj.__module__.startswith("ortan."):
                yield re.escape(f"ortan.tcl.{name}.{attr}.") + ".*"
    # copyreg caches a class's slot names there on the first copy or pickle of an instance.
    yield r"ortan\.tcl\..*\.__slotnames__"


def test_stubs_match_the_modules(mypy_path, tmp_path):
    stubtest = pytest.importorskip("mypy.stubtest")
    allowlist = tmp_path / "reexported.txt"
    allowlist.write_text("\n".join(reexported_classes()) + "\n")
    options = ["--allowlist", str(allowlist), "--ignore-unused-allowlist", "ortan.tcl"]
    assert stubtest.test_stubs(stubtest.parse_options(options)) == 0


def run_mypy(*args):
    """mypy on `args` in a process of its own: mypy raises the recursion limit of the process it
    runs in, past what the C stack holds for the recursion tests of the modules."""
    pytest.importorskip("mypy")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, *args],
        capture_output=True, text=True, timeout=600,
    )
    return run.returncode, run.stdout + run.stderr


def test_sample_program_type_checks(mypy_path):
    status, out = run_mypy("--python-version", "3.11", str(HERE / "typing" / "sample.py"))
    assert status == 0, out


def test_user_program_checks_strictly(mypy_path):
    # assert_type of scribe(), with-blocks and Nestmap look-ups; tcl= against the Host protocol.
    status, out = run_mypy("--config-file", str(HERE / "typing" / "mypy.ini"),
                           str(HERE / "typing" / "checks.py"))
    assert status == 0, out


def readme_program():
    """The README's Python samples as one program: doctest lines without their prompts and
    output, and the plain samples as they are."""
    text = (HERE.parent / "README.md").read_text(encoding="utf-8")
    lines = []
    for block in re.findall(r"```python\n(.*?)```", text, re.S):
        sample = block.splitlines()
        if any(line.startswith(">>>") for line in sample):
            sample = [line[4:] for line in sample if line[:3] in (">>>", "...")]
        lines += sample + [""]
    return "\n".join(lines)


def test_readme_samples_check_strictly(mypy_path, tmp_path):
    program = tmp_path / "readme_samples.py"
    program.write_text(readme_program())
    status, out = run_mypy("--config-file", str(HERE / "typing" / "mypy.ini"), str(program))
    assert status == 0, out


MODULES = ["scribe", "internal", "namespace", "nestmap", "history", "hop", "cast"]
# Special methods whose signatures users see (the rest are Python's own).
SHOWN_DUNDERS = {"__init__", "__call__", "__getitem__", "__setitem__", "__delitem__",
                 "__contains__", "__len__", "__iter__", "__enter__", "__exit__", "__tclobj__",
                 "__getattr__"}


def public_callables():
    import importlib

    for name in MODULES:
        module = importlib.import_module(f"ortan.tcl.{name}")
        for attr, obj in vars(module).items():
            if attr.startswith("__"):
                continue
            if isinstance(obj, type) and obj.__module__ == module.__name__:
                classes = [obj] + [v for v in vars(obj).values() if isinstance(v, type)]
                for cls in classes:
                    for method, value in vars(cls).items():
                        if method.startswith("__") and method not in SHOWN_DUNDERS:
                            continue
                        bound = getattr(cls, method)
                        if callable(bound) and not isinstance(bound, type):
                            yield f"{name}.{cls.__qualname__}.{method}", bound
            elif callable(obj) and not isinstance(obj, type) and getattr(
                obj, "__module__", module.__name__
            ) in (module.__name__, None):
                yield f"{name}.{attr}", obj


def test_every_public_callable_has_a_signature_and_help():
    import inspect
    import pydoc

    checked = 0
    for qualname, func in public_callables():
        inspect.signature(func)  # raises ValueError when there is none
        assert pydoc.render_doc(func)
        checked += 1
    assert checked > 150


def test_signatures_carry_the_documented_defaults():
    import inspect

    from ortan.tcl.history import History
    from ortan.tcl.namespace import TclNamespace, TclVariable

    marker = TclVariable._TclVariable__marker
    assert inspect.signature(TclVariable.get_obj).parameters["cast"].default is marker
    assert str(inspect.signature(History)) == "(max_history=9999)"
    assert str(inspect.signature(TclNamespace.parent)) == "(self, force_eval=False)"

"""The hand-written stubs agree with the modules, and a program using every name checks."""

import os
import pathlib

import pytest

import ortan

HERE = pathlib.Path(__file__).resolve().parent
PACKAGE_ROOT = pathlib.Path(ortan.__file__).resolve().parent.parent


@pytest.fixture
def mypy_path(monkeypatch):
    # Check the package that the tests import. An installed one mypy finds by itself (and it
    # refuses site-packages in MYPYPATH); the development tree it is shown.
    if PACKAGE_ROOT.name != "site-packages":
        monkeypatch.setenv("MYPYPATH", str(PACKAGE_ROOT))
    monkeypatch.chdir(HERE)


def test_stubs_match_the_modules(mypy_path):
    stubtest = pytest.importorskip("mypy.stubtest")
    assert stubtest.test_stubs(stubtest.parse_options(["ortan.tcl"])) == 0


def test_sample_program_type_checks(mypy_path):
    api = pytest.importorskip("mypy.api")
    out, err, status = api.run(
        ["--no-incremental", "--cache-dir", os.devnull, "--python-version", "3.11",
         str(HERE / "typing" / "sample.py")]
    )
    assert status == 0, out + err

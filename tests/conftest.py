import os
import random

import pytest
from hypothesis import settings

import ortan.tcl

# Fewer examples and no deadline for the slow instrumented runs (tools/sanitize selects it).
settings.register_profile("sanitize", max_examples=25, deadline=None)
settings.load_profile(os.environ.get("ORTAN_HYPOTHESIS_PROFILE", "default"))


@pytest.fixture
def tcl():
    """A fresh host interpreter."""
    return ortan.tcl.Interpreter()


@pytest.fixture
def tk(tcl):
    """The tkinter application object of a fresh interpreter."""
    return tcl.tk


@pytest.fixture
def rng(request):
    """A seeded random generator; the seed is in the test's report when it fails."""
    seed = int(os.environ.get("ORTAN_TEST_SEED", random.randrange(2**32)))
    request.node.user_properties.append(("seed", seed))
    print(f"random seed: {seed} (ORTAN_TEST_SEED={seed} repeats it)")
    return random.Random(seed)


def _tclx_available(tk):
    try:
        tk.eval("package require Tclx")
        return True
    except Exception:
        return False


@pytest.fixture
def tclx(tcl):
    """A fresh interpreter with TclX loaded. In CI a missing TclX fails the test."""
    if not _tclx_available(tcl.tk):
        if os.environ.get("CI"):
            pytest.fail("TclX is required in CI (Debian package tclx8.4)")
        pytest.skip("TclX is not installed (Debian package tclx8.4)")
    return tcl

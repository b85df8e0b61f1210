import atexit
import os
import random
import select
import shutil
import subprocess
import sys
import tkinter

import pytest
from hypothesis import settings

import ortan.tcl

# The plain-Python models of the package's rules live in benchmarks/ (the benchmarks time them,
# the fuzz targets and some tests hold the package against them).
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Fewer examples and no deadline for the slow instrumented runs (tools/sanitize selects it).
settings.register_profile("sanitize", max_examples=25, deadline=None)
settings.load_profile(os.environ.get("ORTAN_HYPOTHESIS_PROFILE", "default"))


# The project's own CI sets ORTAN_STRICT=1 (.ci/run): there a missing TclX or display fails the
# tests that need it instead of skipping them. A generic CI variable does not, so that the suite
# run in someone else's pipeline skips what that pipeline lacks.
STRICT = os.environ.get("ORTAN_STRICT") == "1"


def skip_or_fail(reason):
    """Skips the test, or fails it under ORTAN_STRICT=1, where nothing may be skipped."""
    if STRICT:
        pytest.fail(f"{reason} (ORTAN_STRICT=1: required here)")
    pytest.skip(reason)


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
    """A fresh interpreter with TclX loaded. Under ORTAN_STRICT=1 a missing TclX fails the test."""
    if not _tclx_available(tcl.tk):
        skip_or_fail("TclX is not installed (Debian package tclx8.4)")
    return tcl


def _start_xvfb():
    """Starts a private Xvfb and returns its display name, or None when it did not start. The
    server lives until the test process ends, not with a test or a module: Tk keeps its display
    connection open after its last window is gone, and a later event-loop pass of the process
    would die on a connection whose server was stopped."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "640x480x24"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    atexit.register(server.kill)
    number = b""
    # Xvfb writes its display number once it accepts connections.
    while not number.endswith(b"\n") and select.select([read_end], [], [], 20)[0]:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    return ":" + number.decode().strip() if number.strip() else None


@pytest.fixture(scope="session")
def display():
    """A private X display (Xvfb) for real tkinter.Tk applications; DISPLAY names it for the
    rest of the session. Skipped where there is none, except under ORTAN_STRICT=1, where the Tk
    tests must run (Debian package xvfb)."""
    if not shutil.which("Xvfb"):
        skip_or_fail("Xvfb is not installed")
    name = _start_xvfb()
    if not name:
        skip_or_fail("Xvfb did not start")
    os.environ["DISPLAY"] = name
    try:
        tkinter.Tk().destroy()
    except tkinter.TclError as error:
        skip_or_fail(f"no display can be opened: {error}")
    return name

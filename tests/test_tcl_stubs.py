"""The package's declarations of Tcl's stub tables against the real headers of Tcl 8.6 and 9.0.

tests/tcl_stubs_check.cpp compiles only when every declared slot, prototype and record agrees
with the headers; each deliberate change below must make it fail. The headers are Debian's
tcl8.6-dev and tcl9.0-dev (with their tcl-private directories); a version whose headers are not
installed is skipped, except Tcl 9 where ORTAN_REQUIRE_TCL9 is set (the CI lane that has them).
"""

import os
import shutil
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "tcl", "support")
CHECK = os.path.join(HERE, "tcl_stubs_check.cpp")
COMPILER = shutil.which("g++") or shutil.which("c++") or shutil.which("clang++")


def headers(version):
    root = "/usr/include/tcl" + version
    if os.path.exists(os.path.join(root, "tcl-private", "generic", "tclInt.h")):
        return root
    required = version == "9.0" and os.environ.get("ORTAN_REQUIRE_TCL9")
    if required:
        pytest.fail("no headers of Tcl %s in %s" % (version, root))
    pytest.skip("no headers of Tcl %s in %s" % (version, root))


def compile_check(root, support):
    private = os.path.join(root, "tcl-private")
    command = [COMPILER, "-std=c++17", "-fsyntax-only", "-I" + root,
               "-I" + os.path.join(private, "generic"), "-I" + os.path.join(private, "unix"),
               "-I" + support, CHECK]
    return subprocess.run(command, capture_output=True, text=True)


pytestmark = pytest.mark.skipif(not COMPILER, reason="no C++ compiler")
VERSIONS = ["8.6", "9.0"]


@pytest.mark.parametrize("version", VERSIONS)
def test_declarations_agree_with_the_headers(version):
    done = compile_check(headers(version), SUPPORT)
    assert done.returncode == 0, done.stderr


# (old, new) replacements in tcl_stubs.h; each must break the check on every version.
MUTATIONS = {
    "public-slot": ("X(NewStringObj, tcl_NewStringObj, 56,", "X(NewStringObj, tcl_NewStringObj, 57,"),
    "internal-slot": ("X(FindElement, tclFindElement, 22,", "X(FindElement, tclFindElement, 21,"),
    "argument": ("tcl_GetObjResult, 166, TclObj *, (TclInterp *)",
                 "tcl_GetObjResult, 166, TclObj *, (TclObj *)"),
    "result": ("tcl_InterpDeleted, 184, int,", "tcl_InterpDeleted, 184, long,"),
    "size": ("using TclSize8 = int;\nusing TclSize9 = std::ptrdiff_t;",
             "using TclSize8 = long;\nusing TclSize9 = int;"),
    "record": ("    void *deleteData;\n", ""),
    "interpreter-record": ("    int errorLine;\n", ""),
    "magic": ("0xFCA3BACF", "0xFCA3BACE"),
}  # fmt: skip


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_a_changed_declaration_fails(version, mutation, tmp_path):
    root = headers(version)
    old, new = MUTATIONS[mutation]
    with open(os.path.join(SUPPORT, "tcl_stubs.h")) as f:
        text = f.read()
    assert old in text
    if mutation == "magic" and version == "9.0":
        old, new = "0xFCA3BACBu", "0xFCA3BACAu"
    (tmp_path / "tcl_stubs.h").write_text(text.replace(old, new))
    done = compile_check(root, str(tmp_path))
    assert done.returncode != 0
    assert "static assertion failed" in done.stderr or "static_assert" in done.stderr

"""The binding layer on Tcl 9, where a Tcl 9 library can be loaded through ctypes.

No tkinter built on Tcl 9 is needed: each test runs a fresh Python that loads Tcl 9's library
through ctypes, makes an interpreter with it and hands that interpreter to the package first, so
that the package binds Tcl 9's stub table. Where no Tcl 9 library is installed the tests skip,
unless ORTAN_REQUIRE_TCL9 is set (the CI lane that has one).
"""

import ctypes.util
import json
import os
import subprocess
import sys
import textwrap

import pytest

from ortan.tcl import internal

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(internal.__file__))))
TCL9 = ctypes.util.find_library("tcl9.0")

if not TCL9 and not os.environ.get("ORTAN_REQUIRE_TCL9"):
    pytest.skip("no Tcl 9 library on this machine", allow_module_level=True)

# Loads Tcl 9 and gives `interp` (its address), `evaluate(script)` -> (code, result text) and
# `set_var(name, text)`, all through ctypes on Tcl 9's own exported functions.
_PRELUDE = """
import ctypes, json, sys
tcl9 = ctypes.CDLL(%(library)r)
tcl9.Tcl_FindExecutable(None)
tcl9.Tcl_CreateInterp.restype = ctypes.c_void_p
tcl9.Tcl_GetObjResult.restype = ctypes.c_void_p
tcl9.Tcl_GetObjResult.argtypes = [ctypes.c_void_p]
tcl9.Tcl_GetString.restype = ctypes.c_char_p
tcl9.Tcl_GetString.argtypes = [ctypes.c_void_p]
tcl9.Tcl_EvalEx.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ssize_t, ctypes.c_int]
tcl9.Tcl_NewStringObj.restype = ctypes.c_void_p
tcl9.Tcl_NewStringObj.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
tcl9.Tcl_SetVar2Ex.restype = ctypes.c_void_p
tcl9.Tcl_SetVar2Ex.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                               ctypes.c_void_p, ctypes.c_int]
interp = tcl9.Tcl_CreateInterp()

def evaluate(script):
    code = tcl9.Tcl_EvalEx(interp, script.encode(), -1, 0)
    return code, tcl9.Tcl_GetString(tcl9.Tcl_GetObjResult(interp)).decode()

def set_var(name, text):
    data = text.encode()
    assert tcl9.Tcl_SetVar2Ex(interp, name.encode(), None, tcl9.Tcl_NewStringObj(data, len(data)), 0)
"""


def run_tcl9(script, tkinter_file=None):
    """Runs `script` after the prelude in a fresh Python; the JSON it prints last, decoded."""
    head = _PRELUDE % {"library": TCL9 or "libtcl9.0.so"}
    if tkinter_file:
        head = "import _tkinter\n_tkinter.__file__ = %r\n" % tkinter_file + head
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    done = subprocess.run([sys.executable, "-c", head + textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


LISTS = [
    'a b {c d} "e f" g\\ h',
    "\\x41\\u00e9\\n\\t {x\\ny} \\{ \\}",
    "  lead   trail  ",
    "{} {} {}",
    "é ß 中文 {😀 x}",
    "a\\\\ {b\\\\} \"c\\\\\"",
    "{a {b {c}}} d",
]

BAD_LISTS = ["a {b", 'a "b"c', "{a}b", 'x "y']


def test_elements_scanned_and_collapsed_as_tcl9_splits_them():
    out = run_tcl9("""
        from ortan.tcl import internal
        internal._adopt_interp(interp)  # binds Tcl 9: the first interpreter the package meets
        results = []
        for text in %r:
            set_var("s", text)
            n = int(evaluate("llength $s")[1])
            theirs = [evaluate("lindex $s %%d" %% i)[1] for i in range(n)]
            results.append([list(internal.GetListFromAny(text)), theirs])
        print(json.dumps(results))
    """ % (LISTS,))
    for ours, theirs in out:
        assert ours == theirs


def test_parse_errors_carry_tcl9s_message():
    out = run_tcl9("""
        import tkinter
        from ortan.tcl import internal
        internal._adopt_interp(interp)
        pointer = internal.Tcl_Interp_p(interp)
        results = []
        for text in %r:
            set_var("s", text)
            code, theirs = evaluate("llength $s")
            try:
                internal.GetListFromAny(text, pointer)
                ours = None
            except tkinter.TclError as e:
                ours = str(e)
            results.append([code, ours, theirs])
        print(json.dumps(results))
    """ % (BAD_LISTS,))
    for code, ours, theirs in out:
        assert code == 1 and ours == theirs


WORDS = ["x10", "X9", "x9", "a", "B", "b", "x01", "x1", "abc", "ABD", "", "_", "Z", "a1b", "a01c",
         "é", "É", "e", "ab", "a10b20", "a10b3"]


def test_dictionary_order_is_tcl9s_lsort_dictionary():
    out = run_tcl9("""
        import functools
        from ortan.tcl import internal
        from ortan.tcl.scribe import scribe
        internal._adopt_interp(interp)
        set_var("words", scribe(%r))
        theirs = list(internal.GetListFromAny(evaluate("lsort -dictionary $words")[1]))
        ours = sorted(%r, key=functools.cmp_to_key(internal.DictionaryCompare))
        print(json.dumps([ours, theirs]))
    """ % (WORDS, WORDS))
    ours, theirs = out
    assert ours == theirs


VALUES = [["plain", "two words", "", "{", "}", "a\\{b", "a\\", "$x [y]", '"q"', "#c", "é 中"],
          [["nested", ["deeper", "{x"]], "tail\\"], ["\\n", "a\nb", "  ", ";"]]


def test_scribe_output_reads_back_through_tcl9s_list_parsing():
    out = run_tcl9("""
        from ortan.tcl import internal
        from ortan.tcl.scribe import scribe
        internal._adopt_interp(interp)
        results = []
        for value in %r:
            text = scribe(value)
            set_var("s", text)
            n = int(evaluate("llength $s")[1])
            theirs = [evaluate("lindex $s %%d" %% i)[1] for i in range(n)]
            results.append([[scribe(item) if isinstance(item, list) else item for item in value],
                            theirs, list(internal.GetListFromAny(text))])
        print(json.dumps(results))
    """ % (VALUES,))
    for expected, theirs, ours in out:
        assert theirs == expected and ours == expected


def test_an_interpreter_of_another_tcl_is_refused_once_tcl9_is_bound():
    out = run_tcl9("""
        import tkinter
        from ortan.tcl import internal
        internal._adopt_interp(interp)
        try:
            internal.GetListFromAny("a", tkinter.Tcl())
        except RuntimeError as e:
            print(json.dumps(str(e)))
    """)
    assert "runs another Tcl library than the one bound first (Tcl 9.0." in out


def test_ctypes_surface_on_tcl9():
    # _tkinter's file pointed at Tcl 9's library: the ctypes surface then opens Tcl 9.
    out = run_tcl9("""
        import ctypes
        from ortan.tcl import internal
        evaluate("set x {hello world}")
        f = internal.TclDLL.TclFindElement
        print(json.dumps([
            internal.lib,
            [internal.Tcl_Obj.refCount.size, internal.Tcl_Obj.length.size],
            [t.__name__ for t in f.argtypes], internal.TclDLL.TclCopyAndCollapse.restype.__name__,
            internal.TclDLL.Tcl_GetStringResult(internal.Tcl_Interp_p(interp)).decode(),
            [t.__name__ for t in internal.TclDLL.Tcl_GetStringResult.argtypes],
        ]))
    """, tkinter_file=TCL9 or "libtcl9.0.so")
    lib, sizes, find_args, collapse_result, result, result_args = out
    size = ctypes.c_ssize_t.__name__
    assert "libtcl9.0" in lib
    assert sizes == [ctypes.sizeof(ctypes.c_ssize_t)] * 2
    assert find_args == ["Tcl_Interp_p", "c_char_p", size, "LP_c_char_p", "LP_c_char_p",
                         "LP_" + size, "LP_c_int"]
    assert collapse_result == size
    assert result == "hello world" and result_args == ["Tcl_Interp_p"]

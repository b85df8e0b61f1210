import collections.abc
import ctypes
import functools
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import tkinter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ortan.tcl import internal
from ortan.tcl.internal import (
    DictionaryCompare,
    GetListFromAny,
    ReturnCodes,
    Tcl_Interp_p,
    Tcl_Obj,
    Tcl_ObjType,
    TclDLL,
    TclError_from_interp,
    _c_char_p_from_obj,
    _ptr_add,
    _ptr_diff,
    _ptr_sub,
    dictionary_key,
)

# The directory holding the package that these tests import (installed or in place), so that a
# subprocess imports the same build.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(internal.__file__))))


@pytest.fixture(scope="module")
def shared():
    """One interpreter for the property tests (hypothesis runs many examples per test)."""
    return tkinter.Tcl()


_LRANGE_UTF8 = "lrange [encoding convertfrom utf-8 $b] 0 end"


def splitlist(tk, text):
    """Tcl's own split of `text` through tkinter (None when Tcl rejects it, with its message)."""
    try:
        if "\0" in text:
            # tk.splitlist refuses text with NUL. Tcl holds NUL as C0 80, which is what
            # [encoding convertfrom] makes of the UTF-8 bytes; lrange then splits it.
            split = tk.call("apply", ["b", _LRANGE_UTF8], text.encode("utf-8"))
            return tk.splitlist(split), None
        return tk.splitlist(text), None
    except tkinter.TclError as e:
        return None, str(e)


def ours(text, interp):
    try:
        return GetListFromAny(text, interp), None
    except tkinter.TclError as e:
        return None, str(e)


# --- module surface ----------------------------------------------------------------------------


def test_module_globals_in_order():
    names = [n for n in vars(internal) if not n.startswith("__")]
    assert names == [
        "ctypes", "tkinter", "Sequence", "Set", "unicode", "ReturnCodes", "lib", "TclDLL",
        "_ptr_add", "_ptr_sub", "_ptr_diff", "TclError_from_interp", "Tcl_Interp_p",
        "Tcl_WideInt", "Tcl_ObjType", "Tcl_Obj", "_c_char_p_from_obj", "GetListFromAny",
        "DictionaryCompare", "dictionary_key", "_adopt_interp",
    ]  # fmt: skip
    assert internal.ctypes is ctypes and internal.tkinter is tkinter
    assert internal.Sequence is collections.abc.Sequence and internal.Set is collections.abc.Set
    assert internal.unicode is str
    for word in ("ReturnCodes", "TclDLL", "Tcl_ObjType", "Tcl_Obj", "GetListFromAny",
                 "DictionaryCompare", "dictionary_key", "internals of Tcl's C code"):
        assert word in internal.__doc__


@pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="the mypy for Python < 3.10 also checks the standard-library classes a stub "
    "re-exports against this Python's own; test_typing.py leaves them out",
)
def test_type_stub_matches_the_module():
    stubtest = pytest.importorskip("mypy.stubtest")
    assert stubtest.test_stubs(stubtest.parse_options(["ortan.tcl.internal"])) == 0


def test_return_codes():
    codes = {k: v for k, v in vars(ReturnCodes).items() if k.startswith("TCL_")}
    assert list(codes.items()) == [
        ("TCL_OK", 0), ("TCL_ERROR", 1), ("TCL_RETURN", 2), ("TCL_BREAK", 3), ("TCL_CONTINUE", 4)
    ]
    assert ReturnCodes.__bases__ == (object,) and type(ReturnCodes) is type


def test_library_handle():
    assert isinstance(TclDLL, ctypes.CDLL)
    assert internal.lib == TclDLL._name
    assert internal.Tcl_WideInt is ctypes.c_longlong


# Tcl's length type as the ctypes surface declares it: int on Tcl 8, Tcl_Size from Tcl 9 on.
SIZE = ctypes.c_ssize_t if tkinter.TclVersion >= 9 else ctypes.c_int


def _layout(cls):
    return [(name, getattr(cls, name).offset, getattr(cls, name).size, typ)
            for name, typ in cls._fields_]


def test_record_layouts():
    vp, cp = ctypes.c_void_p, ctypes.c_char_p
    assert issubclass(Tcl_ObjType, ctypes.Structure) and ctypes.sizeof(Tcl_ObjType) == 40
    assert _layout(Tcl_ObjType) == [
        ("name", 0, 8, cp), ("freeIntRepProc", 8, 8, vp), ("dupIntRepProc", 16, 8, vp),
        ("updateStringProc", 24, 8, vp), ("setFromAnyProc", 32, 8, vp),
    ]  # fmt: skip
    rep = Tcl_Obj.u_internalRep
    two = rep.s_twoPtrValue
    assert issubclass(Tcl_Obj, ctypes.Structure) and ctypes.sizeof(Tcl_Obj) == 48
    assert _layout(Tcl_Obj) == [
        ("refCount", 0, ctypes.sizeof(SIZE), SIZE), ("bytes", 8, 8, cp),
        ("length", 16, ctypes.sizeof(SIZE), SIZE),
        ("typePtr", 24, 8, ctypes.POINTER(Tcl_ObjType)), ("internalRep", 32, 16, rep),
    ]  # fmt: skip
    assert issubclass(rep, ctypes.Union) and ctypes.sizeof(rep) == 16
    assert _layout(rep) == [
        ("longValue", 0, 8, ctypes.c_long), ("doubleValue", 0, 8, ctypes.c_double),
        ("otherValuePtr", 0, 8, vp), ("wideValue", 0, 8, ctypes.c_longlong),
        ("twoPtrValue", 0, 16, two),
    ]  # fmt: skip
    assert issubclass(two, ctypes.Structure)
    assert _layout(two) == [("ptr1", 0, 8, vp), ("ptr2", 8, 8, vp)]
    assert [c.__qualname__ for c in (Tcl_ObjType, Tcl_Obj, rep, two)] == [
        "Tcl_ObjType", "Tcl_Obj", "Tcl_Obj.u_internalRep", "Tcl_Obj.u_internalRep.s_twoPtrValue"
    ]
    assert {c.__module__ for c in (Tcl_ObjType, Tcl_Obj, rep, two)} == {"ortan.tcl.internal"}


def test_record_reads_a_live_tcl_obj(tk):
    # A Tcl_Obj handed out by tkinter has the layout above: read its type name through it.
    value = tk.call("dict", "create", "a", "b")
    address = ctypes.c_void_p.from_address(id(value) + object.__basicsize__).value
    tcl_obj = Tcl_Obj.from_address(address)  # PyTclObject.value, after the object header
    assert tcl_obj.typePtr.contents.name == value.typename.encode()
    assert tcl_obj.refCount >= 1


@pytest.mark.parametrize(
    "name, argtypes, restype",
    [
        ("TclFindElement",
         [Tcl_Interp_p, ctypes.c_char_p, SIZE, ctypes.POINTER(ctypes.c_char_p),
          ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(SIZE), ctypes.POINTER(ctypes.c_int)],
         ctypes.c_int),
        ("TclCopyAndCollapse", [SIZE, ctypes.c_char_p, ctypes.c_char_p], SIZE),
        ("Tcl_GetStringResult", [Tcl_Interp_p], ctypes.c_char_p),
        ("Tcl_ResetResult", [Tcl_Interp_p], None),
    ],
    ids=["find-element", "copy-and-collapse", "get-string-result", "reset-result"],
)  # fmt: skip
def test_declared_functions(name, argtypes, restype):
    function = getattr(TclDLL, name)
    assert list(function.argtypes) == argtypes and function.restype is restype


def test_declared_functions_call_through_ctypes(tcl):
    tcl.tk.call("set", "x", "hello")
    assert TclDLL.Tcl_GetStringResult(tcl._root) == b"hello"
    TclDLL.Tcl_ResetResult(tcl._root)
    assert TclDLL.Tcl_GetStringResult(tcl._root) == b""


def run_python(script, **env):
    """Runs `script` in a fresh interpreter that imports this build; its stdout, stripped."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, **env)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def _address(function):
    return ctypes.cast(function, ctypes.c_void_p).value


def _mapped_file(address):
    """The file that the process has mapped at `address` (from /proc/self/maps)."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            low, high = (int(x, 16) for x in fields[0].split("-"))
            if low <= address < high:
                return os.path.realpath(fields[5].strip()) if len(fields) == 6 else None
    return None


needs_proc_maps = pytest.mark.skipif(not os.path.exists("/proc/self/maps"),
                                     reason="reads /proc/self/maps")


@needs_proc_maps
def test_library_is_the_one_tkinter_uses():
    import _tkinter

    # _tkinter's own handle resolves Tcl_CreateInterp through its link to the Tcl library.
    tkinters = ctypes.CDLL(_tkinter.__file__, mode=os.RTLD_NOLOAD)
    assert _address(TclDLL.Tcl_CreateInterp) == _address(tkinters.Tcl_CreateInterp)
    assert TclDLL._handle == ctypes.CDLL(internal.lib, mode=os.RTLD_NOLOAD)._handle
    library = _mapped_file(_address(TclDLL.Tcl_CreateInterp))
    assert _mapped_file(_address(TclDLL.TclFindElement)) == library
    assert os.path.realpath(internal.lib) == library
    with open("/proc/self/maps") as maps:
        tcl_files = {os.path.realpath(line.split(maxsplit=5)[5].strip()) for line in maps
                     if "/libtcl8" in line}  # not TclX's libtclx8.4
    assert tcl_files == {library}


@needs_proc_maps
def test_older_name_on_the_loader_path_is_not_bound(tmp_path):
    # A copy of tkinter's Tcl named libtcl8.4.so, found first by name: it used to be loaded
    # beside tkinter's and to drive tkinter's interpreter with its functions (a crash).
    library = _mapped_file(_address(TclDLL.Tcl_CreateInterp))
    shutil.copy(library, tmp_path / "libtcl8.4.so")
    out = run_python("""
        import ctypes, tkinter
        from ortan.tcl import internal
        root = tkinter.Tcl()
        for _ in range(3000):
            try:
                internal.GetListFromAny("a {b", root)
            except tkinter.TclError as e:
                message = str(e)
        with open("/proc/self/maps") as maps:
            mapped = sorted({line.split()[-1] for line in maps if "/libtcl" in line})
        ctypes.CDLL("libtcl8.4.so")  # the copy is there to be found by a plain load
        print(internal.lib, "|", message, "|", mapped)
    """, LD_LIBRARY_PATH=str(tmp_path))
    lib, message, mapped = out.split(" | ")
    assert lib == internal.lib
    assert message == "unmatched open brace in list"
    assert mapped == repr([library])


def test_no_library_exporting_tcl_leaves_the_ctypes_surface_unavailable():
    # As where Tcl is linked into _tkinter without exporting its functions: the C++ paths work,
    # TclDLL refuses every use with a clear error.
    out = run_python("""
        import tkinter, _tkinter
        _tkinter.__file__ = "/nonexistent/_tkinter.so"
        from ortan.tcl import internal
        print(internal.lib)
        try:
            internal.TclDLL.Tcl_GetStringResult
        except RuntimeError as e:
            print(e)
        print(internal.GetListFromAny("a {b c}"), internal.DictionaryCompare("a", "B"))
        try:
            internal.GetListFromAny("a {b", tkinter.Tcl())
        except tkinter.TclError as e:
            print(e)
    """)
    assert out.splitlines() == [
        "None",
        "TclDLL is not available: no loaded library exports Tcl's functions (Tcl is linked "
        "into _tkinter without them); GetListFromAny, DictionaryCompare and "
        "TclError_from_interp work without it",
        "('a', 'b c') -1",
        "unmatched open brace in list",
    ]


_OTHER_THREAD = """
    import ctypes, sys, threading, tkinter
    from ortan.tcl.internal import (DictionaryCompare, GetListFromAny, TclDLL,
                                    TclError_from_interp, Tcl_Interp_p, dictionary_key)
    root = tkinter.Tcl()
    raw = Tcl_Interp_p(root.interpaddr())
    GetListFromAny("x", root)  # meets the interpreter: its thread is known from now on
    calls = {
        "list-tk": lambda: GetListFromAny("a {b", root),
        "list-raw": lambda: GetListFromAny("a {b", raw),
        "error-tk": lambda: TclError_from_interp(root, "x"),
        "error-raw": lambda: TclError_from_interp(raw),
        "from-param": lambda: Tcl_Interp_p.from_param(root),
        "ctypes-call": lambda: TclDLL.Tcl_GetStringResult(root),
    }
    seen, pure = set(), []
    def worker():
        for _ in range(3000):
            for name, call in calls.items():
                try:
                    call()
                    seen.add((name, "returned"))
                except RuntimeError as e:
                    seen.add((name, "RuntimeError"))
                except ctypes.ArgumentError as e:  # ctypes wraps what from_param raises
                    seen.add((name, "RuntimeError" if "RuntimeError" in str(e) else repr(e)))
                except Exception as e:
                    seen.add((name, repr(e)))
        pure.append((GetListFromAny("a {b c}"), DictionaryCompare("a", "B"),
                     sorted(["b", "A"], key=dictionary_key)))
    thread = threading.Thread(target=worker)
    thread.start()
    while thread.is_alive():  # the interpreter's own thread runs Tcl meanwhile
        root.eval("set n 0; while {$n < 100000} {incr n; set r [list $n a b]; string length $r}")
    thread.join()
    # From its own thread, a raw address is usable once its interpreter was met.
    other = tkinter.Tcl()
    other_raw = Tcl_Interp_p(other.interpaddr())
    try:
        GetListFromAny("a {b", other_raw)
    except RuntimeError as e:
        unseen = str(e)
    GetListFromAny("x", other)
    try:
        GetListFromAny("a {b", other_raw)
    except tkinter.TclError as e:
        seen_once = str(e)
    print(sorted(seen), pure, unseen.split(":")[0], seen_once, sep="\\n")
"""


@pytest.mark.parametrize("run", range(5))
def test_interpreter_refused_from_another_thread(run):
    seen, pure, unseen, seen_once = run_python(_OTHER_THREAD).splitlines()
    names = ["ctypes-call", "error-raw", "error-tk", "from-param", "list-raw", "list-tk"]
    assert seen == repr([(name, "RuntimeError") for name in names])
    assert pure == repr([(("a", "b c"), -1, ["A", "b"])])
    assert unseen.startswith("cannot tell which thread owns the Tcl interpreter at 0x")
    assert seen_once == "unmatched open brace in list"


_PEAK = """
    import resource, sys, tkinter
    from ortan.tcl.internal import GetListFromAny
    tk = tkinter.Tcl().tk
    text = {text}
    split = GetListFromAny if sys.argv[1] == "ours" else tk.splitlist
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    items = split(text)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, len(items))
"""


@pytest.mark.parametrize(
    "text", ['" " * 50_000_000', '"a " * 8_000_000', '"é x" * 4_000_000'],
    ids=["blanks", "elements", "non-ascii"],
)
def test_peak_memory_no_higher_than_splitlist(text):
    def peak(which):
        script = textwrap.dedent(_PEAK.format(text=text))
        done = subprocess.run([sys.executable, "-c", script, which], capture_output=True,
                              text=True, check=True, env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT))
        grown, count = map(int, done.stdout.split())
        return grown, count

    (ours, count), (theirs, expected) = peak("ours"), peak("tk")
    assert count == expected
    assert ours <= theirs


# --- Tcl_Interp_p.from_param -------------------------------------------------------------------


def test_from_param_none_and_pointer():
    null = Tcl_Interp_p.from_param(None)
    assert type(null) is Tcl_Interp_p and null.value is None
    pointer = Tcl_Interp_p(1234)
    assert Tcl_Interp_p.from_param(pointer) is pointer


def test_from_param_tk(tcl):
    pointer = Tcl_Interp_p.from_param(tcl._root)
    assert type(pointer) is Tcl_Interp_p and pointer.value == tcl._root.interpaddr()


def test_from_param_builds_its_own_class(tcl):
    class Sub(Tcl_Interp_p):
        pass

    assert type(Sub.from_param(tcl._root)) is Tcl_Interp_p
    assert type(Sub.from_param(None)) is Tcl_Interp_p


@pytest.mark.parametrize(
    "make", [lambda tcl: 5, lambda tcl: tcl.tk, lambda tcl: "interp", lambda tcl: tcl],
    ids=["int", "tkapp", "str", "host-interpreter"],
)
def test_from_param_rejects(tcl, make):
    interp = make(tcl)
    with pytest.raises(ValueError) as info:
        Tcl_Interp_p.from_param(interp)
    assert str(info.value) == "Unrecognized Tcl interpreter object: %r" % (interp,)


# --- TclError_from_interp ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [((None, "x"), ("x",)), ((None,), ()), ((None, ""), ()), ((None, ("a", "b")), (("a", "b"),))],
    ids=["default", "no-message", "empty-default", "tuple-default"],
)
def test_tcl_error_without_interpreter(args, expected):
    with pytest.raises(tkinter.TclError) as info:
        TclError_from_interp(*args)
    assert info.value.args == expected


@pytest.mark.parametrize(
    "script, default, expected",
    [("set x hello", "x", ("hello",)), ("set x {}", "x", ("x",)), ("set x {}", None, ()),
     ('set x "a\\0b \\u00e9"', None, ("a\0b \u00e9",))],
    ids=["result", "empty-result-default", "empty-result-none", "tcl-internal-form"],
)  # fmt: skip
def test_tcl_error_with_interpreter(tcl, script, default, expected):
    result = tcl.tk.eval(script)  # leaves its value as the interpreter's result
    for interp in (tcl._root, Tcl_Interp_p(tcl._root.interpaddr())):
        with pytest.raises(tkinter.TclError) as info:
            TclError_from_interp(interp, default)
        assert info.value.args == expected
    assert TclDLL.Tcl_GetStringResult(tcl._root).decode("utf-8", "replace") == (
        result.replace("\0", "\ufffd\ufffd"))  # read, never reset


def test_tcl_error_null_pointer_is_no_interpreter():
    with pytest.raises(tkinter.TclError) as info:
        TclError_from_interp(Tcl_Interp_p(), default_msg="fallback")
    assert info.value.args == ("fallback",)


def test_tcl_error_bad_interpreter():
    with pytest.raises(ValueError, match="Unrecognized Tcl interpreter object: 5"):
        TclError_from_interp(5)


# --- pointer helpers and _c_char_p_from_obj ----------------------------------------------------


def test_pointer_arithmetic():
    p = _c_char_p_from_obj("hello world")
    q = _ptr_add(p, 6)
    assert type(q) is ctypes.c_char_p and q.value == b"world"
    assert _ptr_diff(q, p) == 6 and _ptr_diff(p, q) == -6
    back = _ptr_sub(q, 6)  # subtracts: it used to add like _ptr_add
    assert type(back) is ctypes.c_char_p and _ptr_diff(back, p) == 0
    assert back.value == b"hello world"
    assert _ptr_diff(_ptr_sub(p, -3), _ptr_add(p, 3)) == 0


def test_pointer_arithmetic_keeps_its_type_and_counts_bytes():
    array = (ctypes.c_int * 4)(10, 20, 30, 40)
    p = ctypes.cast(array, ctypes.POINTER(ctypes.c_int))
    q = _ptr_add(p, ctypes.sizeof(ctypes.c_int))  # bytes, never elements
    assert type(q) is type(p) and q[0] == 20
    assert _ptr_sub(q, ctypes.sizeof(ctypes.c_int))[0] == 10


@pytest.mark.parametrize(
    "obj, value",
    [(None, b""), ("", b""), ("abc", b"abc"), ("héllo €", "héllo €".encode()), (12, b"12"),
     ([1, "a"], b"[1, 'a']")],
    ids=["none", "empty", "ascii", "non-ascii", "int", "other"],
)  # fmt: skip
def test_c_char_p_from_obj(obj, value):
    string = _c_char_p_from_obj(obj)
    assert type(string) is ctypes.c_char_p and string.value == value


def test_c_char_p_from_obj_surrogate():
    with pytest.raises(UnicodeEncodeError):
        _c_char_p_from_obj("\ud800")


# --- GetListFromAny ----------------------------------------------------------------------------


class MyInt(int):
    def __str__(self):
        return "{1 2} 3"


class Text(str):
    def __str__(self):
        return "x y"


@pytest.mark.parametrize(
    "obj, expected",
    [
        ("a b c {de} {f g h { i }}", ("a", "b", "c", "de", "f g h { i }")),
        ('a\\ b "c d" {e\\ f}', ("a b", "c d", "e\\ f")),
        ("   ", ()),
        ("", ()),
        (5, (5,)),
        ([1, [2]], (1, [2])),
        (None, ()),
        (b"ab", (97, 98)),
        (True, (True,)),
        (1.5, (1.5,)),
        (range(3), (0, 1, 2)),
        (frozenset({7}), (7,)),
        (MyInt(4), ("1 2", "3")),
        (Text("ignored"), ("x", "y")),
        ("{a {b c}} d", ("a {b c}", "d")),
        (" \t\na\n\tb  ", ("a", "b")),
        ('"a\\tb" a\\nb {a\\tb}', ("a\tb", "a\nb", "a\\tb")),
        ("é {ü x} \\u00e9 \\U000000E9 😀", ("é", "ü x", "é", "é", "😀")),
        ("{} \"\" x", ("", "", "x")),
        ("a\\\n  b", ("a b",)),
    ],
    ids=["braces", "escapes", "blank", "empty", "int", "list", "none", "bytes", "bool", "float",
         "range", "set", "int-subclass", "str-subclass", "nested", "white-space",
         "backslash-kinds", "non-ascii", "empty-elements", "continuation"],
)  # fmt: skip
def test_get_list_examples(obj, expected):
    assert GetListFromAny(obj) == expected


def test_get_list_keeps_tuples_and_reads_tcl_objects(tk):
    items = (1, "a")
    assert GetListFromAny(items) is items
    value = tk.call("dict", "create", "a", "b c")  # a Tcl_Obj: parsed from its text
    assert type(value).__name__ == "Tcl_Obj" and GetListFromAny(value) == ("a", "b c")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a\0b c", ("a\0b", "c")),
        ("{a\0 b} \0", ("a\0 b", "\0")),
        ("a\\x00b", ("a\0b",)),
        ("a\\0b \\u0000", ("a\0b", "\0")),
        ("\\uD83D\\uDE00", ("\U0001F600",)),
        ("\"x \\uD83D\\uDE00\\0\"", ("x \U0001F600\0",)),
    ],
    ids=["raw-nul", "raw-nul-braced", "escaped-x00", "escaped-0-u0000", "surrogate-pair",
         "quoted-mixed"],
)  # fmt: skip
def test_get_list_text_after_nul_and_tcl_internal_form(text, expected):
    assert GetListFromAny(text) == expected


@pytest.mark.parametrize(
    "text", ["\\uD83D\\uDE00", "a\\x00b", "\\uD83D", "\\uDE00x", "{\\uD83D}", "\\0\\uDE00\\uD83D"],
    ids=["pair", "nul", "lone-high", "lone-low", "braced", "mixed"],
)
def test_get_list_decodes_like_tkinter(tk, text):
    assert GetListFromAny(text) == tk.splitlist(text)


@pytest.mark.parametrize(
    "text, message",
    [
        ("a {b", "unmatched open brace in list"),
        ('a "b', "unmatched open quote in list"),
        ("{a}b", 'list element in braces followed by "b" instead of space'),
        ('"a"b c', 'list element in quotes followed by "b" instead of space'),
        ("{a}\0b", 'list element in braces followed by "\0b" instead of space'),
    ],
    ids=["open-brace", "open-quote", "brace-junk", "quote-junk", "nul-junk"],
)
def test_get_list_invalid(tcl, text, message):
    with pytest.raises(tkinter.TclError) as info:
        GetListFromAny(text)
    assert info.value.args == ("invalid list element",)
    for interp in (tcl._root, Tcl_Interp_p(tcl._root.interpaddr())):
        with pytest.raises(tkinter.TclError) as info:
            GetListFromAny(text, interp=interp)
        assert info.value.args == (message,)


def test_get_list_message_cut_inside_a_character(tcl):
    # Tcl quotes up to 20 bytes after the brace, here ending inside "é": still a TclError.
    text = "{a}x" + "é" * 12
    assert splitlist(tcl.tk, text)[0] is None
    with pytest.raises(tkinter.TclError) as info:
        GetListFromAny(text, tcl._root)
    assert str(info.value) == splitlist(tcl.tk, text)[1]


@pytest.mark.parametrize("text", ["", "a b"], ids=["empty", "text"])
def test_get_list_interpreter_checked_only_for_a_library_call(tcl, text):
    if text:
        with pytest.raises(ValueError, match="Unrecognized Tcl interpreter object"):
            GetListFromAny(text, tcl.tk)
    else:
        assert GetListFromAny(text, tcl.tk) == ()
    assert GetListFromAny([1], interp=5) == (1,)


def test_get_list_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        GetListFromAny("a \ud800")


def test_get_list_large_text(tk):
    words = ["w%d" % i for i in range(20000)] + ["{x y}", "a\\ b", "é"]
    text = " ".join(words)
    assert GetListFromAny(text) == tk.splitlist(text)


# Text other than plain ASCII is encoded and scanned 64 KiB at a time: elements that cross
# that boundary, or are longer than a window, come out whole.
_WINDOW = 64 * 1024
_STRADDLING = ["{a b c}", '"q \\" r"', "x\\ y\\u00e9z", "\\u00e9\\x41", "{" + "é " * 50_000 + "}",
               "w" * 150_000, "{}", "é\\\n z"]


@pytest.mark.parametrize("element", _STRADDLING, ids=lambda e: repr(e[:12]))
def test_get_list_elements_across_the_scan_window(tcl, element):
    tcl.tk.eval("set x keep")  # the interpreter's result, which a valid list leaves alone
    for shift in range(-12, 13, 3):
        filler = "é " * ((_WINDOW + shift) // 3)  # 3 bytes each
        text = filler + element + " ü"
        assert GetListFromAny(text, tcl._root) == tcl.tk.splitlist(text)
        assert TclDLL.Tcl_GetStringResult(tcl._root) == b"keep"


@pytest.mark.parametrize(
    "tail", ["{a}b", '"a"b', "{a b", "a {b c"], ids=["brace-junk", "quote-junk", "open", "late"])
def test_get_list_errors_across_the_scan_window(tcl, tail):
    for shift in range(-6, 7, 2):
        text = "é " * ((_WINDOW + shift) // 3) + tail
        with pytest.raises(tkinter.TclError) as info:
            GetListFromAny(text, tcl._root)
        assert str(info.value) == splitlist(tcl.tk, text)[1]


def test_get_list_long_text_with_nul(tk):
    text = " ".join("w%d\0" % i for i in range(30_000))  # ASCII with NUL: encoded as Tcl holds it
    assert GetListFromAny(text) == splitlist(tk, text)[0]


def test_cast_list_of_package_root():
    import ortan.tcl

    assert ortan.tcl.cast_list("a {b c}") == ("a", "b c")
    assert ortan.tcl.cast_list(("x",)) == ("x",)


_ATOMS = [
    " ", "  ", "\t", "\n", "{", "}", "{", "}", '"', "\\", "\\\\", "\\{", "\\}", '\\"', "\\ ",
    "\\n", "\\t", "\\x41", "\\x00", "\\0", "\\u00e9", "\\u0000", "\\uD83D", "\\uDE00",
    "\\uD83D\\uDE00", "\\U0001F600", "\\\n", "\0", "a", "b", "word", "é", "€", "😀", "$", "[",
    ";",
]  # fmt: skip


def _element(text):
    # Quote one element the way Tcl's list command would, except for the odd cases.
    if not text:
        return "{}"
    if text.count("{") == text.count("}") and not text.endswith("\\") and "\\" not in text:
        return "{%s}" % text
    return "".join("\\" + c if c in ' {}"\\[]$;\t\n' else c for c in text)


_raw_lists = st.lists(st.sampled_from(_ATOMS), max_size=25).map("".join)
_built_lists = st.lists(
    st.lists(st.sampled_from(_ATOMS), max_size=6).map("".join), max_size=8
).map(lambda words: " ".join(map(_element, words)))


@settings(max_examples=400, deadline=None)
@given(text=st.one_of(_raw_lists, _built_lists, st.text(max_size=30)))
def test_get_list_agrees_with_tcl(shared, text):
    expected, message = splitlist(shared.tk, text)
    got, got_message = ours(text, shared)
    assert got == expected
    if expected is None:
        if "\0" not in text or max(text) <= "\uffff":
            # (Tcl 8.6 holds a character beyond the BMP as two surrogates when made by
            # [encoding convertfrom], as four bytes when read by tk.splitlist or by us; where
            # its message quotes one, the bytes differ.)
            assert got_message == message
        assert ours(text, None) == (None, "invalid list element")


# --- DictionaryCompare -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "left, right, expected",
    [
        ("a", "B", -1), ("B", "b", -32), ("b", "B", 32), ("x9y", "x10y", -1),
        ("x10y", "x9y", 1), ("x01", "x1", 1), ("x1", "x01", -1), ("a1b", "a01c", -1),
        ("abc", "ab", 99), ("ab", "abc", -99), ("a", "", 97), ("", "", 0), ("Z", "a", 25),
        ("_", "A", -2), ("abc", "ABD", -1),
        ("Abc", "abc", -32), ("abc", "abc", 0), ("x100", "x99", 1), ("x99", "x100", -1),
        ("ab", "ab-", -45), ("x007", "x7", 2), ("x7a", "x007b", -1), ("a0", "a00", -1),
        ("aB1", "Ab01", 32), ("x\u0663", "x\u0662", 1), ("x\u0663\u0660", "x\u0669", 1),
        ("\u0130", "i", 199), ("\u0130x", "iy", -1), ("ǅ", "ǆ", -1), (10, 9, 1), (1, "01", -1),
        ("a\0b", "a", 1), ("a\0", "a", 1), ("a", "a\0", -1), ("x\x001", "x", 1),
        ("a\0", "a\0", 0), ("a\0b", "a\0c", -1), ("a\0", "aa", -97), ("x1\0", "x1", 1),
        ("é", "É", 32),
    ],
    ids=lambda v: repr(v),
)  # fmt: skip
def test_dictionary_compare_examples(left, right, expected):
    assert DictionaryCompare(left, right) == expected


def test_dictionary_compare_arguments():
    assert DictionaryCompare(left="b", right="a") == 1
    with pytest.raises(TypeError):
        DictionaryCompare("a")
    with pytest.raises(TypeError):
        DictionaryCompare("a", "b", "c")


_words = st.text(alphabet="aAbBzZ019_-. ", min_size=0, max_size=6)


@settings(max_examples=300, deadline=None)
@given(words=st.lists(_words, max_size=40))
def test_dictionary_order_matches_lsort(shared, words):
    expected = shared.tk.splitlist(shared.tk.call("lsort", "-dictionary", tuple(words)))
    assert sorted(words, key=functools.cmp_to_key(DictionaryCompare)) == list(expected)


def test_dictionary_order_matches_lsort_random_words(shared, rng):
    alphabet = "abcXYZ0123456789_"
    words = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 10)))
             for _ in range(3000)]
    expected = shared.tk.splitlist(shared.tk.call("lsort", "-dictionary", tuple(words)))
    assert sorted(words, key=functools.cmp_to_key(DictionaryCompare)) == list(expected)


@given(left=st.text(max_size=8), right=st.text(max_size=8))
def test_dictionary_compare_is_antisymmetric(left, right):
    forward, backward = DictionaryCompare(left, right), DictionaryCompare(right, left)
    assert (forward > 0) - (forward < 0) == (backward < 0) - (backward > 0)
    assert DictionaryCompare(left, left) == 0


# Tcl holds NUL as the two bytes C0 80, and tkinter hands Python's NUL to Tcl in a form that
# lsort orders differently: the NULs are made inside Tcl, from "~".
_LSORT_WITH_NUL = (
    "lmap w [lsort -dictionary [lmap w $words {string map [list ~ [format %c 0]] $w}]] "
    "{string map [list [format %c 0] ~] $w}"
)


@settings(max_examples=300, deadline=None)
@given(words=st.lists(st.text(alphabet="aAb01~", max_size=6), max_size=30))
def test_dictionary_order_with_nul_matches_lsort(shared, words):
    expected = shared.tk.splitlist(shared.tk.call("apply", ["words", _LSORT_WITH_NUL], words))
    with_nul = [w.replace("~", "\0") for w in words]
    for key in (functools.cmp_to_key(DictionaryCompare), dictionary_key):
        assert [w.replace("\0", "~") for w in sorted(with_nul, key=key)] == list(expected)


# --- dictionary_key ----------------------------------------------------------------------------

_key_texts = st.one_of(st.text(max_size=8), st.text(alphabet="aAbB0019\0é\u0663\u0130 ", max_size=8))


@settings(max_examples=500, deadline=None)
@given(words=st.lists(_key_texts, max_size=40))
def test_dictionary_key_sorts_as_the_compare(words):
    assert sorted(words, key=dictionary_key) == sorted(
        words, key=functools.cmp_to_key(DictionaryCompare))


@given(left=_key_texts, right=_key_texts)
def test_dictionary_key_comparisons(left, right):
    diff = DictionaryCompare(left, right)
    a, b = dictionary_key(left), dictionary_key(right)
    assert (a < b, a <= b, a == b, a != b, a > b, a >= b) == (
        diff < 0, diff <= 0, diff == 0, diff != 0, diff > 0, diff >= 0)


@settings(max_examples=200, deadline=None)
@given(words=st.lists(_words, max_size=40))
def test_dictionary_key_matches_lsort(shared, words):
    expected = shared.tk.splitlist(shared.tk.call("lsort", "-dictionary", tuple(words)))
    assert sorted(words, key=dictionary_key) == list(expected)


def test_dictionary_key_object():
    key = dictionary_key("x10")
    assert type(key) is dictionary_key and key.text == "x10"
    assert repr(key) == "dictionary_key('x10')"
    assert str(inspect.signature(dictionary_key)) == "(text)"
    for text in ("é\0x", "\U0001F600a", "\u0663", ""):  # the characters it keeps read back
        assert dictionary_key(text).text == text
    assert sys.getsizeof(dictionary_key("a" * 100)) > sys.getsizeof(dictionary_key("a"))
    assert dictionary_key(text=10).text == "10" and dictionary_key(10) > dictionary_key(9)
    assert dictionary_key(Text("ignored")).text == "x y"  # str() of the argument, as compared
    assert sorted([3, "x", 20, "X"], key=dictionary_key) == [3, 20, "X", "x"]
    assert dictionary_key("a") == dictionary_key("a") and dictionary_key("a") != "a"
    with pytest.raises(TypeError):
        dictionary_key("a") < "b"  # noqa: B015
    with pytest.raises(TypeError, match="unhashable"):
        hash(key)
    with pytest.raises(AttributeError):
        key.text = "y"
    with pytest.raises(TypeError):
        dictionary_key()
    with pytest.raises(TypeError):
        dictionary_key("a", "b")
    with pytest.raises(TypeError):
        class Sub(dictionary_key):  # noqa: F841
            pass


def test_dictionary_key_str_failure_propagates():
    class Bad:
        def __str__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        dictionary_key(Bad())
    with pytest.raises(ZeroDivisionError):
        sorted(["a", Bad()], key=dictionary_key)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves address space")
def test_out_of_memory_is_memory_error():
    out = run_python("""
        import resource, tkinter
        from ortan.tcl.internal import GetListFromAny, dictionary_key
        text = "é ab " * 2_000_000
        words = text.split()
        # Binds Tcl first: that makes an interpreter, and Tcl ends the process when it cannot
        # allocate (as in any call into Tcl).
        GetListFromAny("x")
        resource.setrlimit(resource.RLIMIT_AS, (150_000_000,) * 2)
        for call in (lambda: GetListFromAny(text), lambda: sorted(words, key=dictionary_key)):
            try:
                call()
                print("done")
            except MemoryError:
                print("MemoryError")
    """)
    assert out.split() == ["MemoryError", "MemoryError"]


@needs_proc_maps
@pytest.mark.skipif(not shutil.which("patchelf"), reason="needs patchelf")
def test_works_when_tkinters_tcl_goes_by_another_name(tmp_path):
    # A copy of Tcl with a new file name and SONAME, and copies of _tkinter and Tk that need it
    # by that name: nothing of the package may depend on what Tcl's library is called.
    import _tkinter

    library = _mapped_file(_address(TclDLL.Tcl_CreateInterp))
    renamed = tmp_path / "libtclrenamed.so.7"
    shutil.copy(library, renamed)
    subprocess.run(["patchelf", "--set-soname", renamed.name, str(renamed)], check=True)
    tk_library = None
    with open("/proc/self/maps") as maps:
        for line in maps:
            if "/libtk8" in line:
                tk_library = os.path.realpath(line.split(maxsplit=5)[5].strip())
    extension = tmp_path / os.path.basename(_tkinter.__file__)
    shutil.copy(_tkinter.__file__, extension)
    for copy in [extension] + ([tmp_path / "libtkrenamed.so"] if tk_library else []):
        if copy != extension:
            shutil.copy(tk_library, copy)
            subprocess.run(["patchelf", "--set-soname", copy.name, str(copy)], check=True)
            subprocess.run(["patchelf", "--replace-needed", os.path.basename(tk_library),
                            copy.name, str(extension)], check=True)
        for needed in ("libtcl8.6.so", "libtcl8.6.so.0"):
            subprocess.run(["patchelf", "--replace-needed", needed, renamed.name, str(copy)],
                           check=True)
        subprocess.run(["patchelf", "--set-rpath", str(tmp_path), str(copy)], check=True)
    out = run_python("""
        import sys
        sys.path.insert(0, %r)
        import _tkinter, tkinter
        assert _tkinter.__file__.startswith(%r), _tkinter.__file__
        import ortan.tcl
        from ortan.tcl import internal
        from ortan.tcl.namespace import TclCommand
        tcl = ortan.tcl.Interpreter()
        TclCommand("twice", tcl=tcl).createcommand(lambda x: int(x) * 2)
        with open("/proc/self/maps") as maps:
            tcls = sorted({line.split()[-1] for line in maps if "/libtcl" in line})
        print(internal.lib, internal.GetListFromAny("a {b c} d\\\\ e"),
              internal.DictionaryCompare("x9", "x10"), tcl.tk.eval("twice 21"), tcls, sep=" | ")
        try:
            internal.GetListFromAny("x {y", tkinter.Tcl())
        except tkinter.TclError as e:
            print(e)
    """ % (str(tmp_path), str(tmp_path)))
    first, error = out.splitlines()
    lib, split, order, twice, tcls = first.split(" | ")
    assert lib == str(renamed)
    assert (split, order, twice) == ("('a', 'b c', 'd e')", "-1", "42")
    assert tcls == repr([str(renamed)])
    assert error == "unmatched open brace in list"


# A fake interpreter record whose stub table has the given magic; every function slot points at
# a harmless function, and Tcl_GetVersion (slot 279) reports `version`.
_FAKE_TABLE = """
    import ctypes
    from ortan.tcl import internal
    VersionFn = ctypes.CFUNCTYPE(None, *[ctypes.POINTER(ctypes.c_int)] * 4)
    def get_version(major, minor, patch, kind):
        major[0], minor[0], patch[0] = {version}
    version_fn = VersionFn(get_version)
    nothing = ctypes.CFUNCTYPE(None)(lambda: None)
    class Table(ctypes.Structure):
        _fields_ = [("magic", ctypes.c_int), ("hooks", ctypes.c_void_p),
                    ("slots", ctypes.c_void_p * 700)]
    table = Table(magic={magic})
    for i in range(700):
        table.slots[i] = ctypes.cast(nothing, ctypes.c_void_p)
    table.slots[279] = ctypes.cast(version_fn, ctypes.c_void_p)
    record = (ctypes.c_void_p * 4)(None, None, None, ctypes.addressof(table))
    try:
        internal._adopt_interp(ctypes.addressof(record))
    except RuntimeError as e:
        print(e)
"""


@pytest.mark.parametrize(
    "magic, version, message",
    [
        (0x12345678, (8, 6, 13), "has no stub table of Tcl 8 (magic 0xFCA3BACF) or Tcl 9 "
                                 "(0xFCA3BAD3): found 0x12345678"),
        (-0x035C4531, (8, 5, 19), "Tcl 8.5.19 (stub table magic 0xFCA3BACF) is not supported: "
                                  "this build binds Tcl 8.6 and 9.0"),
        (-0x035C4531, (9, 0, 4), "Tcl 9.0.4 (stub table magic 0xFCA3BACF) is not supported"),
        (-0x035C452D, (9, 1, 0), "Tcl 9.1.0 (stub table magic 0xFCA3BAD3) is not supported"),
    ],
    ids=["unknown-magic", "tcl-8.5", "tcl-9-with-tcl-8-magic", "tcl-9.1"],
)  # fmt: skip
def test_unknown_stub_table_is_refused_naming_what_was_found(magic, version, message):
    out = run_python(_FAKE_TABLE.format(magic=magic, version=version))
    assert message in out

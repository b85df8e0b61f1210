"""Threads, several interpreters and subinterpreters: calls from worker threads while the owner
runs mainloop(), the causes of their errors, exceptions kept per interpreter, deleted
interpreters, and imports in subinterpreters."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import tkinter

import pytest

import ortan.tcl
from ortan.tcl.internal import GetListFromAny, Tcl_Interp_p, TclError_from_interp
from ortan.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable

TclError = tkinter.TclError

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    ortan.tcl.namespace.__file__))))


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter that imports the same build; returns the result."""
    environ = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=environ)


def bad(tag="bad thing"):
    raise ValueError(tag)


@pytest.fixture
def app(display):
    root = tkinter.Tk()
    yield root
    root.destroy()


def in_workers(app, *targets):
    """Runs each target in a thread of its own while `app` runs mainloop(); returns when all
    are done. The threads start from inside the loop, so that tkinter marshals their calls."""
    threads = [threading.Thread(target=target) for target in targets]

    def poll():
        if any(thread.is_alive() for thread in threads):
            app.after(5, poll)
        else:
            app.quit()

    def start():
        for thread in threads:
            thread.start()
        poll()

    app.after(0, start)
    app.mainloop()
    for thread in threads:
        thread.join()


def outcome(func):
    """What `func()` gives: ("ok", result) or ("error", type, args, errorinfo, errorcode)."""
    def plain(value):  # exceptions inside are compared by type and arguments
        if isinstance(value, BaseException):
            return (type(value), tuple(plain(arg) for arg in value.args))
        return value

    try:
        return ("ok", func())
    except Exception as error:  # noqa: BLE001 (the outcome is compared, whatever it is)
        return ("error", type(error), plain(error), getattr(error, "errorinfo", None),
                getattr(error, "errorcode", None))


# ---------------------------------------------------------------------------------------------
# Worker threads get what the owner thread gets


def worker_cases(tcl):
    tcl.tk.eval("set ::v {a b}; array set ::arr {k 1}; namespace eval ::ns {variable w 2}")
    ns = TclNamespace("::ns", tcl=tcl)
    return {
        "hop": lambda: tcl.hop.set("::v"),
        "hop-text": lambda: tcl.hop.set("::v", cast_=False),
        "hop-error": lambda: tcl.hop.error("x"),
        "hop-error-code": lambda: tcl.hop.error("x", "", "MY CODE"),
        "command": lambda: TclCommand("::list", tcl=tcl)("a", "b c"),
        "command-call": lambda: TclCommand("::list", tcl=tcl).call("a", opt="b"),
        "command-eval": lambda: TclCommand("::list", tcl=tcl).eval("a", "b c"),
        "command-error": lambda: TclCommand("::error", tcl=tcl)("boom"),
        "variable": lambda: TclVariable("::v", tcl=tcl).get(),
        "variable-str": lambda: TclVariable("::v", tcl=tcl).get_str(),
        "variable-missing": lambda: TclVariable("::nope", tcl=tcl).get_str(),
        "array": lambda: TclArrayVariable("::arr", tcl=tcl).get_str("k"),
        "vars": lambda: tcl.vars["v"],
        "vars-missing": lambda: tcl.vars["nope"],
        "vars-in": lambda: ("v" in tcl.vars, "nope" in tcl.vars),
        "view-items": lambda: sorted(ns.vars.items()),
        "namespace-eval": lambda: ns.eval("set w"),
        "cmds": lambda: "set" in TclNamespace("::", tcl=tcl).cmds,
    }


def test_worker_threads_get_what_the_owner_gets(app):
    tcl = ortan.tcl.Interpreter(app)
    cases = worker_cases(tcl)
    expected = {name: outcome(case) for name, case in cases.items()}
    got = {}

    def worker():
        for name, case in cases.items():
            got[name] = outcome(case)

    in_workers(app, worker)
    assert got == expected
    assert expected["hop-error"][0] == "error" and expected["hop-error"][1] is TclError


def test_worker_without_mainloop_gets_tkinters_own_error(tcl):
    errors = []

    def worker():
        for call in (lambda: tcl.hop.set("::x", 1), lambda: TclCommand("::list", tcl=tcl)()):
            try:
                call()
            except Exception as error:  # noqa: BLE001
                errors.append(error)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert [type(error) for error in errors] == [RuntimeError, RuntimeError]


@pytest.mark.parametrize("how", ["command", "hop"])
def test_causes_across_threads_are_each_calls_own(app, how):
    tcl = ortan.tcl.Interpreter(app)
    TclNamespace("::", tcl=tcl).cmds["bad"] = bad
    command = TclCommand("::bad", tcl=tcl)
    call = command if how == "command" else tcl.hop.bad
    wrong = {}

    def worker(name):
        def run():
            count = 0
            for i in range(300):
                tag = "%s-%d" % (name, i)
                try:
                    call(tag)
                except TclError as error:
                    cause = error.__cause__
                    count += not (type(cause) is ValueError and cause.args == (tag,))
            wrong[name] = count
        return run

    in_workers(app, worker("a"), worker("b"))
    assert wrong == {"a": 0, "b": 0}


# ---------------------------------------------------------------------------------------------
# Exceptions are kept per interpreter, and released on its thread


def test_worker_interpreter_with_failed_callbacks_and_many_more_failures():
    # A worker's own interpreter keeps its callbacks' exceptions to itself; nothing the main
    # thread does releases them (its interpreter would be deleted on the wrong thread).
    result = run_python("""
        import gc, threading
        import ortan.tcl
        from ortan.tcl.namespace import TclCommand, TclNamespace
        def bad(*words):
            raise ValueError("bad")
        def worker():
            tcl = ortan.tcl.Interpreter()
            TclNamespace("::", tcl=tcl).cmds["bad"] = bad
            tcl.tk.eval("catch bad")
            tcl.hop.eval("catch bad")
            try:
                TclCommand("::bad", tcl=tcl)()
            except Exception:
                pass
        thread = threading.Thread(target=worker)
        thread.start()
        thread.join()
        main = ortan.tcl.Interpreter()
        TclNamespace("::", tcl=main).cmds["bad"] = bad
        for i in range(200):
            main.tk.eval("catch bad")
            main.hop.eval("catch bad")
        gc.collect()
        print("went on")
    """)
    assert (result.returncode, result.stdout.strip()) == (0, "went on"), result.stderr


# ---------------------------------------------------------------------------------------------
# Error text grows linearly with nesting


def nested_error_info(depth):
    tcl = ortan.tcl.Interpreter()

    def level(n):
        n = int(n)
        if n == 0:
            raise ValueError("bottom")
        return tcl.hop.level(n - 1)

    TclNamespace("::", tcl=tcl).cmds["level"] = level
    with pytest.raises(TclError) as info:
        tcl.hop.level(depth)
    assert info.value.errorinfo.splitlines()[0].endswith("ValueError: bottom")
    return len(info.value.errorinfo)


def test_error_text_grows_linearly_with_nesting():
    shallow = nested_error_info(3)
    assert nested_error_info(12) < 8 * shallow  # first a depth that doubling keeps affordable
    assert nested_error_info(30) < 20 * shallow


def test_nesting_until_tcl_stops_it_ends_with_a_small_error():
    result = run_python("""
        import os, resource, sys, tkinter
        import ortan.tcl
        from ortan.tcl.namespace import TclNamespace
        # Text that doubled at each level would fail here rather than take the machine's memory
        # (not under AddressSanitizer, which reserves far more address space than it uses).
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        sys.setrecursionlimit(20000)
        tcl = ortan.tcl.Interpreter()
        TclNamespace("::", tcl=tcl).cmds["again"] = lambda: tcl.hop.again()
        try:
            tcl.hop.again()
        except tkinter.TclError as error:
            print(len(error.errorinfo), "nested" in error.errorinfo)
    """, timeout=300)
    assert result.returncode == 0, result.stderr
    size, tcl_said_so = result.stdout.split()
    assert int(size) < 1_000_000 and tcl_said_so == "True"


# ---------------------------------------------------------------------------------------------
# Deleted interpreters and raw addresses


def test_deleted_interpreter_is_refused():
    app = tkinter.Tcl()
    address = app.tk.interpaddr()
    GetListFromAny("a b", app)  # met through its tkinter object
    with pytest.raises(TclError, match="unmatched open brace"):
        GetListFromAny("{a", Tcl_Interp_p(address))
    del app
    gc.collect()
    for use in (lambda: GetListFromAny("{a", Tcl_Interp_p(address)),
                lambda: TclError_from_interp(Tcl_Interp_p(address))):
        with pytest.raises(RuntimeError, match="deleted"):
            use()


def test_many_interpreters_are_all_remembered():
    apps = [tkinter.Tcl() for _ in range(80)]
    for app in apps:
        GetListFromAny("a", app)
    for app in apps:
        with pytest.raises(TclError, match="unmatched open brace"):
            GetListFromAny("{a", Tcl_Interp_p(app.tk.interpaddr()))


def test_raw_address_from_another_thread_is_refused(tcl):
    GetListFromAny("a", tcl._root)
    errors = []

    def worker():
        for use in (lambda: GetListFromAny("{a", Tcl_Interp_p(tcl.tk.interpaddr())),
                    lambda: GetListFromAny("{a", tcl._root)):
            try:
                use()
            except RuntimeError as error:
                errors.append(error)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert len(errors) == 2 and all("thread" in str(error) for error in errors)


# ---------------------------------------------------------------------------------------------
# What the package relies on in tkinter: canaries


def test_tkinter_refuses_exprboolean_from_another_thread_and_keeps_the_result(tcl):
    # How a thread tells that it owns an interpreter: tkinter refuses `exprboolean` from any
    # other thread, and on the owner it leaves the interpreter's result alone.
    tcl.tk.call("set", "x", "kept")
    assert tcl.tk.exprboolean("1")
    from ortan.tcl.internal import TclDLL
    assert TclDLL.Tcl_GetStringResult(tcl._root) == b"kept"
    errors = []
    thread = threading.Thread(target=lambda: errors.append(outcome(lambda: tcl.tk.exprboolean("1"))))
    thread.start()
    thread.join()
    assert errors[0][:2] == ("error", RuntimeError)


def test_tkinter_hands_an_object_of_an_unknown_type_as_tcl_obj(tcl):
    # How a failure comes back from another thread: an object of a Tcl type that tkinter does
    # not know reaches Python as a _tkinter.Tcl_Obj with its type name and text.
    tcl.hop.set("::x", 1)  # the interpreter is set up
    failure = tcl.tk.call("::__ortan__call", "c", "error", "x")
    assert type(failure) is tkinter._tkinter.Tcl_Obj
    assert failure.typename == "ortan.outcome" and failure.string.startswith("ortan-outcome ")


# ---------------------------------------------------------------------------------------------
# Imports: once per process, never in a subinterpreter


def test_a_second_import_has_the_first_ones_classes():
    result = run_python("""
        import sys
        from ortan.tcl.nestmap import Nestmap
        from ortan.tcl import namespace
        first = namespace.TclCommand
        for name in ("ortan.tcl.nestmap", "ortan.tcl.namespace"):
            del sys.modules[name]
        import ortan.tcl.nestmap, ortan.tcl.namespace
        print(ortan.tcl.nestmap.Nestmap is Nestmap, ortan.tcl.namespace.TclCommand is first)
    """)
    assert (result.returncode, result.stdout.split()) == (0, ["True", "True"]), result.stderr


# Runs in each subinterpreter: imports one module and appends the outcome to a file.
IMPORT_ONE = """
try:
    import {module}
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
with open({path!r}, "a") as out:
    out.write("{module} " + outcome + "\\n")
"""

# Imports each of MODULES in a legacy (shared-GIL) subinterpreter of its own.
SUBINTERPRETERS = """
import sys, tempfile
try:
    import _interpreters as interpreters  # 3.13 and later
except ImportError:
    try:
        import _xxsubinterpreters as interpreters  # 3.11, 3.12
    except ImportError:
        print("none")
        sys.exit(0)

def legacy():
    if hasattr(interpreters, "new_config"):
        return interpreters.create(interpreters.new_config("legacy"))
    try:
        return interpreters.create(isolated=False)
    except TypeError:
        return interpreters.create()

run = getattr(interpreters, "exec", None) or interpreters.run_string
path = tempfile.mktemp()
for module in MODULES:
    interp = legacy()
    run(interp, IMPORT_ONE.format(module=module, path=path))
    interpreters.destroy(interp)
print(open(path).read())
"""


def test_modules_in_a_subinterpreter_refuse_to_import_and_do_not_crash():
    modules = ["ortan.tcl.%s" % name for name in
               ("scribe", "internal", "namespace", "nestmap", "history", "hop", "cast")]
    result = run_python("MODULES = %r\nIMPORT_ONE = %r\n%s" % (modules, IMPORT_ONE, SUBINTERPRETERS))
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "none":
        pytest.skip("this CPython has no subinterpreter module")
    lines = result.stdout.split("\n")
    for module in modules:
        [line] = [line for line in lines if line.startswith(module + " ")]
        assert "ImportError" in line and "subinterpreter" in line, line

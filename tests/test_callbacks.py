"""Python callables registered as Tcl commands (namespace): their results, their errors as Tcl
sees them and as Python sees them again, background errors in a Tk event loop, and deletion from
another thread."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import tkinter
import weakref

import pytest

import ortan.tcl
from ortan.tcl.namespace import TclCommand, TclNamespace, TempTclCommand

TclError = tkinter.TclError


# The directory holding the package these tests import (installed, in place or the sanitizer
# build), so that a subprocess imports the same build.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    ortan.tcl.namespace.__file__))))


def run_python(code, env=None, timeout=60):
    """Runs `code` in a fresh interpreter that imports the same build; returns the result."""
    environ = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, **(env or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=environ)


def bad(*words):
    raise ValueError("bad thing")


# The three ways the package registers a callable, each leaving the Tcl command `name`.
def by_view(tcl, name, func):
    TclNamespace("::", tcl=tcl).cmds[name] = func


def by_createcommand(tcl, name, func):
    TclCommand(name, tcl=tcl).createcommand(func)


def by_temporary(tcl, name, func):
    command = TempTclCommand(func, cmd_name=name, tcl=tcl)
    tcl.keep = command  # collected with the interpreter, not at the end of this function


REGISTRATIONS = pytest.mark.parametrize(
    "register", [by_view, by_createcommand, by_temporary], ids=["view", "createcommand", "temp"])


# ---------------------------------------------------------------------------------------------
# Errors as Tcl sees them


@REGISTRATIONS
def test_error_message_info_and_code_in_tcl(tcl, register):
    register(tcl, "::cb_bad", bad)
    result = tcl.tk.eval(
        "list [catch {::cb_bad x {y z}} msg opts] $msg [dict get $opts -errorcode] $::errorInfo")
    code, message, errorcode, info = tcl.cast_list(result)
    assert (code, message) == ("1", "ValueError: bad thing")
    assert tcl.cast_list(errorcode)[:2] == ("ORTAN", "PYERR")
    # The message first, as Tcl's own errors have it; the Python traceback after it.
    assert info.splitlines()[:2] == ["ValueError: bad thing", "Traceback (most recent call last):"]
    assert 'raise ValueError("bad thing")' in info and "in bad" in info
    views = TclNamespace("::", tcl=tcl)
    assert "cb_bad" in views.cmds and "cb_bad" not in views.procs  # a plain command


def test_message_of_an_exception_without_text(tcl):
    def empty():
        raise KeyError()

    by_view(tcl, "::cb_empty", empty)
    assert tcl.tk.eval("catch ::cb_empty msg; set msg") == "KeyError"


# ---------------------------------------------------------------------------------------------
# Errors as Python sees them again


def test_tcl_command_call_has_the_exception_as_cause(tcl):
    by_view(tcl, "::cb_bad", bad)
    command = TclCommand("::cb_bad", tcl=tcl)
    for call in (command, command.call, command.eval):
        with pytest.raises(TclError, match="^ValueError: bad thing$") as info:
            call("x")
        cause = info.value.__cause__
        assert type(cause) is ValueError and cause.args == ("bad thing",)
        assert cause.__traceback__ is not None


def test_error_through_a_tcl_proc_keeps_its_cause(tcl):
    by_view(tcl, "::cb_bad", bad)
    tcl.tk.eval("proc ::outer {} { ::cb_bad 1 }")
    with pytest.raises(TclError) as info:
        TclCommand("::outer", tcl=tcl)()
    assert isinstance(info.value.__cause__, ValueError)


def test_later_tcl_error_has_no_stale_cause(tcl):
    by_view(tcl, "::cb_bad", bad)
    tcl.tk.eval("catch ::cb_bad")
    with pytest.raises(TclError) as info:
        TclCommand("::error", tcl=tcl)("plain")
    assert info.value.__cause__ is None


@pytest.mark.parametrize("script", [
    "error forged {} {ORTAN PYERR 0000000000000001}",
    "error forged {} $::code",  # a code that an earlier call's callback left behind
    "error forged {} [list ORTAN PYERR [lindex $::code 2]]",
], ids=["guessed", "earlier-call", "rebuilt"])
def test_code_written_by_tcl_gets_no_cause(tcl, script):
    by_view(tcl, "::cb_bad", bad)
    with pytest.raises(TclError):
        TclCommand("::eval", tcl=tcl)("::cb_bad")
    tcl.tk.eval("catch ::cb_bad msg opts; set ::code [dict get $opts -errorcode]")
    for run in (TclCommand("::eval", tcl=tcl), tcl.hop.eval):
        with pytest.raises(TclError) as info:
            run(script)
        assert info.value.__cause__ is None


def test_cause_kept_when_tcl_raises_the_error_again(tcl):
    by_view(tcl, "::cb_bad", bad)
    tcl.tk.eval("""proc ::again {} {
        catch ::cb_bad msg opts
        set x [string length $msg]
        return -options $opts "again: $msg"
    }""")
    for run in (TclCommand("::again", tcl=tcl), tcl.hop.again):
        with pytest.raises(TclError, match="ValueError: bad thing") as info:
            run()
        assert type(info.value.__cause__) is ValueError


def test_another_interpreters_code_gets_no_cause(tcl):
    other = ortan.tcl.Interpreter()
    by_view(other, "::cb_bad", bad)
    by_view(tcl, "::cb_bad", bad)
    tcl.tk.eval("catch ::cb_bad msg opts; set ::code [dict get $opts -errorcode]")
    other.tk.setvar("code", tcl.tk.getvar("::code"))
    with pytest.raises(TclError) as info:
        TclCommand("::eval", tcl=other)("error x {} $::code")
    assert info.value.__cause__ is None


def test_caught_errors_are_not_kept_past_their_call(tcl):
    # A traceback holds frames and all they hold; what no call claimed is dropped when its
    # call ends.
    class Payload:
        pass

    payload = Payload()
    alive = weakref.ref(payload)

    def holds(*_):
        local = payload  # noqa: F841 (kept alive by the traceback's frame)
        raise ValueError("held")

    by_view(tcl, "::cb_holds", holds)
    del payload
    TclCommand("::eval", tcl=tcl)("catch ::cb_holds")
    tcl.hop.eval("catch ::cb_holds")
    gc.collect()
    assert alive() is None


def test_nothing_is_raised_later_by_mainloop(tcl):
    by_view(tcl, "::cb_bad", bad)
    tcl.tk.eval("catch ::cb_bad")
    tcl.tk.call("after", 1, "set ::done 1")
    tcl.tk.call("vwait", "::done")
    tcl.tk.dooneevent(tkinter._tkinter.DONT_WAIT)  # tkinter raises what it kept here


# ---------------------------------------------------------------------------------------------
# Results


class WithHook:
    def __tclobj__(self):
        return ("hook", "a b")


@pytest.mark.parametrize(
    "value, text",
    [
        (None, ""),
        ("a b", "a b"),
        ("", ""),
        (7, "7"),
        (-2.5, "-2.5"),
        (True, "1"),
        (2**70, str(2**70)),
        ([1, "a b"], "1 {a b}"),
        ((), ""),
        ([[1, 2], []], "{1 2} {}"),
        ({"a": 1, "b c": [2, 3]}, "a 1 {b c} {2 3}"),
        (WithHook(), "hook {a b}"),
        ("é ü", "é ü"),
    ],
    ids=["None", "text", "empty", "int", "float", "bool", "bigint", "list", "empty-tuple",
         "nested", "mapping", "hook", "non-ascii"],
)
def test_result_goes_through_tclobj(tcl, value, text):
    by_view(tcl, "::cb_value", lambda: value)
    assert tcl.tk.eval("::cb_value") == text
    assert tcl.tk.eval("string length [::cb_value]") == str(len(text))


def test_words_arrive_as_text(tcl):
    seen = []
    by_view(tcl, "::cb_words", lambda *words: seen.append(words))
    tcl.tk.eval("::cb_words 1 {a b} {} é [list x y]")
    assert seen == [("1", "a b", "", "é", "x y")]


def test_result_that_tclobj_refuses_is_an_error(tcl):
    by_view(tcl, "::cb_self", lambda: _SelfList())
    with pytest.raises(TclError, match="RecursionError"):
        TclCommand("::cb_self", tcl=tcl)()


class _SelfList(list):
    def __init__(self):
        super().__init__()
        self.append(self)


# ---------------------------------------------------------------------------------------------
# Lifetime and threads


def test_callable_released_when_the_command_goes(tcl):
    class Callable:
        def __call__(self):
            return "x"

    func = Callable()
    alive = weakref.ref(func)
    by_view(tcl, "::cb_gone", func)
    del func
    assert tcl.tk.eval("::cb_gone") == "x"
    tcl.tk.call("rename", "::cb_gone", "")
    gc.collect()  # the reference may be dropped from Python's pending calls
    assert alive() is None


def test_registering_from_another_thread_is_refused(tcl):
    errors = []

    def register():
        try:
            by_view(tcl, "::cb_thread", bad)
        except RuntimeError as exc:
            errors.append(exc)

    worker = threading.Thread(target=register)
    worker.start()
    worker.join()
    assert len(errors) == 1 and "thread" in str(errors[0])
    assert tcl.tk.call("info", "commands", "::cb_thread") == ""


def test_replacing_a_tkinter_command(tcl):
    tcl.tk.createcommand("::cb_twice", lambda: "tkinter")
    by_view(tcl, "::cb_twice", lambda: "ours")
    by_view(tcl, "::cb_twice", lambda: "ours again")
    assert tcl.tk.eval("::cb_twice") == "ours again"


def test_tkinter_calls_inside_a_callback_then_tkinter_commands():
    # A callback that uses tkinter, followed by tkinter's own commands in the same evaluation:
    # tkinter's record of the thread state must be intact afterwards (a crash otherwise).
    result = run_python("""
        import ortan.tcl
        from ortan.tcl.namespace import TclNamespace
        tcl = ortan.tcl.Interpreter()
        tk = tcl.tk
        tk.createcommand("tkcmd", lambda: "tk")
        TclNamespace("::", tcl=tcl).cmds["uses_tk"] = lambda: tk.call("set", "::z", "1")
        print(tk.eval("uses_tk; tkcmd; uses_tk; tkcmd; after 1 {set ::w 1}; update; tkcmd"))
    """)
    assert (result.returncode, result.stdout.strip()) == (0, "tk"), result.stderr


def test_temporary_command_dropped_in_another_thread():
    result = run_python("""
        import gc, sys, threading, time
        import ortan.tcl
        from ortan.tcl.namespace import TempTclCommand
        tcl = ortan.tcl.Interpreter()
        held = [TempTclCommand(lambda: "x", tcl=tcl)]
        name = held[0].cmd_name
        unraisable = []
        sys.unraisablehook = unraisable.append
        took = []
        def drop():
            start = time.perf_counter()
            held.clear()
            gc.collect()
            took.append(time.perf_counter() - start)
        worker = threading.Thread(target=drop)
        worker.start()
        worker.join()
        before = tcl.tk.call("info", "commands", name)
        tcl.tk.call("update")
        after = tcl.tk.call("info", "commands", name)
        print(bool(before), bool(after), unraisable, took[0] < 0.5)
    """, env={"PYTHONWARNINGS": "error::RuntimeWarning"})
    assert result.stdout.split() == ["True", "False", "[]", "True"], result.stderr
    assert result.returncode == 0 and result.stderr == ""


def test_temporary_command_whose_name_was_taken_again_is_kept():
    # The queued deletion removes only the command the collected object registered.
    result = run_python("""
        import gc, threading
        import ortan.tcl
        from ortan.tcl.namespace import TclNamespace, TempTclCommand
        tcl = ortan.tcl.Interpreter()
        held = [TempTclCommand(lambda: "x", cmd_name="::taken", tcl=tcl)]
        worker = threading.Thread(target=lambda: (held.clear(), gc.collect()))
        worker.start()
        worker.join()
        TclNamespace("::", tcl=tcl).cmds["taken"] = lambda: "new"
        tcl.tk.call("update")
        print(tcl.tk.eval("::taken"))
    """)
    assert (result.returncode, result.stdout.strip()) == (0, "new"), result.stderr


# ---------------------------------------------------------------------------------------------
# A Tk application: background errors


@pytest.fixture
def app(display):
    root = tkinter.Tk()
    yield root
    root.destroy()


def test_tk_button_error_is_reported_and_the_loop_goes_on(app):
    reported, clicks, ticks = [], [], []
    app.report_callback_exception = lambda *exc_info: reported.append(exc_info)
    tcl = ortan.tcl.Interpreter(app)

    def click():
        clicks.append(1)
        app.title("clicked")  # tkinter used inside the callback
        raise ValueError("bad click")

    with TempTclCommand(click, tcl=tcl) as command:
        button = tkinter.Button(app, text="boom", command=command.cmd_name)
        button.pack()
        app.update()
        button.bind("<<Boom>>", f"{button._w} invoke")  # a Tcl script: a background error
        app.after(10, lambda: button.event_generate("<<Boom>>", when="tail"))
        app.tk.call("after", 20, (button._w, "invoke"))
        app.after(40, lambda: ticks.append(1))
        app.after(200, app.quit)
        app.mainloop()
    assert len(clicks) == 2 and ticks == [1]
    assert [(t, str(v)) for t, v, tb in reported] == [(ValueError, "bad click")] * 2
    assert all(tb is not None for t, v, tb in reported)
    assert app.title() == "clicked"


def test_tk_other_background_errors_reach_the_application_handler(app):
    app.tk.eval("proc bgerror {message} { lappend ::app_errors $message }")
    reported = []
    app.report_callback_exception = lambda *exc_info: reported.append(exc_info)
    tcl = ortan.tcl.Interpreter(app)
    TclNamespace("::", tcl=tcl).cmds["cb_bad"] = bad  # installs the package's handler
    app.tk.call("after", 1, "error {plain failure}")
    app.tk.call("after", 2, "::cb_bad")
    app.tk.call("after", 3, "error {second failure}")
    # Our code, but no exception kept under it: passed on as any other error.
    app.tk.call("after", 4, "error forged {} {ORTAN PYERR 0}")
    app.tk.call("after", 5, "error huge {} {ORTAN PYERR 99999999999999999999999}")
    app.after(100, app.quit)
    app.mainloop()
    assert app.tk.splitlist(app.tk.getvar("::app_errors")) == (
        "plain failure", "second failure", "forged", "huge")
    assert [type(v) for t, v, tb in reported] == [ValueError]


def test_tk_own_interp_bgerror_handler_is_kept(app):
    app.tk.eval("proc ::my_handler {message options} { lappend ::handled $message }")
    app.tk.eval("interp bgerror {} ::my_handler")
    tcl = ortan.tcl.Interpreter(app)
    TclNamespace("::", tcl=tcl).cmds["cb_bad"] = bad
    app.tk.call("after", 1, "error {plain failure}")
    app.after(50, app.quit)
    app.mainloop()
    assert app.tk.splitlist(app.tk.getvar("::handled")) == ("plain failure",)


@pytest.mark.parametrize("pause", [0, 0.05], ids=["at-once", "after-a-pause"])
def test_background_error_without_tk_root_goes_to_stderr(pause):
    # Tcl reports background errors from an idle handler: `update` runs it after the wait.
    result = run_python("""
        import time, tkinter
        from ortan.tcl.namespace import TclNamespace
        class Host:
            def __init__(self):
                self.tk = tkinter.Tcl().tk
        host = Host()
        def bad():
            raise ValueError("in the background")
        TclNamespace("::", tcl=host).cmds["cb_bad"] = bad
        host.tk.call("after", 1, "::cb_bad")
        host.tk.call("after", 20, "set ::done 1")
        time.sleep(%r)
        host.tk.call("vwait", "::done")
        host.tk.call("update")
        print("went on")
    """ % pause)
    assert result.returncode == 0 and result.stdout.strip() == "went on", result.stderr
    assert "Traceback (most recent call last):" in result.stderr
    assert "ValueError: in the background" in result.stderr


def test_tk_system_exit_in_a_callback_ends_mainloop(app):
    tcl = ortan.tcl.Interpreter(app)
    TclNamespace("::", tcl=tcl).cmds["cb_exit"] = lambda: sys.exit(3)
    app.tk.call("after", 1, "::cb_exit")
    app.after(5000, app.quit)
    with pytest.raises(SystemExit) as info:
        app.mainloop()  # as for tkinter's own callbacks
    assert info.value.code == 3


def test_temporary_command_that_cannot_be_deleted_elsewhere_warns():
    result = run_python("""
        import gc, threading
        import ortan.tcl
        from ortan.tcl.namespace import TempTclCommand
        tcl = ortan.tcl.Interpreter()
        held = [TempTclCommand(lambda: "x", tcl=tcl)]
        held[0].cmd_name = ("not", "text")
        worker = threading.Thread(target=lambda: (held.clear(), gc.collect()))
        worker.start()
        worker.join()
    """)
    assert result.returncode == 0
    assert "RuntimeWarning" in result.stderr and "('not', 'text')" in result.stderr
    assert "left behind" in result.stderr


@REGISTRATIONS
def test_registering_something_not_callable_is_refused(tcl, register):
    with pytest.raises(TypeError, match="not callable"):
        register(tcl, "::cb_not_callable", 5)
    assert tcl.tk.call("info", "commands", "::cb_not_callable") == ""


def test_callback_that_deletes_its_own_command(tcl):
    def once():
        command.delete()
        return "last call"

    command = TempTclCommand(once, tcl=tcl)
    assert command() == "last call" and not command.exists()
    tcl.tk.createcommand("::cb_after", lambda: "tkinter still works")
    assert tcl.tk.eval("::cb_after") == "tkinter still works"


# tkinter's createcommand holds its application object until the command is deleted, before
# CPython 3.14.10 (3.15.2 on 3.15); the package's dispatcher is such a command, deleted with the
# interpreter's last callback.
CREATECOMMAND_BORROWS = sys.version_info >= ((3, 15, 2) if sys.version_info >= (3, 15) else (3, 14, 10))


@pytest.mark.parametrize("callbacks_deleted", [True, False], ids=["deleted", "kept"])
def test_interpreter_with_callbacks_is_freed_with_its_owners(callbacks_deleted):
    # Once its owners are gone (and, where tkinter's createcommand pins its application, its
    # callbacks too), an interpreter is deleted, and with it the commands and the callables
    # they hold.
    if not callbacks_deleted and not CREATECOMMAND_BORROWS:
        pytest.skip("tkinter's createcommand holds its application on this CPython")

    class Callable:
        def __call__(self):
            return "x"

    tcl = ortan.tcl.Interpreter()
    func = Callable()
    alive = weakref.ref(func)
    by_view(tcl, "::cb_kept", func)
    by_view(tcl, "::cb_other", bad)
    if callbacks_deleted:
        del TclNamespace("::", tcl=tcl).cmds["cb_kept"]
        del TclNamespace("::", tcl=tcl).cmds["cb_other"]
    del func, tcl
    gc.collect()
    gc.collect()
    assert alive() is None

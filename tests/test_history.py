import copy
import datetime
import logging
import os
import re
import subprocess
import sys
import textwrap
import time
import tkinter

import pytest
from hypothesis import given
from hypothesis import strategies as st

from ortan.tcl import history
from ortan.tcl.history import Entry, History

STAMP = datetime.datetime(2024, 1, 31, 13, 45, 7, 123456)


def filled(*apis, **kwargs):
    h = History(**kwargs)
    for api in apis:
        h.append(api)
    return h


def apis(entries):
    return [e.api for e in entries]


# --- module and classes ------------------------------------------------------------------------


def test_module_names():
    assert history.log is logging.getLogger("ortan.tcl")
    assert history.deque.__name__ == "deque" and history.re is re and history.logging is logging
    assert history.get_time() <= datetime.datetime.now()
    assert type(History) is type and type(Entry) is type
    assert History.__module__ == Entry.__module__ == "ortan.tcl.history"


def test_type_stub_matches_the_module():
    stubtest = pytest.importorskip("mypy.stubtest")
    assert stubtest.test_stubs(stubtest.parse_options(["ortan.tcl.history"])) == 0


def test_new_history():
    h = History()
    assert History.__MAX_HISTORY__ == 9999
    assert h.__history__.maxlen == 9999 and list(h.__history__) == []
    assert h.__markers__ == {} and h.__activeMarkers__ == [] and h.enabled is True


# --- Entry -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "api, line",
    [
        ("puts hi", "puts hi"),
        (["set", "a b"], "set {a b}"),
        (("set", "myVar", "value"), "set myVar value"),
        (["puts", "{a b}"], "puts {{a b}}"),
        (["puts", "a\tb"], "puts a\tb"),
        (["x"], "x"),
        ([], ""),
        (["", " "], " { }"),
    ],
    ids=["text", "space", "tuple", "braced", "tab", "one", "empty", "blank-words"],
)
def test_entry_line(api, line):
    before = datetime.datetime.now()
    entry = Entry(api)
    assert entry.api == line
    assert before <= entry.timestamp <= datetime.datetime.now()


# --- how a call ended: error, duration, script -----------------------------------------------


@pytest.fixture(scope="module")
def words_tk():
    """A Tcl interpreter with `rec`, which returns its arguments as a list."""
    tk = tkinter.Tcl().tk
    tk.eval("proc rec {args} { return $args }")
    return tk


@pytest.mark.parametrize(
    "api, script",
    [
        ("puts hi", "puts hi"),
        ("puts {a b", "puts {a b"),
        (["set", "a b"], "set {a b}"),
        (("set", "myVar", "value"), "set myVar value"),
        (["puts", "{a b}"], "puts {{a b}}"),
        (["puts", "$x [exit]", "a;b"], "puts {$x [exit]} {a;b}"),
        (["puts", "a{b", "}"], "puts a\\{b \\}"),
        (["#x", "y"], "{#x} y"),
        ([], ""),
        (["", " "], "{} { }"),
    ],
    ids=["text", "text-unbalanced", "space", "tuple", "braced", "special", "braces", "comment",
         "empty", "blank-words"],
)
def test_entry_of_append_has_no_outcome_and_a_script(api, script):
    entry = filled(api).filter()[0]
    assert entry.error is None and entry.duration is None
    assert entry.script == script


@given(st.lists(st.text(st.characters(blacklist_categories=["Cs"]), max_size=8), max_size=6))
def test_script_reads_back_as_the_words(words_tk, words):
    script = Entry(["rec"] + words).script
    assert words_tk.call("lrange", script, 0, "end") == ("rec", *words)
    assert words_tk.call("eval", "llength [%s]" % script) == len(words)
    assert words_tk.call("eval", "lrange [%s] 0 end" % script) == (tuple(words) or "")


def test_script_follows_a_new_init():
    entry = Entry(["set", "a b"])
    entry.error, entry.duration = "boom", 1.0
    entry.__init__(["set", "a b"])
    assert entry.error is None and entry.duration is None
    entry.__init__(["set", "x", "y"])
    assert entry.script == "set x y"
    entry.__init__("puts {")
    assert entry.script == "puts {"
    entry.__init__(["a b"])
    assert entry.script == "{a b}"


def test_outcome_attributes_are_plain_and_script_is_read_only():
    entry = Entry(["x"])
    entry.error, entry.duration = "boom", 0.5
    assert (entry.error, entry.duration) == ("boom", 0.5)
    with pytest.raises(AttributeError):
        entry.script = "y"
    assert "script" in dir(entry) and entry.script == "x"


def test_record_hands_back_the_entry():
    h = History()
    entry = h._record(["set", "x", "1"])
    assert entry is h.__history__[-1] and entry.api == "set x 1"
    h.disable()
    assert h._record("y") is None and len(h.__history__) == 1


# --- timestamps ---------------------------------------------------------------------------------


def expected_stamp(ns):
    """What datetime.now() makes of a clock reading of `ns` nanoseconds: the reading in whole
    microseconds (floored; from CPython 3.15 on rounded half to even, as now() does there), its
    whole seconds as fromtimestamp() converts them (local time, fold included)."""
    micros, below = divmod(ns, 1000)
    if sys.version_info >= (3, 15) and (below > 500 or (below == 500 and micros % 2)):
        micros += 1
    seconds, micro = divmod(micros, 10**6)
    return datetime.datetime.fromtimestamp(seconds).replace(microsecond=micro)


@pytest.fixture(params=["UTC", "Asia/Kolkata", "America/St_Johns"])
def zone(request, monkeypatch):
    """A local time zone for the test (restored afterwards)."""
    if not os.path.exists("/usr/share/zoneinfo/" + request.param):
        pytest.skip("no zone data for " + request.param)
    monkeypatch.setenv("TZ", request.param)
    time.tzset()
    yield request.param
    monkeypatch.undo()
    time.tzset()


def test_timestamp_is_what_now_gives_at_recording(zone):
    # Zones without daylight saving time, so that naive local times order like the clock.
    # (St. John's is 3:30 behind UTC and has DST, but not in the test's few microseconds.)
    for _ in range(200):
        before_ns, before = time.time_ns(), datetime.datetime.now()
        entry = Entry(["set", "x", "1"])
        after = datetime.datetime.now()
        assert before_ns // 1000 <= entry._timestamp_ns // 1000
        stamp = entry.timestamp
        assert type(stamp) is datetime.datetime and stamp.tzinfo is None
        assert before <= stamp <= after
        assert stamp == expected_stamp(entry._timestamp_ns)


@pytest.mark.parametrize(
    "local, fold",
    [
        ("2024-03-31 01:59:59.999999", 0),
        ("2024-03-31 03:00:00.000001", 0),
        ("2024-10-27 02:30:00.500000", 0),
        ("2024-10-27 02:30:00.500000", 1),
        ("1969-12-31 23:59:59.999999", 0),
    ],
    ids=["before-spring", "after-spring", "first-of-fold", "second-of-fold", "before-epoch"],
)
def test_timestamp_across_daylight_saving_changes(monkeypatch, local, fold):
    monkeypatch.setenv("TZ", "Europe/Berlin")
    time.tzset()
    try:
        wanted = datetime.datetime.fromisoformat(local).replace(fold=fold)
        seconds = int(wanted.replace(microsecond=0).timestamp())  # whole: exact as a float
        # Below half a microsecond over: floored and rounded alike (3.15's now() rounds).
        ns = seconds * 10**9 + wanted.microsecond * 1000 + 400
        entry = Entry("x")
        entry._timestamp_ns = ns
        stamp = entry.timestamp
        assert stamp == wanted and stamp.fold == fold
        assert stamp == expected_stamp(ns) and stamp.fold == expected_stamp(ns).fold
    finally:
        monkeypatch.undo()
        time.tzset()


def test_timestamp_is_made_once_and_kept():
    entry = Entry("x")
    assert "timestamp" not in vars(entry)
    first = entry.timestamp
    assert entry.timestamp is first and vars(entry) == {"timestamp": first}
    entry.timestamp = STAMP
    assert entry.timestamp is STAMP
    assert copy.copy(entry).timestamp is STAMP


def test_timestamp_of_an_entry_never_initialised():
    with pytest.raises(AttributeError, match="timestamp"):
        Entry.__new__(Entry).timestamp


def test_replaced_get_time_is_called_at_recording(monkeypatch):
    calls = []

    def fake():
        calls.append(1)
        return STAMP

    monkeypatch.setattr(history, "get_time", fake)
    h = History()
    h.append(["set", "x", "1"])
    entry = Entry("puts hi")
    assert len(calls) == 2
    assert h.__history__[0].timestamp is STAMP and entry.timestamp is STAMP
    assert str(entry) == "2024-01-31T13:45:07.123456: puts hi"
    with pytest.raises(AttributeError):
        entry._timestamp_ns  # no raw reading: the value was made at once
    monkeypatch.undo()
    assert Entry("x")._timestamp_ns > 0  # the stock clock again


def test_replaced_get_time_of_any_kind(monkeypatch):
    monkeypatch.setattr(history, "get_time", lambda: "not a datetime")
    assert Entry("x").timestamp == "not a datetime"
    monkeypatch.setattr(history, "get_time", datetime.datetime.now)  # the same, made afresh
    assert type(Entry("x").timestamp) is datetime.datetime
    monkeypatch.delattr(history, "get_time")
    with pytest.raises(NameError, match="get_time"):
        Entry("x")


def test_entry_keeps_text_object():
    class Text(str):
        pass

    api = Text("puts a b")
    assert Entry(api).api is api


@pytest.mark.parametrize(
    "api, message",
    [
        # CPython's own messages for the first two, not pinned: they change between versions.
        (["set", 1], None),
        (["set", ["a"]], None),
        (None, "sequence of words"),
    ],
    ids=["number-word", "list-word", "not-a-sequence"],
)
def test_entry_rejects_words_that_are_not_text(api, message):
    with pytest.raises(TypeError, match=message):
        Entry(api)


@given(st.lists(st.text(alphabet="ab ", min_size=1), max_size=6))
def test_entry_line_splits_back_into_its_words(words):
    tk = tkinter.Tcl().tk
    assert tk.splitlist(Entry(words).api) == tuple(words)


def test_entry_str_and_repr():
    entry = Entry(["set", "myVar", "value"])
    entry.timestamp = STAMP
    assert str(entry) == "2024-01-31T13:45:07.123456: set myVar value"
    assert repr(entry) == "<Entry '2024-01-31T13:45:07.123456: set myVar value' at %s>" % hex(
        id(entry)
    )


# --- capacity ----------------------------------------------------------------------------------


def test_capacity_drops_oldest_in_record_and_markers():
    h = History(max_history=3)
    h.start_marker("m")
    for i in range(4):
        h.append(["cmd", str(i)])
    assert apis(h.__history__) == ["cmd 1", "cmd 2", "cmd 3"]
    assert apis(h.__markers__["m"]) == ["cmd 1", "cmd 2", "cmd 3"]
    assert h.__markers__["m"].maxlen == 3


def test_unbounded_history():
    h = filled(*(["x", str(i)] for i in range(10050)), max_history=None)
    assert len(h.__history__) == 10050 and h.__history__.maxlen is None
    h.start_marker("m")
    assert h.__markers__["m"].maxlen is None


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"max_history": -1}, ValueError, "History() argument 'max_history' must be non-negative"),
        ({"max_history": -(2**70)}, ValueError, "must be non-negative"),
        ({"max_history": "3"}, TypeError,
         "History() argument 'max_history' must be an int or None, not 'str'"),
        ({"max_history": 2.5}, TypeError, "must be an int or None, not 'float'"),
    ],
    ids=["negative", "huge-negative", "text", "float"],
)
def test_bad_capacity(kwargs, error, message):
    with pytest.raises(error) as info:
        History(**kwargs)
    assert str(info.value) == message or message in str(info.value)
    with pytest.raises(error, match=re.escape(message)):
        History(*kwargs.values())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: History().__repr__(1), "History.__repr__() takes no arguments (1 given)"),
        (lambda: History().__str__(1, 2), "History.__str__() takes no arguments (2 given)"),
        (lambda: History().enable(1), "History.enable() takes no arguments (1 given)"),
        (lambda: History().disable(x=1), "History.disable() takes no keyword arguments"),
        (lambda: Entry("x").__str__(1), "Entry.__str__() takes no arguments (1 given)"),
        (lambda: Entry("x").__repr__(1), "Entry.__repr__() takes no arguments (1 given)"),
    ],
    ids=["repr", "str", "enable", "disable-keyword", "entry-str", "entry-repr"],
)
def test_methods_without_arguments_say_so(call, message):
    with pytest.raises(TypeError, match="^%s$" % re.escape(message)):
        call()


# --- filter ------------------------------------------------------------------------------------

CALLS = ["set a 1", "puts a", "set b 2", "incr a", "set c 3", "puts b"]


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, CALLS),
        ({"count": 2}, CALLS[-2:]),
        ({"count": 0}, CALLS),
        ({"count": -2}, CALLS[2:]),
        ({"count": 100}, CALLS),
        ({"regex": "^set "}, ["set a 1", "set b 2", "set c 3"]),
        ({"count": 3, "regex": "^set "}, ["set c 3"]),
        ({"count": 3, "regex": "a"}, ["incr a"]),
        ({"regex": ""}, CALLS),
        ({"regex": re.compile("B", re.I)}, ["set b 2", "puts b"]),
        ({"regex": "^nothing"}, []),
    ],
    ids=[
        "default",
        "last-two",
        "zero-is-all",
        "negative-drops-first",
        "more-than-held",
        "regex",
        "regex-after-cut",
        "regex-anywhere",
        "empty-regex-ignored",
        "compiled-regex",
        "no-match",
    ],
)
def test_filter(kwargs, expected):
    assert apis(filled(*CALLS).filter(**kwargs)) == expected


def test_filter_default_count_is_twenty():
    h = filled(*(["x", str(i)] for i in range(30)))
    assert apis(h.filter()) == ["x %d" % i for i in range(10, 30)]


def test_filter_returns_a_new_list_of_the_same_entries():
    h = filled(*CALLS)
    result = h.filter()
    assert type(result) is list and result[0] is h.__history__[0]
    result.clear()
    assert len(h.__history__) == len(CALLS)


def test_filter_by_marker():
    h = filled("before")
    h.start_marker("m")
    h.append("set x 1")
    h.append("puts x")
    h.end_marker("m")
    h.append("after")
    assert apis(h.filter(marker="m")) == ["set x 1", "puts x"]
    assert apis(h.filter("m", 1)) == ["puts x"]
    assert apis(h.filter("m", regex="^set ")) == ["set x 1"]


def test_filter_missing_marker():
    with pytest.raises(Exception, match=r"^No such marker: missing \(no markers\)$") as info:
        History().filter(marker="missing")
    assert type(info.value) is Exception
    assert isinstance(info.value.__context__, KeyError)


def test_filter_missing_marker_while_handling_another_error():
    outer = ValueError("outer")
    try:
        raise outer
    except ValueError:
        with pytest.raises(Exception, match=r"^No such marker: missing \(no markers\)$") as info:
            History().filter(marker="missing")
    assert isinstance(info.value.__context__, KeyError)
    assert info.value.__context__.__context__ is outer


def test_filter_invalid_regex():
    with pytest.raises(re.error):
        filled("x").filter(regex="(")


# --- markers -----------------------------------------------------------------------------------


def test_marker_started_twice_collects_twice_until_ended_twice():
    h = History()
    h.start_marker("m")
    h.start_marker("m")
    h.append("one")
    h.end_marker("m")
    h.append("two")
    h.end_marker("m")
    h.append("three")
    assert apis(h.__markers__["m"]) == ["one", "one", "two"]
    assert h.__activeMarkers__ == []
    with pytest.raises(ValueError):
        h.end_marker("m")


def test_marker_restarted_continues_its_entries():
    h = History()
    h.start_marker("m")
    h.append("one")
    h.end_marker("m")
    h.append("skipped")
    h.start_marker("m")
    h.append("two")
    assert apis(h.__markers__["m"]) == ["one", "two"]


def test_nested_markers_share_entries():
    h = History()
    h.start_marker("outer")
    h.append("a")
    h.start_marker("inner")
    h.append("b")
    h.end_marker("outer")
    h.append("c")
    assert h.__activeMarkers__ == ["inner"]
    assert apis(h.__markers__["outer"]) == ["a", "b"]
    assert apis(h.__markers__["inner"]) == ["b", "c"]
    assert h.__markers__["inner"][0] is h.__markers__["outer"][1] is h.__history__[1]


def test_end_marker_that_is_not_active():
    with pytest.raises(ValueError):
        History().end_marker("never")


@pytest.mark.parametrize(
    "started, ended, call, error, message",
    [
        (["a", "b"], [], lambda h: h.filter("nosuch"), Exception,
         "No such marker: nosuch (markers: a, b)"),
        (["a", "b"], ["b"], lambda h: h.filter(marker=("x", 1)), Exception,
         "No such marker: ('x', 1) (markers: a, b)"),
        (["a", "b"], ["b"], lambda h: h.end_marker("never"), ValueError,
         "marker 'never' is not active (active: a)"),
        (["a"], ["a"], lambda h: h.end_marker("a"), ValueError,
         "marker 'a' is not active (no marker is active)"),
        ([1, "b"], [], lambda h: h.end_marker(2), ValueError,
         "marker 2 is not active (active: 1, b)"),
    ],
    ids=["filter", "filter-tuple", "end", "end-none-active", "end-not-text"],
)
def test_marker_errors_name_the_markers(started, ended, call, error, message):
    h = History()
    for name in started:
        h.start_marker(name)
    for name in ended:
        h.end_marker(name)
    with pytest.raises(error) as info:
        call(h)
    assert type(info.value) is error and str(info.value) == message


# --- clear -------------------------------------------------------------------------------------


def marked():
    h = History()
    h.append("a")
    h.start_marker("m")
    h.start_marker("n")
    h.append("b")
    h.end_marker("n")
    return h


@pytest.mark.parametrize(
    "kwargs, main, m, n",
    [
        ({}, [], ["b"], ["b"]),
        ({"marker": "m"}, ["a", "b"], [], ["b"]),
        ({"clear_all": True}, [], [], []),
        ({"marker": "m", "clear_all": True}, [], [], []),
    ],
    ids=["main", "marker", "all", "all-wins"],
)
def test_clear(kwargs, main, m, n):
    h = marked()
    h.clear(**kwargs)
    assert apis(h.__history__) == main
    assert apis(h.__markers__["m"]) == m and apis(h.__markers__["n"]) == n
    assert h.__activeMarkers__ == ["m"]
    h.append("c")
    assert apis(h.__markers__["m"]) == m + ["c"]


def test_clear_missing_marker():
    with pytest.raises(KeyError):
        History().clear(marker="missing")


# --- enable, disable, logging ------------------------------------------------------------------


def messages(caplog):
    return [(r.name, r.levelno, r.msg, r.args) for r in caplog.records]


def test_enable_and_disable_log(caplog):
    caplog.set_level(logging.DEBUG, logger="ortan.tcl")
    h = History()
    h.disable()
    assert h.enabled is False
    h.enable()
    assert h.enabled is True
    assert [m[2] for m in messages(caplog)] == [
        "TclHistory is enabled.",
        "TclHistory is disabled.",
        "TclHistory is enabled.",
    ]


def test_disabled_recording_still_logs(caplog):
    h = History()
    h.start_marker("m")
    h.disable()
    caplog.set_level(logging.DEBUG, logger="ortan.tcl")
    h.append(["set", "x", "a b"])
    h.append("puts hi")
    assert len(h.__history__) == 0 and len(h.__markers__["m"]) == 0
    assert messages(caplog) == [
        ("ortan.tcl", logging.DEBUG, "% ['set', 'x', 'a b']", ()),
        ("ortan.tcl", logging.DEBUG, "% puts hi", ()),
    ]
    h.enable()
    h.append("puts hi")
    assert apis(h.__history__) == ["puts hi"]


def test_tuple_item_is_logged_as_one_value(caplog):
    caplog.set_level(logging.DEBUG, logger="ortan.tcl")
    h = History()
    h.append(("set", "x"))
    assert messages(caplog)[-1][2] == "% ('set', 'x')"
    assert apis(h.__history__) == ["set x"]


class Words(list):
    """A word list that counts how often it is turned into text."""

    strs = 0

    def __str__(self):
        Words.strs += 1
        return list.__str__(self)


def test_record_not_formatted_unless_debug_enabled(caplog):
    caplog.set_level(logging.INFO, logger="ortan.tcl")
    Words.strs = 0
    h = History()
    h.append(Words(["set", "x"]))
    assert Words.strs == 0 and caplog.records == []
    assert apis(h.__history__) == ["set x"]


@pytest.fixture
def captured():
    """The records the module's logger emits, whatever the logging configuration."""
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record.getMessage())

    handler = Keep()
    saved = history.log.level, history.log.disabled
    history.log.addHandler(handler)
    yield records
    history.log.removeHandler(handler)
    history.log.setLevel(saved[0])
    history.log.disabled = saved[1]
    logging.disable(logging.NOTSET)


def test_debug_records_follow_every_logging_switch(captured):
    log = history.log
    h = History()
    log.setLevel(logging.DEBUG)
    h.append("one")
    log.setLevel(logging.INFO)
    h.append("two")
    log.setLevel(logging.DEBUG)
    logging.disable(logging.DEBUG)
    h.append("three")
    logging.disable(logging.NOTSET)
    log.disabled = True
    h.append("four")
    log.disabled = False
    h.append("five")
    try:  # shadowed on the instance (monkeypatch would leave a bound method there)
        log.isEnabledFor = lambda level: False
        h.append("six")
        log.setLevel(logging.INFO)
        log.isEnabledFor = lambda level: True
        h.append("seven")
    finally:
        del log.isEnabledFor
    assert captured == ["% one", "% five", "% seven"]
    assert apis(h.__history__) == ["one", "two", "three", "four", "five", "six", "seven"]


def test_logger_of_another_class(captured, monkeypatch):
    class Loud(logging.Logger):
        def isEnabledFor(self, level):
            return True

    monkeypatch.setattr(history.log, "__class__", Loud)
    history.log.setLevel(logging.INFO)
    History().append("x")
    assert captured[-1:] == ["% x"]


# --- state -------------------------------------------------------------------------------------


def test_state_is_plainly_assignable():
    h = History()
    h.enabled = False
    h.append("skipped")
    h.enabled = True
    h.__history__ = collections_deque = __import__("collections").deque(maxlen=2)
    h.append("a")
    assert list(collections_deque)[0].api == "a"
    entry = Entry("x")
    entry.api = "y"
    assert entry.api == "y"


def test_subclass_property_for_the_state_is_honoured():
    class Off(History):
        @property
        def enabled(self):
            return False

        @enabled.setter
        def enabled(self, value):
            pass

    h = Off()
    h.append("x")
    assert list(h.__history__) == []


def test_changed_class_still_reads_its_state(monkeypatch):
    monkeypatch.setattr(History, "note", "changed", raising=False)
    monkeypatch.setattr(Entry, "note", "changed", raising=False)
    h = filled("a", "b")
    assert apis(h.__history__) == ["a", "b"]


# --- str, repr, subclasses ---------------------------------------------------------------------


def test_str_and_repr_are_the_deques():
    h = filled("a", ["b", "c d"], max_history=5)
    assert str(h) == str(h.__history__) and repr(h) == repr(h.__history__)
    assert str(h).startswith("deque([<Entry '") and str(h).endswith("], maxlen=5)")
    assert str(History()) == "deque([], maxlen=9999)"


def test_subclass_overrides_are_honoured():
    calls = []

    class Quiet(History):
        def enable(self):
            calls.append("enable")
            self.enabled = True
            return self  # what enable() returns is not __init__'s result

    Quiet()
    assert calls == ["enable"]



def test_a_patched_logger_class_is_honoured(captured):
    # A change of the logger's class after import, on every Python (up to 3.9 a class change
    # leaves its version tag as it was).
    h = History()
    history.log.setLevel(logging.INFO)
    h.append("quiet")
    original = logging.Logger.isEnabledFor
    try:
        logging.Logger.isEnabledFor = lambda self, level: True
        h.append("loud")
    finally:
        logging.Logger.isEnabledFor = original
    h.append("quiet again")
    assert captured == ["% loud"]


_NO_FREE_WATCHER = """
    import ctypes, logging
    # Every type watcher taken before the package is imported.
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)(lambda type: 0)
    add = ctypes.pythonapi.PyType_AddWatcher
    add.argtypes, add.restype = [ctypes.c_void_p], ctypes.c_int
    taken = 0
    try:
        while add(ctypes.cast(callback, ctypes.c_void_p)) >= 0:
            taken += 1
    except RuntimeError:
        pass
    from ortan.tcl import history
    records = []
    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record.getMessage())
    history.log.addHandler(Keep())
    history.log.setLevel(logging.INFO)
    h = history.History()
    h.append("quiet")
    logging.Logger.isEnabledFor = lambda self, level: True
    h.append("loud")
    print(taken > 0, records, [e.api for e in h.__history__])
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="type watchers come with 3.12")
def test_without_a_free_type_watcher_every_call_checks_the_class():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(history.__file__))))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(_NO_FREE_WATCHER)],
                          env=dict(os.environ, PYTHONPATH=root), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[0] == "True ['% loud'] ['quiet', 'loud']"

import datetime
import logging
import re
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


def test_entry_keeps_text_object():
    class Text(str):
        pass

    api = Text("puts a b")
    assert Entry(api).api is api


@pytest.mark.parametrize(
    "api, message",
    [
        (["set", 1], "not iterable"),
        (["set", ["a"]], "sequence item 1: expected str instance, list found"),
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


@pytest.mark.parametrize("bad, error", [(-1, ValueError), ("3", TypeError)], ids=["neg", "text"])
def test_bad_capacity(bad, error):
    with pytest.raises(error):
        History(bad)


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
    with pytest.raises(Exception, match="^No such marker: missing$") as info:
        History().filter(marker="missing")
    assert type(info.value) is Exception
    assert isinstance(info.value.__context__, KeyError)


def test_filter_missing_marker_while_handling_another_error():
    outer = ValueError("outer")
    try:
        raise outer
    except ValueError:
        with pytest.raises(Exception, match="^No such marker: missing$") as info:
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


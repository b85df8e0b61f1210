"""Speed of ortan.tcl.internal: list parsing and dictionary order, against Tcl's own."""

import functools
import random
import tkinter

from benchmarks.common import Row, best_time, main
from benchmarks.dictionary_model import dictionary_compare
from ortan.tcl.internal import DictionaryCompare, GetListFromAny, dictionary_key

LIST_ELEMENTS = 200_000
SORT_WORDS = 50_000


def list_text(rng):
    """A list text of mixed element forms: bare, braced, quoted, escaped, non-ASCII."""
    forms = ["abc", "x%d", "{de f}", '"g h"', "i\\ j", "k\\u00e9", "ünï", "{}", "{a {b c}}"]
    return " ".join(rng.choice(forms).replace("%d", str(i)) for i in range(LIST_ELEMENTS))


def short_words(rng):
    alphabet = "abcdefghijABCDEFGHIJ0123456789_"
    return tuple("".join(rng.choice(alphabet) for _ in range(rng.randint(1, 8)))
                 for _ in range(SORT_WORDS))


def run():
    rng = random.Random(20240131)
    tk = tkinter.Tcl().tk
    rows = []

    mixed = list_text(rng)
    ascii_only = mixed.replace("ü", "u").replace("ï", "i")
    for label, text in (("ASCII", ascii_only), ("with non-ASCII", mixed)):
        assert GetListFromAny(text) == tk.splitlist(text)
        rows.append(Row(
            f"GetListFromAny, {LIST_ELEMENTS:,}-element list text, {label}",
            best_time(lambda: GetListFromAny(text), repeat=7),
            best_time(lambda: tk.splitlist(text), repeat=7),
            "tk.splitlist", "<= 0.8 (goal 0.6)",
        ))

    words = short_words(rng)
    ours_key = functools.cmp_to_key(DictionaryCompare)
    python_key = functools.cmp_to_key(dictionary_compare)
    expected = list(tk.splitlist(tk.call("lsort", "-dictionary", words)))
    assert sorted(words, key=dictionary_key) == expected
    assert sorted(words, key=ours_key) == expected == sorted(words, key=python_key)
    lsort = best_time(lambda: tk.call("lsort", "-dictionary", words))
    keyed = best_time(lambda: sorted(words, key=dictionary_key))
    rows.append(Row(
        f"sort {SORT_WORDS:,} words, key=dictionary_key", keyed,
        lsort, "lsort -dictionary", "<= 1 (goal 0.5)",
    ))
    rows.append(Row(
        f"sort {SORT_WORDS:,} words, key=dictionary_key", keyed,
        best_time(lambda: sorted(words, key=python_key), repeat=2),
        "plain-Python compare", "<= 0.05 (>= 20x faster)",
    ))
    rows.append(Row(
        f"sort {SORT_WORDS:,} words, cmp_to_key(DictionaryCompare)",
        best_time(lambda: sorted(words, key=ours_key)),
        lsort, "lsort -dictionary", "info",
    ))
    return rows


if __name__ == "__main__":
    main(run)

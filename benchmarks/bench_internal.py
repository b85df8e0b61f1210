"""Speed of ortan.tcl.internal: list parsing and dictionary order, against Tcl's own."""

import functools
import random
import tkinter

from benchmarks.common import Row, best_time, main
from ortan.tcl.internal import DictionaryCompare, GetListFromAny

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


def python_dictionary_compare(left, right):
    """Tcl's dictionary order in plain Python: the algorithm of DictionaryCompare written out
    with its four accessors (cleft, cnextleft, cright, cnextright) over read positions."""
    left, right = str(left), str(right)
    idxleft = idxright = 0
    secondary_diff = 0

    def cleft():
        return left[idxleft] if idxleft < len(left) else "\0"

    def cnextleft():
        return left[idxleft + 1] if idxleft < len(left) - 1 else "\0"

    def cright():
        return right[idxright] if idxright < len(right) else "\0"

    def cnextright():
        return right[idxright + 1] if idxright < len(right) - 1 else "\0"

    while True:
        if cright().isdigit() and cleft().isdigit():
            zeros = 0
            while cright() == "0" and cnextright().isdigit():
                idxright += 1
                zeros -= 1
            while cleft() == "0" and cnextleft().isdigit():
                idxleft += 1
                zeros += 1
            if secondary_diff == 0:
                secondary_diff = zeros
            diff = 0
            while True:
                if diff == 0:
                    diff = ord(cleft()) - ord(cright())
                idxright += 1
                idxleft += 1
                if not cright().isdigit():
                    if cleft().isdigit():
                        return 1
                    if diff != 0:
                        return diff
                    break
                elif not cleft().isdigit():
                    return -1
            continue
        if idxleft < len(left) and idxright < len(right):
            uni_left = left[idxleft]
            idxleft += 1
            uni_right = right[idxright]
            idxright += 1
            uni_left_lower = uni_left.lower()[0]
            uni_right_lower = uni_right.lower()[0]
        else:
            diff = ord(cleft()) - ord(cright())
            break
        diff = ord(uni_left_lower) - ord(uni_right_lower)
        if diff != 0:
            return diff
        if secondary_diff == 0:
            secondary_diff = ord(uni_left) - ord(uni_right)
    if diff == 0:
        diff = secondary_diff
    return diff


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
            "tk.splitlist", "<= 0.7",
        ))

    words = short_words(rng)
    ours_key = functools.cmp_to_key(DictionaryCompare)
    python_key = functools.cmp_to_key(python_dictionary_compare)
    expected = list(tk.splitlist(tk.call("lsort", "-dictionary", words)))
    assert sorted(words, key=ours_key) == expected == sorted(words, key=python_key)
    ours = best_time(lambda: sorted(words, key=ours_key))
    rows.append(Row(
        f"sort {SORT_WORDS:,} words, cmp_to_key(DictionaryCompare)", ours,
        best_time(lambda: tk.call("lsort", "-dictionary", words)),
        "lsort -dictionary", "<= 1.5",
    ))
    rows.append(Row(
        f"sort {SORT_WORDS:,} words, cmp_to_key(DictionaryCompare)", ours,
        best_time(lambda: sorted(words, key=python_key), repeat=2),
        "plain-Python compare", "<= 0.05 (>= 20x faster)",
    ))
    return rows


if __name__ == "__main__":
    main(run)

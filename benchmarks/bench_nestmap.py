"""Nestmap: from_tcl, all_items and __tclobj__ scale linearly with the number of leaves, and
assignment, membership and deletion by a dotted key linearly with the key's length.

Each leaf operation runs on keyed lists of 1,000, 10,000 and 100,000 leaves (three levels:
groups of ten sublevels of ten leaves). The anchor of a row is the 1,000-leaf time scaled by the
size ratio, so the ratio is the cost per leaf relative to the smallest list: about 1 when
linear, and growing with the size when quadratic.

The dotted-key rows time one key of 800,000 dots against the same operation on a key of 100,000
dots: the ratio is about 8 when the walk is linear in the key's length, 64 when quadratic.
"""

import gc
import time

from benchmarks.common import Row, best_time, main
from ortan.tcl.nestmap import Nestmap
from ortan.tcl.scribe import scribe

SIZES = (1_000, 10_000, 100_000)
GOAL = "<= 2 (linear)"


def make_nestmap(leaves):
    n = Nestmap()
    for i in range(leaves):
        n[f"group {i // 100}.sub{i // 10 % 10}.leaf{i}"] = f"value {i} {{braced}} x"
    return n


def operations(n):
    text = scribe(n)
    return [
        ("from_tcl", lambda: Nestmap.from_tcl(text)),
        ("all_items", n.all_items),
        ("__tclobj__", n.__tclobj__),
    ]


DOTS = (100_000, 800_000)


def dotted_key_times(dots, repeat=3):
    """The best times of n[key] = v, key in n and del n[key] for a key of `dots` dots, each on
    a fresh chain of levels (the deletion prunes all of them)."""
    key = ".".join(["k"] * (dots + 1))
    best = {"set": float("inf"), "in": float("inf"), "del": float("inf")}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            n = Nestmap()
            for name, step in (("set", lambda: n.__setitem__(key, "v")),
                               ("in", lambda: key in n), ("del", lambda: n.__delitem__(key))):
                start = time.perf_counter()
                step()
                best[name] = min(best[name], time.perf_counter() - start)
            assert n == {}
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def dotted_key_rows():
    short, long = (dotted_key_times(dots) for dots in DOTS)
    return [Row(f"dotted key {name}, {DOTS[1]:,} dots", long[name], short[name],
                f"{DOTS[0]:,}-dot time", "~8 (linear; 64 quadratic)")
            for name in ("set", "in", "del")]


def run():
    times = {}
    for leaves in SIZES:
        n = make_nestmap(leaves)
        assert Nestmap.from_tcl(scribe(n)) == n
        for name, func in operations(n):
            # from_tcl of 100,000 leaves takes most of a second; the others take milliseconds
            # and vary with the memory they allocate, so they get more tries.
            repeat = 3 if (name, leaves) == ("from_tcl", SIZES[-1]) else 9
            number = max(1, SIZES[-1] // leaves // 10)
            times[name, leaves] = best_time(func, repeat=repeat, number=number)
    rows = []
    for name in ("from_tcl", "all_items", "__tclobj__"):
        smallest = times[name, SIZES[0]]
        for leaves in SIZES:
            scale = leaves // SIZES[0]
            rows.append(Row(f"{name}, {leaves:,} leaves", times[name, leaves], smallest * scale,
                            f"{SIZES[0]:,}-leaf time x {scale}", GOAL))
    return rows + dotted_key_rows()


if __name__ == "__main__":
    main(run)

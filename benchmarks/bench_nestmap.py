"""Nestmap: from_tcl, all_items and __tclobj__ scale linearly with the number of leaves.

Each operation runs on keyed lists of 1,000, 10,000 and 100,000 leaves (three levels: groups
of ten sublevels of ten leaves). The anchor of a row is the 1,000-leaf time scaled by the size
ratio, so the ratio is the cost per leaf relative to the smallest list: about 1 when linear,
and growing with the size when quadratic.
"""

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
    return rows


if __name__ == "__main__":
    main(run)

"""Timing helpers shared by the benchmark scripts.

Every benchmark times our operation and its anchor in the same process and reports the ratio
(ours / anchor). A script exposes ``run()`` returning a list of `Row`s, and prints them when run
directly; ``python -m benchmarks`` runs them all and prints one table.
"""

import dataclasses
import gc
import json
import sys
import time
from dataclasses import dataclass


@dataclass
class Row:
    operation: str
    ours: float  # seconds per run
    anchor: float  # seconds per run of the anchor
    anchor_name: str
    goal: str  # the goal as text, e.g. "<= 0.5", ">= 30x faster"

    @property
    def ratio(self):
        return self.ours / self.anchor if self.anchor else float("inf")


def best_time(func, repeat=5, number=1):
    """The best of `repeat` runs of `number` calls, in seconds per call."""
    best = float("inf")
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            start = time.perf_counter()
            for _ in range(number):
                func()
            best = min(best, (time.perf_counter() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def format_seconds(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_table(rows):
    header = ("operation", "ours", "anchor", "anchor time", "ratio", "goal")
    lines = [
        (r.operation, format_seconds(r.ours), r.anchor_name, format_seconds(r.anchor),
         f"{r.ratio:.3g}", r.goal)
        for r in rows
    ]
    widths = [max(len(str(x)) for x in col) for col in zip(header, *lines)]
    out = ["| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |",
           "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += ["| " + " | ".join(str(x).ljust(w) for x, w in zip(line, widths)) + " |"
            for line in lines]
    return "\n".join(out)


def main(run):
    """A script's entry point: the table of its rows, or with --json the rows as JSON."""
    rows = run()
    if "--json" in sys.argv[1:]:
        print(json.dumps([dataclasses.asdict(row) for row in rows]))
    else:
        print(format_table(rows))

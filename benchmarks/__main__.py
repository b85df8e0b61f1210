"""Runs every benchmark and prints one table: python -m benchmarks [name ...]

Each benchmarks/bench_<name>.py times our operation and its anchor in the same process; the
ratio is ours / anchor. Every script runs in a process of its own, so that the memory one leaves
behind (a heap grown and fragmented by 100,000-leaf keyed lists, say) does not slow the large
allocations of the next. Run from the repository root with the package installed (or with
PYTHONPATH=src after tools/dev-build).
"""

import json
import pathlib
import platform
import subprocess
import sys

from benchmarks.common import Row, format_table


def run_isolated(name):
    """The rows of benchmarks/bench_<name>.py, run in a fresh process."""
    done = subprocess.run([sys.executable, "-m", f"benchmarks.bench_{name}", "--json"],
                          stdout=subprocess.PIPE, check=True, text=True)
    return [Row(**fields) for fields in json.loads(done.stdout)]


def main(names):
    here = pathlib.Path(__file__).parent
    found = sorted(p.stem[len("bench_"):] for p in here.glob("bench_*.py"))
    rows = []
    for name in names or found:
        print(f"running {name} ...", file=sys.stderr, flush=True)
        rows.extend(run_isolated(name))
    print(f"Python {platform.python_version()}, {platform.machine()}, {platform.processor() or ''}")
    print(format_table(rows))


if __name__ == "__main__":
    main(sys.argv[1:])

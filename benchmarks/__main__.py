"""Runs every benchmark and prints one table: python -m benchmarks [name ...]

Each benchmarks/bench_<name>.py times our operation and its anchor in the same process; the
ratio is ours / anchor. Run from the repository root with the package installed (or with
PYTHONPATH=src after tools/dev-build).
"""

import importlib
import pathlib
import platform
import sys

from benchmarks.common import format_table


def main(names):
    here = pathlib.Path(__file__).parent
    found = sorted(p.stem[len("bench_"):] for p in here.glob("bench_*.py"))
    rows = []
    for name in names or found:
        module = importlib.import_module(f"benchmarks.bench_{name}")
        print(f"running {name} ...", file=sys.stderr, flush=True)
        rows.extend(module.run())
    print(f"Python {platform.python_version()}, {platform.machine()}, {platform.processor() or ''}")
    print(format_table(rows))


if __name__ == "__main__":
    main(sys.argv[1:])

"""Times every function of zorvane_linalg at each instruction-set level the
library has and this CPU runs, beside NumPy/SciPy.

Each level runs in a child process of its own with ZORVANE_CPU_LEVEL set,
timing the functions as bench_python.py does (interleaved with the peers, one
BLAS thread, median CPU time per call) at n = 4, 64, 256 and 1024; the levels
take turns twice and the faster of the two runs counts. Prints and writes
build/bench/results/<date>-levels.json and .md: the time per call at each level,
the default level's speed-up over the forced baseline, and NumPy's time.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import zorvane_linalg as zl

import bench_python

ORDERS = (4, 64, 256, 1024)
LEVELS = ("baseline", "x86-64-v3", "x86-64-v4")
ROUNDS = 2


def child(out: Path, orders, functions) -> None:
    cases = [c for c in bench_python.CASES if not functions or c[0] in functions]
    records = bench_python.measure(orders, lambda line: None, cases=cases)
    result = {"level": zl.instruction_set(), "records": list(records.values())}
    out.write_text(json.dumps(result))


def levels_this_cpu_runs() -> list[str]:
    """The levels the library accepts in ZORVANE_CPU_LEVEL on this machine."""
    runs = []
    for level in LEVELS:
        probe = subprocess.run([sys.executable, "-c", "import zorvane_linalg as z; "
                                "print(z.instruction_set())"],
                               env=dict(os.environ, ZORVANE_CPU_LEVEL=level),
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == level:
            runs.append(level)
    return runs


def run_level(level: str, orders, functions) -> dict:
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "level.json"
        command = [sys.executable, __file__, "--child", str(out), "--orders",
                   *map(str, orders)]
        if functions:
            command += ["--functions", *functions]
        subprocess.run(command, env=dict(os.environ, ZORVANE_CPU_LEVEL=level), check=True)
        return json.loads(out.read_text())


def collect(levels, orders, functions, log) -> dict:
    """{(function, n): {"levels": {level: s}, "peer": (label, s)}}, the faster
    of the rounds per cell."""
    table: dict = {}
    for round_ in range(ROUNDS):
        for level in levels:
            log(f"round {round_ + 1}, {level}")
            for record in run_level(level, orders, functions)["records"]:
                cell = table.setdefault((record["function"], record["n"]),
                                        {"levels": {}, "peer": None})
                ours = record["times_s"].get("ours")
                if ours is not None:
                    cell["levels"][level] = min(ours, cell["levels"].get(level, ours))
                peers = [(k, v) for k, v in record["times_s"].items() if k != "ours" and v]
                if peers and (cell["peer"] is None or peers[0][1] < cell["peer"][1]):
                    cell["peer"] = peers[0]
    return table


def markdown(table: dict, levels, default: str, orders) -> str:
    lines = [f"Time per call at each level (ZORVANE_CPU_LEVEL forced; `{default}` is this "
             "machine's default), one BLAS thread, the faster of two runs; speed-up = forced "
             "baseline / default level.", "",
             "| function | n | " + " | ".join(levels) + " | speed-up | NumPy/SciPy |",
             "|---|---:|" + "---:|" * len(levels) + "---:|---|"]
    for (function, n), cell in sorted(table.items(), key=lambda kv: (kv[0][0], kv[0][1])):
        if n not in orders:
            continue
        times = cell["levels"]
        cells = [bench_python.fmt_us(times.get(level)) for level in levels]
        speedup = bench_python.ratio(times.get("baseline"), times.get(default))
        peer = cell["peer"]
        peer_text = f"{bench_python.fmt_us(peer[1])} ({peer[0]})" if peer else "—"
        lines.append(f"| {function} | {n} | " + " | ".join(cells) +
                     f" | {bench_python.fmt_ratio(speedup)} | {peer_text} |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--orders", type=int, nargs="+", default=list(ORDERS))
    parser.add_argument("--functions", nargs="+", metavar="NAME")
    parser.add_argument("--child", metavar="JSON", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(Path(args.child), args.orders, args.functions)
        return 0

    def log(line: str) -> None:
        print(line, flush=True)

    default = zl.instruction_set()
    levels = levels_this_cpu_runs()
    log(f"levels this CPU runs: {', '.join(levels)}; default {default}")
    table = collect(levels, args.orders, args.functions, log)
    text = markdown(table, levels, default, args.orders)
    stem = bench_python.RESULTS_DIR / f"{datetime.date.today().isoformat()}-levels"
    stem.parent.mkdir(parents=True, exist_ok=True)
    stem.with_suffix(".json").write_text(json.dumps(
        {"default": default, "levels": levels, "environment": bench_python.environment(),
         "results": [{"function": f, "n": n, **cell} for (f, n), cell in table.items()]},
        indent=1))
    stem.with_suffix(".md").write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

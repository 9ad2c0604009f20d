"""Turns the C++ benchmark's JSON output into the overhead table: what each
library operation costs beyond the bare Eigen computation it wraps.

Usage: summarize_cpp.py RESULTS.json   (writes RESULTS.md beside it)
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

GOAL_SMALL_NS = 300.0  # at n = 4
GOAL_LARGE_PERCENT = 10.0  # at n >= 64
SMALL, LARGE = 4, (64, 256)
TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def median_times(path: Path) -> tuple[dict, dict]:
    """{(operation, side, n): ns} from the medians of the repetitions (or the single runs)."""
    data = json.loads(path.read_text())
    times = {}
    for entry in data["benchmarks"]:
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        operation, side, n = entry["run_name"].split("/")
        # CPU time: on a shared machine the wall clock also counts the time
        # other processes hold the core; every benchmark runs on one thread.
        times[(operation, side, int(n))] = entry["cpu_time"] * TO_NS[entry["time_unit"]]
    return times, data.get("context", {})


def fmt_ns(ns: float) -> str:
    return f"{ns:.0f} ns" if ns < 1e4 else f"{ns / 1e3:.1f} µs"


def table(times: dict) -> tuple[list[str], list[str]]:
    operations = sorted({op for op, side, _ in times if side == "zorvane"})
    head = (f"| operation | n={SMALL}: ours | bare Eigen | overhead | "
            + " | ".join(f"n={n}: ours / bare / overhead" for n in LARGE) + " | meets goals |")
    lines = [head, "| --- | ---: | ---: | ---: | " + " | ".join("---:" for _ in LARGE) + " | --- |"]
    missed = []
    for op in operations:
        ours, bare = times[(op, "zorvane", SMALL)], times[(op, "eigen", SMALL)]
        small_ok = ours - bare <= GOAL_SMALL_NS
        cells, large_ok = [], True
        for n in LARGE:
            o, b = times[(op, "zorvane", n)], times[(op, "eigen", n)]
            percent = (o / b - 1.0) * 100.0
            large_ok &= percent <= GOAL_LARGE_PERCENT
            cells.append(f"{fmt_ns(o)} / {fmt_ns(b)} / {percent:+.0f}%")
        verdict = "yes" if small_ok and large_ok else (
            "no (n=4)" if large_ok else ("no (n>=64)" if small_ok else "no (both)"))
        if verdict != "yes":
            missed.append(op)
        lines.append(f"| {op} | {fmt_ns(ours)} | {fmt_ns(bare)} | {ours - bare:+.0f} ns | "
                     + " | ".join(cells) + f" | {verdict} |")
    return lines, missed


def parts_table(times: dict) -> list[str]:
    parts = sorted({op for op, side, _ in times if side == "part"})
    if not parts:
        return []
    orders = sorted({n for op, side, n in times if side == "part"})
    lines = ["", "The pieces of the overhead, each timed alone:", "",
             "| piece | " + " | ".join(f"n={n}" for n in orders) + " |",
             "| --- | " + " | ".join("---:" for _ in orders) + " |"]
    for op in parts:
        lines.append(f"| {op} | " + " | ".join(fmt_ns(times[(op, "part", n)]) for n in orders) + " |")
    return lines


def main() -> int:
    path = Path(sys.argv[1])
    times, context = median_times(path)
    lines, missed = table(times)
    header = [f"# C++ overhead over bare Eigen, {context.get('date', '')}", "",
              f"Host: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs at "
              f"{context.get('mhz_per_cpu', '?')} MHz. Median CPU time per call of 3 "
              "interleaved repetitions. Goals: overhead at most "
              f"{GOAL_SMALL_NS:.0f} ns at n = {SMALL} and at most {GOAL_LARGE_PERCENT:.0f}% at n >= 64.",
              ""]
    text = "\n".join(header + lines + parts_table(times)) + "\n"
    path.with_suffix(".md").write_text(text)
    print(text)
    print("Overhead goals missed by: " + (", ".join(missed) if missed else "none"))
    return 0


if __name__ == "__main__":
    sys.exit(main())

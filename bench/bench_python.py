"""Times the functions of zorvane_linalg against their NumPy/SciPy
counterparts on the same inputs, in the same process, interleaved, and
levenberg_marquardt against scipy.optimize.least_squares(method="lm") on the
curve-fitting example, per solve and per callback round trip.

The main figures are medians over interleaved rounds with NumPy's BLAS held
to one thread (the library runs on one thread); a separate sweep times the
peers with the BLAS's default thread count. A second run in a child process, with
glibc told to keep large blocks on its heap, shows what first touching fresh
pages costs at large n.

Writes build/bench/results/<date>.json, .md (tables) and .png (log-log plot), and
prints the summary for n = 4.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.metadata
import json
import math
import os
import platform
import resource
import runpy
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy
import scipy.linalg
from threadpoolctl import ThreadpoolController

import zorvane_linalg as zl

ORDERS = (2, 4, 8, 16, 64, 256, 1024)
FIRST_TOUCH_ORDERS = (256, 1024)
GOAL_ORDER = 4
GOAL_RATIO = 3.0
# Functions whose goal at n = 4 is another ratio: only to be faster than the
# peer, or (None) no goal, the time reported alone.
OTHER_GOALS = {"inv": 1.0, "pinv": 1.0, "norm_frobenius": 1.0, "norm_one": 1.0, "norm_inf": 1.0,
               "norm_spectral": 1.0, "lstsq": None}
# A case whose single call would take longer than this is not timed.
SINGLE_CALL_LIMIT_S = 3.0
# Each timed batch runs long enough for the clock to be negligible.
BATCH_TARGET_S = 2e-4
# Time spent per case and side, and the bounds on the number of rounds.
CASE_BUDGET_S = 0.12
MIN_ROUNDS, MAX_ROUNDS = 3, 41
# Heap blocks up to 32 MiB (glibc's largest mmap threshold) and no trimming:
# freed memory stays mapped and is reused without new page faults.
FIRST_TOUCH_TUNABLES = "glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=4294967296"

# Results belong to the build tree; bench/docs_figures.py copies the ones
# the documentation cites into bench/results/.
RESULTS_DIR = Path(__file__).resolve().parent.parent / "build" / "bench" / "results"
CURVE_FIT_EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "curve_fit.py"


# --- inputs ---------------------------------------------------------------


def symmetric_positive_definite(n: int, rng: np.random.Generator) -> np.ndarray:
    """Eigenvalues between about 1 and 5, symmetric bit for bit."""
    m = rng.standard_normal((n, n))
    gram = m @ m.T / n
    return np.ascontiguousarray((gram + gram.T) * 0.5 + np.eye(n))


def general(n: int, rng: np.random.Generator) -> np.ndarray:
    return rng.standard_normal((n, n))


def make_inputs(n: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(20260 + n)
    return {"spd": symmetric_positive_definite(n, rng), "general": general(n, rng),
            "rhs": rng.standard_normal(n)}


# --- what is compared ----------------------------------------------------------


def eigh_based(f):
    """V · f(w) · Vᵀ through NumPy's eigh: the spectral function done by hand."""

    def call(a):
        w, v = np.linalg.eigh(a)
        return (v * f(w)) @ v.T

    return call


def sign(w):
    return np.sign(w)


# function, input kind, our call, [(peer label, peer call)]
CASES = [
    ("eig_sym", "spd", zl.eig_sym, [("numpy.linalg.eigh", np.linalg.eigh)]),
    ("matrix_sqrt", "spd", zl.matrix_sqrt,
     [("scipy.linalg.sqrtm", scipy.linalg.sqrtm), ("eigh V·sqrt(w)·Vᵀ", eigh_based(np.sqrt))]),
    ("matrix_exp", "spd", zl.matrix_exp,
     [("scipy.linalg.expm", scipy.linalg.expm), ("eigh V·exp(w)·Vᵀ", eigh_based(np.exp))]),
    ("cholesky", "spd", zl.cholesky, [("numpy.linalg.cholesky", np.linalg.cholesky)]),
    ("svd", "general", zl.svd,
     [("numpy.linalg.svd(full_matrices=False)", lambda a: np.linalg.svd(a, full_matrices=False))]),
    ("solve", "general+rhs", zl.solve, [("numpy.linalg.solve", np.linalg.solve)]),
    ("qr", "general", zl.qr, [("numpy.linalg.qr(mode='reduced')", lambda a: np.linalg.qr(a, mode="reduced"))]),
    ("lu", "general", zl.lu, [("scipy.linalg.lu", scipy.linalg.lu)]),
    ("matrix_log", "spd", zl.matrix_log,
     [("scipy.linalg.logm", scipy.linalg.logm), ("eigh V·log(w)·Vᵀ", eigh_based(np.log))]),
    ("matrix_sign", "spd", zl.matrix_sign,
     [("scipy.linalg.signm", scipy.linalg.signm), ("eigh V·sign(w)·Vᵀ", eigh_based(sign))]),
    ("eig", "general", zl.eig, [("numpy.linalg.eig", np.linalg.eig)]),
    ("trace", "general", zl.trace, [("numpy.trace", np.trace)]),
    ("det", "general", zl.det, [("numpy.linalg.det", np.linalg.det)]),
    ("inv", "general", zl.inv, [("numpy.linalg.inv", np.linalg.inv)]),
    ("pinv", "general", zl.pinv, [("numpy.linalg.pinv", np.linalg.pinv)]),
    ("lstsq", "general+rhs", zl.lstsq, [("numpy.linalg.lstsq", np.linalg.lstsq)]),
    # The names of the C++ benchmark's cases, so that the time split finds them.
    ("norm_frobenius", "general", zl.norm, [("numpy.linalg.norm", np.linalg.norm)]),
    ("norm_one", "general", lambda a: zl.norm(a, 1),
     [("numpy.linalg.norm(ord=1)", lambda a: np.linalg.norm(a, 1))]),
    ("norm_inf", "general", lambda a: zl.norm(a, np.inf),
     [("numpy.linalg.norm(ord=inf)", lambda a: np.linalg.norm(a, np.inf))]),
    ("norm_spectral", "general", lambda a: zl.norm(a, 2),
     [("numpy.linalg.norm(ord=2)", lambda a: np.linalg.norm(a, 2))]),
]


def arguments(kind: str, inputs: dict[str, np.ndarray]) -> tuple:
    if kind == "general+rhs":
        return (inputs["general"], inputs["rhs"])
    return (inputs[kind],)


# --- timing ----------------------------------------------------------------


class Side:
    """One timed callable: ours, a peer on one BLAS thread, or a peer on the
    BLAS's default threads."""

    def __init__(self, key: str, call, args: tuple, one_thread: bool):
        self.key = key
        self.call = call
        self.args = args
        self.one_thread = one_thread
        self.number = 1
        self.samples: list[float] = []
        self.single_call_s = 0.0


def single_call(side: Side, controller: ThreadpoolController) -> float:
    with blas_threads(controller, side.one_thread):
        start = time.perf_counter()
        side.call(*side.args)
        return time.perf_counter() - start


def blas_threads(controller: ThreadpoolController, one_thread: bool):
    if one_thread:
        return controller.limit(limits=1, user_api="blas")
    return _NoLimit()


class _NoLimit:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def calibrate(side: Side) -> None:
    """Sets the number of calls per batch so that a batch lasts BATCH_TARGET_S."""
    side.number = max(1, int(BATCH_TARGET_S / max(side.single_call_s, 1e-9)))


def run_batch(side: Side) -> float:
    """Seconds per call. One-thread sides count the process's CPU time: on a
    shared machine the wall clock also counts the time other processes hold
    the core. A multi-threaded peer is timed by the wall clock instead, since
    its CPU time adds up its threads."""
    clock = time.process_time if side.one_thread else time.perf_counter
    call, args, number = side.call, side.args, side.number
    start = clock()
    for _ in range(number):
        call(*args)
    return (clock() - start) / number


def time_interleaved(sides: list[Side], controller: ThreadpoolController) -> None:
    """Rounds of one batch per side, in rotating order; keeps every per-call time."""
    if not sides:
        return
    per_round = sum(s.number * max(s.single_call_s, 1e-9) for s in sides)
    rounds = int(min(MAX_ROUNDS, max(MIN_ROUNDS, CASE_BUDGET_S * len(sides) / per_round)))
    gc.disable()
    try:
        for r in range(rounds):
            for k in range(len(sides)):
                side = sides[(r + k) % len(sides)]
                with blas_threads(controller, side.one_thread):
                    side.samples.append(run_batch(side))
    finally:
        gc.enable()


def median(values: list[float]) -> float | None:
    return float(np.median(values)) if values else None


def page_faults_per_call(side: Side, controller: ThreadpoolController, calls: int = 3) -> float:
    """Minor page faults per call: each is a fresh page touched for the first time."""
    with blas_threads(controller, side.one_thread):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        for _ in range(calls):
            side.call(*side.args)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    return (after - before) / calls


def predicted_call_s(previous: dict, key: str, n: int) -> float | None:
    """A cubic extrapolation from the largest smaller order timed, once that
    order is large enough for the arithmetic to dominate the call."""
    smaller = [(m, t) for (k, m), t in previous.items() if k == key and 64 <= m < n and t]
    if not smaller:
        return None
    m, t = max(smaller)
    return t * (n / m) ** 3


def sides_of(case, args: tuple, default_threads: bool) -> list[Side]:
    """Ours and the peers on one BLAS thread, or the peers alone on the default threads."""
    _, _, ours, peers = case
    if default_threads:
        return [Side(label + " @default", call, args, False) for label, call in peers]
    return [Side("ours", ours, args, True)] + [Side(label, call, args, True) for label, call in peers]


def measure(orders, log, default_threads: bool = False, records: dict | None = None,
            cases=CASES) -> dict:
    """Times every case at every order; returns {(function, n): record}. With
    default_threads the peers' default-thread times are added to `records`."""
    controller = ThreadpoolController()
    single_call_times: dict = {}
    records = {} if records is None else records
    for n in orders:
        inputs = make_inputs(n)
        for case in cases:
            function, kind, _, peers = case
            record = records.setdefault((function, n), {
                "function": function, "n": n, "times_s": {}, "skipped": {},
                "page_faults_per_call": {}})
            timed = []
            for side in sides_of(case, arguments(kind, inputs), default_threads):
                key = function + "/" + side.key
                guess = predicted_call_s(single_call_times, key, n)
                if guess is not None and guess > SINGLE_CALL_LIMIT_S:
                    record["skipped"][side.key] = f"predicted {guess:.1f} s per call"
                    continue
                side.single_call_s = single_call(side, controller)
                if side.single_call_s < 0.05:  # the first call may pay for warming up
                    side.single_call_s = min(side.single_call_s, single_call(side, controller))
                single_call_times[(key, n)] = side.single_call_s
                if side.single_call_s > SINGLE_CALL_LIMIT_S:
                    record["skipped"][side.key] = f"one call took {side.single_call_s:.1f} s"
                    continue
                calibrate(side)
                timed.append(side)
            time_interleaved(timed, controller)
            for side in timed:
                record["times_s"][side.key] = median(side.samples)
                if n >= 64 and not default_threads:
                    record["page_faults_per_call"][side.key] = page_faults_per_call(side, controller)
            if not default_threads:
                log(format_record(record, peers))
    return records


def format_record(record: dict, peers) -> str:
    ours = record["times_s"].get("ours")
    parts = [f"{record['function']:>11} n={record['n']:<5} ours {fmt_us(ours):>10}"]
    for label, _ in peers:
        peer = record["times_s"].get(label)
        parts.append(f"{label} {fmt_us(peer)} ({fmt_ratio(ratio(peer, ours))})")
    if record["skipped"]:
        parts.append("skipped: " + ", ".join(f"{k}: {v}" for k, v in record["skipped"].items()))
    return "  ".join(parts)


def ratio(peer: float | None, ours: float | None) -> float | None:
    return peer / ours if peer and ours else None


def fmt_us(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    us = seconds * 1e6
    if us < 10:
        return f"{us:.2f} µs"
    if us < 1e4:
        return f"{us:.1f} µs"
    return f"{us / 1e3:.1f} ms"


def fmt_ratio(value: float | None) -> str:
    return "—" if value is None else f"{value:.2f}x"


# --- levenberg_marquardt against SciPy on the curve-fitting example ----------

LM_PEER = "scipy.optimize.least_squares(method='lm')"


class CountingProblem:
    """The example's problem with its callbacks counted."""

    def __init__(self, problem):
        self.problem, self.t = problem, problem.t
        self.residual_calls = self.jacobian_calls = 0

    def residual(self, p):
        self.residual_calls += 1
        return self.problem.residual(p)

    def jacobian(self, p):
        self.jacobian_calls += 1
        return self.problem.jacobian(p)


def measure_levenberg_marquardt(log) -> dict:
    """Each solver's time per solve of the Gaussian peak of
    examples/curve_fit.py, and per callback round trip: the solve's time over
    its residual and Jacobian calls, of which the part that is not the
    callbacks' own work goes to the solver, its binding and the conversions."""
    example = runpy.run_path(str(CURVE_FIT_EXAMPLE))
    problem = example["GaussianPeak"]()
    fits = {"ours": example["fit_zorvane"], LM_PEER: example["fit_scipy"]}
    start = example["START"]
    sides = [Side(key, fit, (problem,), True) for key, fit in fits.items()]
    sides += [Side("residual", problem.residual, (start,), True),
              Side("jacobian", problem.jacobian, (start,), True)]
    controller = ThreadpoolController()
    for side in sides:
        side.single_call_s = min(single_call(side, controller) for _ in range(2))
        calibrate(side)
    time_interleaved(sides, controller)
    own = {side.key: median(side.samples) for side in sides[2:]}
    results = {}
    for side in sides[:2]:
        counting = CountingProblem(problem)
        fits[side.key](counting)
        calls = counting.residual_calls + counting.jacobian_calls
        solve_s = median(side.samples)
        callbacks_s = (counting.residual_calls * own["residual"]
                       + counting.jacobian_calls * own["jacobian"])
        results[side.key] = {"solve_s": solve_s, "residual_calls": counting.residual_calls,
                             "jacobian_calls": counting.jacobian_calls,
                             "round_trip_s": solve_s / calls,
                             "overhead_per_call_s": (solve_s - callbacks_s) / calls}
    log("\n".join(["", "levenberg_marquardt on the curve-fitting example:"] + lm_table(results)))
    return {"callbacks_s": own, "results": results}


def lm_table(results: dict) -> list[str]:
    lines = ["| solver | per solve | residual calls | Jacobian calls | per callback round trip | "
             "solver, binding and conversions per call |",
             "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for key, r in results.items():
        label = "zorvane_linalg.levenberg_marquardt" if key == "ours" else key
        lines.append(f"| {label} | {fmt_us(r['solve_s'])} | {r['residual_calls']} | "
                     f"{r['jacobian_calls']} | {fmt_us(r['round_trip_s'])} | "
                     f"{fmt_us(r['overhead_per_call_s'])} |")
    return lines


# --- the machine -------------------------------------------------------------


def cpu_description() -> dict:
    model, flags = platform.processor(), []
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name") and ":" in line:
                model = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and ":" in line:
                flags = line.split(":", 1)[1].split()
                break
    except OSError:
        pass
    return {"model": model, "logical_cpus": os.cpu_count(), "flags": flags}


def environment() -> dict:
    controller = ThreadpoolController()
    with controller.limit(limits=1, user_api="blas"):
        one_thread = controller.info()
    return {
        "cpu": cpu_description(),
        "platform": platform.platform(),
        "python": platform.python_version(),
        "versions": {
            "numpy": np.__version__,
            "scipy": scipy.__version__,
            "zorvane-linalg": importlib.metadata.version("zorvane-linalg"),
        },
        "zorvane_level": zl.instruction_set(),
        "threadpools_default": controller.info(),
        "threadpools_one_thread": one_thread,
        "environment": {k: os.environ.get(k) for k in
                        ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OPENBLAS_NUM_THREADS",
                         "OMP_NUM_THREADS", "GLIBC_TUNABLES")},
    }


def blas_summary(env: dict) -> str:
    pools = [p for p in env["threadpools_default"] if p.get("user_api") == "blas"]
    return "; ".join(f"{p.get('internal_api')} {p.get('version')} kernel {p.get('architecture')} "
                     f"({p.get('num_threads')} threads by default)" for p in pools) or "none found"


# --- outputs -------------------------------------------------------------------


def peers_of(function: str) -> list[str]:
    return next([label for label, _ in peers] for f, _, _, peers in CASES if f == function)


def full_table(records: list[dict], title: str, with_default: bool) -> list[str]:
    head = "| function | n | ours | peer | peer, 1 thread | ratio |"
    rule = "| --- | ---: | ---: | --- | ---: | ---: |"
    if with_default:
        head += " peer, default threads |"
        rule += " ---: |"
    lines = [f"### {title}", "", "ratio = peer time / our time (above 1: we are faster)", "",
             head, rule]
    for record in records:
        ours = record["times_s"].get("ours")
        for label in peers_of(record["function"]):
            peer = record["times_s"].get(label)
            row = (f"| {record['function']} | {record['n']} | {fmt_us(ours)} | {label} | "
                   f"{fmt_us(peer)} | {fmt_ratio(ratio(peer, ours))} |")
            if with_default:
                row += f" {fmt_us(record['times_s'].get(label + ' @default'))} |"
            lines.append(row)
    return lines + [""]


def ratio_table(records: list[dict], orders) -> list[str]:
    """One line per function and peer: the ratio at every n."""
    lines = ["| function | peer | " + " | ".join(f"n={n}" for n in orders) + " |",
             "| --- | --- | " + " | ".join("---:" for _ in orders) + " |"]
    by_key = {(r["function"], r["n"]): r for r in records}
    for function, _, _, peers in CASES:
        for label, _ in peers:
            cells = []
            for n in orders:
                record = by_key.get((function, n))
                if record is None:
                    cells.append("—")
                    continue
                value = ratio(record["times_s"].get(label), record["times_s"].get("ours"))
                cells.append("skipped" if value is None and record["skipped"] else fmt_ratio(value))
            lines.append(f"| {function} | {label} | " + " | ".join(cells) + " |")
    return lines + [""]


def first_touch_table(main: list[dict], tuned: list[dict]) -> list[str]:
    lines = ["| function | n | ours | ours, heap kept | peer | peer, heap kept | "
             "page faults per call (ours / peer) |",
             "| --- | ---: | ---: | ---: | --- | ---: | ---: |"]
    by_key = {(r["function"], r["n"]): r for r in main}
    for record in tuned:
        base = by_key.get((record["function"], record["n"]))
        if base is None:
            continue
        label = peers_of(record["function"])[0]
        faults = base["page_faults_per_call"]
        lines.append(
            f"| {record['function']} | {record['n']} | {fmt_us(base['times_s'].get('ours'))} | "
            f"{fmt_us(record['times_s'].get('ours'))} | {label} | {fmt_us(base['times_s'].get(label))} | "
            f"{fmt_us(record['times_s'].get(label))} | "
            f"{faults.get('ours', float('nan')):.0f} / {faults.get(label, float('nan')):.0f} |")
    return lines + [""]


def goal_lines(records: list[dict]) -> tuple[list[str], list[str]]:
    """The n = 4 summary: each function's ratio to each peer and whether it meets its goal."""
    lines, missed = [], []
    for record in (r for r in records if r["n"] == GOAL_ORDER):
        ours = record["times_s"].get("ours")
        goal = OTHER_GOALS.get(record["function"], GOAL_RATIO)
        for label in peers_of(record["function"]):
            value = ratio(record["times_s"].get(label), ours)
            met = goal is None or (value is not None and value >= goal)
            if not met:
                missed.append(f"{record['function']} vs {label}")
            lines.append(f"| {record['function']} | {fmt_us(ours)} | {label} | "
                         f"{fmt_us(record['times_s'].get(label))} | {fmt_ratio(value)} | "
                         f"{'—' if goal is None else fmt_ratio(goal)} | "
                         f"{'—' if goal is None else 'yes' if met else 'NO'} |")
    head = ["| function | ours | peer | peer, 1 thread | ratio | goal | met |",
            "| --- | ---: | --- | ---: | ---: | ---: | --- |"]
    return head + lines, missed


def markdown(data: dict) -> str:
    env = data["environment"]
    skipped = [f"{r['function']} n={r['n']} {k}: {v}" for r in data["results"]
               for k, v in r["skipped"].items()]
    goal, missed = goal_lines(data["results"])
    out = [f"# Benchmark {data['date']}", "",
           f"- CPU: {env['cpu']['model']} ({env['cpu']['logical_cpus']} logical CPUs)",
           f"- {env['platform']}, Python {env['python']}, NumPy {env['versions']['numpy']}, "
           f"SciPy {env['versions']['scipy']}, zorvane-linalg {env['versions']['zorvane-linalg']} "
           f"(instruction-set level {env.get('zorvane_level')})",
           f"- BLAS: {blas_summary(env)}",
           f"- OPENBLAS_CORETYPE={env['environment']['OPENBLAS_CORETYPE']}, "
           f"OPENBLAS_L2_SIZE={env['environment']['OPENBLAS_L2_SIZE']}",
           "- Median CPU time per call over interleaved rounds, NumPy's BLAS on one thread; "
           "the default-thread column is wall-clock time.", ""]
    out += [f"## n = {GOAL_ORDER}: the goals (3x unless noted)", ""] + goal + [""]
    split = time_split(data)
    if split:
        out += [f"## Where our time goes at n = {GOAL_ORDER}", "",
                "Module and binding: our Python time less the library call timed in C++ "
                "(argument import and copy, result export, the call). Library overhead: "
                "the library call less the bare Eigen computation.", ""] + split + [""]
    if data.get("levenberg_marquardt"):
        lm = data["levenberg_marquardt"]
        out += ["## levenberg_marquardt on the curve-fitting example", "",
                "examples/curve_fit.py: a Gaussian peak, 4 parameters, 50 residuals, the same "
                "Python callbacks for both solvers. A residual call costs "
                f"{fmt_us(lm['callbacks_s']['residual'])} and a Jacobian call "
                f"{fmt_us(lm['callbacks_s']['jacobian'])} on their own.", ""]
        out += lm_table(lm["results"]) + [""]
    out += ["## Ratio (peer / ours) at every n", ""] + ratio_table(data["results"], ORDERS)
    if skipped:
        out += ["Not timed (a single call would exceed "
                f"{SINGLE_CALL_LIMIT_S:.0f} s):", ""] + [f"- {s}" for s in skipped] + [""]
    if data.get("first_touch"):
        out += ["## First touch of fresh pages", "",
                f"Second run with `GLIBC_TUNABLES={data['first_touch']['tunables']}` "
                "(both sides): glibc keeps large blocks on its heap instead of mapping fresh "
                "pages for each, so the difference is the page-fault cost.", ""]
        out += first_touch_table(data["results"], data["first_touch"]["results"])
    out += full_table(data["results"], "All timings", with_default=True)
    return "\n".join(out)


def plot(data: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = math.ceil(len(CASES) / 4)
    fig, axes = plt.subplots(rows, 4, figsize=(16, 3.7 * rows), sharex=True)
    for ax in axes.flat[len(CASES):]:
        ax.set_visible(False)
    for ax, (function, _, _, peers) in zip(axes.flat, CASES):
        records = [r for r in data["results"] if r["function"] == function]
        series = [("zorvane_linalg." + function, "ours")] + [(label, label) for label, _ in peers]
        for name, key in series:
            points = [(r["n"], r["times_s"][key]) for r in records if r["times_s"].get(key)]
            if points:
                xs, ys = zip(*points)
                ax.loglog(xs, [y * 1e6 for y in ys], marker="o", markersize=3, label=name,
                          linewidth=2.2 if key == "ours" else 1.2)
        ax.set_title(function)
        ax.set_xscale("log", base=2)
        ax.grid(True, which="both", linewidth=0.3)
        if ax.lines:  # a run of some functions only leaves the others empty
            ax.legend(fontsize=7)
    for ax in axes.flat[-4:]:
        ax.set_xlabel("n")
    for ax in axes[:, 0]:
        ax.set_ylabel("µs per call")
    env = data["environment"]
    fig.suptitle(f"zorvane_linalg vs NumPy/SciPy, one BLAS thread — {env['cpu']['model']}, "
                 f"{data['date']}", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def cpp_times(date: str) -> dict:
    """{(operation, side, n): seconds} from the C++ benchmark of the same day, if it ran."""
    path = RESULTS_DIR / f"{date}-cpp.json"
    if not path.exists():
        return {}
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    times = {}
    for entry in json.loads(path.read_text())["benchmarks"]:
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        operation, side, n = entry["run_name"].split("/")
        times[(operation, side, int(n))] = entry["cpu_time"] * scale[entry["time_unit"]]
    return times


def time_split(data: dict) -> list[str]:
    """Where our time goes at n = 4: Eigen's own work, what the library adds
    around it, and what the module adds (argument import and copy, result
    export, the call itself)."""
    cpp = cpp_times(data["date"])
    if not cpp:
        return []
    lines = ["| function | ours from Python | module and binding | library overhead | "
             "bare Eigen |", "| --- | ---: | ---: | ---: | ---: |"]
    for record in (r for r in data["results"] if r["n"] == GOAL_ORDER):
        key = (record["function"], "zorvane", GOAL_ORDER)
        total = record["times_s"].get("ours")
        if key not in cpp or total is None:
            continue
        library, bare = cpp[key], cpp[(record["function"], "eigen", GOAL_ORDER)]
        lines.append(f"| {record['function']} | {fmt_us(total)} | {fmt_us(total - library)} | "
                     f"{fmt_us(library - bare)} | {fmt_us(bare)} |")
    return lines


def summary(data: dict) -> str:
    goal, missed = goal_lines(data["results"])
    text = ["", f"n = {GOAL_ORDER}: ratio = peer time / our time, goal >= {GOAL_RATIO:.0f}x "
            "unless the table says otherwise", ""]
    text += goal
    text += [""]
    if missed:
        text.append(f"Goal missed for {len(missed)}: " + "; ".join(missed))
    else:
        text.append("Goal met for every function and peer.")
    split = time_split(data)
    if split:
        text += ["", f"Where our time goes at n = {GOAL_ORDER} (library and bare Eigen from the "
                 "C++ benchmark of the same day):", ""] + split
    if data.get("levenberg_marquardt"):
        text += ["", "levenberg_marquardt on the curve-fitting example:", ""]
        text += lm_table(data["levenberg_marquardt"]["results"])
    return "\n".join(text)


# --- main ------------------------------------------------------------------


def first_touch_run(log) -> list[dict]:
    """Runs the large orders again in a child process with the tunables set."""
    env = dict(os.environ, GLIBC_TUNABLES=FIRST_TOUCH_TUNABLES)
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "first_touch.json"
        subprocess.run([sys.executable, __file__, "--child", str(out)], env=env, check=True)
        return json.loads(out.read_text())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--orders", type=int, nargs="+", default=list(ORDERS))
    parser.add_argument("--functions", nargs="+", metavar="NAME",
                        help="time only these functions (and levenberg_marquardt)")
    parser.add_argument("--no-first-touch", action="store_true",
                        help="skip the second run with glibc's heap tunables")
    parser.add_argument("--from-json", metavar="JSON", type=Path,
                        help="write the table, plot and summary again from an earlier run")
    parser.add_argument("--results-dir", metavar="DIR", type=Path, default=RESULTS_DIR,
                        help="where the json, md and png files go (default: %(default)s)")
    parser.add_argument("--child", metavar="JSON", help=argparse.SUPPRESS)
    args = parser.parse_args()

    def log(line: str) -> None:
        print(line, flush=True)

    if args.child:
        records = measure(FIRST_TOUCH_ORDERS, log)
        Path(args.child).write_text(json.dumps(list(records.values())))
        return 0

    if args.from_json:
        write_outputs(json.loads(args.from_json.read_text()), log, args.results_dir)
        return 0

    env = environment()
    log(f"CPU {env['cpu']['model']}; BLAS {blas_summary(env)}")
    started = time.perf_counter()
    cases = [c for c in CASES if not args.functions or c[0] in args.functions]
    records = measure(args.orders, log, cases=cases)
    # The default-thread sweep runs apart: OpenBLAS's worker threads keep
    # spinning after a call and would slow the one-thread timings beside them.
    log("peers on the BLAS's default threads ...")
    records = list(measure(args.orders, log, default_threads=True, records=records,
                           cases=cases).values())
    data = {"date": datetime.datetime.now().strftime("%Y-%m-%d"), "environment": env,
            "orders": args.orders, "results": records,
            "levenberg_marquardt": measure_levenberg_marquardt(log)}
    if not args.no_first_touch:
        log(f"first-touch run: GLIBC_TUNABLES={FIRST_TOUCH_TUNABLES}")
        data["first_touch"] = {"tunables": FIRST_TOUCH_TUNABLES, "results": first_touch_run(log)}
    data["elapsed_s"] = time.perf_counter() - started

    write_outputs(data, log, args.results_dir)
    return 0


def write_outputs(data: dict, log, directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    stem = directory / data["date"]
    stem.with_suffix(".json").write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n")
    stem.with_suffix(".md").write_text(markdown(data) + "\n")
    plot(data, stem.with_suffix(".png"))
    log(summary(data))
    log(f"\nwrote {stem}.json, .md and .png; the measurements took {data['elapsed_s']:.0f} s")


if __name__ == "__main__":
    sys.exit(main())

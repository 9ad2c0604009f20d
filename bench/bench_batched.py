"""Times the batched functions against NumPy's stacked calls, per matrix.

For n = 2, 3, 4, 8, 16 and 100,000 matrices (BLAS held to one thread), each
batched function of zorvane_linalg.batched runs beside its stacked NumPy/SciPy
counterpart on the same stack; the best of a few interleaved rounds counts.
Then: the peak resident memory of one call on 1,000,000 4 x 4 matrices (in a
child process, against its inputs and outputs), and the scaling of Dask's
threaded scheduler from one thread to two on a large batch.

Writes build/bench/results/<date>-batched.json, .md and .png, and prints the tables.
"""

from __future__ import annotations

import datetime
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import scipy.linalg
from threadpoolctl import ThreadpoolController

import zorvane_linalg
from zorvane_linalg import batched as zb

ORDERS = (2, 3, 4, 8, 16)
COUNT = 100_000
ROUNDS = 3
# Results belong to the build tree; bench/docs_figures.py copies the ones
# the documentation cites into bench/results/.
RESULTS_DIR = Path(__file__).resolve().parent.parent / "build" / "bench" / "results"


def spd_stack(count, n, rng):
    a = rng.standard_normal((count, n, n))
    gram = a @ np.swapaxes(a, -1, -2) / n
    return (gram + np.swapaxes(gram, -1, -2)) * 0.5 + np.eye(n)


def eigh_based(f):
    """V · f(w) · Vᵀ through NumPy's stacked eigh."""
    def call(a):
        w, v = np.linalg.eigh(a)
        return (v * f(w)[..., None, :]) @ np.swapaxes(v, -1, -2)
    return call


# name -> (input, ours, NumPy's stacked counterpart)
CASES = {
    "eig_sym": ("spd", zb.eig_sym, np.linalg.eigh),
    "matrix_sqrt": ("spd", zb.matrix_sqrt, eigh_based(np.sqrt)),
    "matrix_exp": ("spd", zb.matrix_exp, eigh_based(np.exp)),
    "matrix_log": ("spd", zb.matrix_log, eigh_based(np.log)),
    "matrix_sign": ("spd", zb.matrix_sign, eigh_based(np.sign)),
    "cholesky": ("spd", zb.cholesky, np.linalg.cholesky),
    "svd": ("general", zb.svd, lambda a: np.linalg.svd(a, full_matrices=False)),
    "solve": ("general", lambda a: zb.solve(a, RHS[a.shape[-1], 1]),
              lambda a: np.linalg.solve(a, RHS[a.shape[-1], 1])),
    "solve (B n x 4)": ("general", lambda a: zb.solve(a, RHS[a.shape[-1], 4]),
                        lambda a: np.linalg.solve(a, RHS[a.shape[-1], 4])),
    "solve (one b for all)": ("general", lambda a: zb.solve(a, RHS[a.shape[-1], 0]),
                              lambda a: np.linalg.solve(a, RHS[a.shape[-1], 0])),
    "qr": ("general", zb.qr, np.linalg.qr),
    "det": ("general", zb.det, np.linalg.det),
    "inv": ("general", zb.inv, np.linalg.inv),
    "pinv": ("general", zb.pinv, np.linalg.pinv),
    "lu (vs det)": ("general", zb.lu, np.linalg.det),
    "lu (vs scipy lu)": ("general", zb.lu, scipy.linalg.lu),
    "eig": ("general", zb.eig, np.linalg.eig),
    "trace": ("general", zb.trace, lambda a: np.trace(a, axis1=-2, axis2=-1)),
}
RHS = {}  # (n, k) -> right-hand side


def best_seconds(call, a):
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.perf_counter()
        call(a)
        best = min(best, time.perf_counter() - start)
    return best


def per_matrix_table():
    rng = np.random.default_rng(2026)
    rows = []
    for n in ORDERS:
        inputs = {"spd": spd_stack(COUNT, n, rng), "general": rng.standard_normal((COUNT, n, n))}
        # B (N, n, k) per matrix, and (for k = 0) one vector b shared by all.
        for k in (1, 4, 0):
            RHS[n, k] = rng.standard_normal((COUNT, n, k) if k else (n,))
        for name, (kind, ours, peer) in CASES.items():
            a = inputs[kind]
            ours_s, peer_s = best_seconds(ours, a), best_seconds(peer, a)
            rows.append({"function": name, "n": n, "ours_us": ours_s / COUNT * 1e6,
                         "numpy_us": peer_s / COUNT * 1e6, "speedup": peer_s / ours_s})
        del inputs
    return rows


# The input is drawn block by block into its final array, so that the
# high-water mark before the call is the resident size itself.
PEAK_CHILD = """
import numpy as np
import zorvane_linalg
from zorvane_linalg import batched as zb

def high_water_bytes():
    # VmHWM belongs to this process's own address space; getrusage's maxrss
    # would carry the parent's peak across fork and exec.
    with open("/proc/self/status") as status:
        line = next(l for l in status if l.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024

count, block = 1_000_000, 50_000
a = np.empty((count, 4, 4))
rng = np.random.default_rng(0)
for start in range(0, count, block):
    g = rng.standard_normal((block, 4, 4))
    a[start:start + block] = g @ g.transpose(0, 2, 1) + 4 * np.eye(4)
del g
before = high_water_bytes()
values, vectors = zb.eig_sym(a)
after = high_water_bytes()
print(before, after, a.nbytes, values.nbytes + vectors.nbytes)
"""

def peak_memory():
    """Peak resident growth of eig_sym on 1,000,000 4 x 4 matrices, in MB: the
    outputs and the working matrices (the input is read where it lies)."""
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD], check=True, capture_output=True,
                         text=True).stdout.split()
    before, after, input_bytes, output_bytes = (int(x) for x in out)
    return {"growth_mb": (after - before) / 1e6, "input_mb": input_bytes / 1e6,
            "outputs_mb": output_bytes / 1e6}


def dask_scaling(count=800_000, n=4, chunk=25_000):
    import dask.array as da
    matrices = spd_stack(count, n, np.random.default_rng(7))
    stack = da.from_array(matrices, chunks=(chunk, n, n))
    roots = stack.map_blocks(lambda block: zb.matrix_sqrt(block), dtype=np.float64)
    seconds = {}
    for workers in (1, 2):
        seconds[workers] = min(
            timed(lambda: roots.compute(scheduler="threads", num_workers=workers))
            for _ in range(ROUNDS))
    return {"count": count, "one_thread_s": seconds[1], "two_threads_s": seconds[2],
            "speedup": seconds[1] / seconds[2]}


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def cpp_against_bare_eigen(path):
    """Per-matrix ns of the C++ batched calls and of the bare Eigen loop
    (bench_batched_cpp's JSON, written by make bench just before)."""
    if not path.exists():
        return []
    report = json.loads(path.read_text())
    level = report["context"].get("zorvane_level", "unknown")
    times = {}
    for entry in report["benchmarks"]:
        operation, side, n = entry["run_name"].split("/")
        times[(operation, side, int(n))] = 1e9 / entry["items_per_second"]
    return [{"function": op, "n": n, "batched_ns": ns, "eigen_ns": times[(op, "eigen", n)],
             "ratio": ns / times[(op, "eigen", n)], "level": level}
            for (op, side, n), ns in sorted(times.items()) if side == "batched"]


def cpp_markdown(rows):
    if not rows:
        return ""
    orders = sorted({r["n"] for r in rows})
    lines = ["", "C++, per matrix: the batched call vs a bare Eigen loop (copy in, reused "
             "solver, copies out; fixed-size matrices for n <= 4) over the same stack, the "
             f"library at level {rows[0]['level']}:", "",
             "| function | " + " | ".join(f"n = {n}" for n in orders) + " |",
             "|---|" + "---|" * len(orders)]
    for name in sorted({r["function"] for r in rows}):
        cells = [f"{r['batched_ns']:.0f} vs {r['eigen_ns']:.0f} ns ({r['ratio']:.2f}x)"
                 for r in rows if r["function"] == name]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def markdown(rows, memory, scaling):
    lines = ["| function | " + " | ".join(f"n = {n}" for n in ORDERS) + " |",
             "|---|" + "---|" * len(ORDERS)]
    for name in CASES:
        cells = [f"{r['ours_us']:.3g} vs {r['numpy_us']:.3g} µs ({r['speedup']:.2f}x)"
                 for r in rows if r["function"] == name]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", f"Per matrix, batched vs NumPy's stacked call, {COUNT} matrices, one BLAS "
              f"thread, best of {ROUNDS}; instruction-set level "
              f"{zorvane_linalg.instruction_set()}.", "",
              f"Peak memory, eig_sym of 1,000,000 4 x 4 matrices: the call raised the peak "
              f"resident size by {memory['growth_mb']:.0f} MB; the input ({memory['input_mb']:.0f} "
              f"MB) is read where it lies, the outputs are {memory['outputs_mb']:.0f} MB "
              f"(the rest is working matrices and allocator slack).", "",
              f"Dask threaded scheduler, matrix_sqrt of {scaling['count']} 4 x 4 matrices: "
              f"{scaling['one_thread_s']:.3f} s on one thread, {scaling['two_threads_s']:.3f} s "
              f"on two ({scaling['speedup']:.2f}x)."]
    return "\n".join(lines) + "\n"


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    names = list(CASES)
    fig, axes = plt.subplots(4, 5, figsize=(18, 13), sharex=True)
    for ax, name in zip(axes.flat, names):
        mine = [r for r in rows if r["function"] == name]
        ax.loglog([r["n"] for r in mine], [r["ours_us"] for r in mine], "o-", label="batched")
        ax.loglog([r["n"] for r in mine], [r["numpy_us"] for r in mine], "s--", label="NumPy")
        ax.set_title(name)
        ax.set_xticks(ORDERS, [str(n) for n in ORDERS])
    for ax in axes.flat[len(names):]:
        ax.axis("off")
    axes.flat[0].legend()
    fig.supxlabel("n")
    fig.supylabel("µs per matrix")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    with ThreadpoolController().limit(limits=1, user_api="blas"):
        rows = per_matrix_table()
    memory = peak_memory()
    scaling = dask_scaling()
    stem = RESULTS_DIR / f"{datetime.date.today().isoformat()}-batched"
    cpp = cpp_against_bare_eigen(stem.with_name(stem.name + "-cpp.json"))
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    stem.with_suffix(".json").write_text(json.dumps(
        {"cpus": os.cpu_count(), "load": os.getloadavg(),
         "zorvane_level": zorvane_linalg.instruction_set(), "per_matrix": rows, "memory": memory,
         "dask_threads": scaling, "cpp_vs_bare_eigen": cpp}, indent=1))
    table = markdown(rows, memory, scaling) + cpp_markdown(cpp)
    stem.with_suffix(".md").write_text(table)
    plot(rows, stem.with_suffix(".png"))
    print(table)


if __name__ == "__main__":
    main()

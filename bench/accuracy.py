"""Measures how accurate the functions of zorvane_linalg are (the twelve of
the first module, and inv, pinv and lstsq), beside their NumPy/SciPy
counterparts on the same matrices, against references computed in high
precision with mpmath.

Measures, each in units that make float64's best possible answer about 1:
- backward error  ||A - reconstruction||_F / (||A||_F * n * eps);
- orthogonality   ||Q^T Q - I||_F / (n * eps) of every orthogonal factor;
- digits          correct decimal digits of each eigenvalue or singular value
                  (smallest and median over the spectrum), and of each
                  solution, inverse, pseudo-inverse or matrix-function result
                  (normwise);
- optimality      ||A^T (A x - b)|| / (||A||_F^2 ||x|| n eps): the gradient of
                  the least-squares cost at x, which vanishes at every
                  least-squares solution (lstsq's basic solution of a wide
                  matrix and NumPy's minimum-norm one alike); lower is better;
- decisions       rank, singular flag and refusal of a numerically singular
                  system, against the rank of the exact matrix.

Residuals are formed in long double, so their own rounding stays well below
what they measure. References (eigenvalues, singular values, solutions,
matrix functions) are computed once per matrix in mpmath.

Writes build/bench/results/<date>-accuracy.json, .md and .png and prints the
summary table.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import json
import math
import sys
import time
from pathlib import Path

import mpmath
import numpy as np
import scipy
import scipy.linalg

import zorvane_linalg as zl

EPS = float(np.finfo(np.float64).eps)
ORDERS = (4, 16, 64)
# mpmath's non-symmetric eigensolver takes about a minute at n = 64; the
# general eigenproblem is measured up to n = 32.
EIG_ORDERS = (4, 16, 32)
# At the largest order a high-precision reference takes seconds (a symmetric
# eigendecomposition at n = 64 about 6 s), so only these families run there:
# the hardest of each kind.
LARGE_ORDER = 64
LARGE_ORDER_FAMILIES = {"spd cond 1e14", "graded spd 20 decades", "hilbert", "clustered eigenvalues",
                        "random", "graded 8 decades", "graded 20 decades", "kahan",
                        f"rank {LARGE_ORDER // 2} of {LARGE_ORDER}"}
# Working decimal digits of the references: 40 keeps 20 digits on
# eigenvalues 1e-20 below the largest; graded matrices get more (below).
BASE_DPS = 40
# A relative error below this is reported as "all digits" (17).
DIGITS_FLOOR = 1e-17
# Results belong to the build tree; bench/docs_figures.py copies the ones
# the documentation cites into bench/results/.
RESULTS_DIR = Path(__file__).resolve().parent.parent / "build" / "bench" / "results"
LONG = np.longdouble


# --- matrices -------------------------------------------------------------------


class Matrix:
    """A test matrix, the family it belongs to, and what the references need."""

    def __init__(self, family: str, a: np.ndarray, rank: int | None = None, dps: int = BASE_DPS):
        self.family = family
        self.a = np.ascontiguousarray(a, dtype=np.float64)
        self.m, self.n = self.a.shape
        self.rank = rank  # the exact rank by construction, when it is deficient
        self.dps = dps
        self.cache: dict = {}

    @property
    def label(self) -> str:
        return f"{self.family} {self.m}x{self.n}"


def orthogonal(n: int, rng) -> np.ndarray:
    q, r = np.linalg.qr(rng.standard_normal((n, n)))
    return q * np.sign(np.diag(r))


def symmetric_with(values: np.ndarray, rng) -> np.ndarray:
    q = orthogonal(len(values), rng)
    a = (q * values) @ q.T
    return (a + a.T) * 0.5


def graded(b: np.ndarray, decades: int) -> np.ndarray:
    """D · B · D with D = diag(10^-k), k from 0 to `decades` evenly (one D
    per side for a rectangular B)."""
    rows, cols = (10.0 ** -np.linspace(0, decades, size) for size in b.shape)
    return rows[:, None] * b * cols[None, :]


def kahan(n: int, theta: float = 1.2) -> np.ndarray:
    s, c = math.sin(theta), math.cos(theta)
    upper = np.triu(-c * np.ones((n, n)), 1) + np.eye(n)
    return (s ** np.arange(n))[:, None] * upper


def hilbert(n: int) -> np.ndarray:
    i = np.arange(n)
    return 1.0 / (i[:, None] + i[None, :] + 1.0)


def symmetric_family(n: int, rng) -> list[Matrix]:
    spd = [Matrix(f"spd cond 1e{k}", symmetric_with(np.logspace(0, -k, n), rng)) for k in (2, 8, 14)]
    well = symmetric_with(np.linspace(1.0, 2.0, n), rng)
    gradeds = [Matrix(f"graded spd {k} decades", graded(well, k), dps=BASE_DPS + 2 * k) for k in (8, 20)]
    clustered = np.repeat(np.linspace(2.0, 3.0, max(n // 4, 1)), 4)[:n]
    clustered[::4] += 1e-12 * np.arange(len(clustered[::4]))  # near-repeated clusters
    indefinite = np.linspace(-1.0, 1.0, n) + 0.5 / n  # for the sign function
    return spd + gradeds + [
        Matrix("hilbert", hilbert(n)),
        Matrix("clustered eigenvalues", symmetric_with(clustered, rng)),
        Matrix("symmetric indefinite", symmetric_with(indefinite, rng)),
    ]


def general_family(n: int, rng) -> list[Matrix]:
    r = max(n // 2, 1)
    low_rank = rng.standard_normal((n, r)) @ rng.standard_normal((r, n))
    b = rng.standard_normal((n, n))
    return [
        Matrix("random", rng.standard_normal((n, n))),
        Matrix("graded 8 decades", graded(b, 8), dps=BASE_DPS + 16),
        Matrix("graded 20 decades", graded(b, 20), dps=BASE_DPS + 40),
        Matrix("kahan", kahan(n)),
        Matrix("hilbert", hilbert(n)),
        Matrix(f"rank {r} of {n}", low_rank, rank=r),
    ]


def eig_family(n: int, rng) -> list[Matrix]:
    x = rng.standard_normal((n, n)) + n * np.eye(n)  # well-conditioned eigenvectors
    repeated = np.repeat(np.arange(1.0, n // 2 + 1.0), 2)[:n]
    return [
        Matrix("random", rng.standard_normal((n, n))),
        Matrix("graded 8 decades", graded(rng.standard_normal((n, n)), 8), dps=BASE_DPS + 16),
        Matrix("kahan", kahan(n)),
        Matrix("repeated eigenvalues", x @ np.diag(repeated) @ np.linalg.inv(x)),
    ]


def rectangular_family(n: int, rng) -> list[Matrix]:
    tall = rng.standard_normal((2 * n, n))
    return [Matrix("random", rng.standard_normal((n, n))),
            Matrix("graded 20 decades", graded(rng.standard_normal((n, n)), 20), dps=BASE_DPS + 40),
            Matrix("kahan", kahan(n)),
            Matrix("tall", tall), Matrix("wide", np.ascontiguousarray(tall.T)),
            Matrix("tall graded 8 decades", graded(tall, 8), dps=BASE_DPS + 16)]


# --- references (mpmath) -------------------------------------------------------------


def to_mp(a: np.ndarray):
    return mpmath.matrix(a.tolist())  # float to mpf is exact


def reference(matrix: Matrix, what: str, compute):
    if what not in matrix.cache:
        with mpmath.workdps(matrix.dps):
            matrix.cache[what] = compute()
    return matrix.cache[what]


def ref_eigsy(matrix: Matrix):
    """Ascending eigenvalues (mpf) and eigenvectors of the symmetric matrix."""

    def compute():
        values, vectors = mpmath.eigsy(to_mp(matrix.a))
        order = sorted(range(matrix.n), key=lambda k: values[k])
        return [values[k] for k in order], vectors, order

    return reference(matrix, "eigsy", compute)


def ref_singular_values(matrix: Matrix) -> list:
    def compute():
        s = mpmath.svd_r(to_mp(matrix.a), compute_uv=False)
        return sorted((s[k] for k in range(len(s))), reverse=True)

    return reference(matrix, "svd", compute)


def ref_eigenvalues(matrix: Matrix) -> list:
    return reference(matrix, "eig",
                     lambda: list(mpmath.eig(to_mp(matrix.a), left=False, right=False)))


def ref_solve(matrix: Matrix, b: np.ndarray) -> np.ndarray:
    def compute():
        x = mpmath.lu_solve(to_mp(matrix.a), mpmath.matrix(b.tolist()))
        return np.array([float(x[k]) for k in range(matrix.n)])

    return reference(matrix, "solve", compute)


def ref_inverse(matrix: Matrix) -> np.ndarray | None:
    """The inverse of the stored matrix; None for an exactly singular one."""

    def compute():
        try:
            x = mpmath.inverse(to_mp(matrix.a))
        except ZeroDivisionError:
            return None
        return np.array(x.tolist(), dtype=float)

    return reference(matrix, "inverse", compute)


def ref_pinv(matrix: Matrix) -> np.ndarray:
    """The pseudo-inverse of the stored matrix with the cutoff both sides use
    by default: singular values above max(m, n) * eps times the largest."""

    def compute():
        u, s, v = mpmath.svd_r(to_mp(matrix.a), full_matrices=False, compute_uv=True)
        cutoff = max(matrix.m, matrix.n) * EPS * max(s)
        kept = [k for k in range(len(s)) if s[k] > cutoff]
        p = np.empty((matrix.n, matrix.m))
        for i in range(matrix.n):
            for j in range(matrix.m):
                p[i, j] = float(mpmath.fsum(v[k, i] * u[j, k] / s[k] for k in kept))
        return p

    return reference(matrix, "pinv", compute)


def ref_lstsq(matrix: Matrix, b: np.ndarray) -> np.ndarray:
    """The least-squares solution of a matrix of full column rank."""

    def compute():
        x, _ = mpmath.qr_solve(to_mp(matrix.a), mpmath.matrix(b.tolist()))
        return np.array([float(x[k]) for k in range(matrix.n)])

    return reference(matrix, "lstsq", compute)


def ref_function(matrix: Matrix, name: str, f) -> np.ndarray | None:
    """V · f(Λ) · Vᵀ in high precision; None where f is undefined."""

    def compute():
        values, vectors, order = ref_eigsy(matrix)
        if name == "log" and values[0] <= 0 or name == "sqrt" and values[0] < 0:
            return None
        n = matrix.n
        fv = [f(v) for v in values]
        out = np.empty((n, n))
        for i in range(n):
            row = [vectors[i, order[k]] * fv[k] for k in range(n)]
            for j in range(i, n):
                out[i, j] = out[j, i] = float(mpmath.fsum(row[k] * vectors[j, order[k]]
                                                          for k in range(n)))
        return out

    return reference(matrix, "f_" + name, compute)


def numerical_rank(matrix: Matrix) -> int:
    """The rank the decisions should find: singular values of the stored matrix
    above n·eps·sigma_max, the same relative threshold the library uses."""
    s = ref_singular_values(matrix)
    return sum(1 for v in s if v > matrix.n * EPS * s[0])


# --- measures ---------------------------------------------------------------------


def fro(x) -> float:
    x = np.asarray(x)
    magnitude = np.abs(x) if np.iscomplexobj(x) else x.astype(LONG)
    return float(np.sqrt(np.sum(np.asarray(magnitude, dtype=LONG) ** 2)))


def backward(a: np.ndarray, reconstruction) -> float:
    scale = fro(a) * max(a.shape) * EPS
    return fro(np.asarray(a, dtype=LONG) - reconstruction) / scale if scale else 0.0


def orthogonality(q: np.ndarray) -> float:
    q = np.asarray(q, dtype=LONG)
    k = q.shape[1]
    return fro(q.T @ q - np.eye(k, dtype=LONG)) / (max(q.shape) * EPS) if k else 0.0


def digits_of(relative_errors) -> dict:
    """Smallest and median number of correct digits."""
    if not relative_errors:
        return {}
    digits = [max(0.0, -math.log10(max(e, DIGITS_FLOOR))) for e in relative_errors]
    return {"digits_min": min(digits), "digits_median": float(np.median(digits))}


def value_digits(got, ref) -> dict:
    errors = []
    for g, r in zip(got, ref):
        r = complex(r) if isinstance(r, mpmath.mpc) else float(r)
        errors.append(abs(g - r) / abs(r) if r != 0 else (0.0 if g == 0 else math.inf))
    return digits_of(errors)


def normwise_digits(got, ref) -> dict:
    err = fro(np.asarray(got, dtype=LONG) - ref) / max(fro(ref), 1e-300)
    d = digits_of([err])
    return {"digits": d["digits_min"]}


def match_complex(got: np.ndarray, ref: list) -> list:
    """Pairs each computed eigenvalue with the nearest unused reference."""
    ref_c = [complex(r) for r in ref]
    used, paired = set(), []
    for g in got:
        k = min((k for k in range(len(ref_c)) if k not in used), key=lambda k: abs(ref_c[k] - g))
        used.add(k)
        paired.append(ref[k])
    return paired


# --- operations -------------------------------------------------------------------
# Each takes (side, matrix), side "ours" or "peer", and returns a dict of
# measures, or raises where that side refuses the matrix.


def run_eig_sym(side, m):
    w, v = zl.eig_sym(m.a) if side == "ours" else np.linalg.eigh(m.a)
    vl = np.asarray(v, dtype=LONG)
    return {"backward": backward(m.a, (vl * np.asarray(w, dtype=LONG)) @ vl.T),
            "orthogonality": orthogonality(v), **value_digits(w, ref_eigsy(m)[0])}


def spectral(name, ours, peer, f):
    def run(side, m):
        reference_value = ref_function(m, name, f)
        if reference_value is None:
            return {"undefined": True}
        result = ours(m.a) if side == "ours" else peer(m.a)
        if np.iscomplexobj(result):
            result = result.real if np.abs(result.imag).max() == 0 else result
        out = normwise_digits(result, reference_value)
        if name == "sqrt":
            s = np.asarray(result, dtype=LONG)
            out["backward"] = backward(m.a, s @ s)
        return out

    return run


def run_cholesky(side, m):
    lower = zl.cholesky(m.a) if side == "ours" else np.linalg.cholesky(m.a)
    ll = np.asarray(lower, dtype=LONG)
    return {"backward": backward(m.a, ll @ ll.T)}


def run_svd(side, m):
    u, s, vt = zl.svd(m.a) if side == "ours" else np.linalg.svd(m.a, full_matrices=False)
    rec = (np.asarray(u, dtype=LONG) * np.asarray(s, dtype=LONG)) @ np.asarray(vt, dtype=LONG)
    return {"backward": backward(m.a, rec), "orthogonality": max(orthogonality(u), orthogonality(vt.T)),
            **value_digits(s, ref_singular_values(m))}


def run_qr(side, m):
    q, r = zl.qr(m.a) if side == "ours" else np.linalg.qr(m.a, mode="reduced")
    return {"backward": backward(m.a, np.asarray(q, dtype=LONG) @ np.asarray(r, dtype=LONG)),
            "orthogonality": orthogonality(q)}


def run_lu(side, m):
    truth = numerical_rank(m)
    if side == "ours":
        lower, upper, p, q, rank, _, singular = zl.lu(m.a)
        lhs = np.asarray(p, dtype=LONG) @ np.asarray(m.a, dtype=LONG) @ np.asarray(q, dtype=LONG)
        rec = np.asarray(lower, dtype=LONG) @ np.asarray(upper, dtype=LONG)
        out = {"backward": fro(lhs - rec) / (fro(m.a) * m.n * EPS)}
        out.update(rank=int(rank), singular=bool(singular))
    else:
        p, lower, upper = scipy.linalg.lu(m.a)
        rec = np.asarray(p, dtype=LONG) @ np.asarray(lower, dtype=LONG) @ np.asarray(upper, dtype=LONG)
        out = {"backward": backward(m.a, rec), "rank": int(np.linalg.matrix_rank(m.a))}
        out["singular"] = out["rank"] < m.n
    out["true_rank"] = truth
    out["decision_right"] = out["rank"] == truth and out["singular"] == (truth < m.n)
    return out


def run_solve(side, m):
    rng = np.random.default_rng(7)
    b = rng.standard_normal(m.n)
    truth = numerical_rank(m)
    out = {"true_rank": truth}
    try:
        x = zl.solve(m.a, b) if side == "ours" else np.linalg.solve(m.a, b)
        out["refused"] = False
    except (RuntimeError, np.linalg.LinAlgError):
        out["refused"] = True
    out["decision_right"] = out["refused"] == (truth < m.n)
    s = ref_singular_values(m)
    out["condition"] = float(s[0] / s[-1]) if s[-1] else math.inf
    if not out["refused"] and s[-1]:
        out.update(normwise_digits(x, ref_solve(m, b)))
    return out


def run_inv(side, m):
    truth = numerical_rank(m)
    out = {"true_rank": truth}
    try:
        x = zl.inv(m.a) if side == "ours" else np.linalg.inv(m.a)
        out["refused"] = False
    except (RuntimeError, np.linalg.LinAlgError):
        out["refused"] = True
    out["decision_right"] = out["refused"] == (truth < m.n)
    reference_inverse = ref_inverse(m)
    if not out["refused"] and reference_inverse is not None:
        out.update(normwise_digits(x, reference_inverse))
    return out


def run_pinv(side, m):
    p = zl.pinv(m.a) if side == "ours" else np.linalg.pinv(m.a)
    return normwise_digits(p, ref_pinv(m))


def run_lstsq(side, m):
    b = np.random.default_rng(11).standard_normal(m.m)
    truth = numerical_rank(m)
    if side == "ours":
        x, rank = zl.lstsq(m.a, b)
    else:
        x, _, rank, _ = np.linalg.lstsq(m.a, b)
    a, xl = np.asarray(m.a, dtype=LONG), np.asarray(x, dtype=LONG)
    scale = fro(m.a) ** 2 * fro(x) * max(m.a.shape) * EPS
    out = {"optimality": fro(a.T @ (a @ xl - b)) / scale if scale else 0.0,
           "rank": int(rank), "true_rank": truth, "decision_right": int(rank) == truth}
    if m.m >= m.n and truth == m.n:  # a unique solution to compare with
        out.update(normwise_digits(x, ref_lstsq(m, b)))
    return out


def run_eig(side, m):
    if side == "ours":
        wr, wi, vr, vi = zl.eig(m.a)
        w, v = wr + 1j * wi, vr + 1j * vi
    else:
        w, v = np.linalg.eig(m.a)
    vl = np.asarray(v, dtype=np.clongdouble)
    residual = np.asarray(m.a, dtype=LONG) @ vl - vl * np.asarray(w, dtype=np.clongdouble)
    scale = fro(m.a) * fro(v) * m.n * EPS
    return {"backward": fro(residual) / scale, **value_digits(w, match_complex(w, ref_eigenvalues(m)))}


def run_trace(side, m):
    t = zl.trace(m.a) if side == "ours" else np.trace(m.a)
    exact = math.fsum(np.diag(m.a))
    return {"digits": digits_of([abs(t - exact) / abs(exact) if exact else abs(t)])["digits_min"]}


# operation, peer label, families, runner
OPERATIONS = [
    ("eig_sym", "numpy.linalg.eigh", "symmetric", run_eig_sym),
    ("matrix_sqrt", "scipy.linalg.sqrtm", "symmetric",
     spectral("sqrt", zl.matrix_sqrt, scipy.linalg.sqrtm, mpmath.sqrt)),
    ("matrix_exp", "scipy.linalg.expm", "symmetric",
     spectral("exp", zl.matrix_exp, scipy.linalg.expm, mpmath.exp)),
    ("cholesky", "numpy.linalg.cholesky", "symmetric", run_cholesky),
    ("svd", "numpy.linalg.svd", "rectangular", run_svd),
    ("solve", "numpy.linalg.solve", "general", run_solve),
    ("qr", "numpy.linalg.qr", "rectangular", run_qr),
    ("lu", "scipy.linalg.lu + numpy.linalg.matrix_rank", "general", run_lu),
    ("matrix_log", "scipy.linalg.logm", "symmetric",
     spectral("log", zl.matrix_log, scipy.linalg.logm, mpmath.log)),
    ("matrix_sign", "scipy.linalg.signm", "symmetric",
     spectral("sign", zl.matrix_sign, scipy.linalg.signm, mpmath.sign)),
    ("eig", "numpy.linalg.eig", "eig", run_eig),
    ("trace", "numpy.trace", "general", run_trace),
    ("inv", "numpy.linalg.inv", "general", run_inv),
    ("pinv", "numpy.linalg.pinv", "rectangular", run_pinv),
    ("lstsq", "numpy.linalg.lstsq", "rectangular", run_lstsq),
]

FAMILIES = {"symmetric": symmetric_family, "general": general_family, "eig": eig_family,
            "rectangular": rectangular_family}


def measure_side(run, side: str, matrix: Matrix) -> dict:
    try:
        with np.errstate(all="ignore"):
            return run(side, matrix)
    except (ValueError, RuntimeError, np.linalg.LinAlgError) as error:
        return {"error": f"{type(error).__name__}: {str(error)[:120]}"}


def measure(orders, eig_orders, log, functions=None) -> list[dict]:
    records = []
    for n in sorted(set(orders) | set(eig_orders)):
        rng_seed = 4000 + n
        matrices = {kind: [m for m in make(n, np.random.default_rng(rng_seed))
                           if n < LARGE_ORDER or m.family in LARGE_ORDER_FAMILIES]
                    for kind, make in FAMILIES.items()
                    if (n in eig_orders if kind == "eig" else n in orders)}
        for name, peer, kind, run in OPERATIONS:
            if functions and name not in functions:
                continue
            for matrix in matrices.get(kind, []):
                started = time.perf_counter()
                record = {"function": name, "peer": peer, "family": matrix.family,
                          "shape": [matrix.m, matrix.n], "n": n,
                          "ours": measure_side(run, "ours", matrix),
                          "peer_result": measure_side(run, "peer", matrix)}
                records.append(record)
                log(f"{name:>11} {matrix.label:<30} ours {brief(record['ours'])} | "
                    f"peer {brief(record['peer_result'])} ({time.perf_counter() - started:.1f} s)")
    return records


def brief(result: dict) -> str:
    if "error" in result:
        return result["error"][:40]
    return " ".join(f"{k}={v:.3g}" if isinstance(v, float) else f"{k}={v}"
                    for k, v in result.items() if k != "true_rank")


# --- outputs -------------------------------------------------------------------------

# measure, label, better when, format
MEASURES = [
    ("backward", "backward error / (n eps)", "lower", "{:.2g}"),
    ("optimality", "normal-equation residual / (n eps)", "lower", "{:.2g}"),
    ("orthogonality", "orthogonality / (n eps)", "lower", "{:.2g}"),
    ("digits_min", "digits, worst value", "higher", "{:.1f}"),
    ("digits_median", "digits, median value", "higher", "{:.1f}"),
    ("digits", "digits of the result", "higher", "{:.1f}"),
]


def comparable(record: dict, key: str) -> tuple[float, float] | None:
    ours, peer = record["ours"].get(key), record["peer_result"].get(key)
    if isinstance(ours, (int, float)) and isinstance(peer, (int, float)) and not isinstance(ours, bool):
        return float(ours), float(peer)
    return None


def summary_rows(records: list[dict]) -> list[dict]:
    """Per function and measure: worst and median over the matrices both sides answered."""
    rows = []
    for name, peer, _, _ in OPERATIONS:
        mine = [r for r in records if r["function"] == name]
        for key, label, better, fmt in MEASURES:
            pairs = [p for p in (comparable(r, key) for r in mine) if p]
            if not pairs:
                continue
            ours, theirs = np.array(pairs).T
            worst = np.max if better == "lower" else np.min
            rows.append({"function": name, "peer": peer, "measure": label, "better": better,
                         "format": fmt, "matrices": len(pairs),
                         "ours_worst": float(worst(ours)), "peer_worst": float(worst(theirs)),
                         "ours_median": float(np.median(ours)), "peer_median": float(np.median(theirs))})
        decided = [r for r in mine if "decision_right" in r["ours"]]
        if decided:
            rows.append({"function": name, "peer": peer, "measure": "right decisions", "better": "higher",
                         "format": "{:.0f}", "matrices": len(decided),
                         "ours_worst": sum(r["ours"]["decision_right"] for r in decided),
                         "peer_worst": sum(r["peer_result"].get("decision_right", False) for r in decided),
                         "ours_median": None, "peer_median": None})
        failed = [r for r in mine if "error" in r["ours"] or "error" in r["peer_result"]]
        if failed:
            rows.append({"function": name, "peer": peer, "measure": "raised", "better": "",
                         "format": "{:.0f}", "matrices": len(mine),
                         "ours_worst": sum("error" in r["ours"] for r in mine),
                         "peer_worst": sum("error" in r["peer_result"] for r in mine),
                         "ours_median": None, "peer_median": None})
    return rows


def fmt(row: dict, key: str) -> str:
    value = row[key]
    return "—" if value is None else row["format"].format(value)


def verdict(row: dict) -> str:
    """Ahead or behind on the typical matrix (the median; the count for
    decisions): by more than half a digit, or a factor above 3."""
    key = "worst" if row["ours_median"] is None else "median"
    ours, peer = row["ours_" + key], row["peer_" + key]
    if row["better"] == "lower":
        ours, peer = -math.log10(max(ours, 1e-3)), -math.log10(max(peer, 1e-3))
        margin = 0.5
    elif row["better"] == "higher":
        margin = 0.5 if row["measure"].startswith("digits") else 0
    else:
        return ""
    if ours > peer + margin:
        return "ahead"
    if peer > ours + margin:
        return "behind"
    return "even"


def summary_table(rows: list[dict]) -> list[str]:
    lines = ["| function | peer | measure | matrices | ours, worst | peer, worst | ours, median | "
             "peer, median | typical case |", "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: | --- |"]
    for row in rows:
        lines.append(f"| {row['function']} | {row['peer']} | {row['measure']} | {row['matrices']} | "
                     f"{fmt(row, 'ours_worst')} | {fmt(row, 'peer_worst')} | {fmt(row, 'ours_median')} | "
                     f"{fmt(row, 'peer_median')} | {verdict(row)} |")
    return lines + [""]


def cell(result: dict) -> str:
    if "error" in result:
        return result["error"].split(":")[0]
    if result.get("undefined"):
        return "undefined"
    parts = []
    for key, short in (("backward", "bwd"), ("optimality", "opt"), ("orthogonality", "orth"),
                       ("digits_min", "dig min"),
                       ("digits_median", "dig med"), ("digits", "dig"), ("rank", "rank"),
                       ("singular", "singular"), ("refused", "refused")):
        if key in result:
            value = result[key]
            parts.append(f"{short} {value:.3g}" if isinstance(value, float) else f"{short} {value}")
    return ", ".join(parts)


def detail_table(records: list[dict]) -> list[str]:
    lines = ["| function | matrix | true rank | ours | peer |", "| --- | --- | ---: | --- | --- |"]
    for r in records:
        truth = r["ours"].get("true_rank", r["peer_result"].get("true_rank", ""))
        lines.append(f"| {r['function']} | {r['family']} {r['shape'][0]}x{r['shape'][1]} | {truth} | "
                     f"{cell(r['ours'])} | {cell(r['peer_result'])} |")
    return lines + [""]


def markdown(data: dict) -> str:
    env = data["environment"]
    out = [f"# Accuracy {data['date']}", "",
           f"- NumPy {env['numpy']}, SciPy {env['scipy']}, mpmath {env['mpmath']}, "
           f"zorvane-linalg {env['zorvane-linalg']}; references at {BASE_DPS} or more decimal digits",
           f"- orders {', '.join(map(str, data['orders']))} (general eigenproblem: "
           f"{', '.join(map(str, data['eig_orders']))}); tall and wide shapes 2n x n and n x 2n; "
           f"at n = {LARGE_ORDER} the hardest families only",
           "- backward error and orthogonality in units of n·eps (about 1 is the best float64 can do); "
           "digits = correct decimal digits (17 = all); worst and median over the matrices both "
           "sides answered; 'raised' counts matrices a side refused with an exception", "",
           "## Summary", ""] + summary_table(data["summary"])
    out += ["## Every matrix", ""] + detail_table(data["results"])
    return "\n".join(out)


def plot(data: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = math.ceil(len(OPERATIONS) / 4)
    fig, axes = plt.subplots(rows, 4, figsize=(16, 3.7 * rows))
    for ax in axes.flat[len(OPERATIONS):]:
        ax.set_visible(False)
    for ax, (name, peer, _, _) in zip(axes.flat, OPERATIONS):
        mine = [r for r in data["results"] if r["function"] == name]
        key = next((k for k in ("digits_min", "digits", "backward", "optimality")
                    if any(comparable(r, k) for r in mine)), None)
        if key is None:
            ax.set_visible(False)
            continue
        points = [(r, comparable(r, key)) for r in mine if comparable(r, key)]
        labels = [f"{r['family']} {r['shape'][0]}x{r['shape'][1]}" for r, _ in points]
        ours = [p[0] for _, p in points]
        theirs = [p[1] for _, p in points]
        y = np.arange(len(points))
        ax.barh(y - 0.2, ours, height=0.4, label="zorvane_linalg." + name)
        ax.barh(y + 0.2, theirs, height=0.4, label=peer)
        ax.set_yticks(y, labels, fontsize=5)
        if key in ("backward", "optimality"):
            ax.set_xscale("log")
            ax.set_xlabel(f"{key} / (n eps), lower is better", fontsize=7)
        else:
            ax.set_xlabel("correct digits" + (" (worst value)" if key == "digits_min" else "")
                          + ", higher is better", fontsize=7)
        ax.set_title(name, fontsize=9)
        ax.legend(fontsize=6)
        ax.invert_yaxis()
    fig.suptitle(f"zorvane_linalg vs NumPy/SciPy: accuracy against mpmath references, {data['date']}",
                 fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--orders", type=int, nargs="+", default=list(ORDERS))
    parser.add_argument("--eig-orders", type=int, nargs="+", default=list(EIG_ORDERS))
    parser.add_argument("--functions", nargs="+", metavar="NAME", help="measure only these")
    parser.add_argument("--from-json", metavar="JSON", type=Path,
                        help="write the tables and plot again from an earlier run")
    args = parser.parse_args()

    def log(line: str) -> None:
        print(line, flush=True)

    if args.from_json:
        data = json.loads(args.from_json.read_text())
    else:
        started = time.perf_counter()
        records = measure(args.orders, args.eig_orders, log, args.functions)
        data = {"date": datetime.datetime.now().strftime("%Y-%m-%d"),
                "environment": {"numpy": np.__version__, "scipy": scipy.__version__,
                                "mpmath": mpmath.__version__,
                                "zorvane-linalg": importlib.metadata.version("zorvane-linalg")},
                "orders": args.orders, "eig_orders": args.eig_orders, "results": records,
                "elapsed_s": time.perf_counter() - started}
    data["summary"] = summary_rows(data["results"])
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    stem = RESULTS_DIR / f"{data['date']}-accuracy"
    stem.with_suffix(".json").write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n")
    stem.with_suffix(".md").write_text(markdown(data) + "\n")
    plot(data, stem.with_suffix(".png"))
    log("\n".join(["", "Accuracy summary (over the matrices both sides answered):", ""]
                   + summary_table(data["summary"])))
    log(f"wrote {stem}.json, .md and .png; the measurements took {data['elapsed_s']:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

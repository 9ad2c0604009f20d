"""Reference values for pinv, lstsq, norm and levenberg_marquardt.

NumPy gives the pseudo-inverse, the full-rank least-squares solutions and the
four norms of random matrices of several shapes in both orientations; SciPy's
Levenberg-Marquardt gives the minimiser and minimum cost of a few standard
non-linear problems, whose data (with its noise) is stored too so that the C++
test fits exactly the same points.

Run: python tests/reference/make_least_squares.py
"""

from pathlib import Path

import numpy as np
from scipy.optimize import least_squares

from reference_io import write_reference

SHAPES = [(1, 1), (1, 5), (5, 1), (3, 2), (2, 3), (5, 5), (7, 4), (4, 7), (9, 16), (17, 8)]
LSTSQ_SHAPES = [(1, 1), (3, 2), (5, 5), (7, 4), (16, 9), (33, 8)]


def name(prefix, shape):
    return f"{prefix}_{shape[0]}x{shape[1]}"


def pinv_entries(rng):
    for shape in SHAPES:
        a = rng.uniform(-1.0, 1.0, shape)
        yield name("pinv_a", shape), a
        yield name("pinv_p", shape), np.linalg.pinv(a)
    # Rank 2 in a 6 x 5 matrix: the explicit cutoff drops the three rounding-level values.
    low_rank = rng.uniform(-1.0, 1.0, (6, 2)) @ rng.uniform(-1.0, 1.0, (2, 5))
    yield "pinvlow_a", low_rank
    yield "pinvlow_p", np.linalg.pinv(low_rank, rcond=1e-10)


def lstsq_entries(rng):
    for shape in LSTSQ_SHAPES:
        a = rng.uniform(-1.0, 1.0, shape)
        b = rng.uniform(-1.0, 1.0, shape[0])
        bb = rng.uniform(-1.0, 1.0, (shape[0], 3))
        yield name("lstsq_a", shape), a
        yield name("lstsq_b", shape), b
        yield name("lstsq_x", shape), np.linalg.lstsq(a, b, rcond=None)[0]
        yield name("lstsq_bb", shape), bb
        yield name("lstsq_xx", shape), np.linalg.lstsq(a, bb, rcond=None)[0]


def norm_entries(rng):
    for shape in SHAPES:
        a = rng.normal(0.0, 3.0, shape)
        yield name("norm_a", shape), a
        values = [np.linalg.norm(a, kind) for kind in ("fro", 1, np.inf, 2)]
        yield name("norm_values", shape), np.array(values)


# Non-linear problems: residuals r(x) and their Jacobians, mirrored in the C++ test.
def rosenbrock(x):
    return np.array([10.0 * (x[1] - x[0] ** 2), 1.0 - x[0]])


def rosenbrock_jac(x):
    return np.array([[-20.0 * x[0], 10.0], [-1.0, 0.0]])


def powell(x):
    return np.array([
        x[0] + 10.0 * x[1],
        np.sqrt(5.0) * (x[2] - x[3]),
        (x[1] - 2.0 * x[2]) ** 2,
        np.sqrt(10.0) * (x[0] - x[3]) ** 2,
    ])


def powell_jac(x):
    u = x[1] - 2.0 * x[2]
    v = x[0] - x[3]
    s5, s10 = np.sqrt(5.0), np.sqrt(10.0)
    return np.array([
        [1.0, 10.0, 0.0, 0.0],
        [0.0, 0.0, s5, -s5],
        [0.0, 2.0 * u, -4.0 * u, 0.0],
        [2.0 * s10 * v, 0.0, 0.0, -2.0 * s10 * v],
    ])


def decay_problem(rng):
    """y = a·exp(−b·t) + c with a = 2.5, b = 1.3, c = 0.5 and Gaussian noise."""
    t = np.linspace(0.0, 4.0, 40)
    y = 2.5 * np.exp(-1.3 * t) + 0.5 + rng.normal(0.0, 0.05, t.size)

    def residual(x):
        return x[0] * np.exp(-x[1] * t) + x[2] - y

    def jacobian(x):
        e = np.exp(-x[1] * t)
        return np.column_stack([e, -x[0] * t * e, np.ones_like(t)])

    return t, y, residual, jacobian


def peak_problem(rng):
    """y = h·exp(−(t − μ)² / (2σ²)) with h = 3, μ = 1.2, σ = 0.7 and noise."""
    t = np.linspace(-2.0, 4.0, 60)
    y = 3.0 * np.exp(-((t - 1.2) ** 2) / (2.0 * 0.7**2)) + rng.normal(0.0, 0.05, t.size)

    def residual(x):
        return x[0] * np.exp(-((t - x[1]) ** 2) / (2.0 * x[2] ** 2)) - y

    def jacobian(x):
        d = t - x[1]
        e = np.exp(-(d**2) / (2.0 * x[2] ** 2))
        return np.column_stack([e, x[0] * e * d / x[2] ** 2, x[0] * e * d**2 / x[2] ** 3])

    return t, y, residual, jacobian


def lm_entries(rng):
    t, y, decay, decay_jac = decay_problem(rng)
    tp, yp, peak, peak_jac = peak_problem(rng)
    problems = [
        ("rosenbrock", rosenbrock, rosenbrock_jac, [-1.2, 1.0], {}),
        ("powell", powell, powell_jac, [3.0, -1.0, 0.0, 1.0], {}),
        ("decay", decay, decay_jac, [1.0, 1.0, 0.0], {"t": t, "y": y}),
        ("peak", peak, peak_jac, [1.0, 0.5, 1.0], {"t": tp, "y": yp}),
    ]
    for label, residual, jacobian, x0, data in problems:
        fit = least_squares(residual, np.array(x0), jac=jacobian, method="lm",
                            ftol=1e-15, xtol=1e-15, gtol=1e-15, max_nfev=10000)
        assert fit.success, (label, fit.message)
        yield f"lm_{label}_x0", np.array(x0)
        for key, values in data.items():
            yield f"lm_{label}_{key}", values
        yield f"lm_{label}_x", fit.x
        yield f"lm_{label}_cost", np.array(fit.cost)


def main():
    rng = np.random.default_rng(20261207)
    entries = [*pinv_entries(rng), *lstsq_entries(rng), *norm_entries(rng), *lm_entries(rng)]
    out = Path(__file__).with_name("least_squares.txt")
    write_reference(out, entries,
                    "pinv, lstsq, norm (NumPy) and Levenberg-Marquardt (SciPy); "
                    "written by make_least_squares.py")


if __name__ == "__main__":
    main()

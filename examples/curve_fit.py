"""Fits a Gaussian peak y = h * exp(-(t - mu)**2 / (2 * sigma**2)) + c to noisy
samples with zorvane_linalg.levenberg_marquardt, beside
scipy.optimize.least_squares(method="lm") on the same residual and Jacobian
from the same start, and prints both fits. The Python twin of curve_fit.cpp.

    python examples/curve_fit.py
"""

import numpy as np
import scipy.optimize

import zorvane_linalg as zl

TRUTH = np.array([4.0, 1.5, 0.6, 0.3])  # h, mu, sigma, c
START = np.array([1.0, 0.5, 1.0, 0.0])


def peak(p, t):
    h, mu, sigma, c = p
    return h * np.exp(-((t - mu) ** 2) / (2.0 * sigma**2)) + c


class GaussianPeak:
    """The residuals r_i = peak(p, t_i) - y_i of `count` samples of the true
    peak with uniform noise in [-0.1, 0.1], and their Jacobian."""

    def __init__(self, count=50, seed=2026):
        self.t = np.linspace(-1.0, 4.0, count)
        noise = np.random.default_rng(seed).uniform(-0.1, 0.1, count)
        self.y = peak(TRUTH, self.t) + noise

    def residual(self, p):
        return peak(p, self.t) - self.y

    def jacobian(self, p):
        """Row i holds the derivatives of r_i by h, mu, sigma and c."""
        h, mu, sigma, _ = p
        d = self.t - mu
        e = np.exp(-d * d / (2.0 * sigma**2))
        return np.column_stack([e, h * e * d / sigma**2, h * e * d * d / sigma**3,
                                np.ones_like(d)])


def fit_zorvane(problem):
    return zl.levenberg_marquardt(problem.residual, problem.jacobian, problem.t.size, START)


def fit_scipy(problem):
    return scipy.optimize.least_squares(problem.residual, START, jac=problem.jacobian,
                                        method="lm")


def main():
    problem = GaussianPeak()
    ours, theirs = fit_zorvane(problem), fit_scipy(problem)
    print(f"Gaussian peak fitted to {problem.t.size} noisy samples")
    print(f"{'':28s}{'h':>9s}{'mu':>9s}{'sigma':>9s}{'c':>9s}{'cost':>12s}")
    for label, p, cost in [("start", START, 0.5 * np.sum(problem.residual(START) ** 2)),
                           ("zorvane levenberg_marquardt", ours.x, ours.cost),
                           ("scipy least_squares lm", theirs.x, theirs.cost)]:
        h, mu, sigma, c = p
        print(f"{label:28s}{h:9.4f}{mu:9.4f}{abs(sigma):9.4f}{c:9.4f}{cost:12.6g}")
    print(f"{'truth':28s}" + "".join(f"{v:9.4f}" for v in TRUTH))
    print(f"zorvane: {ours.status.name} after {ours.iterations} iterations; "
          f"scipy: {theirs.message} ({theirs.nfev} residual calls)")
    agree = ours.status == zl.LMStatus.Converged and np.allclose(ours.x, theirs.x, rtol=1e-6)
    print("the fits agree" if agree else "the fits DISAGREE")
    return 0 if agree else 1


if __name__ == "__main__":
    raise SystemExit(main())

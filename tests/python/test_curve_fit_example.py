"""The curve-fitting example: the Levenberg-Marquardt fit equals
scipy.optimize.least_squares(method="lm") on the same problem, finds the
peak, and the example reports the agreement."""

import pathlib
import runpy

import numpy as np
import pytest

import zorvane_linalg as zl

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "curve_fit.py"
example = runpy.run_path(str(EXAMPLE))  # defines the example's names; main() is not run


def test_the_fit_equals_scipys_and_finds_the_peak(capsys):
    problem = example["GaussianPeak"]()
    ours, theirs = example["fit_zorvane"](problem), example["fit_scipy"](problem)
    assert ours.status == zl.LMStatus.Converged
    np.testing.assert_allclose(ours.x, theirs.x, rtol=1e-6)
    assert ours.cost == pytest.approx(theirs.cost, rel=1e-9)
    np.testing.assert_array_equal(ours.residual, problem.residual(ours.x))
    np.testing.assert_allclose(np.abs(ours.x), example["TRUTH"], atol=0.05)
    assert example["main"]() == 0 and "the fits agree" in capsys.readouterr().out

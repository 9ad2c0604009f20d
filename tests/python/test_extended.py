"""det, inv, pinv, lstsq, norm and levenberg_marquardt at the package's top
level: their face, NumPy's answers on random inputs, one table of argument
rules, and the Levenberg-Marquardt callbacks, well and badly behaved."""

import doctest
import enum
import os
import subprocess
import sys
import traceback

import numpy as np
import pytest

import zorvane_linalg as zl

NAMES = ["det", "inv", "pinv", "lstsq", "norm", "levenberg_marquardt"]


def test_the_six_functions_and_their_types_are_at_the_top_level_in_order():
    extension = zl._extended
    assert [n for n in vars(extension) if n in NAMES] == NAMES
    for name in NAMES + ["LstsqResult", "LMResult", "LMStatus"]:
        assert getattr(zl, name) is getattr(extension, name) and name in zl.__all__
    assert issubclass(zl.LMStatus, enum.IntEnum) and [(s.name, s.value) for s in zl.LMStatus] == [
        ("Converged", 0), ("MaxIterations", 1), ("DampingLimit", 2)]
    assert zl.LMResult._fields == ("x", "residual", "cost", "iterations", "status")


@pytest.mark.parametrize("name", NAMES + ["instruction_set"])
def test_docstring_examples(name):
    doc = getattr(zl, name).__doc__
    test = doctest.DocTestParser().get_doctest(doc, {}, name, None, 0)
    assert test.examples
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.failures == 0


@pytest.mark.parametrize("forced", ["baseline", "", "x86-64-v9"])
def test_instruction_set_is_the_level_zorvane_cpu_level_names(forced):
    script = ("import zorvane_linalg as z\ntry:\n    print(z.instruction_set())\n"
              "except ValueError as e:\n    print('ValueError:', e)")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True, env={**os.environ, "ZORVANE_CPU_LEVEL": forced}).stdout.strip()
    if forced == "x86-64-v9":
        assert out.startswith("ValueError: zorvane: ZORVANE_CPU_LEVEL=x86-64-v9 names no "
                              "instruction-set level of this library (levels available here: "
                              "baseline")
    else:
        assert out == forced or (not forced and out in ("baseline", "x86-64-v3", "x86-64-v4"))


def random(shape, salt=0):
    return np.random.default_rng(hash(shape) % 1000 + salt).standard_normal(shape)


def tolerance(a):
    return 64 * max(a.shape) * np.finfo(float).eps * max(np.linalg.norm(a, 2), 1.0)


ORDERS = [1, 2, 4, 7, 16, 33]
SHAPES = [(1, 1), (4, 4), (5, 3), (3, 5), (16, 9), (9, 16)]


@pytest.mark.parametrize("n", ORDERS)
def test_det_and_inv_match_numpy(n):
    a = random((n, n)) + n * np.eye(n)
    assert zl.det(a) == pytest.approx(np.linalg.det(a), rel=n * 1e-13)
    np.testing.assert_allclose(zl.inv(a), np.linalg.inv(a), rtol=0,
                               atol=tolerance(a) * np.linalg.cond(a))


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("rcond", [-1.0, 0.0, 0.3])
def test_pinv_matches_numpy(shape, rcond):
    a = random(shape)
    a[:, 0] *= 0.2  # a singular value that rcond = 0.3 drops
    expected = np.linalg.pinv(a, rcond=rcond) if rcond >= 0 else np.linalg.pinv(a)
    np.testing.assert_allclose(zl.pinv(a, rcond), expected, rtol=0,
                               atol=tolerance(a) * np.linalg.cond(a))


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("ord", [None, "fro", 1, 2, np.inf, 1.0, np.int64(2), np.float32(np.inf)])
def test_norm_matches_numpy(shape, ord):
    a = random(shape)
    assert zl.norm(a, ord) == pytest.approx(np.linalg.norm(a, ord), rel=64 * np.finfo(float).eps)


@pytest.mark.parametrize("shape", [(1, 1), (5, 3), (16, 9), (33, 33)])
@pytest.mark.parametrize("columns", [None, 1, 3])
def test_lstsq_matches_numpy_for_full_column_rank(shape, columns):
    a, b = random(shape), random(shape[:1] + ((columns,) if columns else ()), salt=1)
    x, rank = zl.lstsq(a, b)
    expected, _, numpy_rank, _ = np.linalg.lstsq(a, b)
    assert x.shape == expected.shape and rank == numpy_rank == shape[1]
    np.testing.assert_allclose(x, expected, rtol=0, atol=tolerance(a) * np.linalg.cond(a) ** 2)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", [(0, 0), (1, 1)])
@pytest.mark.parametrize("b", [np.ones(2), np.ones((2, 3)), np.ones((2, 0))])
def test_lstsq_of_a_non_finite_a_is_nan_everywhere(bad, where, b):
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    a[where] = bad
    x = zl.lstsq(a, b).x
    assert x.shape == b.shape and np.isnan(x).all()


SINGULAR = np.array([[1.0, 2.0], [2.0, 4.0]])
READ_ONLY = np.array([[4.0, 7.0], [2.0, 6.0]])
READ_ONLY.flags.writeable = False


def solve_lm(**overrides):
    """A linear fit, r(x) = x - [1, 2] over m = 2, with any argument replaced."""
    arguments = {"residual": lambda x: x - [1.0, 2.0], "jacobian": lambda x: np.eye(2),
                 "m": 2, "x0": np.zeros(2), **overrides}
    return zl.levenberg_marquardt(**arguments)


def shape_message(callback, expected, got):
    return (f"zorvane: levenberg_marquardt {callback} callback must return real numbers of "
            f"shape {expected} (got {got})")


RULES = [
    (lambda: zl.det(np.ones(3)), ValueError, "zorvane: det requires a square 2-D tensor"),
    (lambda: zl.inv(np.ones((2, 3))), ValueError, "zorvane: inv requires a square 2-D tensor"),
    (lambda: zl.inv(SINGULAR), RuntimeError,
     "zorvane: inv failed -- matrix A is singular or numerically singular"),
    (lambda: zl.pinv(np.ones((2, 2, 2))), ValueError, "zorvane: pinv requires a 2-D tensor"),
    (lambda: zl.pinv(READ_ONLY, np.nan), ValueError, "zorvane: pinv requires a non-NaN rcond"),
    (lambda: zl.pinv(np.full((2, 2), np.nan)), RuntimeError,
     "zorvane: pinv failed -- SVD did not converge"),
    (lambda: zl.lstsq(READ_ONLY, np.ones(3)), ValueError,
     "zorvane: lstsq shape mismatch -- A has m rows but B has length != m"),
    (lambda: zl.lstsq(READ_ONLY, np.ones((2, 1, 1))), ValueError,
     "zorvane: lstsq requires B to be a 1-D or 2-D tensor"),
    (lambda: zl.norm(np.ones(3)), ValueError, "zorvane: norm requires a 2-D tensor"),
    (lambda: zl.norm(np.full((2, 2), np.inf), 2), RuntimeError,
     "zorvane: norm (spectral) failed -- SVD did not converge"),
    *[(lambda o=o: zl.norm(np.ones(3), o), ValueError,
       f"zorvane: norm accepts ord None, 'fro', 1, 2 or inf (got {o!r})")
      for o in ["nuc", -1, 3, -np.inf, 1.5, True, np.bool_(False), 1j, [1]]],
    (lambda: solve_lm(x0=np.zeros((2, 1))), ValueError,
     "zorvane: levenberg_marquardt requires a 1-D initial guess x0"),
    (lambda: solve_lm(m=0), ValueError,
     "zorvane: levenberg_marquardt requires m > 0 residual components"),
    (lambda: solve_lm(x0=np.zeros(0)), ValueError,
     "zorvane: levenberg_marquardt requires a non-empty x0"),
    (lambda: zl.det(np.eye(2, dtype=complex)), TypeError, "incompatible function arguments"),
    (lambda: solve_lm(residual=None), TypeError, "incompatible function arguments"),
    (lambda: solve_lm(residual=lambda x: np.ones(3)), ValueError,
     shape_message("residual", "(2,)", "float64 of shape (3,)")),
    (lambda: solve_lm(jacobian=lambda x: np.eye(2).ravel()), ValueError,
     shape_message("jacobian", "(2, 2)", "float64 of shape (4,)")),
    (lambda: solve_lm(jacobian=lambda x: np.eye(2) + 0j), ValueError,
     shape_message("jacobian", "(2, 2)", "complex128 of shape (2, 2)")),
    (lambda: solve_lm(residual=lambda x: None), ValueError,
     shape_message("residual", "(2,)", "object of shape ()")),
    (lambda: solve_lm(residual=lambda x: ["a", "b"]), ValueError,
     shape_message("residual", "(2,)", "<U1 of shape (2,)")),
    (lambda: solve_lm(residual=lambda x: [[1.0], 2.0]), ValueError,
     shape_message("residual", "(2,)", "list, which NumPy does not convert to an array")),
]


@pytest.mark.parametrize("call, error, message", RULES)
def test_argument_rules(call, error, message):
    with pytest.raises(error) as excinfo:
        call()
    assert type(excinfo.value) is error
    if error is TypeError:
        assert message in str(excinfo.value)
    else:
        assert str(excinfo.value) == message


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("convert", [
    lambda a: a.astype(np.int32), lambda a: a.astype(np.float32), np.asfortranarray,
    lambda a: a[::-1][::-1], lambda a: READ_ONLY, lambda a: a.astype(int).view(Sub)])
def test_converted_arguments_give_the_float64_results(convert):
    a = READ_ONLY.copy()
    assert zl.det(convert(a)) == zl.det(a)
    assert np.array_equal(zl.pinv(convert(a)), zl.pinv(a))
    assert zl.lstsq(convert(a), convert(a)[0]).x.tolist() == zl.lstsq(a, a[0]).x.tolist()


def test_levenberg_marquardt_callbacks_get_fresh_arrays_and_real_array_likes_do():
    seen = []

    def residual(x):
        seen.append(x)
        result = [x[0] - 1.0, x[1] - 2.0]  # a list of floats is converted
        x[:] = np.nan  # the solver's own point is not touched
        return result

    fit = solve_lm(residual=residual, jacobian=lambda x: [[1, 0], [0, 1]], x0=np.zeros(2, int))
    assert fit.status == zl.LMStatus.Converged and np.allclose(fit.x, [1.0, 2.0])
    assert len({id(x) for x in seen}) == len(seen) >= 2
    assert all(x.dtype == np.float64 and x.shape == (2,) for x in seen)
    limited = solve_lm(max_iterations=0)
    assert (limited.iterations, limited.status, limited.cost) == (0, zl.LMStatus.MaxIterations, 2.5)


class CallbackFailed(Exception):
    pass


def failing_jacobian(x):
    raise CallbackFailed("no derivative here")


def test_an_exception_of_a_callback_leaves_unchanged_with_its_traceback():
    with pytest.raises(CallbackFailed) as excinfo:
        solve_lm(jacobian=failing_jacobian)
    assert str(excinfo.value) == "no derivative here"
    frames = [frame.name for frame in traceback.extract_tb(excinfo.value.__traceback__)]
    assert frames[-1] == "failing_jacobian"

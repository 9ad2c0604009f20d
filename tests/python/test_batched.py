"""The batched module: every slice equals the single-matrix function's result
bit for bit over shapes, layouts and dtypes (the norm's for every ord);
argument checks and the batch index of the first failing matrix; solve's
broadcasting; result types."""

import doctest
import sys
import threading

import numpy as np
import pytest

import zorvane_linalg as zl
from zorvane_linalg import batched as zb

NAMES = ["eig_sym", "matrix_sqrt", "matrix_exp", "cholesky", "svd", "solve", "qr", "lu",
         "matrix_log", "matrix_sign", "eig", "trace", "det", "inv", "pinv", "norm"]
ORDS = [None, 1, 2, np.inf]
LEADS = [(), (3,), (2, 3), (2, 1, 2), (0,), (2, 0)]
ORDERS = [0, 1, 2, 3, 4, 7]


def general(shape, rng):
    return rng.uniform(-1.0, 1.0, shape)


def symmetric(shape, rng):
    a = general(shape, rng)
    return (a + np.swapaxes(a, -1, -2)) / 2


def positive_definite(shape, rng):
    a = general(shape, rng)
    return a @ np.swapaxes(a, -1, -2) + shape[-1] * np.eye(shape[-1])


def rhs(n):
    return np.ones((n, 2))


# name -> (input maker, square only, batched call, single-matrix call)
OPERATIONS = {
    "eig_sym": (symmetric, True, zb.eig_sym, zl.eig_sym),
    "matrix_sqrt": (positive_definite, True, zb.matrix_sqrt, zl.matrix_sqrt),
    "matrix_exp": (symmetric, True, zb.matrix_exp, zl.matrix_exp),
    "cholesky": (positive_definite, True, zb.cholesky, zl.cholesky),
    "svd": (general, False, zb.svd, zl.svd),
    "solve": (positive_definite, True, lambda a: zb.solve(a, rhs(a.shape[-1])),
              lambda a: zl.solve(a, rhs(a.shape[-1]))),
    "qr": (general, False, zb.qr, zl.qr),
    "lu": (general, True, zb.lu, zl.lu),
    "matrix_log": (positive_definite, True, zb.matrix_log, zl.matrix_log),
    "matrix_sign": (symmetric, True, zb.matrix_sign, zl.matrix_sign),
    "eig": (general, True, zb.eig, zl.eig),
    "trace": (general, True, zb.trace, zl.trace),
    "det": (general, True, zb.det, zl.det),
    "inv": (positive_definite, True, zb.inv, zl.inv),
    "pinv": (general, False, zb.pinv, zl.pinv),
    "norm": (general, False, lambda a: tuple(zb.norm(a, o) for o in ORDS),
             lambda a: tuple(zl.norm(a, o) for o in ORDS)),
}


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


def layout(a, kind):
    """The same values as `a` in another memory layout."""
    if kind == "fortran":
        return np.asfortranarray(a)
    if kind == "reversed":
        return np.ascontiguousarray(a[..., ::-1, ::-1])[..., ::-1, ::-1]
    if kind == "gapped":
        big = np.full(a.shape[:-2] + (2 * a.shape[-2], 2 * a.shape[-1]), np.nan)
        big[..., ::2, ::2] = a
        return big[..., ::2, ::2]
    if kind == "read-only":
        a = a.copy()
        a.flags.writeable = False
        return a
    return a


def same_bits(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    return (actual.shape == expected.shape and actual.dtype == expected.dtype
            and actual.tobytes() == expected.tobytes())


@pytest.mark.parametrize("kind", ["C", "fortran", "reversed", "gapped", "read-only"])
@pytest.mark.parametrize("name", NAMES)
def test_slices_equal_the_single_matrix_results_bit_for_bit(name, kind):
    make, square, call_batched, call_single = OPERATIONS[name]
    rng = np.random.default_rng(NAMES.index(name))
    sizes = [(n, n) for n in ORDERS] + ([] if square else [(5, 3), (3, 5), (0, 2)])
    for lead in LEADS:
        for m, n in sizes:
            a = make(lead + (m, n), rng)
            results = as_tuple(call_batched(layout(a, kind)))
            for index in np.ndindex(*lead):
                expected = as_tuple(call_single(np.ascontiguousarray(a[index])))
                assert len(results) == len(expected)
                for k, (r, e) in enumerate(zip(results, expected)):
                    assert same_bits(np.asarray(r)[index], e), (lead, m, n, index, k)
            assert all(np.shape(r)[:len(lead)] == lead for r in results)


def test_per_matrix_scalars_of_a_matrix_are_numpy_scalars():
    a = positive_definite((3, 3), np.random.default_rng(1))
    assert type(zb.trace(a)) is np.float64
    *_, rank, determinant, singular = zb.lu(a)
    assert (type(rank), type(determinant), type(singular)) == (np.int64, np.float64, np.bool_)
    *_, rank, determinant, singular = zb.lu(np.stack([a, np.zeros((3, 3))]))
    assert (rank.dtype, determinant.dtype, singular.dtype) == (np.int64, np.float64, np.bool_)
    assert singular.tolist() == [False, True]


def test_results_own_new_writable_c_contiguous_arrays():
    a = symmetric((4, 3, 3), np.random.default_rng(2))
    for r in zb.eig_sym(a) + (zb.matrix_exp(a), zb.trace(a)):
        assert r.flags.c_contiguous and r.flags.writeable and r.flags.owndata is False
        assert r.base is not None


def test_integer_and_float32_stacks_are_converted():
    a = np.arange(18, dtype=np.int32).reshape(2, 3, 3)
    assert zb.trace(a).tolist() == [12.0, 39.0]
    assert zb.trace(a.astype(np.float32)).tolist() == [12.0, 39.0]


@pytest.mark.parametrize("name", NAMES)
def test_argument_checks_name_the_operation(name):
    _, square, call_batched, _ = OPERATIONS[name]
    checked = "eig_sym" if name.startswith("matrix_") else name
    expected = (f"zorvane: {checked} requires a tensor of square matrices (..., n, n)" if square
                else f"zorvane: {checked} requires a tensor of matrices (..., m, n)")
    with pytest.raises(ValueError) as excinfo:
        call_batched(np.ones(3))
    assert str(excinfo.value) == expected
    if square:
        with pytest.raises(ValueError) as excinfo:
            call_batched(np.ones((2, 3, 4)))
        assert str(excinfo.value) == expected
    with pytest.raises(TypeError):
        call_batched(np.ones((2, 3, 3), dtype=np.complex128))


SPD = positive_definite((3, 3), np.random.default_rng(3))
FAILURES = [
    (zb.cholesky, -SPD, RuntimeError, "zorvane: cholesky failed -- matrix is not positive-definite"),
    (zb.eig_sym, np.triu(SPD), ValueError, "zorvane: eig_sym requires a symmetric matrix"),
    (zb.matrix_log, -np.eye(3), ValueError,
     "zorvane: matrix_log requires a positive-definite matrix (all eigenvalues > 0); "
     "smallest eigenvalue is -1.000000"),
    (zb.matrix_sign, np.diag([np.inf, 1.0, 1.0]), RuntimeError, "zorvane: eig_sym failed to converge"),
    (zb.svd, np.full((3, 3), np.nan), RuntimeError, "zorvane: svd failed to converge"),
    (zb.eig, np.full((3, 3), np.inf), RuntimeError, "zorvane: eig failed to converge"),
    (lambda a: zb.solve(a, np.ones(3)), np.zeros((3, 3)), RuntimeError,
     "zorvane: solve failed -- matrix A is singular or numerically singular"),
    (zb.inv, np.ones((3, 3)), RuntimeError,
     "zorvane: inv failed -- matrix A is singular or numerically singular"),
    (zb.pinv, np.full((3, 3), np.nan), RuntimeError, "zorvane: pinv failed -- SVD did not converge"),
    (lambda a: zb.norm(a, 2), np.full((3, 3), np.inf), RuntimeError,
     "zorvane: norm (spectral) failed -- SVD did not converge"),
]


@pytest.mark.parametrize("call, bad, error, message", FAILURES)
@pytest.mark.parametrize("lead, first_bad, suffix", [
    ((4,), [(3,)], " (at batch index (3))"),
    ((3, 2), [(1, 1), (2, 0)], " (at batch index (1, 1))"),
    ((), [()], ""),  # a plain matrix fails as the single-matrix function does
])
def test_failures_end_with_the_index_of_the_first_failing_matrix(
        call, bad, error, message, lead, first_bad, suffix):
    stack = np.broadcast_to(SPD, lead + (3, 3)).copy()
    for index in first_bad:
        stack[index] = bad
    with pytest.raises(error) as excinfo:
        call(stack)
    assert str(excinfo.value) == message + suffix


SOLVE_SHAPES = [((3, 3), (3,)), ((4, 3, 3), (3,)), ((4, 3, 3), (3, 2)), ((3, 3), (5, 3, 1)),
                ((2, 1, 3, 3), (4, 3, 2)), ((0, 3, 3), (3, 2)), ((3, 0, 0), (0,))]


@pytest.mark.parametrize("a_shape, b_shape", SOLVE_SHAPES)
def test_solve_broadcasts_as_numpy_does(a_shape, b_shape):
    rng = np.random.default_rng(4)
    a = positive_definite(a_shape, rng)
    b = rng.standard_normal(b_shape)
    x = zb.solve(a, b)
    expected = np.linalg.solve(a, b)
    assert x.shape == expected.shape
    np.testing.assert_allclose(x, expected, rtol=1e-12, atol=1e-12)
    full_a = np.broadcast_to(a, x.shape[:-1 if b.ndim == 1 else -2] + a.shape[-2:])
    for index in np.ndindex(*full_a.shape[:-2]):
        b_slice = b if b.ndim == 1 else np.broadcast_to(b, x.shape)[index]
        assert same_bits(x[index], zl.solve(full_a[index].copy(), b_slice.copy()))


@pytest.mark.parametrize("b_shape, message", [
    ((2,), "zorvane: solve shape mismatch -- A is n x n but B has length != n"),
    ((2, 2, 1), "zorvane: solve shape mismatch -- A is n x n but B has rows != n"),
    ((), "zorvane: solve requires B of shape (n) or (..., n, k)"),
    ((3, 3, 1), "zorvane: solve shape mismatch -- the leading dimensions of A and B do not broadcast"),
])
def test_solve_rejects_right_hand_sides_that_do_not_fit(b_shape, message):
    with pytest.raises(ValueError) as excinfo:
        zb.solve(np.ones((2, 3, 3)), np.ones(b_shape))
    assert str(excinfo.value) == message


def test_a_plain_singular_matrix_fails_as_in_the_single_matrix_module():
    # Singularity comes before B's length, in both modules.
    messages = set()
    for call in (zl.solve, zb.solve):
        with pytest.raises(RuntimeError) as excinfo:
            call(np.array([[1.0, 2.0], [2.0, 4.0]]), np.ones(3))
        messages.add(str(excinfo.value))
    assert messages == {"zorvane: solve failed -- matrix A is singular or numerically singular"}


def test_the_module_holds_the_sixteen_functions():
    assert sorted(n for n in dir(zb) if not n.startswith("_")) == sorted(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_docstring_examples_run_as_written(name):
    test = doctest.DocTestParser().get_doctest(getattr(zb, name).__doc__, {}, name, None, 0)
    assert test.examples, f"{name} has no example"
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0


def test_the_library_call_runs_without_the_interpreter_lock():
    # With a switch interval far longer than the call, the worker thread
    # keeps the interpreter lock unless it releases it: the main thread runs
    # again before the call returns only if the call released the lock.
    stack = np.broadcast_to(SPD, (300_000, 3, 3)).copy()
    finished = []

    def worker():
        zb.matrix_sqrt(stack)
        finished.append(True)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        ran_during_the_call = not finished
        thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert finished and ran_during_the_call

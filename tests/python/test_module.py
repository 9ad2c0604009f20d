"""The module's face: names, signatures, docstrings, calling conventions,
argument types and the mapping of library errors."""

import doctest

import numpy as np
import pytest

import zorvane_linalg

# In registration order. Their signatures and docstrings are pinned with the
# stubs (test_stubs.py).
NAMES = ["eig_sym", "matrix_sqrt", "matrix_exp", "cholesky", "svd", "solve", "qr", "lu",
         "matrix_log", "matrix_sign", "eig", "trace"]
SPD = np.array([[4.0, 1.0], [1.0, 3.0]])


def test_module_docstring():
    assert zorvane_linalg.__doc__ == (
        "Python bindings for Zorvane linear algebra (CPU backend, float64)"
    )


def test_the_twelve_functions_in_registration_order():
    assert zorvane_linalg.__all__[:len(NAMES)] == NAMES
    extension = zorvane_linalg.zorvane_linalg
    registered = [name for name in vars(extension) if name in NAMES]
    assert registered == NAMES
    for name in NAMES:
        assert getattr(zorvane_linalg, name) is getattr(extension, name)
    assert extension.__doc__ == zorvane_linalg.__doc__


@pytest.mark.parametrize("name", NAMES)
def test_docstring_examples_run(name):
    function = getattr(zorvane_linalg, name)
    parser = doctest.DocTestParser()
    test = parser.get_doctest(function.__doc__, {}, name, None, 0)
    assert test.examples, "every docstring has examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0 and result.attempted == len(test.examples), function


@pytest.mark.parametrize("name", [n for n in NAMES if n != "solve"])
def test_keyword_and_positional_calls_agree(name):
    function = getattr(zorvane_linalg, name)
    by_position = function(SPD)
    by_keyword = function(A=SPD)
    assert type(by_position) is type(by_keyword)
    if isinstance(by_position, tuple):
        for x, y in zip(by_position, by_keyword):
            np.testing.assert_array_equal(x, y)
    else:
        np.testing.assert_array_equal(by_position, by_keyword)


def test_solve_accepts_keywords_in_either_order():
    b = np.array([3.0, 4.0])
    expected = zorvane_linalg.solve(SPD, b)
    np.testing.assert_array_equal(zorvane_linalg.solve(A=SPD, B=b), expected)
    np.testing.assert_array_equal(zorvane_linalg.solve(B=b, A=SPD), expected)
    np.testing.assert_array_equal(zorvane_linalg.solve(SPD, B=b), expected)


@pytest.mark.parametrize(
    "call",
    [
        lambda: zorvane_linalg.eig_sym([[1.0, 2.0], [2.0, 1.0]]),
        lambda: zorvane_linalg.eig_sym(None),
        lambda: zorvane_linalg.eig_sym(SPD, SPD),
        lambda: zorvane_linalg.eig_sym(),
        lambda: zorvane_linalg.eig_sym(A=SPD, B=SPD),
        lambda: zorvane_linalg.eig_sym(X=SPD),
        lambda: zorvane_linalg.trace(np.ones(3)),
        lambda: zorvane_linalg.trace(np.ones((2, 2, 2))),
        lambda: zorvane_linalg.cholesky(np.eye(2, dtype=np.complex128)),
        lambda: zorvane_linalg.solve(SPD),
        lambda: zorvane_linalg.solve(SPD, None),
        lambda: zorvane_linalg.solve(SPD, np.float64(1.0)),
        lambda: zorvane_linalg.qr("matrix"),
    ],
    ids=[
        "nested_list",
        "none",
        "two_positional",
        "missing",
        "extra_keyword",
        "unknown_keyword",
        "one_d_A",
        "three_d_A",
        "complex",
        "solve_missing_B",
        "solve_none_B",
        "solve_scalar_B",
        "string",
    ],
)
def test_arguments_that_cannot_be_imported_raise_type_error(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


def test_read_only_arrays_are_refused():
    # The array types ask for writable arrays; NumPy's read-only views fail to
    # import and must be copied by the caller.
    frozen = SPD.copy()
    frozen.flags.writeable = False
    with pytest.raises(TypeError, match="incompatible function arguments"):
        zorvane_linalg.trace(frozen)
    assert zorvane_linalg.trace(frozen.copy()) == 7.0


def test_trace_returns_python_float():
    value = zorvane_linalg.trace(np.array([[1.0, 2.0], [3.0, 4.0]]))
    assert type(value) is float and value == 5.0
    empty = zorvane_linalg.trace(np.zeros((0, 0)))
    assert type(empty) is float and empty == 0.0


def test_lu_tuple_types_and_singular_input():
    L, U, P, Q, rank, determinant, singular = zorvane_linalg.lu(np.array([[1.0, 2.0], [2.0, 4.0]]))
    assert (type(rank), type(determinant), type(singular)) == (int, float, bool)
    assert rank == 1 and determinant == 0.0 and singular is True
    for factor in (L, U, P, Q):
        assert factor.shape == (2, 2)


def test_svd_of_a_tall_matrix_has_thin_shapes():
    U, S, Vt = zorvane_linalg.svd(np.arange(6.0).reshape(3, 2))
    assert (U.shape, S.shape, Vt.shape) == ((3, 2), (2,), (2, 2))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: zorvane_linalg.cholesky(np.array([[1.0, 2.0], [3.0, 1.0]])),
            ValueError,
            "zorvane: cholesky requires a symmetric matrix",
        ),
        (
            lambda: zorvane_linalg.matrix_exp(np.ones((2, 3))),
            ValueError,
            "zorvane: eig_sym requires a square 2-D tensor",
        ),
        (
            lambda: zorvane_linalg.trace(np.ones((3, 2))),
            ValueError,
            "zorvane: trace requires a square 2-D tensor",
        ),
        (
            lambda: zorvane_linalg.cholesky(np.array([[1.0, 2.0], [2.0, 1.0]])),
            RuntimeError,
            "zorvane: cholesky failed -- matrix is not positive-definite",
        ),
        (
            lambda: zorvane_linalg.solve(np.array([[1.0, 2.0], [2.0, 4.0]]), np.ones(2)),
            RuntimeError,
            "zorvane: solve failed -- matrix A is singular or numerically singular",
        ),
        (
            lambda: zorvane_linalg.solve(np.eye(2), np.ones(3)),
            ValueError,
            "zorvane: solve shape mismatch -- A is n x n but B has length != n",
        ),
        (
            lambda: zorvane_linalg.matrix_log(np.diag([-2.0, 1.0])),
            ValueError,
            "zorvane: matrix_log requires a positive-definite matrix (all eigenvalues > 0); "
            "smallest eigenvalue is -2.000000",
        ),
        (
            lambda: zorvane_linalg.matrix_exp(np.diag([709.5])),
            RuntimeError,
            "zorvane: matrix_exp overflow -- exp(lambda_max) is not representable in float64",
        ),
        (
            lambda: zorvane_linalg.svd(np.array([[np.nan]])),
            RuntimeError,
            "zorvane: svd failed to converge",
        ),
        (
            lambda: zorvane_linalg.eig(np.array([[np.inf]])),
            RuntimeError,
            "zorvane: eig failed to converge",
        ),
        (
            lambda: zorvane_linalg.matrix_sign(np.diag([np.inf, 1.0])),
            RuntimeError,
            "zorvane: eig_sym failed to converge",
        ),
    ],
    ids=[
        "asymmetric",
        "inner_operation_name",
        "not_square",
        "not_positive_definite",
        "singular",
        "length_mismatch",
        "log_eigenvalue",
        "exp_overflow",
        "svd_nan",
        "eig_inf",
        "sign_inf",
    ],
)
def test_library_errors_reach_python_unchanged(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert str(caught.value) == message


@pytest.mark.parametrize("ndim", [0, 3, 4])
def test_solve_rejects_b_of_other_rank_before_the_library_runs(ndim):
    b = np.ones((2,) * ndim)
    message = f"zorvane: expected a 1-D or 2-D array (got ndim={ndim})"
    for a in (np.eye(2), np.ones((2, 3)), np.array([[1.0, 2.0], [2.0, 4.0]])):
        with pytest.raises(ValueError) as caught:
            zorvane_linalg.solve(a, b)
        assert str(caught.value) == message


def test_solve_result_rank_follows_b():
    a = np.array([[2.0, 1.0], [1.0, 3.0]])
    x = zorvane_linalg.solve(a, np.array([3.0, 4.0]))
    assert x.shape == (2,)
    np.testing.assert_allclose(x, [1.0, 1.0])
    X = zorvane_linalg.solve(a, np.array([[3.0], [4.0]]))
    assert X.shape == (2, 1)
    np.testing.assert_allclose(X, [[1.0], [1.0]])
    assert zorvane_linalg.solve(a, np.zeros((2, 0))).shape == (2, 0)

"""The bound functions against NumPy and SciPy on random inputs, with
tolerances that scale with n * eps * |A| (and the conditioning where it
matters). Signs and orders that are a solver's choice are compared through
quantities that do not depend on them."""

import numpy as np
import pytest
import scipy.linalg

import zorvane_linalg as zl

EPS = np.finfo(np.float64).eps
ORDERS = [1, 2, 3, 5, 8, 16, 33, 64]


def rng(n, salt=0):
    return np.random.default_rng(1000 * n + salt)


def random_symmetric(n, salt=0):
    a = rng(n, salt).standard_normal((n, n))
    return (a + a.T) / 2


def random_spd(n, salt=0):
    a = rng(n, salt).standard_normal((n, n))
    return a @ a.T / n + np.eye(n)


def tolerance(a, factor=64.0):
    n = max(a.shape)
    return factor * n * EPS * max(np.linalg.norm(a, 2), 1.0)


@pytest.mark.parametrize("n", ORDERS)
def test_eig_sym_matches_eigh(n):
    a = random_symmetric(n)
    values, vectors = zl.eig_sym(a)
    expected = np.linalg.eigh(a).eigenvalues
    assert np.all(np.diff(values) >= 0)
    np.testing.assert_allclose(values, expected, rtol=0, atol=tolerance(a))
    np.testing.assert_allclose(vectors.T @ vectors, np.eye(n), rtol=0, atol=tolerance(np.eye(n)))
    np.testing.assert_allclose(vectors @ np.diag(values) @ vectors.T, a, rtol=0, atol=tolerance(a))


SPECTRAL = {
    "matrix_exp": (scipy.linalg.expm, random_symmetric),
    "matrix_sqrt": (scipy.linalg.sqrtm, random_spd),
    "matrix_log": (scipy.linalg.logm, random_spd),
}


@pytest.mark.parametrize("n", ORDERS)
@pytest.mark.parametrize("name", list(SPECTRAL))
def test_spectral_functions_match_scipy(name, n):
    reference, make = SPECTRAL[name]
    a = make(n)
    got = getattr(zl, name)(a)
    expected = np.real(reference(a))
    assert np.array_equal(got, got.T), "results are symmetric bit for bit"
    # SciPy's general (Schur-based) algorithms lose a few more digits than the
    # eigendecomposition does on symmetric input; the factor leaves room for it.
    np.testing.assert_allclose(got, expected, rtol=0, atol=tolerance(expected, 256.0))


@pytest.mark.parametrize("n", ORDERS)
def test_matrix_sign_matches_scipy_away_from_zero(n):
    # Eigenvalues at least 0.5 away from zero keep the sign well defined.
    q, _ = np.linalg.qr(rng(n, 7).standard_normal((n, n)))
    w = rng(n, 8).choice([-1.0, 1.0], n) * (0.5 + rng(n, 9).random(n))
    a = (q * w) @ q.T
    a = (a + a.T) / 2
    got = zl.matrix_sign(a)
    assert np.array_equal(got, got.T)
    np.testing.assert_allclose(got, scipy.linalg.signm(a), rtol=0, atol=tolerance(a, 512.0))


@pytest.mark.parametrize("n", ORDERS)
def test_cholesky_matches_numpy(n):
    a = random_spd(n)
    got = zl.cholesky(a)
    np.testing.assert_allclose(got, np.linalg.cholesky(a), rtol=0, atol=tolerance(a))
    assert np.all(np.triu(got, 1) == 0.0)


SHAPES = [(1, 1), (3, 2), (2, 3), (8, 5), (5, 8), (16, 16), (33, 17), (17, 33), (64, 64)]


@pytest.mark.parametrize("shape", SHAPES)
def test_svd_matches_numpy(shape):
    a = rng(shape[0], shape[1]).standard_normal(shape)
    U, S, Vt = zl.svd(a)
    np.testing.assert_allclose(S, np.linalg.svd(a, compute_uv=False), rtol=0, atol=tolerance(a))
    np.testing.assert_allclose((U * S) @ Vt, a, rtol=0, atol=tolerance(a))


@pytest.mark.parametrize("shape", SHAPES)
def test_qr_matches_numpy(shape):
    a = rng(shape[0], shape[1]).standard_normal(shape)
    Q, R = zl.qr(a)
    _, r_numpy = np.linalg.qr(a, mode="reduced")
    k = min(shape)
    np.testing.assert_allclose(np.abs(np.diag(R)), np.abs(np.diag(r_numpy)), rtol=0,
                               atol=tolerance(a))
    np.testing.assert_allclose(Q @ R, a, rtol=0, atol=tolerance(a))
    np.testing.assert_allclose(Q.T @ Q, np.eye(k), rtol=0, atol=tolerance(np.eye(k)))
    assert np.all(np.tril(R, -1) == 0.0)


@pytest.mark.parametrize("n", ORDERS)
def test_solve_and_lu_match_numpy(n):
    a = rng(n, 3).standard_normal((n, n)) + n * np.eye(n)  # well conditioned
    b = rng(n, 4).standard_normal((n, 3))
    condition = np.linalg.cond(a)
    np.testing.assert_allclose(zl.solve(a, b), np.linalg.solve(a, b), rtol=0,
                               atol=tolerance(a) * condition)
    np.testing.assert_allclose(zl.solve(a, b[:, 0]), np.linalg.solve(a, b[:, 0]), rtol=0,
                               atol=tolerance(a) * condition)
    L, U, P, Q, rank, determinant, singular = zl.lu(a)
    np.testing.assert_allclose(P @ a @ Q, L @ U, rtol=0, atol=tolerance(a))
    assert rank == n and not singular
    np.testing.assert_allclose(determinant, np.linalg.det(a), rtol=n * 1e-13)
    _, _, upper = scipy.linalg.lu(a)  # partial pivoting: other pivots, same |det|
    np.testing.assert_allclose(np.abs(np.diag(U)).prod(), np.abs(np.diag(upper)).prod(),
                               rtol=n * 1e-13)


@pytest.mark.parametrize("n", ORDERS)
def test_eig_matches_numpy(n):
    a = rng(n, 5).standard_normal((n, n))
    vr, vi, Vr, Vi = zl.eig(a)
    values = vr + 1j * vi
    vectors = Vr + 1j * Vi
    expected = np.linalg.eigvals(a)
    np.testing.assert_allclose(np.sort_complex(values), np.sort_complex(expected), rtol=0,
                               atol=tolerance(a, 1024.0))
    np.testing.assert_allclose(np.linalg.norm(vectors, axis=0), np.ones(n), rtol=0, atol=1e-12)
    np.testing.assert_allclose(a @ vectors, vectors * values, rtol=0, atol=tolerance(a, 1024.0))


@pytest.mark.parametrize("n", [0, 1, 7, 64])
def test_trace_matches_numpy(n):
    a = rng(n, 6).standard_normal((n, n))
    assert zl.trace(a) == pytest.approx(np.trace(a), abs=tolerance(a))

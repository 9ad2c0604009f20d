// Docstrings of the module's functions, one per function in registration order.
// Each begins and ends with a line break.
#pragma once

namespace zorvane::python::doc {

inline constexpr const char* eig_sym = R"doc(
Eigendecomposition of a real symmetric matrix A = V @ diag(w) @ V.T.

Parameters
----------
A : np.ndarray
    Square symmetric matrix, dtype=float64, C-contiguous.

Returns
-------
tuple[np.ndarray, np.ndarray]
    (values, vectors) where:
    - values: eigenvalues in ascending order, shape (n,)
    - vectors: eigenvectors as columns, shape (n, n)

Raises
------
ValueError
    If A is not square, not symmetric, or not float64.
RuntimeError
    If the eigensolver fails to converge.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[4.0, 1.0], [1.0, 3.0]])
>>> values, vectors = zorvane_linalg.eig_sym(A)
>>> np.allclose(A, vectors @ np.diag(values) @ vectors.T)
True
)doc";

inline constexpr const char* matrix_sqrt = R"doc(
Principal square root of a symmetric positive-semidefinite matrix.

Computes S such that S = S.T and S @ S = A, via eigendecomposition
S = V @ diag(sqrt(lambda)) @ V.T.

Parameters
----------
A : np.ndarray
    Symmetric positive-semidefinite matrix, dtype=float64, C-contiguous.

Returns
-------
np.ndarray
    The matrix square root S, shape (n, n).

Raises
------
ValueError
    If A is not square, not symmetric, not float64, or has clearly
    negative eigenvalues (beyond numerical tolerance).
RuntimeError
    If the underlying eigensolver fails to converge.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[4.0, 0.0], [0.0, 9.0]])
>>> S = zorvane_linalg.matrix_sqrt(A)
>>> np.allclose(S @ S, A)
True
)doc";

inline constexpr const char* matrix_exp = R"doc(
Matrix exponential exp(A) of a real symmetric matrix.

Computed via eigendecomposition exp(A) = V @ diag(exp(lambda)) @ V.T, so
the result is symmetric.

Parameters
----------
A : np.ndarray
    Symmetric matrix, dtype=float64, C-contiguous.

Returns
-------
np.ndarray
    exp(A), shape (n, n), symmetric.

Raises
------
ValueError
    If A is not square, not symmetric, or not float64.
RuntimeError
    If the eigensolver fails to converge, or if exp(lambda_max) overflows
    float64.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.zeros((3, 3))
>>> np.allclose(zorvane_linalg.matrix_exp(A), np.eye(3))
True
)doc";

inline constexpr const char* cholesky = R"doc(
Cholesky factorisation of a symmetric positive-definite matrix.

Returns the lower-triangular factor L such that A = L @ L.T. Entries
strictly above the diagonal of L are exactly zero.

Parameters
----------
A : np.ndarray
    Symmetric positive-definite matrix, dtype=float64, C-contiguous.

Returns
-------
np.ndarray
    Lower-triangular L, shape (n, n).

Raises
------
ValueError
    If A is not square, not symmetric, or not float64.
RuntimeError
    If A is not positive-definite (LLT factorisation fails).

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[4.0, 2.0], [2.0, 3.0]])
>>> L = zorvane_linalg.cholesky(A)
>>> np.allclose(L @ L.T, A)
True
)doc";

inline constexpr const char* svd = R"doc(
Thin singular value decomposition A = U @ diag(S) @ Vt.

For an m x n input, k = min(m, n):
    U  has shape (m, k)  -- orthonormal columns,
    S  has shape (k,)    -- singular values, descending,
    Vt has shape (k, n)  -- orthonormal rows.

Parameters
----------
A : np.ndarray
    Real matrix, dtype=float64, C-contiguous. Rectangular inputs are
    supported.

Returns
-------
tuple[np.ndarray, np.ndarray, np.ndarray]
    (U, S, Vt).

Raises
------
ValueError
    If A is not 2-D or not float64.
RuntimeError
    If the Jacobi SVD fails to converge.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[3.0, 0.0], [0.0, 2.0]])
>>> U, S, Vt = zorvane_linalg.svd(A)
>>> np.allclose(S, [3.0, 2.0])
True
)doc";

inline constexpr const char* solve = R"doc(
Solve the linear system A @ X = B for X.

B may be either a 1-D array of shape (n,) (single right-hand side) or a
2-D array of shape (n, k) (multiple right-hand sides). The returned X
has the same shape as B.

Parameters
----------
A : np.ndarray
    Square, non-singular coefficient matrix, dtype=float64, C-contiguous.
B : np.ndarray
    Right-hand side, shape (n,) or (n, k), dtype=float64, C-contiguous.

Returns
-------
np.ndarray
    Solution X, same shape as B.

Raises
------
ValueError
    If A or B has an unsupported shape, dtype or device, or if their
    leading dimensions disagree.
RuntimeError
    If A is singular or numerically singular.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[2.0, 1.0], [1.0, 3.0]])
>>> b = np.array([3.0, 4.0])
>>> x = zorvane_linalg.solve(A, b)
>>> np.allclose(A @ x, b)
True
)doc";

inline constexpr const char* qr = R"doc(
Thin QR factorisation A = Q @ R.

For an m x n input, k = min(m, n):
    Q has shape (m, k) -- orthonormal columns,
    R has shape (k, n) -- upper triangular.

No column pivoting is applied. Rectangular inputs are supported.

Parameters
----------
A : np.ndarray
    Real matrix, dtype=float64, C-contiguous.

Returns
-------
tuple[np.ndarray, np.ndarray]
    (Q, R).

Raises
------
ValueError
    If A is not 2-D or not float64.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[1.0, 2.0], [3.0, 4.0]])
>>> Q, R = zorvane_linalg.qr(A)
>>> np.allclose(Q @ R, A)
True
)doc";

inline constexpr const char* lu = R"doc(
LU factorisation with full pivoting P @ A @ Q = L @ U.

For an n x n input (all arrays are (n, n) float64):
    L -- unit lower triangular (exact ones on the diagonal),
    U -- upper triangular, its diagonal holds the pivots,
    P -- row permutation matrix (dense 0/1),
    Q -- column permutation matrix (dense 0/1).

Full pivoting makes the factorisation rank-revealing, so `rank` and
`singular` are reported instead of raising for a singular input -- unlike
`solve()` and `inv()`, which reject singular matrices. This is the same LU
kernel those operators use internally.

Parameters
----------
A : np.ndarray
    Square matrix, dtype=float64, C-contiguous.

Returns
-------
tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, int, float, bool]
    (L, U, P, Q, rank, determinant, singular).

Raises
------
ValueError
    If A is not square, not 2-D, or not float64.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[4.0, 1.0], [1.0, 3.0]])
>>> L, U, P, Q, rank, det, singular = zorvane_linalg.lu(A)
>>> np.allclose(P @ A @ Q, L @ U)
True
>>> not singular
True
)doc";

inline constexpr const char* matrix_log = R"doc(
Matrix logarithm log(A) of a real symmetric positive-definite matrix.

Computed via eigendecomposition log(A) = V @ diag(log(lambda)) @ V.T, so
the result is symmetric. All eigenvalues must be strictly positive; PSD
matrices with a zero eigenvalue are rejected.

Parameters
----------
A : np.ndarray
    Symmetric positive-definite matrix, dtype=float64, C-contiguous.

Returns
-------
np.ndarray
    log(A), shape (n, n), symmetric.

Raises
------
ValueError
    If A is not square, not symmetric, not float64, or has any eigenvalue
    <= 0.
RuntimeError
    If the eigensolver fails to converge.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> np.allclose(zorvane_linalg.matrix_log(np.eye(3)), np.zeros((3, 3)))
True
)doc";

inline constexpr const char* matrix_sign = R"doc(
Matrix sign function sign(A) of a real symmetric matrix.

Computed via eigendecomposition sign(A) = V @ diag(sign(lambda)) @ V.T.
The result is symmetric and satisfies sign(A) @ sign(A) = I whenever A is
nonsingular. Eigenvalues within tolerance (n * eps * max|lambda|) of zero
map to sign 0.

Parameters
----------
A : np.ndarray
    Symmetric matrix (any inertia), dtype=float64, C-contiguous.

Returns
-------
np.ndarray
    sign(A), shape (n, n), symmetric.

Raises
------
ValueError
    If A is not square, not symmetric, or not float64.
RuntimeError
    If the eigensolver fails to converge.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> np.allclose(zorvane_linalg.matrix_sign(np.eye(2)), np.eye(2))
True
)doc";

inline constexpr const char* eig = R"doc(
General eigendecomposition of a real square matrix (non-symmetric allowed).

Eigenvalues and eigenvectors may be complex. Since Zorvane only supports
real dtypes internally, this binding returns real and imaginary parts
separately as a 4-tuple. Reconstruct complex results with:

    values  = values_real  + 1j * values_imag
    vectors = vectors_real + 1j * vectors_imag

Column j of `vectors` is the eigenvector for eigenvalue `values[j]`.
Complex eigenvalues appear in conjugate pairs for real input. Eigenvalues
are returned in the solver's native order (not sorted).

Parameters
----------
A : np.ndarray
    Square matrix, dtype=float64, C-contiguous. No symmetry requirement.

Returns
-------
tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]
    (values_real, values_imag, vectors_real, vectors_imag) with shapes
    (n,), (n,), (n, n), (n, n) respectively.

Raises
------
ValueError
    If A is not square or not float64.
RuntimeError
    If the eigensolver fails to converge.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[0.0, -1.0], [1.0, 0.0]])
>>> vr, vi, _x, _y = zorvane_linalg.eig(A)
>>> np.allclose(sorted(vr), [0.0, 0.0])
True
)doc";

inline constexpr const char* trace = R"doc(
Trace of a real square matrix: the sum of its diagonal entries.

Computes tr(A) = sum_i A[i, i].

Parameters
----------
A : np.ndarray
    Square matrix, dtype=float64, C-contiguous.

Returns
-------
float
    The trace tr(A). A 0 x 0 matrix yields 0.0.

Raises
------
ValueError
    If A is not square, not 2-D, or not float64.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[1.0, 2.0], [3.0, 4.0]])
>>> zorvane_linalg.trace(A)
5.0
)doc";

}  // namespace zorvane::python::doc

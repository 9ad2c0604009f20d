// Docstrings of the batched module's functions, in registration order. Each
// begins and ends with a line break.
#pragma once

namespace zorvane::python::batched_doc {

inline constexpr const char* eig_sym = R"doc(
Eigendecompositions of a stack of real symmetric matrices.

Parameters
----------
A : np.ndarray
    Symmetric matrices, shape (..., n, n); a bool, integer, float16,
    float32 or float64 dtype in any order.

Returns
-------
tuple[np.ndarray, np.ndarray]
    (values, vectors): ascending eigenvalues (..., n) and unit eigenvectors
    as columns (..., n, n). Each slice equals zorvane_linalg.eig_sym of that
    matrix bit for bit.

Raises
------
ValueError
    If A has fewer than 2 dimensions, its matrices are not square, or a
    matrix is not symmetric (the message ends with its batch index).
RuntimeError
    If the eigensolver fails to converge on a matrix.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> A = np.stack([np.diag([2.0, 1.0]), np.eye(2)])
>>> values, vectors = batched.eig_sym(A)
>>> values.tolist()
[[1.0, 2.0], [1.0, 1.0]]
)doc";

inline constexpr const char* matrix_sqrt = R"doc(
Principal square roots of a stack of symmetric positive-semidefinite matrices.

Parameters
----------
A : np.ndarray
    Symmetric positive-semidefinite matrices, shape (..., n, n).

Returns
-------
np.ndarray
    The square roots, shape (..., n, n).

Raises
------
ValueError
    If A is not a stack of square matrices, or a matrix is not symmetric or
    has clearly negative eigenvalues (the message ends with its batch index).
RuntimeError
    If the eigensolver fails to converge on a matrix.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.matrix_sqrt(np.stack([4.0 * np.eye(2), 9.0 * np.eye(2)]))[:, 0, 0].tolist()
[2.0, 3.0]
)doc";

inline constexpr const char* matrix_exp = R"doc(
Exponentials of a stack of symmetric matrices.

Parameters
----------
A : np.ndarray
    Symmetric matrices, shape (..., n, n).

Returns
-------
np.ndarray
    The exponentials, shape (..., n, n).

Raises
------
ValueError
    If A is not a stack of square matrices, or a matrix is not symmetric.
RuntimeError
    If exp of an eigenvalue overflows, or the eigensolver fails to converge
    (the message ends with the batch index of the matrix).

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.matrix_exp(np.zeros((3, 2, 2))).shape
(3, 2, 2)
)doc";

inline constexpr const char* cholesky = R"doc(
Lower Cholesky factors of a stack of symmetric positive-definite matrices.

Parameters
----------
A : np.ndarray
    Symmetric positive-definite matrices, shape (..., n, n).

Returns
-------
np.ndarray
    L with A = L @ L.T for each matrix, shape (..., n, n).

Raises
------
ValueError
    If A is not a stack of square matrices, or a matrix is not symmetric.
RuntimeError
    If a matrix is not positive-definite, for example
    "zorvane: cholesky failed -- matrix is not positive-definite (at batch index (3, 1))";
    a 2-D A fails with the message of zorvane_linalg.cholesky alone.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.cholesky(np.stack([4.0 * np.eye(2), np.eye(2)]))[:, 1, 1].tolist()
[2.0, 1.0]
)doc";

inline constexpr const char* svd = R"doc(
Thin singular value decompositions of a stack of matrices.

Parameters
----------
A : np.ndarray
    Matrices, shape (..., m, n).

Returns
-------
tuple[np.ndarray, np.ndarray, np.ndarray]
    (U, S, Vt) with U (..., m, k), descending S (..., k), Vt (..., k, n),
    k = min(m, n).

Raises
------
ValueError
    If A has fewer than 2 dimensions.
RuntimeError
    If a matrix holds NaN or infinity (the message ends with its batch index).

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> U, S, Vt = batched.svd(np.ones((4, 3, 2)))
>>> U.shape, S.shape, Vt.shape
((4, 3, 2), (4, 2), (4, 2, 2))
)doc";

inline constexpr const char* solve = R"doc(
Solutions of A @ X = B for a stack of square matrices.

Parameters
----------
A : np.ndarray
    Square matrices, shape (..., n, n).
B : np.ndarray
    One vector of shape (n,) for every matrix, or right-hand sides of shape
    (..., n, k). The leading dimensions of A and B broadcast as NumPy's do.

Returns
-------
np.ndarray
    X of shape (..., n) for a vector B, else (..., n, k).

Raises
------
ValueError
    If the shapes do not fit or the leading dimensions do not broadcast.
RuntimeError
    If a matrix is singular (the message ends with its batch index). A stack
    has its shapes checked before any matrix is factorised; a 2-D A is
    tested for singularity first, as zorvane_linalg.solve does.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> A = np.stack([2.0 * np.eye(2), 4.0 * np.eye(2)])
>>> batched.solve(A, np.array([2.0, 4.0])).tolist()
[[1.0, 2.0], [0.5, 1.0]]
)doc";

inline constexpr const char* qr = R"doc(
Thin QR factorisations of a stack of matrices.

Parameters
----------
A : np.ndarray
    Matrices, shape (..., m, n).

Returns
-------
tuple[np.ndarray, np.ndarray]
    (Q, R) with Q (..., m, k) orthonormal columns and R (..., k, n) upper
    triangular, k = min(m, n).

Raises
------
ValueError
    If A has fewer than 2 dimensions.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> A = np.random.default_rng(0).standard_normal((5, 4, 3))
>>> Q, R = batched.qr(A)
>>> np.allclose(Q @ R, A)
True
)doc";

inline constexpr const char* lu = R"doc(
Full-pivot LU decompositions of a stack of square matrices: P @ A @ Q = L @ U.

Parameters
----------
A : np.ndarray
    Square matrices, shape (..., n, n).

Returns
-------
tuple
    (L, U, P, Q, rank, determinant, singular): the factors (..., n, n), and
    per matrix the rank (int64), determinant (float64) and singular flag
    (bool), arrays of the leading shape (NumPy scalars for a 2-D A).
    Singular matrices are reported in `singular`, never raised.

Raises
------
ValueError
    If A is not a stack of square matrices.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> *_, rank, determinant, singular = batched.lu(np.stack([np.eye(2), np.zeros((2, 2))]))
>>> rank.tolist(), determinant.tolist(), singular.tolist()
([2, 0], [1.0, 0.0], [False, True])
)doc";

inline constexpr const char* matrix_log = R"doc(
Logarithms of a stack of symmetric positive-definite matrices.

Parameters
----------
A : np.ndarray
    Symmetric positive-definite matrices, shape (..., n, n).

Returns
-------
np.ndarray
    The logarithms, shape (..., n, n).

Raises
------
ValueError
    If A is not a stack of square matrices, or a matrix is not symmetric or
    not positive-definite (the message ends with its batch index).
RuntimeError
    If the eigensolver fails to converge on a matrix.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.matrix_log(np.stack([np.eye(2), np.eye(2)])).tolist()
[[[0.0, 0.0], [0.0, 0.0]], [[0.0, 0.0], [0.0, 0.0]]]
)doc";

inline constexpr const char* matrix_sign = R"doc(
Sign functions of a stack of symmetric matrices.

Parameters
----------
A : np.ndarray
    Symmetric matrices, shape (..., n, n).

Returns
-------
np.ndarray
    V @ diag(sign(w)) @ V.T for each matrix, shape (..., n, n); eigenvalues
    within n * eps of the largest magnitude map to 0.

Raises
------
ValueError
    If A is not a stack of square matrices, or a matrix is not symmetric.
RuntimeError
    If the eigensolver fails to converge on a matrix.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.matrix_sign(np.stack([np.diag([3.0, -2.0])]))[0].tolist()
[[1.0, 0.0], [0.0, -1.0]]
)doc";

inline constexpr const char* eig = R"doc(
Eigendecompositions of a stack of general real square matrices.

Parameters
----------
A : np.ndarray
    Square matrices, shape (..., n, n).

Returns
-------
tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]
    (values_real, values_imag, vectors_real, vectors_imag): eigenvalues
    (..., n) and eigenvectors as columns (..., n, n), split into real and
    imaginary parts, in the solver's order.

Raises
------
ValueError
    If A is not a stack of square matrices.
RuntimeError
    If a matrix holds NaN or infinity or the solver fails to converge (the
    message ends with its batch index).

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> wr, wi, vr, vi = batched.eig(np.stack([np.array([[0.0, -1.0], [1.0, 0.0]])]))
>>> sorted(wi[0].tolist())
[-1.0, 1.0]
)doc";

inline constexpr const char* trace = R"doc(
Traces of a stack of square matrices.

Parameters
----------
A : np.ndarray
    Square matrices, shape (..., n, n).

Returns
-------
np.ndarray or np.float64
    The traces, of the leading shape (a NumPy scalar for a 2-D A).

Raises
------
ValueError
    If A is not a stack of square matrices.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.trace(np.stack([np.eye(3), 2.0 * np.eye(3)])).tolist()
[3.0, 6.0]
)doc";

inline constexpr const char* det = R"doc(
Determinants of a stack of square matrices, from the full-pivot LU.

Parameters
----------
A : np.ndarray
    Square matrices, shape (..., n, n).

Returns
-------
np.ndarray or np.float64
    The determinants, of the leading shape (a NumPy scalar for a 2-D A).
    Singular matrices give 0 or a tiny value; nothing is raised for them.

Raises
------
ValueError
    If A is not a stack of square matrices.

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.det(np.stack([2.0 * np.eye(2), np.array([[1.0, 2.0], [3.0, 4.0]])])).tolist()
[4.0, -2.0]
)doc";

inline constexpr const char* inv = R"doc(
Inverses of a stack of square matrices, from the full-pivot LU.

Parameters
----------
A : np.ndarray
    Square matrices, shape (..., n, n).

Returns
-------
np.ndarray
    The inverses, shape (..., n, n).

Raises
------
ValueError
    If A is not a stack of square matrices.
RuntimeError
    If a matrix is singular or numerically singular (the message ends with
    its batch index).

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.inv(np.stack([2.0 * np.eye(2), 4.0 * np.eye(2)]))[:, 0, 0].tolist()
[0.5, 0.25]
)doc";

inline constexpr const char* pinv = R"doc(
Moore-Penrose pseudo-inverses of a stack of matrices, from the thin SVD.

Parameters
----------
A : np.ndarray
    Matrices, shape (..., m, n).
rcond : float, optional
    Relative cutoff: singular values at or below rcond times the largest are
    dropped. A negative value (the default) selects max(m, n) * eps.

Returns
-------
np.ndarray
    The pseudo-inverses, shape (..., n, m).

Raises
------
ValueError
    If A has fewer than 2 dimensions, or rcond is NaN.
RuntimeError
    If a matrix holds NaN or infinity (the message ends with its batch index).

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> batched.pinv(np.stack([np.diag([2.0, 0.0]), np.diag([4.0, 1.0])])).tolist()
[[[0.5, 0.0], [0.0, 0.0]], [[0.25, 0.0], [0.0, 1.0]]]
)doc";

inline constexpr const char* norm = R"doc(
Norms of a stack of matrices.

Parameters
----------
A : np.ndarray
    Matrices, shape (..., m, n).
ord : {None, 'fro', 1, 2, inf}, optional
    None or 'fro': Frobenius (the default); 1: largest absolute column sum;
    inf: largest absolute row sum; 2: largest singular value. The numbers may
    be Python or NumPy integers or floats (1.0, 2.0), not booleans.

Returns
-------
np.ndarray or np.float64
    The norms, of the leading shape (a NumPy scalar for a 2-D A); 0 for
    empty matrices.

Raises
------
ValueError
    If A has fewer than 2 dimensions, or ord is none of the above.
RuntimeError
    If ord is 2 and a matrix holds NaN or infinity (the message ends with
    its batch index).

Examples
--------
>>> import numpy as np
>>> from zorvane_linalg import batched
>>> A = np.stack([np.array([[1.0, -2.0], [3.0, 4.0]]), np.eye(2)])
>>> batched.norm(A, 1).tolist(), batched.norm(A, np.inf).tolist()
([6.0, 1.0], [7.0, 1.0])
)doc";

}  // namespace zorvane::python::batched_doc

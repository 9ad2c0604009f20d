// Docstrings of the extended module: its functions in registration order,
// then its types. Each begins and ends with a line break.
#pragma once

namespace zorvane::python::extended_doc {

inline constexpr const char* det = R"doc(
Determinant of a square matrix, from a full-pivot LU factorisation.

Parameters
----------
A : np.ndarray
    Square matrix, shape (n, n); a bool, integer, float16, float32 or
    float64 dtype in any order, read-only arrays too.

Returns
-------
float
    The product of the pivots with the sign of the row and column
    permutations; 1.0 for a 0 x 0 matrix. A singular matrix gives 0 or a tiny
    number: nothing is raised for it, and nothing is rescaled (entries of
    1e200 on the diagonal overflow to inf).

Raises
------
ValueError
    If A is not a square 2-D array.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> zorvane_linalg.det(np.array([[1.0, 2.0], [3.0, 4.0]]))
-2.0
)doc";

inline constexpr const char* inv = R"doc(
Inverse of a square matrix, from a full-pivot LU factorisation.

Parameters
----------
A : np.ndarray
    Square matrix, shape (n, n); a bool, integer, float16, float32 or
    float64 dtype in any order, read-only arrays too.

Returns
-------
np.ndarray
    The inverse, shape (n, n).

Raises
------
ValueError
    If A is not a square 2-D array.
RuntimeError
    If A is singular or numerically singular: a pivot at or below n * eps
    times the largest one (unlike numpy.linalg.inv, which answers as long as
    no pivot is exactly zero).

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[4.0, 7.0], [2.0, 6.0]])
>>> np.allclose(zorvane_linalg.inv(A), np.linalg.inv(A))
True
)doc";

inline constexpr const char* pinv = R"doc(
Moore-Penrose pseudo-inverse of a matrix, from its thin SVD.

Parameters
----------
A : np.ndarray
    Matrix, shape (m, n); a bool, integer, float16, float32 or float64
    dtype in any order, read-only arrays too.
rcond : float, optional
    Relative cutoff: singular values at or below rcond times the largest are
    dropped. A negative value (the default) selects max(m, n) * eps, the
    rule numpy.linalg.pinv applies with rtol=None (its own default is
    rcond=1e-15).

Returns
-------
np.ndarray
    The pseudo-inverse, shape (n, m).

Raises
------
ValueError
    If A is not 2-D, or rcond is NaN.
RuntimeError
    If A holds NaN or infinity (the SVD does not converge).

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])
>>> np.allclose(zorvane_linalg.pinv(A), np.linalg.pinv(A))
True
>>> zorvane_linalg.pinv(np.diag([2.0, 1.0]), rcond=0.5).tolist()
[[0.5, 0.0], [0.0, 0.0]]
)doc";

inline constexpr const char* lstsq = R"doc(
Least-squares solution of A @ x = B by column-pivoting QR, with the rank of A.

Parameters
----------
A : np.ndarray
    Matrix, shape (m, n); a bool, integer, float16, float32 or float64
    dtype in any order, read-only arrays too.
B : np.ndarray
    Right-hand side, shape (m,) or (m, k).

Returns
-------
LstsqResult
    A named tuple (x, rank). x has shape (n,) for a B of shape (m,) and
    (n, k) for a B of shape (m, k); rank is the numerical rank of A (the
    pivots of the QR above min(m, n) * eps times the largest). For A of full
    column rank, x minimises ||A @ x - B||. For a rank-deficient or wide A it
    is a basic solution, whose unknowns beyond the rank are 0, not the
    minimum-norm solution of numpy.linalg.lstsq (which pinv(A) @ B gives).
    NaN or infinity anywhere in A makes every entry of x NaN; in a column
    of B, that column of x.

Raises
------
ValueError
    If A is not 2-D, B is not 1-D or 2-D, or B does not have m rows.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> t = np.arange(5.0)
>>> A = np.column_stack([np.ones(5), t])
>>> x, rank = zorvane_linalg.lstsq(A, 1.0 + 2.0 * t)
>>> np.allclose(x, [1.0, 2.0]), rank
(True, 2)
)doc";

inline constexpr const char* norm = R"doc(
A norm of a matrix: Frobenius, induced 1, induced infinity or spectral.

Parameters
----------
A : np.ndarray
    Matrix, shape (m, n); a bool, integer, float16, float32 or float64
    dtype in any order, read-only arrays too.
ord : {None, 'fro', 1, 2, inf}, optional
    None or 'fro': the Frobenius norm (the default); 1: the largest absolute
    column sum; inf: the largest absolute row sum; 2: the largest singular
    value. The numbers may be Python or NumPy integers or floats (1.0, 2.0,
    float('inf'), np.inf), as numpy.linalg.norm takes them, but not booleans.
    The nuclear norm and the negative orders are not offered.

Returns
-------
float
    The norm; 0.0 for an empty matrix, whatever ord is.

Raises
------
ValueError
    If ord is none of the above (checked first), or A is not 2-D.
RuntimeError
    If ord is 2 and A holds NaN or infinity (the SVD does not converge).

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> A = np.array([[1.0, -2.0], [3.0, 4.0]])
>>> zorvane_linalg.norm(A, 1), zorvane_linalg.norm(A, np.inf)
(6.0, 7.0)
>>> np.allclose(zorvane_linalg.norm(A), np.linalg.norm(A))
True
)doc";

inline constexpr const char* levenberg_marquardt = R"doc(
Minimise 1/2 * ||r(x)||**2 by Levenberg-Marquardt steps, from x0.

Damped Gauss-Newton steps with Marquardt's scaling by the diagonal of
J.T @ J; the damping falls after an accepted step and rises after a rejected
one. The solver holds the interpreter lock from start to end: it calls
Python in every iteration, so other Python threads wait meanwhile.

Parameters
----------
residual : callable
    residual(x) -> r: takes the point x, a new float64 array of shape (n,)
    that the callable may keep or change, and returns the m residuals as an
    array-like of real numbers of shape (m,).
jacobian : callable
    jacobian(x) -> J: returns the Jacobian at x, real numbers of shape
    (m, n), with J[i, j] the derivative of r[i] by x[j].
m : int
    The number of residuals.
x0 : np.ndarray
    The starting point, shape (n,); a bool, integer, float16, float32 or
    float64 dtype, read-only arrays too.
max_iterations : int, optional
    The iteration limit; 0 or less evaluates r(x0) and stops.
ftol : float, optional
    Stop when an accepted step lowers the cost by a relative amount of at
    most ftol.
xtol : float, optional
    Stop when an accepted step has ||step|| <= xtol * (||x|| + xtol).
gtol : float, optional
    Stop when max(abs(J.T @ r)) is at most gtol.
initial_damping : float, optional
    The first damping; 0, a negative value or NaN selects 1e-3.
damping_increase, damping_decrease : float, optional
    The damping is multiplied by damping_increase after a rejected step and
    divided by damping_decrease after an accepted one.

Returns
-------
LMResult
    A named tuple (x, residual, cost, iterations, status): the final point
    (n,), r at it (m,), the cost 1/2 * ||residual||**2, the iterations
    completed, and why the solver stopped, an LMStatus: Converged (a
    tolerance was met), MaxIterations or DampingLimit (the damping passed
    1e16: the trial points kept failing).

Raises
------
ValueError
    If x0 is not 1-D or empty, or m < 1; or if a callback returns a value
    of another shape or values that are not real numbers (complex, strings,
    None): the message names the callback, the shape expected and the shape
    received.
RuntimeError
    If the damped normal equations cannot be solved.
Exception
    Whatever a callback raises leaves the solver unchanged: its type,
    message and traceback. Nothing of the solve is left behind.

Examples
--------
>>> import numpy as np
>>> import zorvane_linalg
>>> t = np.linspace(0.0, 3.0, 20)
>>> y = 2.0 * np.exp(-1.5 * t)
>>> def residual(p):
...     return p[0] * np.exp(-p[1] * t) - y
>>> def jacobian(p):
...     e = np.exp(-p[1] * t)
...     return np.column_stack([e, -p[0] * t * e])
>>> fit = zorvane_linalg.levenberg_marquardt(residual, jacobian, t.size, np.array([1.0, 1.0]))
>>> fit.status, np.allclose(fit.x, [2.0, 1.5])
(LMStatus.Converged, True)
)doc";

inline constexpr const char* instruction_set = R"doc(
The instruction-set level the library runs at.

The library holds its numerical code compiled for three levels of the x86-64
instruction set and runs the widest one this CPU and its operating system
support, chosen at the first call and kept for the life of the process:
"baseline" (the portable set every x86-64 CPU runs), "x86-64-v3" (AVX2 and
FMA) or "x86-64-v4" (AVX-512). The full-pivot LU behind lu, det, solve and
inv runs its baseline code at every level, where it is fastest. Results
differ between levels in their last bits; set the environment variable
ZORVANE_CPU_LEVEL to "baseline" before the first call for bits that are the
same on every machine, or to another level to compare.

Returns
-------
str
    "baseline", "x86-64-v3" or "x86-64-v4".

Raises
------
ValueError
    If ZORVANE_CPU_LEVEL names no level, or one this CPU cannot run (every
    function raises it then).

Examples
--------
>>> import zorvane_linalg
>>> zorvane_linalg.instruction_set() in ("baseline", "x86-64-v3", "x86-64-v4")
True
)doc";

inline constexpr const char* lm_status = R"doc(
Why levenberg_marquardt stopped; the values are those of the C++ LMStatus.
)doc";

inline constexpr const char* lstsq_result = R"doc(
The result of lstsq: the solution x and the numerical rank of A.
)doc";

inline constexpr const char* lm_result = R"doc(
The result of levenberg_marquardt: the final point x, the residual r(x),
cost = 1/2 * ||residual||**2, the number of iterations completed and the
LMStatus saying why the solver stopped.
)doc";

}  // namespace zorvane::python::extended_doc

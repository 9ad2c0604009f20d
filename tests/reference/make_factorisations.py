"""Reference values for lu, det, solve, inv, qr, svd and eig.

Random Gaussian inputs up to order 64, square and rectangular of both
orientations, decomposed by SciPy and NumPy. Where a factor's signs or order
are the solver's own choice, only quantities that do not depend on them are
stored: determinants, solutions and inverses, singular values, |R| and the
eigenvalues (which the C++ side matches without regard to order). Condition
numbers are stored beside them so the C++ tolerances can scale with them.

Run from the repository root:
    python tests/reference/make_factorisations.py
"""

import pathlib

import numpy as np
import scipy.linalg

from reference_io import write_reference

SQUARE_SIZES = [1, 2, 3, 4, 7, 8, 9, 16, 17, 31, 33, 64]
RECTANGULAR_SHAPES = [(5, 3), (3, 5), (17, 8), (8, 17), (33, 16), (16, 33),
                      (64, 31), (31, 64), (64, 1), (1, 64)]
# (order, rank): exact integer products B @ C of the given inner dimension.
LOW_RANK_CASES = [(4, 1), (8, 3), (17, 9), (33, 32), (64, 40)]
RIGHT_HAND_SIDES = 3


def lu_determinant(a):
    """The determinant from SciPy's partial-pivot factors A = P L U."""
    p, _, u = scipy.linalg.lu(a)
    permutation_sign = round(np.linalg.det(p))
    return permutation_sign * np.prod(np.diag(u))


def eigenvalue_conditions(a):
    """1 / |yᴴx| for unit left and right eigenvectors y, x of each eigenvalue."""
    values, left, right = scipy.linalg.eig(a, left=True, right=True)
    left = left / np.linalg.norm(left, axis=0)
    right = right / np.linalg.norm(right, axis=0)
    return values, 1.0 / np.abs(np.sum(left.conj() * right, axis=0))


def square_entries(rng):
    yield "square.sizes", np.array(SQUARE_SIZES, dtype=float)
    for n in SQUARE_SIZES:
        a = rng.standard_normal((n, n))
        b = rng.standard_normal((n, RIGHT_HAND_SIDES))
        key = f"square.{n}."
        yield key + "A", a
        yield key + "cond", np.linalg.cond(a)
        yield key + "det", np.linalg.det(a)
        yield key + "lu_det", lu_determinant(a)
        yield key + "B", b
        yield key + "X", np.linalg.solve(a, b)
        yield key + "x", np.linalg.solve(a, b[:, 0])
        yield key + "inv", np.linalg.inv(a)
        yield key + "S", np.linalg.svd(a, compute_uv=False)
        yield key + "abs_R", np.abs(np.linalg.qr(a, mode="reduced").R)
        numpy_values = np.linalg.eigvals(a)
        values, conditions = eigenvalue_conditions(a)
        # Both solvers must agree before either is taken as the reference.
        assert np.allclose(np.sort_complex(values), np.sort_complex(numpy_values))
        yield key + "eig_real", values.real
        yield key + "eig_imag", values.imag
        yield key + "eig_cond", conditions


def rectangular_entries(rng):
    yield "rect.shapes", np.array(RECTANGULAR_SHAPES, dtype=float)
    for m, n in RECTANGULAR_SHAPES:
        a = rng.standard_normal((m, n))
        key = f"rect.{m}x{n}."
        yield key + "A", a
        yield key + "cond", np.linalg.cond(a)
        yield key + "S", np.linalg.svd(a, compute_uv=False)
        yield key + "abs_R", np.abs(np.linalg.qr(a, mode="reduced").R)


def low_rank_entries(rng):
    yield "low_rank.cases", np.array(LOW_RANK_CASES, dtype=float)
    for n, r in LOW_RANK_CASES:
        a = rng.integers(-4, 5, (n, r)).astype(float) @ rng.integers(-4, 5, (r, n)).astype(float)
        rank = np.linalg.matrix_rank(a)
        assert rank == r
        key = f"low_rank.{n}.{r}."
        yield key + "A", a
        yield key + "rank", float(rank)


def main():
    rng = np.random.default_rng(20250604)
    entries = [*square_entries(rng), *rectangular_entries(rng), *low_rank_entries(rng)]
    path = pathlib.Path(__file__).with_name("factorisations.txt")
    write_reference(path, entries,
                    "lu, det, solve, inv, qr, svd and eig references; "
                    "written by make_factorisations.py")


if __name__ == "__main__":
    main()

"""Random arrays of random dtypes, layouts, shapes and values go to every
function; each call returns results of the documented shapes or raises one of
the documented errors with its message."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

import zorvane_linalg as zl

settings.register_profile(
    "zorvane",
    deadline=None,
    max_examples=60,
    database=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("zorvane")

INCOMPATIBLE = "incompatible function arguments"

# dtypes nanobind converts to float64, and those it refuses.
CONVERTED_DTYPES = [np.float32, np.float16, np.int32, np.int64, np.uint8, np.bool_]
REFUSED_DTYPES = [np.complex128]

SPECIAL_VALUES = [
    math.nan, math.inf, -math.inf, 0.0, -0.0, 1.0, -1.0,
    1e308, -1e308, 1e-308, 5e-324, -5e-324, 1e154, 1e-154, 709.0, 710.0,
]
VALUES = st.one_of(
    st.sampled_from(SPECIAL_VALUES),
    st.floats(-1e3, 1e3, allow_nan=False),
    st.floats(allow_nan=True, allow_infinity=True),
)


LAYOUTS = ["C", "F", "strided", "reversed", "read-only", "every axis reversed", "zero strides",
           "huge strides", "overlapping", "byte-swapped", "subclass", "borrowed"]


class Subclass(np.ndarray):
    pass


@st.composite
def arrays(draw, ndims=st.integers(0, 3), max_side=6, square=False, rows=None):
    """An array with its layout: float64 most of the time, sometimes another
    dtype; C order, Fortran order, a strided or reversed view, or read-only."""
    ndim = draw(ndims)
    shape = list(draw(st.lists(st.integers(0, max_side), min_size=ndim, max_size=ndim)))
    if square and ndim == 2 and draw(st.booleans()):
        shape[1] = shape[0]
    if rows is not None and ndim > 0 and draw(st.integers(0, 3)) > 0:
        shape[0] = rows  # mostly the rows a right-hand side needs
    values = draw(hnp.arrays(np.float64, tuple(shape), elements=VALUES))
    if ndim == 2 and shape[0] == shape[1]:
        # Symmetric (NaNs and all) or positive-definite inputs reach the
        # spectral functions and the factorisations.
        shaping = draw(st.sampled_from(["as drawn", "symmetric", "positive-definite"]))
        with np.errstate(all="ignore"):
            if shaping == "symmetric":
                values = np.triu(values) + np.triu(values, 1).T
            elif shaping == "positive-definite":
                values = values @ values.T + shape[0] * np.eye(shape[0])
    dtype = draw(st.sampled_from([np.float64] * 6 + CONVERTED_DTYPES + REFUSED_DTYPES))
    with np.errstate(all="ignore"):
        array = values.astype(dtype)
    layout = draw(st.sampled_from(LAYOUTS))
    if layout == "F":
        array = np.asfortranarray(array)
    elif layout == "strided" and ndim > 0:
        spread = np.zeros(tuple(2 * s for s in array.shape), dtype=array.dtype)
        view = tuple(slice(None, None, 2) for _ in array.shape)
        spread[view] = array
        array = spread[view]
    elif layout == "reversed" and ndim > 0:
        array = array[::-1]
    elif layout == "read-only":
        array = array.copy()
        array.flags.writeable = False
    elif layout == "every axis reversed" and ndim > 0:
        array = array[(slice(None, None, -1),) * ndim]
    elif layout == "zero strides" and ndim > 0:  # the first entry of axis 0, repeated
        array = as_strided(array, strides=(0,) + array.strides[1:], writeable=True)
    elif layout == "huge strides":  # on the axes of extent 1, where no offset uses them
        strides = tuple(2**40 if e == 1 else s for e, s in zip(array.shape, array.strides))
        array = as_strided(array, strides=strides, writeable=True)
    elif layout == "overlapping" and array.size > 0:  # each row starts one entry on
        flat = np.resize(array.ravel(), sum(array.shape) - ndim + 1)
        array = as_strided(flat, array.shape, (flat.itemsize,) * ndim, writeable=True)
    elif layout == "byte-swapped":
        array = array.astype(array.dtype.newbyteorder())
    elif layout == "subclass":
        array = array.view(Subclass)
    elif layout == "borrowed":  # memory NumPy does not own
        array = np.frombuffer(bytearray(array.tobytes()), array.dtype).reshape(array.shape)
    return array


def imports_as_float64(array, ndim_ok):
    """Whether nanobind hands the array to the function: a convertible dtype
    in native byte order, an accepted rank, and writable (even where a
    conversion would copy it)."""
    return (ndim_ok and array.dtype != np.complex128 and array.dtype.isnative
            and array.flags.writeable)


EIG_SYM_ERRORS = [
    (ValueError, "zorvane: eig_sym requires a symmetric matrix"),
    (RuntimeError, "zorvane: eig_sym failed to converge"),
]
LOG_PREFIX = (
    "zorvane: matrix_log requires a positive-definite matrix (all eigenvalues > 0); "
    "smallest eigenvalue is "
)
# The errors each function may raise for a float64 matrix of the right shape.
ALLOWED_ERRORS = {
    "eig_sym": EIG_SYM_ERRORS,
    "matrix_sqrt": EIG_SYM_ERRORS
    + [(ValueError, "zorvane: matrix_sqrt requires a positive-semidefinite matrix")],
    "matrix_exp": EIG_SYM_ERRORS
    + [
        (RuntimeError,
         "zorvane: matrix_exp overflow -- exp(lambda_max) is not representable in float64"),
        (RuntimeError, "zorvane: matrix_exp overflow -- exp(lambda) is not finite"),
    ],
    "matrix_log": EIG_SYM_ERRORS + [(ValueError, LOG_PREFIX)],
    "matrix_sign": EIG_SYM_ERRORS,
    "cholesky": [
        (ValueError, "zorvane: cholesky requires a symmetric matrix"),
        (RuntimeError, "zorvane: cholesky failed -- matrix is not positive-definite"),
    ],
    "svd": [(RuntimeError, "zorvane: svd failed to converge")],
    "qr": [],
    "lu": [],
    "eig": [(RuntimeError, "zorvane: eig failed to converge")],
    "trace": [],
}
SQUARE_ONLY = {"eig_sym": "eig_sym", "cholesky": "cholesky", "lu": "lu", "eig": "eig",
               "trace": "trace", "matrix_sqrt": "eig_sym", "matrix_exp": "eig_sym",
               "matrix_log": "eig_sym", "matrix_sign": "eig_sym"}


def expected_shapes(name, m, n):
    k = min(m, n)
    return {
        "eig_sym": [(n,), (n, n)],
        "svd": [(m, k), (k,), (k, n)],
        "qr": [(m, k), (k, n)],
        "lu": [(n, n)] * 4,
        "eig": [(n,), (n,), (n, n), (n, n)],
    }.get(name, [(n, n)])


def check_allowed_error(error, allowed):
    message = str(error)
    for kind, text in allowed:
        if type(error) is kind and text == LOG_PREFIX and message.startswith(LOG_PREFIX):
            float(message[len(LOG_PREFIX):])  # std::to_string of the eigenvalue
            return
        if type(error) is kind and message == text:
            return
    pytest.fail(f"unexpected {type(error).__name__}: {message}")


def check_results(name, result, m, n):
    if name == "trace":
        assert type(result) is float
        return
    arrays_out = result if isinstance(result, tuple) else (result,)
    if name == "lu":
        arrays_out, (rank, determinant, singular) = arrays_out[:4], arrays_out[4:]
        assert (type(rank), type(determinant), type(singular)) == (int, float, bool)
        assert 0 <= rank <= n and singular == (rank < n)
    assert [a.shape for a in arrays_out] == expected_shapes(name, m, n)
    for a in arrays_out:
        assert a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable


@pytest.mark.parametrize("name", list(ALLOWED_ERRORS))
@given(array=arrays(ndims=st.sampled_from([2, 2, 2, 2, 0, 1, 3]), square=True))
def test_one_matrix_argument(name, array):
    function = getattr(zl, name)
    if not imports_as_float64(array, array.ndim == 2):
        with pytest.raises(TypeError, match=INCOMPATIBLE):
            function(array)
        return
    m, n = array.shape
    try:
        result = function(array)
    except (ValueError, RuntimeError, MemoryError) as error:
        event(str(error)[:60])
        if name in SQUARE_ONLY and m != n:
            assert type(error) is ValueError
            assert str(error) == f"zorvane: {SQUARE_ONLY[name]} requires a square 2-D tensor"
            return
        if type(error) is not MemoryError:
            check_allowed_error(error, ALLOWED_ERRORS[name])
        if name == "svd":  # fails exactly when an entry is not finite
            assert not np.isfinite(array.astype(np.float64)).all()
        return
    event("result")
    assert not (name in SQUARE_ONLY and m != n), "accepted a non-square matrix"
    if name == "svd":
        assert np.isfinite(array.astype(np.float64)).all()
    if name == "eig_sym":  # a non-finite eigenvalue is reported, never returned
        assert np.isfinite(result[0]).all()
    check_results(name, result, m, n)
    # The result does not depend on the layout, byte order or owner of the
    # values, nor on a dtype that converts exactly.
    if array.dtype != np.float16:
        again = function(np.ascontiguousarray(array, dtype=np.float64))
        for x, y in zip(result if isinstance(result, tuple) else (result,),
                        again if isinstance(again, tuple) else (again,)):
            np.testing.assert_array_equal(x, y)


SOLVE_ERRORS = [
    (RuntimeError, "zorvane: solve failed -- matrix A is singular or numerically singular"),
]


@given(a=arrays(ndims=st.just(2), max_side=5, square=True), data=st.data())
def test_solve(a, data):
    b = data.draw(arrays(ndims=st.sampled_from([1, 2, 1, 2, 0, 3]), max_side=5,
                         rows=a.shape[0]))
    a_imports = imports_as_float64(a, True)
    b_imports = imports_as_float64(b, True)
    if not (a_imports and b_imports):
        with pytest.raises(TypeError, match=INCOMPATIBLE):
            zl.solve(a, b)
        return
    if b.ndim not in (1, 2):
        with pytest.raises(ValueError) as caught:
            zl.solve(a, b)
        assert str(caught.value) == f"zorvane: expected a 1-D or 2-D array (got ndim={b.ndim})"
        return
    n = a.shape[0]
    allowed = list(SOLVE_ERRORS)
    if b.shape[0] != n:
        allowed.append((ValueError, "zorvane: solve shape mismatch -- A is n x n but B has "
                        + ("rows != n" if b.ndim == 2 else "length != n")))
    try:
        x = zl.solve(a, b)
    except (ValueError, RuntimeError) as error:
        event(str(error)[:60])
        if a.shape[0] != a.shape[1]:
            assert type(error) is ValueError
            assert str(error) == "zorvane: solve requires a square 2-D tensor"
            return
        check_allowed_error(error, allowed)
        return
    event("result")
    assert a.shape[0] == a.shape[1] and b.shape[0] == n
    assert x.shape == b.shape and x.dtype == np.float64 and x.flags.c_contiguous

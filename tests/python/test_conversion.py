"""Arrays in, arrays out: implicit conversion of inputs, the copy, and the
ownership of results handed to NumPy without a copy."""

import ctypes
import gc

import numpy as np
import pytest

import zorvane_linalg as zl
from zorvane_linalg import batched as zb

RNG = np.random.default_rng(20261207)
SYMMETRIC = (lambda m: m + m.T)(RNG.standard_normal((4, 4)))
SPD = SYMMETRIC @ SYMMETRIC.T + 4 * np.eye(4)
GENERAL = RNG.standard_normal((4, 4))


def variants(matrix):
    """The same values in other dtypes and layouts that nanobind converts."""
    big = np.zeros((2 * matrix.shape[0], 2 * matrix.shape[1]))
    big[::2, ::2] = matrix
    return {
        "fortran": np.asfortranarray(matrix),
        "sliced": big[::2, ::2],
        "transposed_copy": matrix.T.copy().T,
        "float32": matrix.astype(np.float32),
    }


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


ONE_RESULT_FUNCTIONS = ["matrix_sqrt", "matrix_exp", "cholesky", "matrix_log", "matrix_sign"]


@pytest.mark.parametrize("layout", ["fortran", "sliced", "transposed_copy"])
@pytest.mark.parametrize("name", ONE_RESULT_FUNCTIONS + ["eig_sym", "lu", "qr", "svd", "eig"])
def test_other_layouts_give_the_float64_result(name, layout):
    function = getattr(zl, name)
    expected = as_tuple(function(SPD))
    got = as_tuple(function(variants(SPD)[layout]))
    for x, y in zip(expected, got, strict=True):
        np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.float32, np.uint8])
def test_integer_and_float32_inputs_equal_their_float64_values(dtype):
    integers = np.array([[5, 1, 0], [1, 4, 2], [0, 2, 6]])
    converted = integers.astype(dtype)
    as_float = converted.astype(np.float64)
    np.testing.assert_array_equal(zl.cholesky(converted), zl.cholesky(as_float))
    assert zl.trace(converted) == zl.trace(as_float)
    b = np.array([1, 2, 3], dtype=dtype)
    np.testing.assert_array_equal(zl.solve(converted, b), zl.solve(as_float, b.astype(np.float64)))


def test_arguments_not_read_in_place_keep_the_imports_rules():
    """Float64 NumPy arrays are read in place; the rest goes through
    nanobind's import, which refuses read-only and byte-swapped arrays."""
    read_only = SPD.copy()
    read_only.flags.writeable = False
    for refused in (read_only, SPD.astype(">f8")):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            zl.trace(refused)
        with pytest.raises(TypeError, match="incompatible function arguments"):
            zl.solve(SPD, refused[0])


class Subclass(np.ndarray):
    pass


@pytest.mark.parametrize("function", [zl.cholesky, zl.trace, zb.trace, zb.cholesky, zl.det])
@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.float32])
def test_an_ndarray_subclass_converts_as_the_plain_array(function, dtype):
    integral = np.round(SPD * 8)
    result = function(integral.astype(dtype).view(Subclass))
    np.testing.assert_array_equal(result, function(integral.astype(dtype)))
    np.testing.assert_array_equal(result, function(integral))


def test_input_with_a_byte_offset_is_read_from_its_first_element():
    buffer = np.arange(20.0)
    a = buffer[4:13].reshape(3, 3)  # C-contiguous, data pointer 4 elements in
    assert a.flags.c_contiguous and a.ctypes.data != buffer.ctypes.data
    assert zl.trace(a) == 4.0 + 8.0 + 12.0


@pytest.mark.parametrize("function", [zl.trace, zl.cholesky, zl.det, zl.inv, zb.trace, zb.inv])
def test_float64_off_its_alignment_gives_the_aligned_result(function):
    # At an odd byte offset, as arrays received off the wire can be; the
    # sanitized run would catch a misaligned read.
    a = np.frombuffer(bytearray(b"?" + SPD.tobytes()), offset=1).reshape(SPD.shape)
    assert not a.flags.aligned and a.flags.c_contiguous and a.flags.writeable
    np.testing.assert_array_equal(function(a), function(SPD))


def test_results_are_fresh_writable_c_contiguous_float64_arrays():
    a = SPD.copy()
    results = [zl.matrix_sqrt(a), *zl.eig_sym(a), *zl.svd(a), *zl.qr(a), *zl.lu(a)[:4], *zl.eig(a)]
    results.append(zl.solve(a, np.ones(4)))
    for r in results:
        assert type(r) is np.ndarray
        assert r.dtype == np.float64
        assert r.flags.c_contiguous and r.flags.writeable
        assert not np.shares_memory(r, a)
    for i, r in enumerate(results):
        for other in results[i + 1:]:
            assert not np.shares_memory(r, other)


def test_writing_the_argument_or_a_result_changes_nothing_else():
    a = SPD.copy()
    root = zl.matrix_sqrt(a)
    kept = root.copy()
    a[:] = 0.0
    np.testing.assert_array_equal(root, kept)
    values, vectors = zl.eig_sym(SPD)
    vectors_kept = vectors.copy()
    values[:] = -1.0
    np.testing.assert_array_equal(vectors, vectors_kept)


def test_a_result_outlives_every_other_reference():
    values, vectors = zl.eig_sym(SPD)
    del values
    gc.collect()
    expected = vectors.copy()
    view = vectors[1:, :2]
    del vectors
    gc.collect()
    _ = [np.ones(1000) for _ in range(100)]  # reuse freed memory if it were freed
    np.testing.assert_array_equal(view, expected[1:, :2])


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0)])
def test_zero_element_arrays(shape):
    a = np.zeros(shape)
    U, S, Vt = zl.svd(a)
    k = min(shape)
    assert (U.shape, S.shape, Vt.shape) == ((shape[0], k), (k,), (k, shape[1]))
    Q, R = zl.qr(a)
    assert (Q.shape, R.shape) == ((shape[0], k), (k, shape[1]))
    if shape == (0, 0):
        assert zl.matrix_exp(a).shape == (0, 0)
        assert zl.solve(a, np.zeros(0)).shape == (0,)
        assert zl.solve(a, np.zeros((0, 2))).shape == (0, 2)


class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", _DLDevice),
        ("ndim", ctypes.c_int32),
        ("dtype", _DLDataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


class _DLManagedTensor(ctypes.Structure):
    pass


_DLManagedTensor._fields_ = [
    ("dl_tensor", _DLTensor),
    ("manager_ctx", ctypes.c_void_p),
    ("deleter", ctypes.CFUNCTYPE(None, ctypes.POINTER(_DLManagedTensor))),
]


class DeviceArray:
    """A float64 matrix that claims, through DLPack, to live on a CUDA device.
    Its data pointer is a host buffer of NaNs, so a copy would go unnoticed
    were it not rejected."""

    KDL_CUDA = 2

    def __init__(self, rows, cols):
        self._host = np.full((rows, cols), np.nan)
        self._shape = (ctypes.c_int64 * 2)(rows, cols)
        self._managed = _DLManagedTensor()
        tensor = self._managed.dl_tensor
        tensor.data = self._host.ctypes.data
        tensor.device = _DLDevice(self.KDL_CUDA, 0)
        tensor.ndim = 2
        tensor.dtype = _DLDataType(2, 64, 1)  # float, 64 bits
        tensor.shape = self._shape
        tensor.strides = None
        tensor.byte_offset = 0

    def __dlpack__(self, *args, **kwargs):
        make_capsule = ctypes.pythonapi.PyCapsule_New
        make_capsule.restype = ctypes.py_object
        make_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return make_capsule(ctypes.addressof(self._managed), b"dltensor", None)

    def __dlpack_device__(self):
        return (self.KDL_CUDA, 0)


def test_arrays_outside_host_memory_never_reach_the_copy():
    device_matrix = DeviceArray(2, 2)
    with pytest.raises(ValueError) as caught:
        zl.trace(device_matrix)
    assert str(caught.value).startswith("zorvane: ")
    assert "only host (CPU) arrays are accepted" in str(caught.value)

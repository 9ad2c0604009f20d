"""Python bindings for Zorvane linear algebra (CPU backend, float64)"""

from ._extended import (
    LMResult,
    LMStatus,
    LstsqResult,
    det,
    inv,
    levenberg_marquardt,
    lstsq,
    norm,
    pinv,
)
from ._version import __version__
from .zorvane_linalg import (
    __doc__,
    cholesky,
    eig,
    eig_sym,
    lu,
    matrix_exp,
    matrix_log,
    matrix_sign,
    matrix_sqrt,
    qr,
    solve,
    svd,
    trace,
)

__all__ = [
    "eig_sym",
    "matrix_sqrt",
    "matrix_exp",
    "cholesky",
    "svd",
    "solve",
    "qr",
    "lu",
    "matrix_log",
    "matrix_sign",
    "eig",
    "trace",
    "det",
    "inv",
    "pinv",
    "lstsq",
    "norm",
    "levenberg_marquardt",
    "LstsqResult",
    "LMResult",
    "LMStatus",
]

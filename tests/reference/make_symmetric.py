"""Writes symmetric.txt: NumPy/SciPy answers for the symmetric family.

For each order n three random symmetric inputs are stored with what NumPy or
SciPy computes from them:

- ``sym_nNNN`` (entries of a uniform matrix in [-1, 1], symmetrised): its
  eigenvalues ``eigh_nNNN`` and its exponential ``expm_nNNN``;
- ``spd_nNNN`` (eigenvalues in [0.5, 4]): ``cholesky_nNNN``, ``sqrtm_nNNN``
  and ``logm_nNNN``;
- ``indefinite_nNNN`` (eigenvalues of both signs, magnitudes in [0.5, 3], so
  none is near 0): ``signm_nNNN``.

Eigenvectors are not stored: their signs are the solver's choice, so the C++
test checks them by residual and orthogonality instead.

Run: python tests/reference/make_symmetric.py
"""

from pathlib import Path

import numpy as np
import scipy.linalg

from reference_io import write_reference

ORDERS = (1, 2, 3, 5, 8, 16, 33, 64)


def random_symmetric(rng, n):
    a = rng.uniform(-1.0, 1.0, size=(n, n))
    return (a + a.T) * 0.5


def with_eigenvalues(rng, values):
    """Q · diag(values) · Qᵀ for a random orthogonal Q, made exactly symmetric."""
    n = len(values)
    q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    a = (q * values) @ q.T
    return (a + a.T) * 0.5


def spd(rng, n):
    return with_eigenvalues(rng, rng.uniform(0.5, 4.0, size=n))


def indefinite(rng, n):
    magnitudes = rng.uniform(0.5, 3.0, size=n)
    signs = np.where(np.arange(n) % 2 == 0, -1.0, 1.0)
    return with_eigenvalues(rng, signs * magnitudes)


def real(result):
    """SciPy's general algorithms may answer in complex; the inputs here have real results."""
    result = np.asarray(result)
    if np.iscomplexobj(result):
        assert np.max(np.abs(result.imag)) < 1e-10, "unexpected imaginary part"
        result = result.real
    return result


def entries(rng):
    for n in ORDERS:
        tag = f"n{n:03d}"
        sym = random_symmetric(rng, n)
        yield f"sym_{tag}", sym
        yield f"eigh_{tag}", np.linalg.eigh(sym)[0]
        yield f"expm_{tag}", scipy.linalg.expm(sym)

        positive = spd(rng, n)
        yield f"spd_{tag}", positive
        yield f"cholesky_{tag}", np.linalg.cholesky(positive)
        yield f"sqrtm_{tag}", real(scipy.linalg.sqrtm(positive))
        yield f"logm_{tag}", real(scipy.linalg.logm(positive))

        mixed = indefinite(rng, n)
        yield f"indefinite_{tag}", mixed
        yield f"signm_{tag}", real(scipy.linalg.signm(mixed))


def main():
    rng = np.random.default_rng(20240603)
    path = Path(__file__).with_name("symmetric.txt")
    header = (
        f"numpy {np.__version__}, scipy {scipy.__version__}: eigh, cholesky, expm, sqrtm, "
        "logm, signm on random symmetric inputs; written by make_symmetric.py"
    )
    write_reference(path, entries(rng), header)


if __name__ == "__main__":
    main()

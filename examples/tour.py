"""A short tour of zorvane_linalg: each of its eighteen functions on an input
that means something, next to NumPy's or SciPy's answer."""

import numpy as np
import scipy.linalg
import scipy.optimize

import zorvane_linalg as zl

np.set_printoptions(precision=4, suppress=True)
verdicts = []


def show(title, ours, theirs):
    print(f"\n== {title}")
    print("zorvane:", ours, sep="\n" if np.ndim(ours) > 1 else " ")
    print("peer:   ", theirs, sep="\n" if np.ndim(theirs) > 1 else " ")


def verdict(name, agree):
    verdicts.append((name, bool(agree)))


# A covariance matrix of three correlated measurements.
rng = np.random.default_rng(7)
samples = rng.standard_normal((500, 3)) @ np.array([[2.0, 0.0, 0.0], [0.8, 1.0, 0.0], [0.3, 0.5, 0.5]])
cov = np.cov(samples, rowvar=False)

values, vectors = zl.eig_sym(cov)
show("eig_sym: principal variances of a covariance matrix", values, np.linalg.eigh(cov).eigenvalues)
verdict("eig_sym", np.allclose(values, np.linalg.eigh(cov).eigenvalues)
        and np.allclose(vectors @ np.diag(values) @ vectors.T, cov))

root = zl.matrix_sqrt(cov)
show("matrix_sqrt: the symmetric square root, S @ S = cov", root, np.real(scipy.linalg.sqrtm(cov)))
verdict("matrix_sqrt", np.allclose(root, scipy.linalg.sqrtm(cov)) and np.allclose(root @ root, cov))

generator = np.array([[-1.0, 0.5], [0.5, -1.0]])
propagator = zl.matrix_exp(generator)
show("matrix_exp: a symmetric rate matrix propagated for unit time", propagator,
     scipy.linalg.expm(generator))
verdict("matrix_exp", np.allclose(propagator, scipy.linalg.expm(generator)))

factor = zl.cholesky(cov)
show("cholesky: cov = L @ L.T, the factor that colours white noise", factor, np.linalg.cholesky(cov))
verdict("cholesky", np.allclose(factor, np.linalg.cholesky(cov)))

design = np.column_stack([np.ones(6), np.arange(6.0), np.arange(6.0) ** 2])
U, S, Vt = zl.svd(design)
show("svd: singular values of a quadratic design matrix", S,
     np.linalg.svd(design, compute_uv=False))
verdict("svd", np.allclose(S, np.linalg.svd(design, compute_uv=False))
        and np.allclose((U * S) @ Vt, design))

A = np.array([[3.0, 2.0, -1.0], [2.0, -2.0, 4.0], [-1.0, 0.5, -1.0]])
b = np.array([1.0, -2.0, 0.0])
x = zl.solve(A, b)
show("solve: 3x + 2y - z = 1, 2x - 2y + 4z = -2, -x + y/2 - z = 0", x, np.linalg.solve(A, b))
verdict("solve", np.allclose(x, np.linalg.solve(A, b)))

Q, R = zl.qr(design)
show("qr: orthonormal basis of the design's column space (|diag R|)", np.abs(np.diag(R)),
     np.abs(np.diag(np.linalg.qr(design)[1])))
verdict("qr", np.allclose(Q @ R, design) and np.allclose(Q.T @ Q, np.eye(3)))

L, Uf, P, Qp, rank, det, singular = zl.lu(A)
show("lu: full pivoting, P @ A @ Q = L @ U; the determinant", det, np.linalg.det(A))
verdict("lu", np.allclose(P @ A @ Qp, L @ Uf) and np.isclose(det, np.linalg.det(A))
        and rank == 3 and not singular)

log_cov = zl.matrix_log(cov)
show("matrix_log: the log-Euclidean coordinates of the covariance", log_cov,
     np.real(scipy.linalg.logm(cov)))
verdict("matrix_log", np.allclose(log_cov, scipy.linalg.logm(cov)))

indefinite = np.array([[2.0, 1.0], [1.0, -3.0]])
sign = zl.matrix_sign(indefinite)
show("matrix_sign: the sign of an indefinite matrix", sign, np.real(scipy.linalg.signm(indefinite)))
verdict("matrix_sign", np.allclose(sign, scipy.linalg.signm(indefinite))
        and np.allclose(sign @ sign, np.eye(2)))

theta = np.pi / 6
rotation = np.array([[np.cos(theta), -np.sin(theta)], [np.sin(theta), np.cos(theta)]])
vr, vi, _, _ = zl.eig(rotation)
show("eig: a rotation by 30 degrees has eigenvalues exp(+-i pi/6)", vr + 1j * vi,
     np.linalg.eigvals(rotation))
verdict("eig", np.allclose(np.sort_complex(vr + 1j * vi), np.sort_complex(np.linalg.eigvals(rotation))))

total = zl.trace(cov)
show("trace: total variance", total, np.trace(cov))
verdict("trace", np.isclose(total, np.trace(cov)))

volume = zl.det(A)
show("det: the volume scale of the map A, from its full-pivot LU", volume, np.linalg.det(A))
verdict("det", np.isclose(volume, np.linalg.det(A)))

inverse = zl.inv(A)
show("inv: the map that undoes A", inverse, np.linalg.inv(A))
verdict("inv", np.allclose(inverse, np.linalg.inv(A)) and np.allclose(inverse @ A, np.eye(3)))

hat = zl.pinv(design)
show("pinv: the pseudo-inverse of the design, which maps data to fitted coefficients", hat,
     np.linalg.pinv(design))
verdict("pinv", np.allclose(hat, np.linalg.pinv(design)))

heights = 1.0 + 0.5 * np.arange(6.0) - 0.25 * np.arange(6.0) ** 2 + 0.01 * rng.standard_normal(6)
coefficients, design_rank = zl.lstsq(design, heights)
show("lstsq: a quadratic fitted to six noisy heights (and the design's rank)", coefficients,
     np.linalg.lstsq(design, heights)[0])
verdict("lstsq", np.allclose(coefficients, np.linalg.lstsq(design, heights)[0])
        and design_rank == np.linalg.matrix_rank(design))

norms = [zl.norm(A, order) for order in (None, 1, 2, np.inf)]
show("norm: Frobenius, 1, 2 (spectral) and inf norms of A", np.array(norms),
     np.array([np.linalg.norm(A, order) for order in (None, 1, 2, np.inf)]))
verdict("norm", np.allclose(norms, [np.linalg.norm(A, order) for order in (None, 1, 2, np.inf)]))

# A radioactive decay, N(t) = N0 * exp(-k t), measured with a little noise.
times = np.linspace(0.0, 5.0, 12)
counts = 100.0 * np.exp(-0.7 * times) + rng.normal(0.0, 0.5, times.size)


def decay_residual(p):
    return p[0] * np.exp(-p[1] * times) - counts


def decay_jacobian(p):
    e = np.exp(-p[1] * times)
    return np.column_stack([e, -p[0] * times * e])


fit = zl.levenberg_marquardt(decay_residual, decay_jacobian, times.size, np.array([50.0, 1.0]))
reference = scipy.optimize.least_squares(decay_residual, [50.0, 1.0], jac=decay_jacobian,
                                         method="lm")
show("levenberg_marquardt: N0 and k of a decay, next to scipy.optimize.least_squares(method='lm')",
     fit.x, reference.x)
verdict("levenberg_marquardt", fit.status == zl.LMStatus.Converged
        and np.allclose(fit.x, reference.x, rtol=1e-6))

print("\n== Summary")
for name, agree in verdicts:
    print(f"{name:20s} {'agree' if agree else 'DISAGREE'}")
raise SystemExit(0 if all(agree for _, agree in verdicts) else 1)

/// @file
/// Batched forms of eig_sym, the spectral functions, cholesky, lu, det, solve,
/// inv, qr, svd, pinv, norm, eig and trace: one call for a whole stack of small
/// matrices.
///
/// Each takes a tensor of two or more dimensions with any strides: the last two
/// are the matrix, the leading ones the batch. Results are stacked in new
/// contiguous row-major tensors that keep the leading dimensions (values
/// (..., n), vectors (..., n, n), per-matrix scalars of the leading shape), and
/// each slice equals the single-matrix operation's result bit for bit: both
/// run the same kernel. Argument errors carry the single-matrix messages (or
/// the batched shape messages below); a numerical failure throws the
/// single-matrix message of the first failing matrix followed by its batch
/// index, "... (at batch index (3, 1))", or "(at batch index (3))" for one
/// leading dimension; a plain matrix (no leading dimension) fails with the
/// single-matrix message alone. Working matrices are allocated once per call; no call
/// keeps state or starts a thread.
#pragma once

#include "zorvane/linalg/linalg.h"

namespace zorvane::linalg::batched {

/// Eigenvalues (..., n) and eigenvectors (..., n, n) of each symmetric matrix.
ZORVANE_LINALG_API EigenResult eig_sym(const Tensor& A);

/// f(A) (..., n, n) of each symmetric matrix, as the single-matrix functions.
ZORVANE_LINALG_API Tensor matrix_sqrt(const Tensor& A);
ZORVANE_LINALG_API Tensor matrix_exp(const Tensor& A);
ZORVANE_LINALG_API Tensor matrix_log(const Tensor& A);
ZORVANE_LINALG_API Tensor matrix_sign(const Tensor& A);

/// Lower Cholesky factors (..., n, n).
ZORVANE_LINALG_API Tensor cholesky(const Tensor& A);

/// Full-pivot LU of each matrix. Singularity is data, per matrix, as in lu.
struct LUResult {
  Tensor L;            ///< (..., n, n) unit lower triangular
  Tensor U;            ///< (..., n, n) upper triangular
  Tensor P;            ///< (..., n, n) row permutations
  Tensor Q;            ///< (..., n, n) column permutations
  Tensor rank;         ///< (...) int64
  Tensor determinant;  ///< (...) float64
  Tensor singular;     ///< (...) int32, 1 where the matrix is singular, else 0
};
ZORVANE_LINALG_API LUResult lu(const Tensor& A);

/// Determinants (...) of the square matrices, as det.
ZORVANE_LINALG_API Tensor det(const Tensor& A);

/// X with A · X = B for A (..., n, n). B of shape (n) is one vector for every
/// matrix (result (..., n)); otherwise B is (..., n, k) (result (..., n, k)).
/// The leading dimensions of A and B broadcast as NumPy's do. B's shape is
/// checked before any matrix is factorised, except for a plain matrix A,
/// which is tested for singularity first, as solve does.
ZORVANE_LINALG_API Tensor solve(const Tensor& A, const Tensor& B);

/// Inverses (..., n, n); the first singular matrix throws inv's message.
ZORVANE_LINALG_API Tensor inv(const Tensor& A);

/// Thin QR of each matrix: Q (..., m, k), R (..., k, n).
ZORVANE_LINALG_API QRResult qr(const Tensor& A);

/// Thin SVD of each matrix: U (..., m, k), S (..., k), Vt (..., k, n).
ZORVANE_LINALG_API SVDResult svd(const Tensor& A);

/// Pseudo-inverses (..., n, m) of the (..., m, n) matrices, with pinv's cutoff.
ZORVANE_LINALG_API Tensor pinv(const Tensor& A, double rcond = -1.0);

/// The norm `kind` (...) of each matrix, as norm.
ZORVANE_LINALG_API Tensor norm(const Tensor& A, NormKind kind = NormKind::Frobenius);

/// General eigendecomposition of each matrix, values (..., n), vectors (..., n, n).
ZORVANE_LINALG_API EigResult eig(const Tensor& A);

/// Traces (...) of the square matrices.
ZORVANE_LINALG_API Tensor trace(const Tensor& A);

}  // namespace zorvane::linalg::batched

/// @file
/// Dense float64 linear algebra on zorvane tensors (CPU backend).
///
/// Every operation checks its tensor arguments strictly (dimensions, float64,
/// CPU), works on private dense copies and returns new contiguous row-major
/// float64 CPU tensors. Argument errors throw std::invalid_argument, numerical
/// failures std::runtime_error, exhausted memory std::bad_alloc; every message
/// begins "zorvane: " and names the operation. No call keeps state, starts a
/// thread or logs, so calls on different tensors may run concurrently.
#pragma once

#include <cstdint>
#include <functional>

#include "zorvane/core/tensor.h"

#define ZORVANE_LINALG_API __attribute__((visibility("default")))

namespace zorvane::linalg {

/// A = vectors · diag(values) · vectorsᵀ: ascending eigenvalues (n) and the
/// matching unit eigenvectors as the columns of an (n, n) tensor.
struct EigenResult {
  Tensor values;
  Tensor vectors;
};

/// P · A · Q = L · U with full pivoting, and what it reveals.
struct LUResult {
  Tensor L;  ///< (n, n) unit lower triangular
  Tensor U;  ///< (n, n) upper triangular, pivots on the diagonal
  Tensor P;  ///< (n, n) row permutation, entries 0.0 or 1.0
  Tensor Q;  ///< (n, n) column permutation, entries 0.0 or 1.0
  std::int64_t rank;
  double determinant;
  bool singular;
};

/// Thin QR: Q (m, k) with orthonormal columns, R (k, n) upper triangular.
struct QRResult {
  Tensor Q;
  Tensor R;
};

/// Thin SVD: U (m, k), descending singular values S (k), Vt (k, n).
struct SVDResult {
  Tensor U;
  Tensor S;
  Tensor Vt;
};

/// Least-squares solution (shaped like B with n rows) and the rank of A.
struct LstsqResult {
  Tensor x;
  std::int64_t rank;
};

/// Eigenvalues and eigenvectors of a general real matrix, split into real and
/// imaginary parts; column j of the vectors belongs to eigenvalue j.
struct EigResult {
  Tensor values_real;
  Tensor values_imag;
  Tensor vectors_real;
  Tensor vectors_imag;
};

/// The norm that norm() computes: Frobenius, the largest absolute column sum
/// (One), the largest absolute row sum (Inf) or the largest singular value
/// (Spectral).
enum class NormKind : std::int32_t { Frobenius = 0, One = 1, Inf = 2, Spectral = 3 };

/// Options of levenberg_marquardt. The defaults follow MINPACK's lmder:
/// tolerances of sqrt(machine epsilon), no gradient test, and damping that
/// starts at 1e-3 and moves by factors of 10.
struct LMParameters {
  std::int64_t max_iterations = 200;
  double ftol = 1.4901161193847656e-08;
  double xtol = 1.4901161193847656e-08;
  double gtol = 0.0;
  double initial_damping = 1e-3;  ///< a value not greater than 0 selects 1e-3
  double damping_increase = 10.0;
  double damping_decrease = 10.0;
};

/// Why levenberg_marquardt stopped: a tolerance was met, the iteration limit
/// was reached, or the damping grew past its bound without an accepted step.
enum class LMStatus : std::int32_t { Converged = 0, MaxIterations = 1, DampingLimit = 2 };

/// The result of levenberg_marquardt.
struct LMResult {
  Tensor x;         ///< the final point (n)
  Tensor residual;  ///< r at the final point (m)
  double cost;      ///< ½‖residual‖²
  std::int64_t iterations;
  LMStatus status;
};

/// Residual callback: reads n doubles, writes all m residuals. Jacobian
/// callback: reads n doubles, writes the m x n Jacobian row-major.
using LMCallback = std::function<void(const double*, double*)>;

/// The instruction-set level the library runs at: "baseline" (the portable
/// x86-64 set), "x86-64-v3" (AVX2, FMA) or "x86-64-v4" (AVX-512), the widest
/// this CPU and its operating system support unless the environment variable
/// ZORVANE_CPU_LEVEL names one. It is chosen at the first call of any
/// operation and kept for the life of the process; a ZORVANE_CPU_LEVEL that
/// names no level this CPU runs makes every call throw std::invalid_argument.
ZORVANE_LINALG_API const char* instruction_set();

/// Sum of the diagonal of a square matrix; 0.0 for 0 x 0.
ZORVANE_LINALG_API double trace(const Tensor& A);

/// Symmetric eigendecomposition. Throws std::invalid_argument for a non-square,
/// non-float64, non-CPU or non-symmetric A; std::runtime_error if the solver
/// does not converge or yields a non-finite eigenvalue (any NaN or ±inf it reads).
ZORVANE_LINALG_API EigenResult eig_sym(const Tensor& A);

/// Principal square root of a symmetric positive-semidefinite matrix.
ZORVANE_LINALG_API Tensor matrix_sqrt(const Tensor& A);
/// Exponential of a symmetric matrix; std::runtime_error on overflow.
ZORVANE_LINALG_API Tensor matrix_exp(const Tensor& A);
/// Logarithm of a symmetric positive-definite matrix.
ZORVANE_LINALG_API Tensor matrix_log(const Tensor& A);
/// Sign function of a symmetric matrix; eigenvalues near zero map to 0.
ZORVANE_LINALG_API Tensor matrix_sign(const Tensor& A);

/// Lower Cholesky factor L of a symmetric positive-definite A = L · Lᵀ;
/// std::runtime_error if A is not positive-definite.
ZORVANE_LINALG_API Tensor cholesky(const Tensor& A);

/// Full-pivot LU with rank, determinant and singular flag; never throws for
/// singular or non-finite input.
ZORVANE_LINALG_API LUResult lu(const Tensor& A);
/// Determinant of a square matrix through the full-pivot LU.
ZORVANE_LINALG_API double det(const Tensor& A);

/// X with A · X = B for B of shape (n) or (n, k); std::runtime_error if A is
/// numerically singular.
ZORVANE_LINALG_API Tensor solve(const Tensor& A, const Tensor& B);
/// Inverse of A; std::runtime_error if A is numerically singular.
ZORVANE_LINALG_API Tensor inv(const Tensor& A);

/// Thin Householder QR without pivoting.
ZORVANE_LINALG_API QRResult qr(const Tensor& A);

/// Thin SVD; std::runtime_error for non-finite input.
ZORVANE_LINALG_API SVDResult svd(const Tensor& A);

/// Moore–Penrose pseudo-inverse (n, m); singular values at or below
/// rcond · σ_max are dropped, and a negative rcond selects max(m, n) · ε.
ZORVANE_LINALG_API Tensor pinv(const Tensor& A, double rcond = -1.0);
/// Basic least-squares solution of A · x ≈ B by column-pivoting QR; NaN or
/// ±inf anywhere in A makes every entry of x NaN, and in a column of B makes
/// that column of x NaN, even when A is empty or all zero.
ZORVANE_LINALG_API LstsqResult lstsq(const Tensor& A, const Tensor& B);

/// One of four matrix norms; 0.0 for an empty matrix.
ZORVANE_LINALG_API double norm(const Tensor& A, NormKind kind = NormKind::Frobenius);

/// Eigenvalues and eigenvectors of a general square matrix, in the solver's
/// order; std::runtime_error if the solver does not converge.
ZORVANE_LINALG_API EigResult eig(const Tensor& A);

/// Minimises ½‖r(x)‖² from x0 (n) with m residuals by damped Gauss–Newton
/// steps; reports why it stopped in `status`. Exceptions of the callbacks
/// leave the call unchanged.
ZORVANE_LINALG_API LMResult levenberg_marquardt(const LMCallback& residual,
                                                const LMCallback& jacobian, const Tensor& x0,
                                                std::int64_t m,
                                                const LMParameters& params = LMParameters{});

}  // namespace zorvane::linalg

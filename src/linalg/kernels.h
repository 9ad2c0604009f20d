// The kernels behind every operation, single-matrix and batched alike. Each
// runs one engine over all matrices of a batch (`batch` the leading extents,
// empty for a plain matrix; `A` where the matrices lie), with its working
// matrices and decomposition made once per call, and writes the results of
// matrix b at b times their size into contiguous row-major outputs. Square
// orders 2, 3 and 4 run the engine over fixed-size matrices, every other
// shape over dynamic ones; a single matrix and its slice of a batch run the
// same code, so their results agree bit for bit. A failing matrix throws the
// single-matrix message, followed by its batch index where there is a batch.
// Private to the library: not installed.
#pragma once

#include <cstdint>

#include "stack.h"
#include "zorvane/linalg/linalg.h"

namespace zorvane::linalg::kernels {

/// Sum of the diagonal of the n x n matrix at `a` with element strides s0, s1.
/// Each offset is formed from the strides separately: a sum of the two
/// strides could overflow where every real offset does not.
inline double diagonal_sum(const double* a, std::int64_t n, std::int64_t s0, std::int64_t s1) {
  double sum = 0.0;
  for (std::int64_t i = 0; i < n; ++i) sum += a[i * s0 + i * s1];
  return sum;
}

// ---- eig_sym and the spectral functions (symmetric_eigen.cpp) --------------

/// Ascending eigenvalues (n) and eigenvectors (n x n) of each symmetric
/// matrix; throws eig_sym's messages.
void eig_sym(const Extents& batch, const Matrices& A, double* values, double* vectors);

enum class Spectral { Sqrt, Exp, Log, Sign };

/// f(A) = V · diag(f(w)) · Vᵀ (n x n) of each symmetric matrix; throws
/// eig_sym's messages and the function's own spectral-test messages.
void spectral_function(const Extents& batch, const Matrices& A, Spectral f, double* result);

// ---- cholesky (cholesky.cpp) ------------------------------------------------

/// The lower factor (n x n) of each matrix; throws cholesky's messages.
void cholesky(const Extents& batch, const Matrices& A, double* factors);

// ---- the full-pivot LU family: lu, det, solve, inv (lu.cpp) ---------------

inline constexpr const char* kSingular = " failed -- matrix A is singular or numerically singular";
inline constexpr const char* kRowsMismatch = " shape mismatch -- A is n x n but B has rows != n";
inline constexpr const char* kLengthMismatch =
    " shape mismatch -- A is n x n but B has length != n";

/// Where lu writes each matrix's results: four n x n factors of
/// P · A · Q = L · U, then the rank, determinant and singular flag.
struct LUOutputs {
  double* L;
  double* U;
  double* P;
  double* Q;
  std::int64_t* rank;
  double* determinant;
  std::int32_t* singular;
};

/// The full-pivot LU of each matrix, with the decomposition's default
/// threshold; singularity is data, never an error. The empty matrix has rank
/// 0, the empty product 1 as its determinant, and is invertible.
void lu(const Extents& batch, const Matrices& A, const LUOutputs& out);
/// The determinant of each matrix, as lu gives it.
void det(const Extents& batch, const Matrices& A, double* determinants);
/// The inverse (n x n) of each matrix; throws inv's singular message.
void inv(const Extents& batch, const Matrices& A, double* inverses);
/// Throws `operation`'s singular message if the plain matrix A is singular.
void require_invertible(const Matrices& A, const char* operation);
/// X with A · X = B for every pair of the batch, B's matrices n x k (n x 1
/// and solved as vectors when `vectors`), each solution n x k into X; an A
/// that repeats along a dimension is factorised once. Throws solve's
/// singular message.
void solve(const Extents& batch, const Matrices& A, const Matrices& B, bool vectors, double* X);

// ---- QR (qr.cpp), SVD, pinv and the norms (svd.cpp), eig (general_eigen.cpp)

/// Thin Q (m x k) and R (k x n) of each non-empty matrix, k = min(m, n).
void qr(const Extents& batch, const Matrices& A, double* Q, double* R);

/// Thin U (m x k), descending S (k) and Vt (k x n) of each non-empty matrix;
/// throws svd's message for non-finite input.
void svd(const Extents& batch, const Matrices& A, double* U, double* S, double* Vt);

/// Throws pinv's message for a NaN `rcond`, which selects no cutoff.
void require_rcond(double rcond);
/// The pseudo-inverse (n x m) of each non-empty matrix, dropping singular
/// values at or below the relative cutoff `rcond` (max(m, n) · ε when
/// negative); throws pinv's message for non-finite input.
void pinv(const Extents& batch, const Matrices& A, double rcond, double* inverses);

/// Throws norm's message unless `kind` is one of the four norms.
void require_norm_kind(NormKind kind);
/// The norm `kind` of each matrix, 0 for an empty matrix whatever the kind;
/// throws norm's messages for an unknown kind and for the spectral norm of
/// non-finite input.
void norm(const Extents& batch, const Matrices& A, NormKind kind, double* norms);

/// The real and imaginary parts of the eigenvalues (n) and eigenvectors
/// (n x n) of each non-empty square matrix; throws eig's message.
void eig(const Extents& batch, const Matrices& A, double* values_real, double* values_imag,
         double* vectors_real, double* vectors_imag);

}  // namespace zorvane::linalg::kernels

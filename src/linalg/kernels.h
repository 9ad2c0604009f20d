// Per-matrix kernels shared by the single-matrix operations and their batched
// forms. Each takes a gathered working matrix (and the decomposition object it
// may reuse), writes its results through row-major destinations and throws
// the single-matrix messages, so every slice of a batched result is the
// single-matrix result bit for bit. Private to the library: not installed.
#pragma once

#include <Eigen/Dense>
#include <cstdint>
#include <optional>

#include "zorvane/linalg/detail.h"

namespace zorvane::linalg::kernels {

using RowMajorMap = Eigen::Map<detail::RowMajorMatrix>;
using VectorMap = Eigen::Map<Eigen::VectorXd>;

/// Sum of the diagonal of the n x n matrix at `a` with element strides s0, s1.
/// Each offset is formed from the strides separately: a sum of the two
/// strides could overflow where every real offset does not.
inline double diagonal_sum(const double* a, std::int64_t n, std::int64_t s0, std::int64_t s1) {
  double sum = 0.0;
  for (std::int64_t i = 0; i < n; ++i) sum += a[i * s0 + i * s1];
  return sum;
}

/// An in-place decomposition over one working matrix, made at the first
/// matrix of a batch and recomputed for the others: the same elimination as a
/// fresh object, without its allocations.
template <class Decomposition>
class ReusedDecomposition {
 public:
  Decomposition& compute(Eigen::MatrixXd& work) {
    if (decomposition_) {
      decomposition_->compute(work);
    } else {
      decomposition_.emplace(work);
    }
    return *decomposition_;
  }

 private:
  std::optional<Decomposition> decomposition_;
};

// ---- eig_sym and the spectral functions (symmetric_eigen.cpp) --------------

using SymmetricSolver = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>;

/// eig_sym's symmetry test and decomposition of the working matrix `a`; an
/// empty `a` leaves the solver unused. Throws eig_sym's messages.
void symmetric_eigen(const Eigen::MatrixXd& a, SymmetricSolver& solver);

enum class Spectral { Sqrt, Exp, Log, Sign };

/// The working storage of a spectral function, reused across a batch.
struct SpectralWork {
  Eigen::VectorXd mapped;
  detail::RowMajorMatrix vectors;
  detail::RowMajorMatrix product;
};

/// f(A) = V · diag(f(w)) · Vᵀ of a decomposed non-empty A into the n x n
/// row-major `result`; throws the function's own spectral-test messages.
void spectral_function(Spectral f, const SymmetricSolver& solver, SpectralWork& work,
                       double* result);

// ---- cholesky (cholesky.cpp) ------------------------------------------------

/// The lower factor of the working matrix `a` (overwritten) into the n x n
/// row-major `factor`; throws cholesky's messages.
void cholesky(Eigen::MatrixXd& a, double* factor);

// ---- full-pivot LU (lu.cpp) and solve (solve.cpp) --------------------------

/// The private copy of A is factorised in place; the results are bit for bit
/// those of a FullPivLU<MatrixXd>.
using InPlaceLU = Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>>;

struct LUScalars {
  std::int64_t rank;
  double determinant;
  bool singular;
};

/// The four n x n row-major factors of a computed non-empty decomposition,
/// and its rank, determinant and singular flag.
LUScalars lu_factors(const InPlaceLU& lu, double* L, double* U, double* P, double* Q);

inline constexpr const char* kSingular = " failed -- matrix A is singular or numerically singular";
inline constexpr const char* kRowsMismatch = " shape mismatch -- A is n x n but B has rows != n";
inline constexpr const char* kLengthMismatch =
    " shape mismatch -- A is n x n but B has length != n";

/// Throws solve's (or inv's) singular message unless `lu` is invertible.
void require_invertible(const InPlaceLU& lu, const char* operation);

// ---- QR (qr.cpp), SVD (svd.cpp), general eigen (general_eigen.cpp) ---------

using InPlaceQR = Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>>;

/// Thin Q (m, k) and R (k, n) of a computed decomposition with k > 0.
void qr_factors(const InPlaceQR& householder, double* Q, double* R);

/// Decomposes the non-empty working matrix `a`; throws svd's message.
void svd(const Eigen::MatrixXd& a, detail::SvdEngine& engine);
/// U (m, k), S (k), Vt (k, n) of a computed engine.
void svd_factors(const detail::SvdEngine& engine, double* U, double* S, double* Vt);

using GeneralSolver = Eigen::EigenSolver<Eigen::MatrixXd>;

/// The real and imaginary parts of the eigenvalues (n) and eigenvectors
/// (n x n) of the non-empty working matrix `a`; throws eig's message.
void eig(const Eigen::MatrixXd& a, GeneralSolver& solver, double* values_real, double* values_imag,
         double* vectors_real, double* vectors_imag);

}  // namespace zorvane::linalg::kernels

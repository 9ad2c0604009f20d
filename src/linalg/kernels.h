// Per-matrix kernels shared by the single-matrix operations and their batched
// forms. Each takes a gathered working matrix (and the decomposition object it
// may reuse), writes its results through row-major destinations and throws
// the single-matrix messages, so every slice of a batched result is the
// single-matrix result bit for bit. Private to the library: not installed.
#pragma once

#include <Eigen/Dense>
#include <cstdint>
#include <optional>

#include "checks.h"
#include "transfer.h"
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

// ---- the full-pivot LU family: lu, det, solve, inv (lu.cpp) ---------------

inline constexpr const char* kSingular = " failed -- matrix A is singular or numerically singular";
inline constexpr const char* kRowsMismatch = " shape mismatch -- A is n x n but B has rows != n";
inline constexpr const char* kLengthMismatch =
    " shape mismatch -- A is n x n but B has length != n";

/// The one full-pivot LU behind lu, det, solve and inv, single and batched.
/// Each matrix is gathered into an n x n working matrix owned by the object
/// and factorised there in place, which gives the bits of a FullPivLU over a
/// copy without its second n x n buffer; one object serves a whole batch and
/// keeps its allocations. The empty matrix, which FullPivLU cannot take, has
/// rank 0, the empty product 1 as its determinant, and is invertible.
class FullPivotLU {
 public:
  explicit FullPivotLU(std::int64_t n) : packed_(n, n) {}
  // The decomposition refers to packed_, so the object stays where it is.
  FullPivotLU(const FullPivotLU&) = delete;
  FullPivotLU& operator=(const FullPivotLU&) = delete;

  /// Gathers the n x n matrix at `a` (element strides s0, s1) and factorises it.
  void factorise(const double* a, std::int64_t s0, std::int64_t s1);
  /// Factorises a square tensor that passed the argument checks.
  void factorise(const Tensor& A) { factorise(A.data(), A.strides()[0], A.strides()[1]); }

  std::int64_t rank() const;
  double determinant() const;
  bool singular() const;
  /// Throws `operation`'s singular message if the matrix is singular.
  void require_invertible(const char* operation) const;

  /// The four n x n row-major factors of P · A · Q = L · U.
  void factors(double* L, double* U, double* P, double* Q) const;
  /// The n x n row-major inverse of an invertible matrix.
  void inverse(double* out) const;
  /// The solution of A · X = rhs for an invertible, non-empty A, as an
  /// expression that is solved straight into whatever it is assigned to.
  template <class Rhs>
  auto solve(const Rhs& rhs) const {
    return lu_->solve(rhs);
  }

 private:
  using InPlace = Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>>;

  Eigen::MatrixXd packed_;
  ReusedDecomposition<InPlace> reused_;
  const InPlace* lu_ = nullptr;  // null until a non-empty matrix is factorised
};

// ---- QR (qr.cpp), SVD (svd.cpp), general eigen (general_eigen.cpp) ---------

using InPlaceQR = Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>>;

/// The singular value engine shared by svd, pinv and the spectral norm.
using SvdEngine = Eigen::JacobiSVD<Eigen::MatrixXd>;
inline constexpr unsigned kThinSvdOptions = Eigen::ComputeThinU | Eigen::ComputeThinV;

/// Thin Q (m, k) and R (k, n) of a computed decomposition with k > 0.
void qr_factors(const InPlaceQR& householder, double* Q, double* R);

/// Decomposes the non-empty working matrix `a`; throws svd's message.
void svd(const Eigen::MatrixXd& a, SvdEngine& engine);
/// U (m, k), S (k), Vt (k, n) of a computed engine.
void svd_factors(const SvdEngine& engine, double* U, double* S, double* Vt);

// ---- pinv (least_squares.cpp) and the norms (norm.cpp) ---------------------

/// The working storage of the pseudo-inverse, reused across a batch.
struct PseudoInverseWork {
  SvdEngine engine;
  Eigen::MatrixXd scaled_v;  // the kept columns of V, each divided by its singular value
};

/// Throws pinv's message for a NaN `rcond`, which selects no cutoff.
void require_rcond(double rcond);

/// The n x m row-major pseudo-inverse of the non-empty m x n working matrix
/// `a`, dropping singular values at or below the relative cutoff `rcond`
/// (max(m, n) · ε when negative; NaN is the caller's to refuse). Throws
/// pinv's message for non-finite input.
void pinv(const Eigen::MatrixXd& a, double rcond, PseudoInverseWork& work, double* out);

/// Throws norm's message unless `kind` is one of the four norms.
void require_norm_kind(NormKind kind);

/// The norm `kind` of the working matrix `a`: 0 for an empty matrix, whatever
/// the kind; otherwise throws norm's messages for an unknown kind and, for the
/// spectral norm, non-finite input.
double norm(const Eigen::MatrixXd& a, NormKind kind, SvdEngine& engine);

using GeneralSolver = Eigen::EigenSolver<Eigen::MatrixXd>;

/// The real and imaginary parts of the eigenvalues (n) and eigenvectors
/// (n x n) of the non-empty working matrix `a`; throws eig's message.
void eig(const Eigen::MatrixXd& a, GeneralSolver& solver, double* values_real, double* values_imag,
         double* vectors_real, double* vectors_imag);

}  // namespace zorvane::linalg::kernels

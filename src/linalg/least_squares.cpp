// Pseudo-inverse from the thin SVD and least squares by column-pivoting QR.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/QR>

#include "checks.h"
#include "dense.h"
#include "kernels.h"
#include "transfer.h"

namespace zorvane::linalg {
namespace {

/// The relative cutoff in use: rcond itself, or max(m, n) · ε when negative.
double relative_cutoff(double rcond, Eigen::Index rows, Eigen::Index cols) {
  if (rcond >= 0.0) return rcond;
  return static_cast<double>(std::max(rows, cols)) * detail::kEpsilon;
}

/// The solution when A determines nothing (no rows, no columns, or all
/// zero): shaped like the dense right-hand side `b` with `cols` rows, zero
/// except that a column of b holding NaN or ±inf gives a NaN column, as the
/// factorisation would propagate it.
template <class Dense>
Dense zero_solution(const Dense& b, Eigen::Index cols) {
  Dense x = Dense::Zero(cols, b.cols());
  for (Eigen::Index j = 0; j < b.cols(); ++j) {
    if (!b.col(j).allFinite()) x.col(j).setConstant(std::numeric_limits<double>::quiet_NaN());
  }
  return x;
}

/// The solution when A holds NaN or ±inf: NaN in every entry, shaped like
/// the dense right-hand side `b` with `cols` rows. The factorisation would
/// otherwise drop an infinite pivot column as a zero one and answer with
/// finite numbers.
template <class Dense>
Dense nan_solution(const Dense& b, Eigen::Index cols) {
  return Dense::Constant(cols, b.cols(), std::numeric_limits<double>::quiet_NaN());
}

}  // namespace

void kernels::require_rcond(double rcond) {
  if (std::isnan(rcond)) detail::throw_argument_error("pinv", " requires a non-NaN rcond");
}

void kernels::pinv(const Extents& batch, const Matrices& A, double rcond, double* inverses) {
  const Eigen::Index m = A.rows;
  const Eigen::Index n = A.cols;
  // JacobiSVD cannot take an empty matrix, and the (n, m) result has nothing to fill.
  if (std::min(m, n) == 0) return;
  Eigen::MatrixXd a(m, n);
  SvdEngine svd;
  // The kept columns of V, each divided by its singular value: as many as
  // there are singular values, of which each matrix uses a leading block.
  Eigen::MatrixXd scaled_v(n, std::min(m, n));
  Gather<Eigen::MatrixXd> gather(A, m, n);
  for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    svd.compute(a, kThinSvdOptions);
    if (svd.info() != Eigen::Success) {
      detail::throw_numerical_error("pinv", " failed -- SVD did not converge");
    }
    const Eigen::VectorXd& s = svd.singularValues();
    const double cutoff = relative_cutoff(rcond, m, n) * s(0);
    // The values are sorted in descending order, so the kept ones form a prefix;
    // a value equal to the cutoff (or an infinite or NaN cutoff) keeps nothing more.
    Eigen::Index kept = 0;
    while (kept < s.size() && s(kept) > cutoff) ++kept;

    auto p = RowMajorMap(inverses + b * n * m, n, m);
    if (kept == 0) {
      p.setZero();
      return;
    }
    auto scaled = scaled_v.leftCols(kept);
    scaled.noalias() = svd.matrixV().leftCols(kept) * s.head(kept).cwiseInverse().asDiagonal();
    p.noalias() = scaled * svd.matrixU().leftCols(kept).transpose();
  });
}

Tensor pinv(const Tensor& A, double rcond) {
  detail::require_2d_f64_cpu(A, "pinv");
  kernels::require_rcond(rcond);
  Tensor result = detail::new_matrix_tensor(A.shape()[1], A.shape()[0]);
  kernels::pinv({}, kernels::matrices_of(A), rcond, result.data());
  return result;
}

LstsqResult lstsq(const Tensor& A, const Tensor& B) {
  detail::require_2d_f64_cpu(A, "lstsq");
  detail::require_rhs_f64_cpu(B, "lstsq");
  Eigen::MatrixXd a = detail::gather_matrix(A);
  const Eigen::Index m = a.rows();
  const Eigen::Index n = a.cols();
  const char* const rows_mismatch = " shape mismatch -- A has m rows but B has rows != m";
  const char* const length_mismatch = " shape mismatch -- A has m rows but B has length != m";
  const auto solve_zero = [n](const auto& b) { return zero_solution(b, n); };

  // The QR cannot take a matrix without columns; with no rows or no columns
  // there is nothing to determine and every unknown is zero (NaN for a
  // non-finite column of B).
  if (m == 0 || n == 0) {
    Tensor x = detail::solve_right_hand_side(B, m, n, "lstsq", rows_mismatch, length_mismatch,
                                             solve_zero);
    return LstsqResult{std::move(x), 0};
  }

  // Read before the factorisation overwrites A in place.
  const bool finite = a.allFinite();
  const Eigen::ColPivHouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(a);
  const std::int64_t rank = qr.rank();
  if (!finite) {
    Tensor x = detail::solve_right_hand_side(B, m, n, "lstsq", rows_mismatch, length_mismatch,
                                             [n](const auto& b) { return nan_solution(b, n); });
    return LstsqResult{std::move(x), rank};
  }
  // For an all-zero A the factorisation still counts every pivot as non-zero
  // and its triangular solve divides 0 by 0; no pivot column is meaningful, so
  // every unknown is zero, and non-finite columns of B still propagate.
  const bool all_zero = rank == 0 && (qr.matrixQR().array() == 0.0).all();
  Tensor x = all_zero ? detail::solve_right_hand_side(B, m, n, "lstsq", rows_mismatch,
                                                      length_mismatch, solve_zero)
                      : detail::solve_right_hand_side(
                            B, m, n, "lstsq", rows_mismatch, length_mismatch,
                            [&qr](const auto& b) { return qr.solve(b); });
  return LstsqResult{std::move(x), rank};
}

}  // namespace zorvane::linalg

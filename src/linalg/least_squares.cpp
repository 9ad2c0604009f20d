// Pseudo-inverse from the thin SVD and least squares by column-pivoting QR.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/QR>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

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

/// The pseudo-inverses (..., n, m) of the operand's matrices, dropping
/// singular values at or below the relative cutoff `rcond` (max(m, n) · ε
/// when negative); throws pinv's message for non-finite input.
ZORVANE_ONE_COPY Tensor pseudo_inverses_of(const entry::Operand& A, double rcond) {
  if (std::isnan(rcond)) detail::throw_argument_error("pinv", " requires a non-NaN rcond");
  const Eigen::Index m = A.matrices.rows;
  const Eigen::Index n = A.matrices.cols;
  Tensor inverses = entry::stacked(A.batch, {n, m});
  // JacobiSVD cannot take an empty matrix, and the (n, m) result has nothing to fill.
  if (std::min(m, n) == 0) return inverses;
  Eigen::MatrixXd a(m, n);
  kernels::SvdEngine svd;
  // The kept columns of V, each divided by its singular value: as many as
  // there are singular values, of which each matrix uses a leading block.
  Eigen::MatrixXd scaled_v(n, std::min(m, n));
  kernels::Gather<Eigen::MatrixXd> gather(A.matrices, m, n);
  double* out = inverses.data();
  kernels::for_each_matrix(A.batch, A.matrices, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    svd.compute(a, kernels::kThinSvdOptions);
    if (svd.info() != Eigen::Success) {
      detail::throw_numerical_error("pinv", " failed -- SVD did not converge");
    }
    const Eigen::VectorXd& s = svd.singularValues();
    const double cutoff = relative_cutoff(rcond, m, n) * s(0);
    // The values are sorted in descending order, so the kept ones form a prefix;
    // a value equal to the cutoff (or an infinite or NaN cutoff) keeps nothing more.
    Eigen::Index kept = 0;
    while (kept < s.size() && s(kept) > cutoff) ++kept;

    auto p = kernels::RowMajorMap(out + b * n * m, n, m);
    if (kept == 0) {
      p.setZero();
      return;
    }
    auto scaled = scaled_v.leftCols(kept);
    scaled.noalias() = svd.matrixV().leftCols(kept) * s.head(kept).cwiseInverse().asDiagonal();
    p.noalias() = scaled * svd.matrixU().leftCols(kept).transpose();
  });
  return inverses;
}

constexpr entry::RowMismatch kRowMismatch{" shape mismatch -- A has m rows but B has rows != m",
                                          " shape mismatch -- A has m rows but B has length != m"};

/// The solution (unknowns) or (unknowns, k) for the right-hand side B, which
/// fits: `solve` maps B's dense form (a vector, or a matrix of k columns) to
/// it. A right-hand side without entries never reaches `solve`: Eigen's
/// solvers bind a reference to the first entry, and the solution of such a
/// system is all zero (that is, empty or of zero columns).
template <class Solve>
Tensor solution_of(const Tensor& B, Eigen::Index unknowns, Solve&& solve) {
  const kernels::Matrices b = entry::right_hand_sides(B);
  const auto solve_into = [&](auto rhs, Tensor x) {
    using Dense = decltype(rhs);
    kernels::Gather<Dense>(b, b.rows, b.cols)(b.data, rhs);
    kernels::row_major_map<Dense>(x.data(), unknowns, b.cols) =
        rhs.size() == 0 ? Dense(Dense::Zero(unknowns, b.cols)) : Dense(solve(rhs));
    return x;
  };
  if (B.ndim() == 1) return solve_into(Eigen::VectorXd(b.rows), entry::stacked({}, {unknowns}));
  return solve_into(Eigen::MatrixXd(b.rows, b.cols), entry::stacked({}, {unknowns, b.cols}));
}

/// Throws lstsq's message unless B fits A's m rows.
void require_right_hand_side(const Tensor& B, Eigen::Index m) {
  if (const char* error = entry::right_hand_side_error(B, m, entry::Form::Matrix, kRowMismatch)) {
    detail::throw_argument_error("lstsq", error);
  }
}

}  // namespace

Tensor pinv(const Tensor& A, double rcond) {
  return pseudo_inverses_of(entry::matrices(A, "pinv", entry::Form::Matrix), rcond);
}

Tensor batched::pinv(const Tensor& A, double rcond) {
  return pseudo_inverses_of(entry::matrices(A, "pinv", entry::Form::Stack), rcond);
}

LstsqResult lstsq(const Tensor& A, const Tensor& B) {
  const entry::Operand operand = entry::matrices(A, "lstsq", entry::Form::Matrix);
  detail::require_rhs_f64_cpu(B, "lstsq");
  const Eigen::Index m = operand.matrices.rows;
  const Eigen::Index n = operand.matrices.cols;
  const auto solve_zero = [n](const auto& b) { return zero_solution(b, n); };

  // The QR cannot take a matrix without columns; with no rows or no columns
  // there is nothing to determine and every unknown is zero (NaN for a
  // non-finite column of B).
  if (m == 0 || n == 0) {
    require_right_hand_side(B, m);
    return LstsqResult{solution_of(B, n, solve_zero), 0};
  }

  Eigen::MatrixXd a(m, n);
  kernels::Gather<Eigen::MatrixXd>(operand.matrices, m, n)(operand.matrices.data, a);
  // Read before the factorisation overwrites A in place.
  const bool finite = a.allFinite();
  const Eigen::ColPivHouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(a);
  const std::int64_t rank = qr.rank();
  require_right_hand_side(B, m);
  if (!finite) {
    return LstsqResult{solution_of(B, n, [n](const auto& b) { return nan_solution(b, n); }), rank};
  }
  // For an all-zero A the factorisation still counts every pivot as non-zero
  // and its triangular solve divides 0 by 0; no pivot column is meaningful, so
  // every unknown is zero, and non-finite columns of B still propagate.
  if (rank == 0 && (qr.matrixQR().array() == 0.0).all()) {
    return LstsqResult{solution_of(B, n, solve_zero), rank};
  }
  return LstsqResult{solution_of(B, n, [&qr](const auto& b) { return qr.solve(b); }), rank};
}

}  // namespace zorvane::linalg

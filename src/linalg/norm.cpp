// The Frobenius, induced 1-, induced infinity- and spectral norms.
#include <cmath>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kUnknownKind = " received an unknown NormKind";

/// The largest absolute column sum; a NaN entry makes the norm NaN rather
/// than letting the maximum skip its column.
double largest_column_sum(const Eigen::MatrixXd& a) {
  return a.cwiseAbs().colwise().sum().maxCoeff<Eigen::PropagateNaN>();
}

double largest_row_sum(const Eigen::MatrixXd& a) {
  return a.cwiseAbs().rowwise().sum().maxCoeff<Eigen::PropagateNaN>();
}

/// The largest singular value, from the SVD engine without singular vectors.
double largest_singular_value(const Eigen::MatrixXd& a, kernels::SvdEngine& engine) {
  engine.compute(a, 0);
  if (engine.info() != Eigen::Success) {
    detail::throw_numerical_error("norm", " (spectral) failed -- SVD did not converge");
  }
  return engine.singularValues()(0);
}

/// The norm `kind` of the working matrix `a`.
double norm_of(const Eigen::MatrixXd& a, NormKind kind, kernels::SvdEngine& engine) {
  // Every norm of an empty matrix is 0, and JacobiSVD cannot take one.
  if (a.size() == 0) return 0.0;
  switch (kind) {
    case NormKind::Frobenius:
      // A plain sum of squares, without the rescaling that would avoid overflow.
      return std::sqrt(a.squaredNorm());
    case NormKind::One:
      return largest_column_sum(a);
    case NormKind::Inf:
      return largest_row_sum(a);
    case NormKind::Spectral:
      return largest_singular_value(a, engine);
  }
  detail::throw_argument_error("norm", kUnknownKind);
}

/// The norm `kind` of each of the operand's matrices into `norms`, 0 for an
/// empty matrix whatever the kind.
ZORVANE_ONE_COPY void norms_of(const entry::Operand& A, NormKind kind, double* norms) {
  // An unknown kind is the call's error, not one matrix's; the norm of an
  // empty matrix never looks at it.
  const bool empty = A.matrices.rows == 0 || A.matrices.cols == 0;
  if (!empty && (kind < NormKind::Frobenius || kind > NormKind::Spectral)) {
    detail::throw_argument_error("norm", kUnknownKind);
  }
  Eigen::MatrixXd a(A.matrices.rows, A.matrices.cols);
  kernels::SvdEngine engine;
  kernels::Gather<Eigen::MatrixXd> gather(A.matrices, A.matrices.rows, A.matrices.cols);
  kernels::for_each_matrix(A.batch, A.matrices, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    norms[b] = norm_of(a, kind, engine);
  });
}

}  // namespace

double norm(const Tensor& A, NormKind kind) {
  return entry::one_number(
      entry::matrices(A, "norm", entry::Form::Matrix),
      [kind](const entry::Operand& a, double* out) { norms_of(a, kind, out); });
}

Tensor batched::norm(const Tensor& A, NormKind kind) {
  return entry::numbers(entry::matrices(A, "norm", entry::Form::Stack),
                        [kind](const entry::Operand& a, double* out) { norms_of(a, kind, out); });
}

}  // namespace zorvane::linalg

// The Frobenius, induced 1-, induced infinity- and spectral norms.
#include <cmath>

#include "checks.h"
#include "dense.h"
#include "kernels.h"

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

}  // namespace

void kernels::require_norm_kind(NormKind kind) {
  if (kind < NormKind::Frobenius || kind > NormKind::Spectral) {
    detail::throw_argument_error("norm", kUnknownKind);
  }
}

namespace {

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

}  // namespace

void kernels::norm(const Extents& batch, const Matrices& A, NormKind kind, double* norms) {
  Eigen::MatrixXd a(A.rows, A.cols);
  SvdEngine engine;
  Gather<Eigen::MatrixXd> gather(A, A.rows, A.cols);
  for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    norms[b] = norm_of(a, kind, engine);
  });
}

double norm(const Tensor& A, NormKind kind) {
  detail::require_2d_f64_cpu(A, "norm");
  double result = 0.0;
  kernels::norm({}, kernels::matrices_of(A), kind, &result);
  return result;
}

}  // namespace zorvane::linalg

// cholesky: the lower factor L of a symmetric positive-definite A = L · Lᵀ.
#include "kernels.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kCholesky = "cholesky";

}  // namespace

namespace kernels {

void cholesky(Eigen::MatrixXd& a, double* factor) {
  detail::require_symmetric(a, kCholesky);
  const std::int64_t n = a.rows();
  if (n == 0) return;

  // Only the lower triangle is read, so an asymmetry within the tolerance
  // never reaches the factor. Factorising the private copy in place runs the
  // same elimination as LLT<MatrixXd> without a second n x n buffer.
  const Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower> llt(a);
  if (llt.info() != Eigen::Success) {
    detail::throw_numerical_error(kCholesky, " failed -- matrix is not positive-definite");
  }
  // A triangular view assigned to a dense matrix writes +0.0 above the diagonal.
  RowMajorMap(factor, n, n) = llt.matrixL();
}

}  // namespace kernels

Tensor cholesky(const Tensor& A) {
  detail::require_square_f64_cpu(A, kCholesky);
  Eigen::MatrixXd a = detail::gather_matrix(A);
  const std::int64_t n = a.rows();
  Tensor factor = detail::new_matrix_tensor(n, n);
  kernels::cholesky(a, factor.data());
  return factor;
}

}  // namespace zorvane::linalg

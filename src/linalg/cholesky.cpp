// cholesky: the lower factor L of a symmetric positive-definite A = L · Lᵀ.
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

Tensor cholesky(const Tensor& A) {
  constexpr const char* kCholesky = "cholesky";
  detail::require_square_f64_cpu(A, kCholesky);
  Eigen::MatrixXd a = detail::gather_matrix(A);
  detail::require_symmetric(a, kCholesky);
  const std::int64_t n = a.rows();
  if (n == 0) return detail::new_matrix_tensor(0, 0);

  // Only the lower triangle is read, so an asymmetry within the tolerance
  // never reaches the factor. Factorising the private copy in place runs the
  // same elimination as LLT<MatrixXd> without a second n x n buffer.
  const Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower> llt(a);
  if (llt.info() != Eigen::Success) {
    detail::throw_numerical_error(kCholesky, " failed -- matrix is not positive-definite");
  }
  Tensor factor = detail::new_matrix_tensor(n, n);
  // A triangular view assigned to a dense matrix writes +0.0 above the diagonal.
  detail::row_major_view(factor, n, n) = llt.matrixL();
  return factor;
}

}  // namespace zorvane::linalg

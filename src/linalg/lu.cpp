// Full-pivot LU with rank, determinant and singular flag, and the determinant.
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

LUResult lu(const Tensor& A) {
  detail::require_square_f64_cpu(A, "lu");
  return detail::lu_factor(A);
}

double det(const Tensor& A) {
  detail::require_square_f64_cpu(A, "det");
  if (A.shape()[0] == 0) return 1.0;  // the empty product; FullPivLU cannot take 0 x 0
  // The determinant of the same decomposition as lu_factor, without packing
  // the four factors that det would throw away.
  Eigen::MatrixXd packed = detail::gather_matrix(A);
  return Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>>(packed).determinant();
}

}  // namespace zorvane::linalg

// Thin Householder QR without pivoting.
#include <algorithm>

#include "kernels.h"

namespace zorvane::linalg {

void kernels::qr_factors(const InPlaceQR& householder, double* Q, double* R) {
  const Eigen::Index m = householder.rows();
  const Eigen::Index n = householder.cols();
  const Eigen::Index k = std::min(m, n);
  // The product with the identity's first k columns lets Eigen skip the work
  // on the columns of Q that the thin factor drops.
  const Eigen::MatrixXd thin_q = householder.householderQ() * Eigen::MatrixXd::Identity(m, k);
  RowMajorMap(Q, m, k) = thin_q;
  // The packed matrix holds the reflectors below the diagonal; R keeps exact zeros there.
  RowMajorMap(R, k, n) = householder.matrixQR().topRows(k).triangularView<Eigen::Upper>();
}

QRResult qr(const Tensor& A) {
  detail::require_2d_f64_cpu(A, "qr");
  const std::int64_t m = A.shape()[0];
  const std::int64_t n = A.shape()[1];
  const std::int64_t k = std::min(m, n);
  Tensor Q = detail::new_matrix_tensor(m, k);
  Tensor R = detail::new_matrix_tensor(k, n);
  if (k == 0) return QRResult{std::move(Q), std::move(R)};  // nothing to reflect

  // Decomposing the private copy in place gives the same reflectors as a
  // HouseholderQR<MatrixXd> without a second m x n buffer.
  Eigen::MatrixXd packed = detail::gather_matrix(A);
  const kernels::InPlaceQR householder(packed);
  kernels::qr_factors(householder, Q.data(), R.data());
  return QRResult{std::move(Q), std::move(R)};
}

}  // namespace zorvane::linalg

// Thin Householder QR without pivoting.
#include <algorithm>

#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

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
  const Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> householder(packed);
  // The product with the identity's first k columns lets Eigen skip the work
  // on the columns of Q that the thin factor drops.
  const Eigen::MatrixXd thin_q = householder.householderQ() * Eigen::MatrixXd::Identity(m, k);
  detail::row_major_view(Q, m, k) = thin_q;
  // The packed matrix holds the reflectors below the diagonal; R keeps exact zeros there.
  detail::row_major_view(R, k, n) =
      householder.matrixQR().topRows(k).triangularView<Eigen::Upper>();
  return QRResult{std::move(Q), std::move(R)};
}

}  // namespace zorvane::linalg

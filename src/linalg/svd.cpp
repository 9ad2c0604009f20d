// Thin singular value decomposition.
#include <algorithm>

#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

SVDResult svd(const Tensor& A) {
  detail::require_2d_f64_cpu(A, "svd");
  const std::int64_t m = A.shape()[0];
  const std::int64_t n = A.shape()[1];
  const std::int64_t k = std::min(m, n);
  // The engine scales by the largest entry before it looks at the matrix and
  // reads past an empty one, so the empty factors are returned as they are.
  if (k == 0) {
    return SVDResult{detail::new_matrix_tensor(m, 0), detail::new_vector_tensor(0),
                     detail::new_matrix_tensor(0, n)};
  }

  const detail::SvdEngine engine(detail::gather_matrix(A), detail::kThinSvdOptions);
  // A NaN or infinite entry leaves the engine without a scale: it reports
  // invalid input and computes nothing.
  if (engine.info() != Eigen::Success) detail::throw_numerical_error("svd", " failed to converge");

  Tensor U = detail::new_matrix_tensor(m, k);
  Tensor S = detail::new_vector_tensor(k);
  Tensor Vt = detail::new_matrix_tensor(k, n);
  detail::row_major_view(U, m, k) = engine.matrixU();
  detail::vector_view(S, k) = engine.singularValues();
  detail::row_major_view(Vt, k, n) = engine.matrixV().transpose();
  return SVDResult{std::move(U), std::move(S), std::move(Vt)};
}

}  // namespace zorvane::linalg

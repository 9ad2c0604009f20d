// Thin singular value decomposition.
#include <algorithm>

#include "kernels.h"

namespace zorvane::linalg {

void kernels::svd(const Eigen::MatrixXd& a, SvdEngine& engine) {
  engine.compute(a, kThinSvdOptions);
  // A NaN or infinite entry leaves the engine without a scale: it reports
  // invalid input and computes nothing.
  if (engine.info() != Eigen::Success) detail::throw_numerical_error("svd", " failed to converge");
}

void kernels::svd_factors(const SvdEngine& engine, double* U, double* S, double* Vt) {
  const Eigen::Index m = engine.rows();
  const Eigen::Index n = engine.cols();
  const Eigen::Index k = std::min(m, n);
  RowMajorMap(U, m, k) = engine.matrixU();
  VectorMap(S, k) = engine.singularValues();
  RowMajorMap(Vt, k, n) = engine.matrixV().transpose();
}

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

  kernels::SvdEngine engine;
  kernels::svd(detail::gather_matrix(A), engine);
  Tensor U = detail::new_matrix_tensor(m, k);
  Tensor S = detail::new_vector_tensor(k);
  Tensor Vt = detail::new_matrix_tensor(k, n);
  kernels::svd_factors(engine, U.data(), S.data(), Vt.data());
  return SVDResult{std::move(U), std::move(S), std::move(Vt)};
}

}  // namespace zorvane::linalg

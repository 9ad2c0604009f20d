// Thin singular value decomposition.
#include <algorithm>

#include "checks.h"
#include "dense.h"
#include "kernels.h"
#include "transfer.h"

namespace zorvane::linalg {
namespace {

/// The thin factors: Eigen 3.4 has no thin option for fixed-size input, but
/// for a square matrix the full factors are the thin ones.
template <int N>
constexpr unsigned kFactorOptions =
    N == Eigen::Dynamic ? kernels::kThinSvdOptions : Eigen::ComputeFullU | Eigen::ComputeFullV;

template <int N>
void decompose_each(const kernels::Extents& batch, const kernels::Matrices& A, double* U,
                    double* S, double* Vt) {
  using Work = kernels::Square<N>;
  const Eigen::Index m = A.rows;
  const Eigen::Index n = A.cols;
  const Eigen::Index k = std::min(m, n);
  Work a(m, n);
  Eigen::JacobiSVD<Work> engine;
  kernels::Gather<Work> gather(A, m, n);
  kernels::for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    engine.compute(a, kFactorOptions<N>);
    // A NaN or infinite entry leaves the engine without a scale: it reports
    // invalid input and computes nothing.
    if (engine.info() != Eigen::Success)
      detail::throw_numerical_error("svd", " failed to converge");
    kernels::row_major_map<Work>(U + b * m * k, m, k) = engine.matrixU();
    kernels::VectorMap(S + b * k, k) = engine.singularValues();
    kernels::row_major_map<Work>(Vt + b * k * n, k, n) = engine.matrixV().transpose();
  });
}

}  // namespace

void kernels::svd(const Extents& batch, const Matrices& A, double* U, double* S, double* Vt) {
  // The engine scales by the largest entry before it looks at the matrix and
  // reads past an empty one, so empty factors are left as they are.
  if (std::min(A.rows, A.cols) == 0) return;
  with_order(square_order(A.rows, A.cols),
             [&](auto order) { decompose_each<decltype(order)::value>(batch, A, U, S, Vt); });
}

SVDResult svd(const Tensor& A) {
  detail::require_2d_f64_cpu(A, "svd");
  const std::int64_t m = A.shape()[0];
  const std::int64_t n = A.shape()[1];
  const std::int64_t k = std::min(m, n);
  SVDResult result{detail::new_matrix_tensor(m, k), detail::new_vector_tensor(k),
                   detail::new_matrix_tensor(k, n)};
  kernels::svd({}, kernels::matrices_of(A), result.U.data(), result.S.data(), result.Vt.data());
  return result;
}

}  // namespace zorvane::linalg

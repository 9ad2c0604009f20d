// cholesky: the lower factor L of a symmetric positive-definite A = L · Lᵀ.
#include <Eigen/Cholesky>
#include <type_traits>

#include "checks.h"
#include "dense.h"
#include "kernels.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kCholesky = "cholesky";

/// LLT on the lower triangle: in place over the dynamic working matrix, the
/// same elimination as LLT<MatrixXd> without a second n x n buffer.
template <int N>
using CholeskyOf = std::conditional_t<N == Eigen::Dynamic,
                                      Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower>,
                                      Eigen::LLT<kernels::Square<N>, Eigen::Lower>>;

template <int N>
void factor_each(const kernels::Extents& batch, const kernels::Matrices& A, double* factors) {
  const Eigen::Index n = A.rows;
  kernels::Square<N> a(n, n);
  kernels::ReusedDecomposition<CholeskyOf<N>, kernels::Square<N>> reused;
  kernels::Gather<kernels::Square<N>> gather(A, n, n);
  kernels::for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    // Only the lower triangle is read, so an asymmetry within the tolerance
    // never reaches the factor.
    detail::require_symmetric(a, kCholesky);
    const CholeskyOf<N>& llt = reused.compute(a);
    if (llt.info() != Eigen::Success) {
      detail::throw_numerical_error(kCholesky, " failed -- matrix is not positive-definite");
    }
    // A triangular view assigned to a dense matrix writes +0.0 above the
    // diagonal; so does setZero, after a dynamic factor's copy in tiles.
    auto factor = kernels::row_major_map<kernels::Square<N>>(factors + b * n * n, n, n);
    if constexpr (N == Eigen::Dynamic) {
      kernels::copy_in_tiles(factor, llt.matrixLLT());
      factor.template triangularView<Eigen::StrictlyUpper>().setZero();
    } else {
      factor = llt.matrixL();
    }
  });
}

}  // namespace

void kernels::cholesky(const Extents& batch, const Matrices& A, double* factors) {
  // An empty matrix is symmetric and its own factor.
  if (A.rows == 0) return;
  with_order(A.rows, [&](auto order) { factor_each<decltype(order)::value>(batch, A, factors); });
}

Tensor cholesky(const Tensor& A) {
  detail::require_square_f64_cpu(A, kCholesky);
  const std::int64_t n = A.shape()[0];
  Tensor factor = detail::new_matrix_tensor(n, n);
  kernels::cholesky({}, kernels::matrices_of(A), factor.data());
  return factor;
}

}  // namespace zorvane::linalg

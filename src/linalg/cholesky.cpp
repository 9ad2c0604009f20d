// cholesky: the lower factor L of a symmetric positive-definite A = L · Lᵀ.
#include <Eigen/Cholesky>
#include <type_traits>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

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

/// The lower factors (..., n, n) of the operand's matrices.
ZORVANE_ONE_COPY Tensor factors_of(const entry::Operand& A) {
  const std::int64_t n = A.matrices.rows;
  Tensor factors = entry::stacked(A.batch, {n, n});
  // An empty matrix is symmetric and its own factor.
  if (n == 0) return factors;
  kernels::with_order(n, [&](auto order) {
    factor_each<decltype(order)::value>(A.batch, A.matrices, factors.data());
  });
  return factors;
}

}  // namespace

Tensor cholesky(const Tensor& A) {
  return factors_of(entry::square_matrices(A, kCholesky, entry::Form::Matrix));
}

Tensor batched::cholesky(const Tensor& A) {
  return factors_of(entry::square_matrices(A, kCholesky, entry::Form::Stack));
}

}  // namespace zorvane::linalg

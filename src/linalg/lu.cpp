// Full-pivot LU with rank, determinant and singular flag, and the determinant.
#include "kernels.h"
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

namespace kernels {

LUScalars lu_factors(const InPlaceLU& lu, double* L, double* U, double* P, double* Q) {
  const Eigen::Index n = lu.matrixLU().rows();
  RowMajorMap(L, n, n) = lu.matrixLU().triangularView<Eigen::UnitLower>();
  RowMajorMap(U, n, n) = lu.matrixLU().triangularView<Eigen::Upper>();
  // The dense form of a permutation: column i holds its single 1 in row indices(i).
  const auto dense_permutation = [n](const auto& permutation, double* out) {
    RowMajorMap dense(out, n, n);
    dense.setZero();
    for (Eigen::Index i = 0; i < n; ++i) dense(permutation.indices()(i), i) = 1.0;
  };
  dense_permutation(lu.permutationP(), P);
  dense_permutation(lu.permutationQ(), Q);
  return LUScalars{static_cast<std::int64_t>(lu.rank()), lu.determinant(), !lu.isInvertible()};
}

}  // namespace kernels

namespace detail {

LUResult lu_factor(const Tensor& A) {
  const std::int64_t n = A.shape()[0];
  Tensor L = new_matrix_tensor(n, n);
  Tensor U = new_matrix_tensor(n, n);
  Tensor P = new_matrix_tensor(n, n);
  Tensor Q = new_matrix_tensor(n, n);
  // FullPivLU cannot take an empty matrix; the empty product is 1 and the
  // empty matrix is invertible.
  if (n == 0) {
    return LUResult{std::move(L), std::move(U), std::move(P), std::move(Q), 0, 1.0, false};
  }
  // Factorising the private copy in place gives the same bits as a
  // FullPivLU<MatrixXd> and saves a second n x n buffer.
  Eigen::MatrixXd packed = gather_matrix(A);
  const kernels::InPlaceLU lu(packed);
  const kernels::LUScalars s = kernels::lu_factors(lu, L.data(), U.data(), P.data(), Q.data());
  return LUResult{std::move(L), std::move(U),  std::move(P), std::move(Q),
                  s.rank,       s.determinant, s.singular};
}

}  // namespace detail

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

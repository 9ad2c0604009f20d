// The full-pivot LU family: the factors with rank, determinant and singular
// flag, the determinant alone, and the linear solve and inverse, which reject
// what the factorisation judges singular. All four run one FullPivotLU.
#include "kernels.h"

namespace zorvane::linalg {

namespace kernels {

void FullPivotLU::factorise(const double* a, std::int64_t s0, std::int64_t s1) {
  if (packed_.size() == 0) return;
  detail::gather_into(a, s0, s1, packed_);
  lu_ = &reused_.compute(packed_);
}

std::int64_t FullPivotLU::rank() const { return lu_ ? lu_->rank() : 0; }

double FullPivotLU::determinant() const { return lu_ ? lu_->determinant() : 1.0; }

bool FullPivotLU::singular() const { return lu_ && !lu_->isInvertible(); }

void FullPivotLU::require_invertible(const char* operation) const {
  if (singular()) detail::throw_numerical_error(operation, kSingular);
}

void FullPivotLU::factors(double* L, double* U, double* P, double* Q) const {
  if (!lu_) return;
  const Eigen::Index n = packed_.rows();
  RowMajorMap(L, n, n) = lu_->matrixLU().triangularView<Eigen::UnitLower>();
  RowMajorMap(U, n, n) = lu_->matrixLU().triangularView<Eigen::Upper>();
  // The dense form of a permutation: column i holds its single 1 in row indices(i).
  const auto dense_permutation = [n](const auto& permutation, double* out) {
    RowMajorMap dense(out, n, n);
    dense.setZero();
    for (Eigen::Index i = 0; i < n; ++i) dense(permutation.indices()(i), i) = 1.0;
  };
  dense_permutation(lu_->permutationP(), P);
  dense_permutation(lu_->permutationQ(), Q);
}

void FullPivotLU::inverse(double* out) const {
  if (lu_) RowMajorMap(out, packed_.rows(), packed_.cols()) = lu_->inverse();
}

}  // namespace kernels

namespace detail {

LUResult lu_factor(const Tensor& A) {
  const std::int64_t n = A.shape()[0];
  kernels::FullPivotLU lu(n);
  lu.factorise(A);
  LUResult result{new_matrix_tensor(n, n), new_matrix_tensor(n, n), new_matrix_tensor(n, n),
                  new_matrix_tensor(n, n), lu.rank(), lu.determinant(), lu.singular()};
  lu.factors(result.L.data(), result.U.data(), result.P.data(), result.Q.data());
  return result;
}

}  // namespace detail

LUResult lu(const Tensor& A) {
  detail::require_square_f64_cpu(A, "lu");
  return detail::lu_factor(A);
}

double det(const Tensor& A) {
  detail::require_square_f64_cpu(A, "det");
  kernels::FullPivotLU lu(A.shape()[0]);
  lu.factorise(A);
  return lu.determinant();
}

Tensor solve(const Tensor& A, const Tensor& B) {
  detail::require_square_f64_cpu(A, "solve");
  detail::require_rhs_f64_cpu(B, "solve");
  const std::int64_t n = A.shape()[0];
  kernels::FullPivotLU lu(n);
  lu.factorise(A);
  lu.require_invertible("solve");
  // B's shape is checked even for the empty system, whose solution is empty.
  return detail::solve_right_hand_side(B, n, n, "solve", kernels::kRowsMismatch,
                                       kernels::kLengthMismatch,
                                       [&lu](const auto& rhs) { return lu.solve(rhs); });
}

Tensor inv(const Tensor& A) {
  detail::require_square_f64_cpu(A, "inv");
  const std::int64_t n = A.shape()[0];
  kernels::FullPivotLU lu(n);
  lu.factorise(A);
  lu.require_invertible("inv");
  Tensor X = detail::new_matrix_tensor(n, n);
  lu.inverse(X.data());
  return X;
}

}  // namespace zorvane::linalg

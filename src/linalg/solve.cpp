// Linear solve and inverse through one full-pivot LU per call.
#include <type_traits>

#include "kernels.h"
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {
namespace {

using kernels::InPlaceLU;
using kernels::kLengthMismatch;
using kernels::kRowsMismatch;
using kernels::kSingular;

}  // namespace

void kernels::require_invertible(const InPlaceLU& lu, const char* operation) {
  if (!lu.isInvertible()) detail::throw_numerical_error(operation, kSingular);
}

Tensor solve(const Tensor& A, const Tensor& B) {
  detail::require_square_f64_cpu(A, "solve");
  detail::require_rhs_f64_cpu(B, "solve");
  const std::int64_t n = A.shape()[0];
  if (n == 0) {
    // FullPivLU cannot take 0 x 0; the empty system has the empty solution
    // (every right-hand side of it is empty), but B's shape is still checked.
    return detail::solve_right_hand_side(B, 0, 0, "solve", kRowsMismatch, kLengthMismatch,
                                         [](const auto& rhs) { return rhs; });
  }
  Eigen::MatrixXd packed = detail::gather_matrix(A);
  const InPlaceLU lu(packed);
  kernels::require_invertible(lu, "solve");
  return detail::solve_right_hand_side(B, n, n, "solve", kRowsMismatch, kLengthMismatch,
                                       [&lu](const auto& rhs) {
                                         using Dense = std::decay_t<decltype(rhs)>;
                                         return Dense(lu.solve(rhs));
                                       });
}

Tensor inv(const Tensor& A) {
  detail::require_square_f64_cpu(A, "inv");
  const std::int64_t n = A.shape()[0];
  Tensor X = detail::new_matrix_tensor(n, n);
  if (n == 0) return X;  // FullPivLU cannot take 0 x 0
  Eigen::MatrixXd packed = detail::gather_matrix(A);
  const InPlaceLU lu(packed);
  kernels::require_invertible(lu, "inv");
  detail::row_major_view(X, n, n) = lu.inverse();
  return X;
}

}  // namespace zorvane::linalg

// Linear solve and inverse through one full-pivot LU per call.
#include <type_traits>

#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kSingular = " failed -- matrix A is singular or numerically singular";
constexpr const char* kRowsMismatch = " shape mismatch -- A is n x n but B has rows != n";
constexpr const char* kLengthMismatch = " shape mismatch -- A is n x n but B has length != n";

// The private copy of A is factorised in place; the results are bit for bit
// those of a FullPivLU<MatrixXd>.
using InPlaceLU = Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>>;

}  // namespace

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
  if (!lu.isInvertible()) detail::throw_numerical_error("solve", kSingular);
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
  if (!lu.isInvertible()) detail::throw_numerical_error("inv", kSingular);
  detail::row_major_view(X, n, n) = lu.inverse();
  return X;
}

}  // namespace zorvane::linalg

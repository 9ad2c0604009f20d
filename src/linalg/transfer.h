// The library's transfers beyond the exported ones of detail.h: vectors and
// right-hand sides of one or two dimensions. Private to the library: not installed, not exported.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <type_traits>

#include "zorvane/linalg/detail.h"

namespace zorvane::linalg::detail {

inline constexpr const char* kRequiresRhs1dOr2d = " requires B to be a 1-D or 2-D tensor";

/// A new tensor of shape {n}, float64 on the CPU.
inline Tensor new_vector_tensor(std::int64_t n) {
  return Tensor(Shape{static_cast<long>(n)}, DType::Float64, Device{DeviceKind::CPU, -1});
}

/// Copies a 1-D tensor of any stride into a new dense vector.
inline Eigen::VectorXd gather_vector(const Tensor& t) {
  Eigen::VectorXd v(t.shape()[0]);
  gather_into(t.data(), t.strides()[0], 0, v);
  return v;
}

/// Copies a dense vector into a new 1-D tensor.
inline Tensor scatter_vector(const Eigen::VectorXd& v) {
  Tensor t = new_vector_tensor(v.size());
  if (v.size() > 0) Eigen::Map<Eigen::VectorXd>(t.data(), v.size()) = v;
  return t;
}

/// Solves for a right-hand side B of shape (rows) or (rows, k), gathered and
/// scattered like any other argument, giving a solution of `unknowns` rows
/// (and k columns). `solve_dense` maps a dense right-hand side to its solution
/// (or an expression of it), evaluated here into a dense result of the same kind. A right-hand side
/// without entries never reaches it: Eigen's solvers bind a reference to the first entry, and the
/// solution of such a system is all zero (that is, empty or of zero columns).
template <class SolveDense>
Tensor solve_right_hand_side(const Tensor& B, std::int64_t rows, std::int64_t unknowns,
                             const char* operation, const char* rows_mismatch,
                             const char* length_mismatch, SolveDense&& solve_dense) {
  const auto solve_or_zero = [&](const auto& rhs) {
    using Dense = std::decay_t<decltype(rhs)>;
    if (rhs.size() == 0) return Dense(Dense::Zero(unknowns, rhs.cols()));
    return Dense(solve_dense(rhs));
  };
  if (B.ndim() == 2) {
    if (B.shape()[0] != rows) throw_argument_error(operation, rows_mismatch);
    return scatter_matrix(solve_or_zero(gather_matrix(B)));
  }
  if (B.ndim() == 1) {
    if (B.shape()[0] != rows) throw_argument_error(operation, length_mismatch);
    return scatter_vector(solve_or_zero(gather_vector(B)));
  }
  throw_argument_error(operation, kRequiresRhs1dOr2d);
}

}  // namespace zorvane::linalg::detail

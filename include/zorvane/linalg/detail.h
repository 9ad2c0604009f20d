/// @file
/// The shared helpers every operation is built on, for callers that build on
/// them too: the argument checks, the transfer between tensors and dense
/// working matrices, and the full-pivot LU kernel. The checks and transfers are
/// inline; the library exports each of them as a weak symbol and binds its own
/// calls to its own copies, so code compiled with other flags never mixes with
/// the library's. Nothing else in this header is exported.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "zorvane/core/tensor.h"
#include "zorvane/linalg/linalg.h"

namespace zorvane::linalg::detail {

// ---- what the exported helpers are made of (not exported) ------------------

/// Suffixes of the argument-error messages "zorvane: <operation><suffix>".
inline constexpr const char* kRequires2d = " requires a 2-D tensor";
inline constexpr const char* kRequiresSquare = " requires a square 2-D tensor";
inline constexpr const char* kRequiresFloat64 =
    " requires float64 (ADR-05: no silent dtype conversion)";
inline constexpr const char* kRequiresCpu =
    " is implemented for the CPU backend only (ADR-05: no silent fallback)";

/// Throws std::invalid_argument("zorvane: " + operation + suffix).
[[noreturn]] inline void throw_argument_error(const char* operation, const char* suffix) {
  throw std::invalid_argument(std::string("zorvane: ") + operation + suffix);
}

/// The dtype and device tests that every tensor argument passes after its shape test.
inline void require_f64_cpu(const Tensor& t, const char* operation,
                            const char* dtype_suffix = kRequiresFloat64) {
  if (t.dtype() != DType::Float64) throw_argument_error(operation, dtype_suffix);
  if (t.device().kind != DeviceKind::CPU) throw_argument_error(operation, kRequiresCpu);
}

/// Copies the matrix (or, with one column, the vector) at `src` (element
/// strides s0, s1) into `m`, which already has its size. Each element is
/// addressed on its own (i·s0 + j·s1), so no sum of strides can overflow.
template <class Dense>
void gather_into(const double* src, std::int64_t s0, std::int64_t s1, Dense& m) {
  for (Eigen::Index j = 0; j < m.cols(); ++j) {
    for (Eigen::Index i = 0; i < m.rows(); ++i) m(i, j) = src[i * s0 + j * s1];
  }
}

using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

/// A new tensor of shape {rows, cols}, float64 on the CPU, row-major.
inline Tensor new_matrix_tensor(std::int64_t rows, std::int64_t cols) {
  return Tensor(Shape{static_cast<long>(rows), static_cast<long>(cols)}, DType::Float64,
                Device{DeviceKind::CPU, -1});
}

// ---- the exported helpers ---------------------------------------------------

/// Throws unless `t` is two-dimensional, float64 and on the CPU, tested in that order.
ZORVANE_LINALG_API inline void require_2d_f64_cpu(const Tensor& t, const char* operation) {
  if (t.ndim() != 2) throw_argument_error(operation, kRequires2d);
  require_f64_cpu(t, operation);
}

/// Throws unless `t` is two-dimensional and square, float64 and on the CPU.
ZORVANE_LINALG_API inline void require_square_f64_cpu(const Tensor& t, const char* operation) {
  if (t.ndim() != 2 || t.shape()[0] != t.shape()[1]) {
    throw_argument_error(operation, kRequiresSquare);
  }
  require_f64_cpu(t, operation);
}

/// Copies a validated 2-D tensor of any strides into a new column-major matrix.
ZORVANE_LINALG_API inline Eigen::MatrixXd gather_matrix(const Tensor& t) {
  Eigen::MatrixXd m(t.shape()[0], t.shape()[1]);
  gather_into(t.data(), t.strides()[0], t.strides()[1], m);
  return m;
}

/// Copies a column-major matrix into a new contiguous row-major tensor.
ZORVANE_LINALG_API inline Tensor scatter_matrix(const Eigen::MatrixXd& m) {
  Tensor t = new_matrix_tensor(m.rows(), m.cols());
  if (m.size() > 0) Eigen::Map<RowMajorMatrix>(t.data(), m.rows(), m.cols()) = m;
  return t;
}

/// Full-pivot LU of a tensor that passed require_square_f64_cpu: P · A · Q =
/// L · U with the rank, determinant and singular flag of the decomposition's
/// default threshold. It checks nothing itself and never throws for singular
/// or non-finite input.
ZORVANE_LINALG_API LUResult lu_factor(const Tensor& A);

}  // namespace zorvane::linalg::detail

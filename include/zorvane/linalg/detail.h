// Shared internals of the linear-algebra backend: the argument checks, the
// transfer between tensors and dense working matrices, the symmetry test and
// the full-pivot LU kernel.
// They are inline so that every operation family uses one definition, and the
// library exports them (as weak symbols) for callers that build on them.
#pragma once

#include <Eigen/Dense>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "zorvane/core/tensor.h"
#include "zorvane/linalg/linalg.h"

namespace zorvane::linalg::detail {

/// Machine epsilon of float64, 2^-52.
inline constexpr double kEpsilon = 2.220446049250313e-16;

inline constexpr const char* kRequires2d = " requires a 2-D tensor";
inline constexpr const char* kRequiresSquare = " requires a square 2-D tensor";
inline constexpr const char* kRequiresFloat64 =
    " requires float64 (ADR-05: no silent dtype conversion)";
inline constexpr const char* kRequiresFloat64Rhs =
    " requires float64 right-hand side (ADR-05: no silent dtype conversion)";
inline constexpr const char* kRequiresCpu =
    " is implemented for the CPU backend only (ADR-05: no silent fallback)";
inline constexpr const char* kRequiresSymmetric = " requires a symmetric matrix";
inline constexpr const char* kRequiresRhs1dOr2d = " requires B to be a 1-D or 2-D tensor";

/// Throws std::invalid_argument("zorvane: " + operation + suffix).
[[noreturn]] ZORVANE_LINALG_API inline void throw_argument_error(const char* operation,
                                                                 const char* suffix) {
  throw std::invalid_argument(std::string("zorvane: ") + operation + suffix);
}

/// Throws std::runtime_error("zorvane: " + operation + suffix).
[[noreturn]] ZORVANE_LINALG_API inline void throw_numerical_error(const char* operation,
                                                                  const char* suffix) {
  throw std::runtime_error(std::string("zorvane: ") + operation + suffix);
}

/// The dtype and device tests that every tensor argument passes after its shape test.
ZORVANE_LINALG_API inline void require_f64_cpu(const Tensor& t, const char* operation,
                                               const char* dtype_suffix = kRequiresFloat64) {
  if (t.dtype() != DType::Float64) throw_argument_error(operation, dtype_suffix);
  if (t.device().kind != DeviceKind::CPU) throw_argument_error(operation, kRequiresCpu);
}

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

/// Throws unless the right-hand side `B` is float64 and on the CPU; its shape
/// is the operation's own business.
ZORVANE_LINALG_API inline void require_rhs_f64_cpu(const Tensor& B, const char* operation) {
  require_f64_cpu(B, operation, kRequiresFloat64Rhs);
}

/// Throws unless the square matrix `a` is symmetric to n · ε times its largest
/// entry. NaN entries take no part in either maximum, so a NaN never makes a
/// matrix asymmetric and never hides the scale of the other entries.
ZORVANE_LINALG_API inline void require_symmetric(const Eigen::MatrixXd& a, const char* operation) {
  const Eigen::Index n = a.rows();
  double largest = 0.0;
  double asymmetry = 0.0;
  for (Eigen::Index j = 0; j < n; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) {
      const double magnitude = std::abs(a(i, j));
      if (magnitude > largest) largest = magnitude;  // false for NaN
      if (i < j) {
        const double difference = std::abs(a(i, j) - a(j, i));
        if (difference > asymmetry) asymmetry = difference;
      }
    }
  }
  const double scale = largest > 0.0 ? largest : 1.0;
  const double tolerance = (static_cast<double>(n) * kEpsilon) * scale;
  if (asymmetry > tolerance) throw_argument_error(operation, kRequiresSymmetric);
}

/// A new tensor of shape {rows, cols} (or {n}), float64 on the CPU, row-major.
ZORVANE_LINALG_API inline Tensor new_matrix_tensor(std::int64_t rows, std::int64_t cols) {
  return Tensor(Shape{static_cast<long>(rows), static_cast<long>(cols)}, DType::Float64,
                Device{DeviceKind::CPU, -1});
}
ZORVANE_LINALG_API inline Tensor new_vector_tensor(std::int64_t n) {
  return Tensor(Shape{static_cast<long>(n)}, DType::Float64, Device{DeviceKind::CPU, -1});
}

using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

/// The storage of a freshly made row-major tensor seen as a matrix / vector.
inline Eigen::Map<RowMajorMatrix> row_major_view(Tensor& t, std::int64_t rows, std::int64_t cols) {
  return Eigen::Map<RowMajorMatrix>(t.data(), rows, cols);
}
inline Eigen::Map<Eigen::VectorXd> vector_view(Tensor& t, std::int64_t n) {
  return Eigen::Map<Eigen::VectorXd>(t.data(), n);
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

/// Copies a validated 2-D tensor of any strides into a new column-major matrix.
ZORVANE_LINALG_API inline Eigen::MatrixXd gather_matrix(const Tensor& t) {
  Eigen::MatrixXd m(t.shape()[0], t.shape()[1]);
  gather_into(t.data(), t.strides()[0], t.strides()[1], m);
  return m;
}

/// Copies a 1-D tensor of any stride into a new dense vector.
ZORVANE_LINALG_API inline Eigen::VectorXd gather_vector(const Tensor& t) {
  Eigen::VectorXd v(t.shape()[0]);
  gather_into(t.data(), t.strides()[0], 0, v);
  return v;
}

/// Copies a column-major matrix into a new contiguous row-major tensor.
ZORVANE_LINALG_API inline Tensor scatter_matrix(const Eigen::MatrixXd& m) {
  Tensor t = new_matrix_tensor(m.rows(), m.cols());
  if (m.size() > 0) row_major_view(t, m.rows(), m.cols()) = m;
  return t;
}

/// Copies a dense vector into a new 1-D tensor.
ZORVANE_LINALG_API inline Tensor scatter_vector(const Eigen::VectorXd& v) {
  Tensor t = new_vector_tensor(v.size());
  if (v.size() > 0) vector_view(t, v.size()) = v;
  return t;
}

/// Solves for a right-hand side B of shape (rows) or (rows, k), gathered and
/// scattered like any other argument, giving a solution of `unknowns` rows
/// (and k columns). `solve_dense` maps a dense right-hand side to the dense
/// solution of the same kind. A right-hand side without entries never reaches
/// it: Eigen's solvers bind a reference to the first entry, and the solution
/// of such a system is all zero (that is, empty or of zero columns).
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

/// The singular value engine shared by svd, pinv and the spectral norm.
using SvdEngine = Eigen::JacobiSVD<Eigen::MatrixXd>;
inline constexpr unsigned kThinSvdOptions = Eigen::ComputeThinU | Eigen::ComputeThinV;

/// Full-pivot LU of a tensor that passed require_square_f64_cpu: P · A · Q =
/// L · U with the rank, determinant and singular flag of the decomposition's
/// default threshold. It checks nothing itself and never throws for singular
/// or non-finite input. Defined in the library, out of line.
ZORVANE_LINALG_API LUResult lu_factor(const Tensor& A);

}  // namespace zorvane::linalg::detail

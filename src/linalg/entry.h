// The one entry layer over the kernels. Every operation runs a single
// function over an operand's matrices and the leading extents they are
// stacked over; a plain matrix is a stack with no leading dimension. The
// single-matrix and batched entry points only check their arguments with
// their own messages and call that function, so a plain matrix and its slice
// of a stack give the same bits; the single-matrix form's per-matrix numbers
// are written straight into the value it returns. Private to the library:
// not installed.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "checks.h"
#include "dense.h"
#include "stack.h"
#include "zorvane/linalg/detail.h"

/// Marks the one function that runs an operation for both forms: kept out of
/// line, so that the two entry points run the same machine code. Two inlined
/// copies of an engine may be optimised, and so round, differently.
#define ZORVANE_ONE_COPY [[gnu::noinline]]

namespace zorvane::linalg::entry {

using kernels::Extents;

/// How an operation was called: on one matrix (a 2-D tensor, checked with the
/// single-matrix messages) or on a stack of them (..., m, n).
enum class Form { Matrix, Stack };

/// The matrices of a checked argument and the leading extents they are
/// stacked over (none in the single-matrix form).
struct Operand {
  Extents batch;
  kernels::Matrices matrices;
};

inline constexpr const char* kRequiresMatrices = " requires a tensor of matrices (..., m, n)";
inline constexpr const char* kRequiresSquareMatrices =
    " requires a tensor of square matrices (..., n, n)";

inline Operand operand_of(const Tensor& t) {
  return Operand{kernels::batch_extents(t), kernels::matrices_of(t)};
}

/// Throws unless `t` holds matrices of `form`, float64, on the CPU.
inline Operand matrices(const Tensor& t, const char* operation, Form form) {
  if (form == Form::Matrix) {
    detail::require_2d_f64_cpu(t, operation);
  } else {
    if (t.ndim() < 2) detail::throw_argument_error(operation, kRequiresMatrices);
    detail::require_f64_cpu(t, operation);
  }
  return operand_of(t);
}

/// Throws unless `t` holds square matrices of `form`, float64, on the CPU.
inline Operand square_matrices(const Tensor& t, const char* operation, Form form) {
  if (form == Form::Matrix) {
    detail::require_square_f64_cpu(t, operation);
  } else {
    if (t.ndim() < 2 || t.shape()[t.ndim() - 1] != t.shape()[t.ndim() - 2]) {
      detail::throw_argument_error(operation, kRequiresSquareMatrices);
    }
    detail::require_f64_cpu(t, operation);
  }
  return operand_of(t);
}

/// A new contiguous CPU tensor of the leading extents followed by `tail`.
inline Tensor stacked(const Extents& batch, std::initializer_list<std::int64_t> tail,
                      DType dtype = DType::Float64) {
  // A single matrix's results cost no allocation beyond their own.
  if (batch.empty())
    return Tensor(Shape(tail.begin(), tail.size()), dtype, Device{DeviceKind::CPU, -1});
  Extents extents = batch;
  extents.insert(extents.end(), tail.begin(), tail.end());
  return Tensor(Shape(extents.data(), extents.size()), dtype, Device{DeviceKind::CPU, -1});
}

/// The elements of a vector (a 1-D tensor of any stride), gathered.
inline Eigen::VectorXd vector_of(const Tensor& t) {
  const kernels::Matrices column = kernels::column_of(t);
  Eigen::VectorXd v(column.rows);
  kernels::Gather<Eigen::VectorXd>(column, column.rows, 1)(column.data, v);
  return v;
}

/// A new 1-D tensor holding `v`.
inline Tensor tensor_of(const Eigen::VectorXd& v) {
  Tensor t = stacked({}, {v.size()});
  kernels::VectorMap(t.data(), v.size()) = v;
  return t;
}

/// The one number `run(A, out)` writes for the single-matrix form's matrix,
/// without a tensor to hold it.
template <class Run>
double one_number(const Operand& A, Run&& run) {
  double number = 0.0;
  run(A, &number);
  return number;
}

/// The numbers (...) `run(A, out)` writes, one per matrix of a stack.
template <class Run>
Tensor numbers(const Operand& A, Run&& run) {
  Tensor per_matrix = stacked(A.batch, {});
  run(A, per_matrix.data());
  return per_matrix;
}

/// What a right-hand side B whose rows do not match A's is told.
struct RowMismatch {
  const char* rows;    // B is (..., r, k)
  const char* length;  // B is (r)
};

inline constexpr const char* kRequiresRhs1dOr2d = " requires B to be a 1-D or 2-D tensor";
inline constexpr const char* kRequiresRhs = " requires B of shape (n) or (..., n, k)";

/// The message suffix for a right-hand side B that does not fit `rows` rows,
/// or null when it fits: B is a vector (rows) or matrices (rows, k), stacked
/// (..., rows, k) in the batched form.
inline const char* right_hand_side_error(const Tensor& B, std::int64_t rows, Form form,
                                         const RowMismatch& mismatch) {
  if (B.ndim() == 0 || (form == Form::Matrix && B.ndim() > 2)) {
    return form == Form::Matrix ? kRequiresRhs1dOr2d : kRequiresRhs;
  }
  if (B.ndim() == 1) return B.shape()[0] != rows ? mismatch.length : nullptr;
  return B.shape()[B.ndim() - 2] != rows ? mismatch.rows : nullptr;
}

/// The matrices of a right-hand side that fits: a vector is one column.
inline kernels::Matrices right_hand_sides(const Tensor& B) {
  return B.ndim() == 1 ? kernels::column_of(B) : kernels::matrices_of(B);
}

}  // namespace zorvane::linalg::entry

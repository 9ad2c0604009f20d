// trace: the diagonal summed in place.
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

/// The sum of each of the operand's diagonals into `traces`. Each offset is
/// formed from the strides separately: a sum of the two strides could
/// overflow where every real offset does not.
ZORVANE_ONE_COPY void diagonal_sums(const entry::Operand& A, double* traces) {
  const kernels::Matrices& a = A.matrices;
  kernels::for_each_matrix(A.batch, a, [&](std::int64_t b, const double* matrix) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < a.rows; ++i) sum += matrix[i * a.row_stride + i * a.col_stride];
    traces[b] = sum;
  });
}

}  // namespace

double trace(const Tensor& A) {
  return entry::one_number(entry::square_matrices(A, "trace", entry::Form::Matrix), diagonal_sums);
}

Tensor batched::trace(const Tensor& A) {
  return entry::numbers(entry::square_matrices(A, "trace", entry::Form::Stack), diagonal_sums);
}

}  // namespace zorvane::linalg

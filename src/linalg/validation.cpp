// trace: the diagonal summed in place.
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

/// The sum of each of the operand's diagonals (...). Each offset is formed
/// from the strides separately: a sum of the two strides could overflow
/// where every real offset does not.
ZORVANE_ONE_COPY Tensor traces_of(const entry::Operand& A) {
  const kernels::Matrices& a = A.matrices;
  Tensor traces = entry::stacked(A.batch, {});
  kernels::for_each_matrix(A.batch, a, [&](std::int64_t b, const double* matrix) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < a.rows; ++i) sum += matrix[i * a.row_stride + i * a.col_stride];
    traces.data()[b] = sum;
  });
  return traces;
}

}  // namespace

double trace(const Tensor& A) {
  return entry::only(traces_of(entry::square_matrices(A, "trace", entry::Form::Matrix)));
}

Tensor batched::trace(const Tensor& A) {
  return traces_of(entry::square_matrices(A, "trace", entry::Form::Stack));
}

}  // namespace zorvane::linalg

// trace: the diagonal summed in place.
#include "kernels.h"
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

double trace(const Tensor& A) {
  detail::require_square_f64_cpu(A, "trace");
  return kernels::diagonal_sum(A.data(), A.shape()[0], A.strides()[0], A.strides()[1]);
}

}  // namespace zorvane::linalg

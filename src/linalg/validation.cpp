// trace, and the one place that emits the inline helpers of detail.h into the
// library so that their weak definitions are exported to callers.
#include "kernels.h"
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

double trace(const Tensor& A) {
  detail::require_square_f64_cpu(A, "trace");
  return kernels::diagonal_sum(A.data(), A.shape()[0], A.strides()[0], A.strides()[1]);
}

namespace detail {
namespace {

// Taking the inline helpers' addresses in a table the linker must keep forces
// an out-of-line copy of each into the library, where it is exported.
struct ExportedHelpers {
  void (*require_2d)(const Tensor&, const char*);
  void (*require_square)(const Tensor&, const char*);
  Eigen::MatrixXd (*gather)(const Tensor&);
  Tensor (*scatter)(const Eigen::MatrixXd&);
};

[[maybe_unused]] __attribute__((used)) const ExportedHelpers kExportedHelpers = {
    &require_2d_f64_cpu,
    &require_square_f64_cpu,
    &gather_matrix,
    &scatter_matrix,
};

}  // namespace
}  // namespace detail
}  // namespace zorvane::linalg

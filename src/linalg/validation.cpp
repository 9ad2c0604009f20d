// trace, and the one place that emits the shared helpers of detail.h into the
// library so that their weak definitions are exported to callers.
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {

double trace(const Tensor& A) {
  detail::require_square_f64_cpu(A, "trace");
  const std::int64_t n = A.shape()[0];
  const std::int64_t s0 = A.strides()[0];
  const std::int64_t s1 = A.strides()[1];
  const double* a = A.data();
  double sum = 0.0;
  // Addressed per element like gather_matrix: each term is the offset of an
  // element inside the view, whereas s0 + s1 alone can overflow.
  for (std::int64_t i = 0; i < n; ++i) sum += a[i * s0 + i * s1];
  return sum;
}

namespace detail {
namespace {

// Taking the helpers' addresses in a table the linker must keep forces an
// out-of-line copy of each into the library.
struct ExportedHelpers {
  void (*require_2d)(const Tensor&, const char*);
  void (*require_square)(const Tensor&, const char*);
  void (*require_sym)(const Eigen::MatrixXd&, const char*);
  Eigen::MatrixXd (*gather)(const Tensor&);
  Eigen::VectorXd (*gather_vec)(const Tensor&);
  Tensor (*scatter)(const Eigen::MatrixXd&);
  Tensor (*scatter_vec)(const Eigen::VectorXd&);
  LUResult (*lu)(const Tensor&);
};

[[maybe_unused]] __attribute__((used)) const ExportedHelpers kExportedHelpers = {
    &require_2d_f64_cpu, &require_square_f64_cpu, &require_symmetric, &gather_matrix,
    &gather_vector,      &scatter_matrix,         &scatter_vector,    &lu_factor,
};

}  // namespace
}  // namespace detail
}  // namespace zorvane::linalg

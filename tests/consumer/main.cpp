// Builds against the installed package only: the public header, the detail
// header (which needs Eigen) and both shared libraries.
#include <cstdio>
#include <zorvane/linalg/detail.h>
#include <zorvane/linalg/linalg.h>

int main() {
  using namespace zorvane;
  Tensor a(Shape{2, 2}, DType::Float64, Device{DeviceKind::CPU, -1});
  const double values[] = {1.0, 2.0, 3.0, 4.0};
  for (int i = 0; i < 4; ++i) a.data()[i] = values[i];

  const Tensor transposed = a.as_strided(Shape{2, 2}, Strides{1, 2});
  linalg::detail::require_square_f64_cpu(transposed, "consumer");
  const Eigen::MatrixXd m = linalg::detail::gather_matrix(transposed);
  const double t = linalg::trace(transposed);
  std::printf("trace %.1f, m(0,1) %.1f\n", t, m(0, 1));
  return (t == 5.0 && m(0, 1) == 3.0) ? 0 : 1;
}

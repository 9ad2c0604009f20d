// A strided view of a larger buffer, validated and summed along its diagonal
// in place: no copy of the matrix is made.
#include <cstdio>
#include <zorvane/linalg/detail.h>
#include <zorvane/linalg/linalg.h>

int main() {
  using namespace zorvane;
  // A 6 x 6 buffer holding 10 * row + column.
  Tensor buffer(Shape{6, 6}, DType::Float64, Device{DeviceKind::CPU, -1});
  for (long i = 0; i < 6; ++i) {
    for (long j = 0; j < 6; ++j) buffer.data()[i * 6 + j] = 10.0 * i + j;
  }

  // Every other row and column from (1, 1): a 3 x 3 view with strides (12, 2).
  const Tensor view = buffer.as_strided(Shape{3, 3}, Strides{12, 2}, 7);
  linalg::detail::require_square_f64_cpu(view, "trace");
  const Eigen::MatrixXd m = linalg::detail::gather_matrix(view);

  std::printf("view of a 6 x 6 buffer, strides (%ld, %ld), offset 7:\n",
              static_cast<long>(view.strides()[0]), static_cast<long>(view.strides()[1]));
  for (Eigen::Index i = 0; i < m.rows(); ++i) {
    std::printf("  %5.1f %5.1f %5.1f\n", m(i, 0), m(i, 1), m(i, 2));
  }
  std::printf("trace = %.1f\n", linalg::trace(view));

  const Tensor transposed = view.as_strided(Shape{3, 3}, Strides{2, 12});
  std::printf("trace of its transpose = %.1f\n", linalg::trace(transposed));
  return 0;
}

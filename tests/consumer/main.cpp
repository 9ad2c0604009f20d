// Builds against the installed package only: the public header, the detail
// header (which needs Eigen) and both shared libraries.
#include <cstdio>
#include <zorvane/linalg/detail.h>
#include <zorvane/linalg/linalg.h>

int main() {
  using namespace zorvane;
  const Eigen::MatrixXd a{{1.0, 2.0}, {3.0, 4.0}};
  const Tensor stored = linalg::detail::scatter_matrix(a.transpose());
  const Tensor transposed = stored.as_strided(Shape{2, 2}, Strides{1, 2});
  linalg::detail::require_square_f64_cpu(transposed, "consumer");
  const Eigen::MatrixXd m = linalg::detail::gather_matrix(transposed);
  const linalg::LUResult lu = linalg::detail::lu_factor(transposed);
  const Eigen::MatrixXd x = linalg::detail::gather_matrix(linalg::inv(transposed));
  const double t = linalg::trace(transposed);
  std::printf("trace %.1f, m(0,1) %.1f, det %.1f, inv(0,0) %.1f\n", t, m(0, 1), lu.determinant,
              x(0, 0));
  return (t == 5.0 && m == a && lu.determinant == -2.0 && (a * x).isIdentity(1e-15)) ? 0 : 1;
}

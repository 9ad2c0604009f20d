// Eigenvalues and eigenvectors of a general real matrix, as real and
// imaginary parts.
#include "zorvane/linalg/detail.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kNoConvergence = " failed to converge";

}  // namespace

EigResult eig(const Tensor& A) {
  detail::require_square_f64_cpu(A, "eig");
  const std::int64_t n = A.shape()[0];
  EigResult result{detail::new_vector_tensor(n), detail::new_vector_tensor(n),
                   detail::new_matrix_tensor(n, n), detail::new_matrix_tensor(n, n)};
  // The solver scales by the largest entry, which an empty matrix lacks.
  if (n == 0) return result;

  const Eigen::MatrixXd a = detail::gather_matrix(A);
  // Non-finite input cannot converge, but the solver does not always say so:
  // a NaN above an already triangular part reaches no eigenvalue and leaves
  // the solver reporting success with NaN eigenvectors.
  if (!a.allFinite()) detail::throw_numerical_error("eig", kNoConvergence);
  const Eigen::EigenSolver<Eigen::MatrixXd> solver(a, /*computeEigenvectors=*/true);
  if (solver.info() != Eigen::Success) detail::throw_numerical_error("eig", kNoConvergence);

  const Eigen::VectorXcd& values = solver.eigenvalues();
  const Eigen::MatrixXcd vectors = solver.eigenvectors();  // unit-norm columns
  detail::vector_view(result.values_real, n) = values.real();
  detail::vector_view(result.values_imag, n) = values.imag();
  detail::row_major_view(result.vectors_real, n, n) = vectors.real();
  detail::row_major_view(result.vectors_imag, n, n) = vectors.imag();
  return result;
}

}  // namespace zorvane::linalg

// Eigenvalues and eigenvectors of a general real matrix, as real and
// imaginary parts.
#include "kernels.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kNoConvergence = " failed to converge";

}  // namespace

void kernels::eig(const Eigen::MatrixXd& a, GeneralSolver& solver, double* values_real,
                  double* values_imag, double* vectors_real, double* vectors_imag) {
  const Eigen::Index n = a.rows();
  // Non-finite input cannot converge, but the solver does not always say so:
  // a NaN above an already triangular part reaches no eigenvalue and leaves
  // the solver reporting success with NaN eigenvectors.
  if (!a.allFinite()) detail::throw_numerical_error("eig", kNoConvergence);
  solver.compute(a, /*computeEigenvectors=*/true);
  if (solver.info() != Eigen::Success) detail::throw_numerical_error("eig", kNoConvergence);

  const Eigen::VectorXcd& values = solver.eigenvalues();
  const Eigen::MatrixXcd vectors = solver.eigenvectors();  // unit-norm columns
  VectorMap(values_real, n) = values.real();
  VectorMap(values_imag, n) = values.imag();
  RowMajorMap(vectors_real, n, n) = vectors.real();
  RowMajorMap(vectors_imag, n, n) = vectors.imag();
}

EigResult eig(const Tensor& A) {
  detail::require_square_f64_cpu(A, "eig");
  const std::int64_t n = A.shape()[0];
  EigResult result{detail::new_vector_tensor(n), detail::new_vector_tensor(n),
                   detail::new_matrix_tensor(n, n), detail::new_matrix_tensor(n, n)};
  // The solver scales by the largest entry, which an empty matrix lacks.
  if (n == 0) return result;

  kernels::GeneralSolver solver;
  kernels::eig(detail::gather_matrix(A), solver, result.values_real.data(),
               result.values_imag.data(), result.vectors_real.data(), result.vectors_imag.data());
  return result;
}

}  // namespace zorvane::linalg

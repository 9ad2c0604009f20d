// Eigenvalues and eigenvectors of a general real matrix, as real and
// imaginary parts.
#include <Eigen/Eigenvalues>
#include <complex>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kNoConvergence = " failed to converge";

template <int N>
using ComplexSquare = Eigen::Matrix<std::complex<double>, N, N>;

/// EigenSolver::eigenvectors() into `vectors`, which the caller makes once
/// per call where the solver returns a new matrix every time: the unit
/// eigenvectors, from the real pseudo-eigenvectors and the conjugate pairs of
/// eigenvalues, by the same operations.
template <class Solver, class Complex>
void unit_eigenvectors(const Solver& solver, Complex& vectors) {
  const double precision = 2 * Eigen::NumTraits<double>::epsilon();
  const auto& values = solver.eigenvalues();
  const auto& pseudo = solver.pseudoEigenvectors();
  const Eigen::Index n = pseudo.cols();
  for (Eigen::Index j = 0; j < n; ++j) {
    if (Eigen::internal::isMuchSmallerThan(values.coeff(j).imag(), values.coeff(j).real(),
                                           precision) ||
        j + 1 == n) {
      vectors.col(j) = pseudo.col(j).template cast<std::complex<double>>();
      vectors.col(j).normalize();
    } else {
      for (Eigen::Index i = 0; i < n; ++i) {
        vectors.coeffRef(i, j) = std::complex<double>(pseudo.coeff(i, j), pseudo.coeff(i, j + 1));
        vectors.coeffRef(i, j + 1) =
            std::complex<double>(pseudo.coeff(i, j), -pseudo.coeff(i, j + 1));
      }
      vectors.col(j).normalize();
      vectors.col(j + 1).normalize();
      ++j;
    }
  }
}

template <int N>
void decompose_each(const kernels::Extents& batch, const kernels::Matrices& A, double* values_real,
                    double* values_imag, double* vectors_real, double* vectors_imag) {
  const Eigen::Index n = A.rows;
  kernels::Square<N> a(n, n);
  Eigen::EigenSolver<kernels::Square<N>> solver;
  ComplexSquare<N> vectors(n, n);
  kernels::Gather<kernels::Square<N>> gather(A, n, n);
  kernels::for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    // Non-finite input cannot converge, but the solver does not always say so:
    // a NaN above an already triangular part reaches no eigenvalue and leaves
    // the solver reporting success with NaN eigenvectors.
    if (!a.allFinite()) detail::throw_numerical_error("eig", kNoConvergence);
    solver.compute(a, /*computeEigenvectors=*/true);
    if (solver.info() != Eigen::Success) detail::throw_numerical_error("eig", kNoConvergence);
    unit_eigenvectors(solver, vectors);
    kernels::VectorMap(values_real + b * n, n) = solver.eigenvalues().real();
    kernels::VectorMap(values_imag + b * n, n) = solver.eigenvalues().imag();
    kernels::row_major_map<kernels::Square<N>>(vectors_real + b * n * n, n, n) = vectors.real();
    kernels::row_major_map<kernels::Square<N>>(vectors_imag + b * n * n, n, n) = vectors.imag();
  });
}

/// The real and imaginary parts of the eigenvalues (..., n) and eigenvectors
/// (..., n, n) of the operand's square matrices.
ZORVANE_ONE_COPY EigResult eigen_of(const entry::Operand& A) {
  const std::int64_t n = A.matrices.rows;
  EigResult result{entry::stacked(A.batch, {n}), entry::stacked(A.batch, {n}),
                   entry::stacked(A.batch, {n, n}), entry::stacked(A.batch, {n, n})};
  // The solver scales by the largest entry, which an empty matrix lacks.
  if (n == 0) return result;
  kernels::with_order(n, [&](auto order) {
    decompose_each<decltype(order)::value>(A.batch, A.matrices, result.values_real.data(),
                                           result.values_imag.data(), result.vectors_real.data(),
                                           result.vectors_imag.data());
  });
  return result;
}

}  // namespace

EigResult eig(const Tensor& A) {
  return eigen_of(entry::square_matrices(A, "eig", entry::Form::Matrix));
}

EigResult batched::eig(const Tensor& A) {
  return eigen_of(entry::square_matrices(A, "eig", entry::Form::Stack));
}

}  // namespace zorvane::linalg

// eig_sym and the spectral matrix functions built on it: f(A) = V · diag(f(w)) · Vᵀ
// for the square root, exponential, logarithm and sign of a symmetric matrix.
#include <algorithm>
#include <cmath>
#include <string>

#include "kernels.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kEigSym = "eig_sym";

/// The ascending eigenvalues of eig_sym.
using Spectrum = Eigen::VectorXd;

/// eig_sym's checks and solver. An empty matrix leaves the solver unused: it
/// takes the largest entry of its input, which an empty matrix lacks.
class SymmetricEigenSolve {
 public:
  explicit SymmetricEigenSolve(const Tensor& A) {
    detail::require_square_f64_cpu(A, kEigSym);
    const Eigen::MatrixXd a = detail::gather_matrix(A);
    kernels::symmetric_eigen(a, solver_);
    size_ = a.rows();
  }

  Eigen::Index size() const { return size_; }
  const Spectrum& values() const { return solver_.eigenvalues(); }
  const Eigen::MatrixXd& vectors() const { return solver_.eigenvectors(); }
  const kernels::SymmetricSolver& solver() const { return solver_; }

 private:
  kernels::SymmetricSolver solver_;
  Eigen::Index size_ = 0;
};

/// The skeleton shared by the spectral functions. `test(w)` throws when the
/// function is undefined on the spectrum w; `map(w_i, w)` gives f(w_i).
template <class Test, class ScalarMap>
void map_spectrum(const kernels::SymmetricSolver& solver, kernels::SpectralWork& work,
                  double* result, Test&& test, ScalarMap&& map) {
  const Spectrum& w = solver.eigenvalues();
  const Eigen::Index n = w.size();
  test(w);
  work.mapped.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) work.mapped(i) = map(w(i), w);

  // The eigenvectors in the row-major layout that eig_sym hands out, so the
  // product below is the one a caller of eig_sym would form.
  work.vectors = solver.eigenvectors();
  const Eigen::Map<const detail::RowMajorMatrix> v(work.vectors.data(), n, n);
  work.product.resize(n, n);
  work.product.noalias() = (v * work.mapped.asDiagonal()) * v.transpose();
  // Rounding leaves the product slightly asymmetric; averaging each entry with
  // its mirror (read from the untouched product) makes the result symmetric
  // bit for bit, because the sum of two doubles does not depend on their order.
  kernels::RowMajorMap(result, n, n) = (work.product + work.product.transpose()) * 0.5;
}

/// n · ε as a double: the relative tolerance of the spectral tests.
double order_epsilon(const Spectrum& w) { return static_cast<double>(w.size()) * detail::kEpsilon; }

void accept_any_spectrum(const Spectrum&) {}

void require_positive_semidefinite(const Spectrum& w) {
  // Rounding can push a zero eigenvalue slightly below 0; the tolerance is
  // relative to the largest eigenvalue.
  const double tolerance = order_epsilon(w) * std::abs(w(w.size() - 1));
  if (w(0) < -tolerance) {
    detail::throw_argument_error("matrix_sqrt", " requires a positive-semidefinite matrix");
  }
}

void require_representable_exponential(const Spectrum& w) {
  // 709 stays below exp's float64 overflow (about 709.78), and eig_sym lets
  // only finite eigenvalues through, so every exp(w_i) that follows is finite.
  if (w(w.size() - 1) > 709.0) {
    detail::throw_numerical_error(
        "matrix_exp", " overflow -- exp(lambda_max) is not representable in float64");
  }
}

void require_positive_definite(const Spectrum& w) {
  if (w(0) <= 0.0) {
    const std::string suffix =
        " requires a positive-definite matrix (all eigenvalues > 0); smallest eigenvalue is " +
        std::to_string(w(0));
    detail::throw_argument_error("matrix_log", suffix.c_str());
  }
}

/// Eigenvalues within n · ε of the largest magnitude count as zero.
double sign_threshold(const Spectrum& w) {
  const double largest = std::max(std::abs(w(0)), std::abs(w(w.size() - 1)));
  const double scale = largest > 0.0 ? largest : 1.0;
  return scale * order_epsilon(w);
}

double sign_of(double value, const Spectrum& w) {
  const double threshold = sign_threshold(w);
  if (value > threshold) return 1.0;
  if (value < -threshold) return -1.0;
  return 0.0;
}

/// A spectral function of one matrix through the kernel its batched form uses.
Tensor apply_to_spectrum(const Tensor& A, kernels::Spectral f) {
  const SymmetricEigenSolve eigen(A);
  const Eigen::Index n = eigen.size();
  Tensor result = detail::new_matrix_tensor(n, n);
  if (n == 0) return result;  // no eigenvalue to test or map
  kernels::SpectralWork work;
  kernels::spectral_function(f, eigen.solver(), work, result.data());
  return result;
}

}  // namespace

namespace kernels {

void symmetric_eigen(const Eigen::MatrixXd& a, SymmetricSolver& solver) {
  detail::require_symmetric(a, kEigSym);
  if (a.rows() == 0) return;
  solver.compute(a, Eigen::ComputeEigenvectors);
  // The solver scales by the largest magnitude, so an infinite entry turns
  // every eigenvalue into NaN while it still reports success; a NaN or
  // infinite eigenvalue is no decomposition, whatever the solver says.
  if (solver.info() != Eigen::Success || !solver.eigenvalues().allFinite()) {
    detail::throw_numerical_error(kEigSym, " failed to converge");
  }
}

void spectral_function(Spectral f, const SymmetricSolver& solver, SpectralWork& work,
                       double* result) {
  switch (f) {
    case Spectral::Sqrt:
      return map_spectrum(solver, work, result, require_positive_semidefinite,
                          [](double w, const Spectrum&) { return std::sqrt(std::max(w, 0.0)); });
    case Spectral::Exp:
      return map_spectrum(solver, work, result, require_representable_exponential,
                          [](double w, const Spectrum&) { return std::exp(w); });
    case Spectral::Log:
      return map_spectrum(solver, work, result, require_positive_definite,
                          [](double w, const Spectrum&) { return std::log(w); });
    case Spectral::Sign:
      return map_spectrum(solver, work, result, accept_any_spectrum, sign_of);
  }
}

}  // namespace kernels

EigenResult eig_sym(const Tensor& A) {
  const SymmetricEigenSolve eigen(A);
  if (eigen.size() == 0) {
    return EigenResult{detail::new_vector_tensor(0), detail::new_matrix_tensor(0, 0)};
  }
  return EigenResult{detail::scatter_vector(eigen.values()), detail::scatter_matrix(eigen.vectors())};
}

Tensor matrix_sqrt(const Tensor& A) { return apply_to_spectrum(A, kernels::Spectral::Sqrt); }

Tensor matrix_exp(const Tensor& A) { return apply_to_spectrum(A, kernels::Spectral::Exp); }

Tensor matrix_log(const Tensor& A) { return apply_to_spectrum(A, kernels::Spectral::Log); }

Tensor matrix_sign(const Tensor& A) { return apply_to_spectrum(A, kernels::Spectral::Sign); }

}  // namespace zorvane::linalg

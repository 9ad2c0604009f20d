// eig_sym and the spectral matrix functions built on it: f(A) = V · diag(f(w)) · Vᵀ
// for the square root, exponential, logarithm and sign of a symmetric matrix.
#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

constexpr const char* kEigSym = "eig_sym";

using kernels::Column;
using kernels::RowMajor;
using kernels::Square;

/// SelfAdjointEigenSolver with eigenvectors, over fixed-size matrices.
template <int N>
class SymmetricEigen {
 public:
  explicit SymmetricEigen(Eigen::Index) {}
  Eigen::ComputationInfo compute(const Square<N>& a) {
    solver_.compute(a, Eigen::ComputeEigenvectors);
    return solver_.info();
  }
  const Column<N>& values() const { return solver_.eigenvalues(); }
  const Square<N>& vectors() const { return solver_.eigenvectors(); }

 private:
  Eigen::SelfAdjointEigenSolver<Square<N>> solver_;
};

/// SelfAdjointEigenSolver<MatrixXd>::compute with eigenvectors, step by step:
/// the solver makes the workspace of its eigenvector extraction anew for
/// every matrix, this one once per call. The same operations in the same
/// order, so the same bits.
template <>
class SymmetricEigen<Eigen::Dynamic> {
 public:
  explicit SymmetricEigen(Eigen::Index n)
      : values_(n), vectors_(n, n), subdiagonal_(std::max<Eigen::Index>(n - 1, 0)),
        householder_(std::max<Eigen::Index>(n - 1, 0)), workspace_(n) {}

  Eigen::ComputationInfo compute(const Eigen::MatrixXd& a) {
    const Eigen::Index n = a.cols();
    if (n == 1) {
      values_(0) = a(0, 0);
      vectors_.setOnes();
      return Eigen::Success;
    }
    // Scaled to [-1, 1] against over- and underflow.
    vectors_ = a.triangularView<Eigen::Lower>();
    double scale = vectors_.cwiseAbs().maxCoeff();
    if (scale == 0.0) scale = 1.0;
    vectors_.triangularView<Eigen::Lower>() /= scale;
    Eigen::internal::tridiagonalization_inplace(vectors_, householder_);
    values_ = vectors_.diagonal();
    subdiagonal_ = vectors_.diagonal<-1>();
    Reflectors(vectors_, householder_.conjugate())
        .setLength(n - 1)
        .setShift(1)
        .evalTo(vectors_, workspace_);
    const Eigen::ComputationInfo info = Eigen::internal::computeFromTridiagonal_impl(
        values_, subdiagonal_, Solver::m_maxIterations, true, vectors_);
    values_ *= scale;
    return info;
  }
  const Eigen::VectorXd& values() const { return values_; }
  const Eigen::MatrixXd& vectors() const { return vectors_; }

 private:
  using Solver = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>;
  using Reflectors = Eigen::Tridiagonalization<Eigen::MatrixXd>::HouseholderSequenceType;

  Eigen::VectorXd values_;
  Eigen::MatrixXd vectors_;
  Eigen::VectorXd subdiagonal_;
  Eigen::VectorXd householder_;
  Eigen::VectorXd workspace_;
};

/// eig_sym's symmetry test and decomposition of the non-empty `a`.
template <int N>
void decompose(const Square<N>& a, SymmetricEigen<N>& eigen) {
  detail::require_symmetric(a, kEigSym);
  // The solver scales by the largest magnitude, so an infinite entry turns
  // every eigenvalue into NaN while it still reports success; a NaN or
  // infinite eigenvalue is no decomposition, whatever the solver says.
  if (eigen.compute(a) != Eigen::Success || !eigen.values().allFinite()) {
    detail::throw_numerical_error(kEigSym, " failed to converge");
  }
}

/// The working storage of a spectral function, reused across a batch.
template <int N>
struct SpectralWork {
  explicit SpectralWork(Eigen::Index n) : mapped(n), vectors(n, n), scaled(n, n), product(n, n) {}
  using VectorsMap = Eigen::Map<const RowMajor<N, N>>;
  Column<N> mapped;
  RowMajor<N, N> vectors;
  /// V · diag(f(w)), of the type the product V · diag(f(w)) · Vᵀ would
  /// make for it on every matrix.
  typename decltype(std::declval<VectorsMap>() * mapped.asDiagonal())::PlainObject scaled;
  RowMajor<N, N> product;
};

/// f(A) into the n x n row-major `result`. `test(w)` throws when the
/// function is undefined on the ascending spectrum w; `map(w_i, w)` gives
/// f(w_i).
template <int N, class Test, class ScalarMap>
void map_spectrum(const SymmetricEigen<N>& eigen, SpectralWork<N>& work, double* result,
                  Test&& test, ScalarMap&& map) {
  const Column<N>& w = eigen.values();
  const Eigen::Index n = w.size();
  test(w);
  for (Eigen::Index i = 0; i < n; ++i) work.mapped(i) = map(w(i), w);

  // The eigenvectors in the row-major layout that eig_sym hands out, so the
  // product below is the one a caller of eig_sym would form.
  work.vectors = eigen.vectors();
  const typename SpectralWork<N>::VectorsMap v(work.vectors.data(), n, n);
  work.scaled.noalias() = v * work.mapped.asDiagonal();
  work.product.noalias() = work.scaled * v.transpose();
  // Rounding leaves the product slightly asymmetric; averaging each entry with
  // its mirror (read from the untouched product) makes the result symmetric
  // bit for bit, because the sum of two doubles does not depend on their order.
  kernels::row_major_map<Square<N>>(result, n, n) = (work.product + work.product.transpose()) * 0.5;
}

/// n · ε as a double: the relative tolerance of the spectral tests.
template <class Spectrum>
double order_epsilon(const Spectrum& w) {
  return static_cast<double>(w.size()) * detail::kEpsilon;
}

template <class Spectrum>
void accept_any_spectrum(const Spectrum&) {}

template <class Spectrum>
void require_positive_semidefinite(const Spectrum& w) {
  // Rounding can push a zero eigenvalue slightly below 0; the tolerance is
  // relative to the largest eigenvalue.
  const double tolerance = order_epsilon(w) * std::abs(w(w.size() - 1));
  if (w(0) < -tolerance) {
    detail::throw_argument_error("matrix_sqrt", " requires a positive-semidefinite matrix");
  }
}

template <class Spectrum>
void require_representable_exponential(const Spectrum& w) {
  // 709 stays below exp's float64 overflow (about 709.78), and eig_sym lets
  // only finite eigenvalues through, so every exp(w_i) that follows is finite.
  if (w(w.size() - 1) > 709.0) {
    detail::throw_numerical_error(
        "matrix_exp", " overflow -- exp(lambda_max) is not representable in float64");
  }
}

template <class Spectrum>
void require_positive_definite(const Spectrum& w) {
  if (w(0) <= 0.0) {
    const std::string suffix =
        " requires a positive-definite matrix (all eigenvalues > 0); smallest eigenvalue is " +
        std::to_string(w(0));
    detail::throw_argument_error("matrix_log", suffix.c_str());
  }
}

/// Eigenvalues within n · ε of the largest magnitude count as zero.
template <class Spectrum>
double sign_of(double value, const Spectrum& w) {
  const double largest = std::max(std::abs(w(0)), std::abs(w(w.size() - 1)));
  const double threshold = (largest > 0.0 ? largest : 1.0) * order_epsilon(w);
  if (value > threshold) return 1.0;
  if (value < -threshold) return -1.0;
  return 0.0;
}

enum class Spectral { Sqrt, Exp, Log, Sign };

template <int N>
void apply_each(const kernels::Extents& batch, const kernels::Matrices& A, Spectral f,
                double* result) {
  using Spectrum = Column<N>;
  const Eigen::Index n = A.rows;
  Square<N> a(n, n);
  SymmetricEigen<N> eigen(n);
  SpectralWork<N> work(n);
  kernels::Gather<Square<N>> gather(A, n, n);
  kernels::for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    decompose(a, eigen);
    double* out = result + b * n * n;
    switch (f) {
      case Spectral::Sqrt:
        return map_spectrum(eigen, work, out, require_positive_semidefinite<Spectrum>,
                            [](double w, const Spectrum&) { return std::sqrt(std::max(w, 0.0)); });
      case Spectral::Exp:
        return map_spectrum(eigen, work, out, require_representable_exponential<Spectrum>,
                            [](double w, const Spectrum&) { return std::exp(w); });
      case Spectral::Log:
        return map_spectrum(eigen, work, out, require_positive_definite<Spectrum>,
                            [](double w, const Spectrum&) { return std::log(w); });
      case Spectral::Sign:
        return map_spectrum(eigen, work, out, accept_any_spectrum<Spectrum>, sign_of<Spectrum>);
    }
  });
}

/// Ascending eigenvalues (..., n) and eigenvectors (..., n, n) of the
/// operand's symmetric matrices.
ZORVANE_ONE_COPY EigenResult eigen_of(const entry::Operand& A) {
  const std::int64_t n = A.matrices.rows;
  EigenResult result{entry::stacked(A.batch, {n}), entry::stacked(A.batch, {n, n})};
  // An empty matrix is symmetric and has no eigenvalue.
  if (n == 0) return result;
  double* values = result.values.data();
  double* vectors = result.vectors.data();
  kernels::with_order(n, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(n, n);
    SymmetricEigen<N> eigen(n);
    kernels::Gather<Square<N>> gather(A.matrices, n, n);
    kernels::for_each_matrix(A.batch, A.matrices, [&](std::int64_t b, const double* matrix) {
      gather(matrix, a);
      decompose(a, eigen);
      kernels::VectorMap(values + b * n, n) = eigen.values();
      kernels::row_major_map<Square<N>>(vectors + b * n * n, n, n) = eigen.vectors();
    });
  });
  return result;
}

/// f(A) = V · diag(f(w)) · Vᵀ (..., n, n) of the operand's symmetric
/// matrices; throws eig_sym's messages and the function's own.
ZORVANE_ONE_COPY Tensor spectral_of(const entry::Operand& A, Spectral f) {
  const std::int64_t n = A.matrices.rows;
  Tensor result = entry::stacked(A.batch, {n, n});
  // An empty matrix is symmetric and has nothing to map.
  if (n == 0) return result;
  kernels::with_order(n, [&](auto order) {
    apply_each<decltype(order)::value>(A.batch, A.matrices, f, result.data());
  });
  return result;
}

entry::Operand matrix_of(const Tensor& A) {
  return entry::square_matrices(A, kEigSym, entry::Form::Matrix);
}

entry::Operand stack_of(const Tensor& A) {
  return entry::square_matrices(A, kEigSym, entry::Form::Stack);
}

}  // namespace

EigenResult eig_sym(const Tensor& A) { return eigen_of(matrix_of(A)); }
Tensor matrix_sqrt(const Tensor& A) { return spectral_of(matrix_of(A), Spectral::Sqrt); }
Tensor matrix_exp(const Tensor& A) { return spectral_of(matrix_of(A), Spectral::Exp); }
Tensor matrix_log(const Tensor& A) { return spectral_of(matrix_of(A), Spectral::Log); }
Tensor matrix_sign(const Tensor& A) { return spectral_of(matrix_of(A), Spectral::Sign); }

EigenResult batched::eig_sym(const Tensor& A) { return eigen_of(stack_of(A)); }
Tensor batched::matrix_sqrt(const Tensor& A) { return spectral_of(stack_of(A), Spectral::Sqrt); }
Tensor batched::matrix_exp(const Tensor& A) { return spectral_of(stack_of(A), Spectral::Exp); }
Tensor batched::matrix_log(const Tensor& A) { return spectral_of(stack_of(A), Spectral::Log); }
Tensor batched::matrix_sign(const Tensor& A) { return spectral_of(stack_of(A), Spectral::Sign); }

}  // namespace zorvane::linalg

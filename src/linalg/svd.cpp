// Thin singular value decomposition.
#include <algorithm>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

/// The thin factors: Eigen 3.4 has no thin option for fixed-size input, but
/// for a square matrix the full factors are the thin ones.
template <int N>
constexpr unsigned kFactorOptions =
    N == Eigen::Dynamic ? kernels::kThinSvdOptions : Eigen::ComputeFullU | Eigen::ComputeFullV;

template <int N>
void decompose_each(const kernels::Extents& batch, const kernels::Matrices& A, double* U,
                    double* S, double* Vt) {
  using Work = kernels::Square<N>;
  const Eigen::Index m = A.rows;
  const Eigen::Index n = A.cols;
  const Eigen::Index k = std::min(m, n);
  Work a(m, n);
  Eigen::JacobiSVD<Work> engine;
  kernels::Gather<Work> gather(A, m, n);
  kernels::for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, a);
    engine.compute(a, kFactorOptions<N>);
    // A NaN or infinite entry leaves the engine without a scale: it reports
    // invalid input and computes nothing.
    if (engine.info() != Eigen::Success)
      detail::throw_numerical_error("svd", " failed to converge");
    kernels::row_major_map<Work>(U + b * m * k, m, k) = engine.matrixU();
    kernels::VectorMap(S + b * k, k) = engine.singularValues();
    kernels::row_major_map<Work>(Vt + b * k * n, k, n) = engine.matrixV().transpose();
  });
}

/// Thin U (..., m, k), descending S (..., k) and Vt (..., k, n) of the
/// operand's matrices, k = min(m, n).
ZORVANE_ONE_COPY SVDResult factors_of(const entry::Operand& A) {
  const std::int64_t m = A.matrices.rows;
  const std::int64_t n = A.matrices.cols;
  const std::int64_t k = std::min(m, n);
  SVDResult result{entry::stacked(A.batch, {m, k}), entry::stacked(A.batch, {k}),
                   entry::stacked(A.batch, {k, n})};
  // The engine scales by the largest entry before it looks at the matrix and
  // reads past an empty one, so empty factors are left as they are.
  if (k == 0) return result;
  kernels::with_order(kernels::square_order(m, n), [&](auto order) {
    decompose_each<decltype(order)::value>(A.batch, A.matrices, result.U.data(), result.S.data(),
                                           result.Vt.data());
  });
  return result;
}

}  // namespace

SVDResult svd(const Tensor& A) {
  return factors_of(entry::matrices(A, "svd", entry::Form::Matrix));
}

SVDResult batched::svd(const Tensor& A) {
  return factors_of(entry::matrices(A, "svd", entry::Form::Stack));
}

}  // namespace zorvane::linalg

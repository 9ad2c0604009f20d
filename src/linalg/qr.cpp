// Thin Householder QR without pivoting.
#include <Eigen/QR>
#include <algorithm>
#include <type_traits>

#include "checks.h"
#include "dense.h"
#include "entry.h"
#include "zorvane/linalg/batched.h"

namespace zorvane::linalg {
namespace {

/// HouseholderQR: in place over the dynamic working matrix, which gives the
/// reflectors of a HouseholderQR<MatrixXd> without a second m x n buffer.
template <int N>
using HouseholderOf =
    std::conditional_t<N == Eigen::Dynamic, Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>>,
                       Eigen::HouseholderQR<kernels::Square<N>>>;

template <int N>
void decompose_each(const kernels::Extents& batch, const kernels::Matrices& A, double* Q,
                    double* R) {
  using Work = kernels::Square<N>;
  const Eigen::Index m = A.rows;
  const Eigen::Index n = A.cols;
  const Eigen::Index k = std::min(m, n);
  Work packed(m, n);
  Work thin_q(m, k);
  // The workspace the sequence would make for itself on every application.
  Eigen::Matrix<double, 1, Work::ColsAtCompileTime, Eigen::RowMajor> workspace(k);
  kernels::ReusedDecomposition<HouseholderOf<N>, Work> reused;
  kernels::Gather<Work> gather(A, m, n);
  kernels::for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
    gather(matrix, packed);
    const HouseholderOf<N>& householder = reused.compute(packed);
    // The reflectors applied to the identity's first k columns, as the
    // product with Identity(m, k) does, without its temporaries.
    thin_q.setIdentity(m, k);
    householder.householderQ().applyThisOnTheLeft(thin_q, workspace, m == k);
    kernels::row_major_map<Work>(Q + b * m * k, m, k) = thin_q;
    // The packed matrix holds the reflectors below the diagonal; R keeps exact zeros there.
    kernels::row_major_map<Work>(R + b * k * n, k, n) =
        householder.matrixQR().topRows(k).template triangularView<Eigen::Upper>();
  });
}

/// Thin Q (..., m, k) and R (..., k, n) of the operand's matrices, k = min(m, n).
ZORVANE_ONE_COPY QRResult factors_of(const entry::Operand& A) {
  const std::int64_t m = A.matrices.rows;
  const std::int64_t n = A.matrices.cols;
  const std::int64_t k = std::min(m, n);
  QRResult result{entry::stacked(A.batch, {m, k}), entry::stacked(A.batch, {k, n})};
  // Nothing to reflect in an empty matrix.
  if (k == 0) return result;
  kernels::with_order(kernels::square_order(m, n), [&](auto order) {
    decompose_each<decltype(order)::value>(A.batch, A.matrices, result.Q.data(), result.R.data());
  });
  return result;
}

}  // namespace

QRResult qr(const Tensor& A) { return factors_of(entry::matrices(A, "qr", entry::Form::Matrix)); }

QRResult batched::qr(const Tensor& A) {
  return factors_of(entry::matrices(A, "qr", entry::Form::Stack));
}

}  // namespace zorvane::linalg

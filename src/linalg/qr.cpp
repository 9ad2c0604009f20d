// Thin Householder QR without pivoting.
#include <Eigen/QR>
#include <algorithm>
#include <type_traits>

#include "checks.h"
#include "dense.h"
#include "kernels.h"

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

}  // namespace

void kernels::qr(const Extents& batch, const Matrices& A, double* Q, double* R) {
  // Nothing to reflect in an empty matrix.
  if (std::min(A.rows, A.cols) == 0) return;
  with_order(square_order(A.rows, A.cols),
             [&](auto order) { decompose_each<decltype(order)::value>(batch, A, Q, R); });
}

QRResult qr(const Tensor& A) {
  detail::require_2d_f64_cpu(A, "qr");
  const std::int64_t m = A.shape()[0];
  const std::int64_t n = A.shape()[1];
  const std::int64_t k = std::min(m, n);
  Tensor Q = detail::new_matrix_tensor(m, k);
  Tensor R = detail::new_matrix_tensor(k, n);
  kernels::qr({}, kernels::matrices_of(A), Q.data(), R.data());
  return QRResult{std::move(Q), std::move(R)};
}

}  // namespace zorvane::linalg

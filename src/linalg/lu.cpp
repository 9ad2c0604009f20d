// The full-pivot LU family: the factors with rank, determinant and singular
// flag, the determinant alone, and the linear solve and inverse, which reject
// what the factorisation judges singular. All of them run one LUEngine.
#include <Eigen/LU>
#include <type_traits>

#include "checks.h"
#include "dense.h"
#include "kernels.h"
#include "transfer.h"

namespace zorvane::linalg {
namespace {

using kernels::Square;

/// FullPivLU with its default threshold: in place over the dynamic working
/// matrix, which gives the bits of a FullPivLU over a copy without its
/// second n x n buffer.
template <int N>
using FullPivLUOf = std::conditional_t<N == Eigen::Dynamic, Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>>,
                                       Eigen::FullPivLU<Square<N>>>;

/// +1 or -1, the sign of a permutation, from the parity of its number of
/// inversions; arithmetic rather than branches, which random matrices would
/// mispredict half the time.
template <class Indices>
double sign_of(const Indices& p) {
  int inversions = 0;
  for (Eigen::Index i = 0; i < p.size(); ++i) {
    for (Eigen::Index j = i + 1; j < p.size(); ++j) inversions += static_cast<int>(p(i) > p(j));
  }
  return 1.0 - 2.0 * (inversions & 1);
}

/// The full-pivot LU of one order, reused over a batch: each matrix is
/// gathered into its working matrix and factorised; the object answers rank,
/// determinant and singularity, gives the factors and the inverse, and solves.
template <int N>
class LUEngine {
 public:
  explicit LUEngine(Eigen::Index n) : packed_(n, n), identity_work_(n, n) {}
  // The decomposition refers to packed_, so the object stays where it is.
  LUEngine(const LUEngine&) = delete;
  LUEngine& operator=(const LUEngine&) = delete;

  void factorise(const double* matrix, const kernels::Matrices& layout) {
    if (packed_.size() == 0) return;
    kernels::gather(matrix, layout, packed_);
    lu_ = &reused_.compute(packed_);
  }

  std::int64_t rank() const { return lu_ ? lu_->rank() : 0; }
  bool singular() const { return lu_ && !lu_->isInvertible(); }

  double determinant() const {
    if (!lu_) return 1.0;
    if constexpr (N == Eigen::Dynamic) {
      return lu_->determinant();
    } else {
      // The pivots multiplied in order, as the dynamic decomposition does,
      // so every order gives the same determinant bits.
      double product = lu_->matrixLU()(0, 0);
      for (Eigen::Index k = 1; k < N; ++k) product *= lu_->matrixLU()(k, k);
      return sign_of(lu_->permutationP().indices()) * sign_of(lu_->permutationQ().indices()) *
             product;
    }
  }

  void require_invertible(const char* operation) const {
    if (singular()) detail::throw_numerical_error(operation, kernels::kSingular);
  }

  /// The four n x n row-major factors of P · A · Q = L · U.
  void factors(double* L, double* U, double* P, double* Q) const {
    if (!lu_) return;
    const Eigen::Index n = packed_.rows();
    kernels::row_major_map<Square<N>>(L, n, n) =
        lu_->matrixLU().template triangularView<Eigen::UnitLower>();
    kernels::row_major_map<Square<N>>(U, n, n) =
        lu_->matrixLU().template triangularView<Eigen::Upper>();
    dense_permutation(lu_->permutationP(), P);
    dense_permutation(lu_->permutationQ(), Q);
  }

  /// The n x n row-major inverse of an invertible matrix.
  void inverse(double* out) {
    if (!lu_) return;
    const Eigen::Index n = packed_.rows();
    solve_into(Square<N>::Identity(n, n), identity_work_,
               kernels::row_major_map<Square<N>>(out, n, n));
  }

  /// The solution of A · X = rhs into `dst` for an invertible, non-empty A:
  /// the steps of FullPivLU's own solve, on a buffer `c` of rhs's type made
  /// once per call instead of once per matrix. The matrix is invertible, so
  /// every one of its n pivots counts.
  template <class Rhs, class Work, class Dst>
  void solve_into(const Rhs& rhs, Work& c, Dst&& dst) const {
    const Eigen::Index n = packed_.rows();
    c = lu_->permutationP() * rhs;
    lu_->matrixLU().topLeftCorner(n, n).template triangularView<Eigen::UnitLower>().solveInPlace(
        c.topRows(n));
    lu_->matrixLU().topLeftCorner(n, n).template triangularView<Eigen::Upper>().solveInPlace(
        c.topRows(n));
    const auto& q = lu_->permutationQ().indices();
    for (Eigen::Index i = 0; i < n; ++i) dst.row(q.coeff(i)) = c.row(i);
  }

 private:
  /// The dense form of a permutation: column i holds its single 1 in row indices(i).
  template <class Permutation>
  void dense_permutation(const Permutation& permutation, double* out) const {
    const Eigen::Index n = packed_.rows();
    auto dense = kernels::row_major_map<Square<N>>(out, n, n);
    dense.setZero();
    for (Eigen::Index i = 0; i < n; ++i) dense(permutation.indices()(i), i) = 1.0;
  }

  Square<N> packed_;
  Square<N> identity_work_;
  kernels::ReusedDecomposition<FullPivLUOf<N>, Square<N>> reused_;
  const FullPivLUOf<N>* lu_ = nullptr;  // null until a non-empty matrix is factorised
};

/// The right-hand sides of solve: vectors, or n x k matrices.
template <int N, bool Vectors>
using RhsOf = std::conditional_t<Vectors, kernels::Column<N>, Eigen::Matrix<double, N, Eigen::Dynamic>>;

template <int N, bool Vectors>
void solve_each(const kernels::Extents& batch, const kernels::Matrices& A,
                const kernels::Matrices& B, double* X) {
  const Eigen::Index n = A.rows;
  const Eigen::Index k = B.cols;
  LUEngine<N> lu(n);
  auto rhs = kernels::sized<RhsOf<N, Vectors>>(n, k);
  auto work = kernels::sized<RhsOf<N, Vectors>>(n, k);
  bool factorised = false;
  std::int64_t factorised_offset = 0;
  kernels::BatchWalk<2>(batch, {&A.batch_strides, &B.batch_strides})
      .run([&](std::int64_t b, const auto& offsets) {
        // An A repeated along a broadcast dimension is factorised once.
        if (!factorised || offsets[0] != factorised_offset) {
          lu.factorise(A.data + offsets[0], A);
          factorised = true;
          factorised_offset = offsets[0];
          lu.require_invertible("solve");
        }
        // Right-hand sides without entries (and the empty system) leave
        // nothing to write, but each A is still factorised and tested.
        if (n * k == 0) return;
        kernels::gather(B.data + offsets[1], B, rhs);
        lu.solve_into(rhs, work, kernels::row_major_map<RhsOf<N, Vectors>>(X + b * n * k, n, k));
      });
}

/// The message suffix for a right-hand side B that does not fit an n x n A,
/// or null when it fits.
const char* right_hand_side_error(const Tensor& B, std::int64_t n) {
  if (B.ndim() == 2) return B.shape()[0] != n ? kernels::kRowsMismatch : nullptr;
  if (B.ndim() == 1) return B.shape()[0] != n ? kernels::kLengthMismatch : nullptr;
  return detail::kRequiresRhs1dOr2d;
}

}  // namespace

namespace kernels {

void lu(const Extents& batch, const Matrices& A, const LUOutputs& out) {
  const std::int64_t n = A.rows;
  with_order(n, [&](auto order) {
    LUEngine<decltype(order)::value> lu(n);
    for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
      lu.factorise(matrix, A);
      const std::int64_t at = b * n * n;
      lu.factors(out.L + at, out.U + at, out.P + at, out.Q + at);
      out.rank[b] = lu.rank();
      out.determinant[b] = lu.determinant();
      out.singular[b] = lu.singular() ? 1 : 0;
    });
  });
}

void det(const Extents& batch, const Matrices& A, double* determinants) {
  with_order(A.rows, [&](auto order) {
    LUEngine<decltype(order)::value> lu(A.rows);
    for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
      lu.factorise(matrix, A);
      determinants[b] = lu.determinant();
    });
  });
}

void inv(const Extents& batch, const Matrices& A, double* inverses) {
  const std::int64_t n = A.rows;
  with_order(n, [&](auto order) {
    LUEngine<decltype(order)::value> lu(n);
    for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
      lu.factorise(matrix, A);
      lu.require_invertible("inv");
      lu.inverse(inverses + b * n * n);
    });
  });
}

void require_invertible(const Matrices& A, const char* operation) {
  with_order(A.rows, [&](auto order) {
    LUEngine<decltype(order)::value> lu(A.rows);
    lu.factorise(A.data, A);
    lu.require_invertible(operation);
  });
}

void solve(const Extents& batch, const Matrices& A, const Matrices& B, bool vectors, double* X) {
  with_order(A.rows, [&](auto order) {
    constexpr int N = decltype(order)::value;
    if (vectors) {
      solve_each<N, true>(batch, A, B, X);
    } else {
      solve_each<N, false>(batch, A, B, X);
    }
  });
}

}  // namespace kernels

namespace detail {

LUResult lu_factor(const Tensor& A) {
  const std::int64_t n = A.shape()[0];
  LUResult result{new_matrix_tensor(n, n), new_matrix_tensor(n, n), new_matrix_tensor(n, n),
                  new_matrix_tensor(n, n), 0, 0.0, false};
  std::int32_t singular = 0;
  kernels::lu({}, kernels::matrices_of(A),
              {result.L.data(), result.U.data(), result.P.data(), result.Q.data(), &result.rank,
               &result.determinant, &singular});
  result.singular = singular != 0;
  return result;
}

}  // namespace detail

LUResult lu(const Tensor& A) {
  detail::require_square_f64_cpu(A, "lu");
  return detail::lu_factor(A);
}

double det(const Tensor& A) {
  detail::require_square_f64_cpu(A, "det");
  double determinant = 1.0;
  kernels::det({}, kernels::matrices_of(A), &determinant);
  return determinant;
}

Tensor solve(const Tensor& A, const Tensor& B) {
  detail::require_square_f64_cpu(A, "solve");
  detail::require_rhs_f64_cpu(B, "solve");
  const kernels::Matrices a = kernels::matrices_of(A);
  const std::int64_t n = a.rows;
  // A singular A is reported before B's shape.
  if (const char* shape_error = right_hand_side_error(B, n)) {
    kernels::require_invertible(a, "solve");
    detail::throw_argument_error("solve", shape_error);
  }
  const bool vector = B.ndim() == 1;
  const std::int64_t k = vector ? 1 : B.shape()[1];
  Tensor X = vector ? detail::new_vector_tensor(n) : detail::new_matrix_tensor(n, k);
  const kernels::Matrices b{B.data(), n, k, B.strides()[0], vector ? 0 : B.strides()[1], {}};
  kernels::solve({}, a, b, vector, X.data());
  return X;
}

Tensor inv(const Tensor& A) {
  detail::require_square_f64_cpu(A, "inv");
  const std::int64_t n = A.shape()[0];
  Tensor X = detail::new_matrix_tensor(n, n);
  kernels::inv({}, kernels::matrices_of(A), X.data());
  return X;
}

}  // namespace zorvane::linalg

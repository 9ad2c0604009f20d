// The full-pivot LU family: the factors with rank, determinant and singular
// flag, the determinant alone, and the linear solve and inverse, which reject
// what the factorisation judges singular. All of them run one FullPivLU.
#include <Eigen/LU>
#include <type_traits>

#include "checks.h"
#include "dense.h"
#include "kernels.h"
#include "transfer.h"

namespace zorvane::linalg {
namespace {

using kernels::Square;

/// The gather without tiles: with the tiled copy in the kernels, the
/// full-pivot elimination itself ran 20 to 45 % slower at every order from
/// 64 to 1024 (the same arithmetic and bits, different code around it), far
/// more than the tiles save on its O(n²) copy.
template <class Dense>
using StraightGather = kernels::Gather<Dense, /*TileLarge=*/false>;

/// FullPivLU with its default threshold: in place over the dynamic working
/// matrix, which gives the bits of a FullPivLU over a copy without its
/// second n x n buffer.
template <int N>
using FullPivLUOf =
    std::conditional_t<N == Eigen::Dynamic, Eigen::FullPivLU<Eigen::Ref<Eigen::MatrixXd>>,
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

/// The working matrix, the gather into it and the decomposition of one
/// order, each a local of the kernel that factorises: bundled into one object
/// whose address the compiler must track, they ran a 2 x 2 factorisation at
/// half speed.
template <int N>
using Decomposer = kernels::ReusedDecomposition<FullPivLUOf<N>, Square<N>>;

/// The determinant as the dynamic decomposition gives it: the pivots
/// multiplied in order, with the permutations' sign, so that every order
/// gives the same determinant bits.
template <class LU>
double determinant_of(const LU& lu) {
  constexpr int N = LU::MatrixType::RowsAtCompileTime;
  if constexpr (N == Eigen::Dynamic) {
    return lu.determinant();
  } else {
    double product = lu.matrixLU()(0, 0);
    for (Eigen::Index k = 1; k < N; ++k) product *= lu.matrixLU()(k, k);
    return sign_of(lu.permutationP().indices()) * sign_of(lu.permutationQ().indices()) * product;
  }
}

template <class LU>
void require_invertible_lu(const LU& lu, const char* operation) {
  if (!lu.isInvertible()) detail::throw_numerical_error(operation, kernels::kSingular);
}

/// The dense form of a permutation into the n x n row-major `out`: column i
/// holds its single 1 in row indices(i).
template <int N, class Permutation>
void dense_permutation(const Permutation& permutation, Eigen::Index n, double* out) {
  auto dense = kernels::row_major_map<Square<N>>(out, n, n);
  dense.setZero();
  for (Eigen::Index i = 0; i < n; ++i) dense(permutation.indices()(i), i) = 1.0;
}

/// The solution of A · X = rhs into `dst` for an invertible, non-empty A:
/// the steps of FullPivLU's own solve, on a buffer `c` of rhs's type made
/// once per call instead of once per matrix. The matrix is invertible, so
/// every one of its n pivots counts.
template <class LU, class Rhs, class Work, class Dst>
void solve_into(const LU& lu, const Rhs& rhs, Work& c, Dst&& dst) {
  const Eigen::Index n = lu.rows();
  c = lu.permutationP() * rhs;
  lu.matrixLU().topLeftCorner(n, n).template triangularView<Eigen::UnitLower>().solveInPlace(
      c.topRows(n));
  lu.matrixLU().topLeftCorner(n, n).template triangularView<Eigen::Upper>().solveInPlace(
      c.topRows(n));
  const auto& q = lu.permutationQ().indices();
  for (Eigen::Index i = 0; i < n; ++i) dst.row(q.coeff(i)) = c.row(i);
}

/// The right-hand sides of solve: vectors, or n x k matrices.
template <int N, bool Vectors>
using RhsOf =
    std::conditional_t<Vectors, kernels::Column<N>, Eigen::Matrix<double, N, Eigen::Dynamic>>;

template <int N, bool Vectors>
void solve_each(const kernels::Extents& batch, const kernels::Matrices& A,
                const kernels::Matrices& B, double* X) {
  const Eigen::Index n = A.rows;
  const Eigen::Index k = B.cols;
  Square<N> a(n, n);
  StraightGather<Square<N>> gather(A, n, n);
  Decomposer<N> decomposer;
  const FullPivLUOf<N>* lu = nullptr;
  std::int64_t factorised_offset = 0;
  auto rhs = kernels::sized<RhsOf<N, Vectors>>(n, k);
  auto work = kernels::sized<RhsOf<N, Vectors>>(n, k);
  StraightGather<RhsOf<N, Vectors>> gather_rhs(B, n, k);
  kernels::BatchWalk<2>(batch, {&A.batch_strides, &B.batch_strides})
      .run([&](std::int64_t b, const auto& offsets) {
        // The empty system has nothing to factorise and nothing to solve.
        if (n == 0) return;
        // An A repeated along a broadcast dimension is factorised once.
        if (!lu || offsets[0] != factorised_offset) {
          gather(A.data + offsets[0], a);
          lu = &decomposer.compute(a);
          factorised_offset = offsets[0];
          require_invertible_lu(*lu, "solve");
        }
        // Right-hand sides without columns leave nothing to write, but each A
        // is still factorised and tested.
        if (k == 0) return;
        gather_rhs(B.data + offsets[1], rhs);
        solve_into(*lu, rhs, work, kernels::row_major_map<RhsOf<N, Vectors>>(X + b * n * k, n, k));
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
    constexpr int N = decltype(order)::value;
    Square<N> a(n, n);
    StraightGather<Square<N>> gather(A, n, n);
    Decomposer<N> decomposer;
    for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
      out.rank[b] = 0;
      out.determinant[b] = 1.0;  // the empty product
      out.singular[b] = 0;
      if (n == 0) return;
      gather(matrix, a);
      const FullPivLUOf<N>& lu = decomposer.compute(a);
      const std::int64_t at = b * n * n;
      row_major_map<Square<N>>(out.L + at, n, n) =
          lu.matrixLU().template triangularView<Eigen::UnitLower>();
      row_major_map<Square<N>>(out.U + at, n, n) =
          lu.matrixLU().template triangularView<Eigen::Upper>();
      dense_permutation<N>(lu.permutationP(), n, out.P + at);
      dense_permutation<N>(lu.permutationQ(), n, out.Q + at);
      out.rank[b] = lu.rank();
      out.determinant[b] = determinant_of(lu);
      out.singular[b] = lu.isInvertible() ? 0 : 1;
    });
  });
}

void det(const Extents& batch, const Matrices& A, double* determinants) {
  const std::int64_t n = A.rows;
  with_order(n, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(n, n);
    StraightGather<Square<N>> gather(A, n, n);
    Decomposer<N> decomposer;
    for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
      if (n == 0) {
        determinants[b] = 1.0;  // the empty product
        return;
      }
      gather(matrix, a);
      determinants[b] = determinant_of(decomposer.compute(a));
    });
  });
}

void inv(const Extents& batch, const Matrices& A, double* inverses) {
  const std::int64_t n = A.rows;
  if (n == 0) return;  // the empty matrix is its own inverse
  with_order(n, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(n, n);
    StraightGather<Square<N>> gather(A, n, n);
    Decomposer<N> decomposer;
    Square<N> work(n, n);
    for_each_matrix(batch, A, [&](std::int64_t b, const double* matrix) {
      gather(matrix, a);
      const FullPivLUOf<N>& lu = decomposer.compute(a);
      require_invertible_lu(lu, "inv");
      solve_into(lu, Square<N>::Identity(n, n), work,
                 row_major_map<Square<N>>(inverses + b * n * n, n, n));
    });
  });
}

void require_invertible(const Matrices& A, const char* operation) {
  if (A.rows == 0) return;  // the empty matrix is invertible
  with_order(A.rows, [&](auto order) {
    constexpr int N = decltype(order)::value;
    Square<N> a(A.rows, A.rows);
    StraightGather<Square<N>>(A, A.rows, A.rows)(A.data, a);
    Decomposer<N> decomposer;
    require_invertible_lu(decomposer.compute(a), operation);
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
